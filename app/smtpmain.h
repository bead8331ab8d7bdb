// The main window: the SMS, settings and information tabs, the Send command and the handlers
// that turn the SMTP client's events into status texts and message boxes.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolButton>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "mail/nmsmtp.h"

// The default texts of the form.
constexpr const char* DefaultSmtpServer = "localhost";
constexpr const char* DefaultGateway = "sms.example.com";
constexpr const char* DefaultReturnAddress = "sms@localhost";
constexpr const char* DefaultNumber = "+79029000000";
constexpr const char* AuthorName = "vintrop developers";
constexpr const char* AuthorHomepageHost = "vintrop.example.org";
constexpr const char* AuthorHomepageUrl = "https://vintrop.example.org/";
constexpr const char* AuthorEmail = "vintrop@example.org";

// The settings key, below "Software" of the current user.
constexpr const char* SettingsKey = "Ostrel\\vintrop";
constexpr const char* AccountKey = "Microsoft\\Internet Account Manager\\Accounts\\00000001";

// Rewrites the Cyrillic letters of the NUL-terminated Windows-1251 text in Buffer into Latin
// letters, one for one, in place.
void Transliterate(char* Buffer);

class TFormMain : public QWidget {
public:
    explicit TFormMain(QWidget* Parent = nullptr);
    ~TFormMain() override;

    // The Send command.
    void Button6Click(TObject* Sender);
    void SpeedButton1Click(TObject* Sender);
    void Label7Click(TObject* Sender);
    void Label10Click(TObject* Sender);
    void Label7MouseMove();
    void Label10MouseMove();
    void TabSheet3MouseMove();
    // Writes the settings and the address book. Raises EConvertError for a port that is not
    // a number, before anything is written.
    void FormClose();

    // Session handlers of NMSMTP1.
    void NMSMTP1HostResolved(TComponent* Sender);
    void NMSMTP1Connect(TObject* Sender);
    void NMSMTP1ConnectionFailed(TObject* Sender);
    void NMSMTP1InvalidHost(bool& Handled);
    void NMSMTP1SendStart(TObject* Sender);
    void NMSMTP1PacketSent(TObject* Sender);
    void NMSMTP1RecipientNotFound(const std::string& Recipient);
    void NMSMTP1Success(TObject* Sender);
    void NMSMTP1Failure(TObject* Sender);
    void NMSMTP1Status(TComponent* Sender, const std::string& Status);
    void NMSMTP1Disconnect(TObject* Sender);

    // The memo's lines as displayed: every line of the wrapped text counts, and a final empty
    // line is not a line.
    std::vector<std::string> MemoLines() const;
    // The status bar's text.
    std::string StatusText() const;
    bool Sending() const { return SendRunning; }

    QStatusBar* StatusBar1;
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QLabel* Label2;
    QLineEdit* Edit2;
    QToolButton* SpeedButton1;
    QLabel* Label14;
    QPlainTextEdit* Memo1;
    QPushButton* Button6;
    QLabel* Label1;
    QLineEdit* Edit1;
    QLabel* Label5;
    QLineEdit* Edit5;
    QLabel* Label3;
    QLineEdit* Edit3;
    QLabel* Label6;
    QLineEdit* Edit6;
    QLabel* Label4;
    QLineEdit* Edit4;
    QCheckBox* CheckBox1;
    QLabel* Label13;
    QLabel* Label15;
    QLabel* Label8;
    QLabel* Label7;
    QLabel* Label9;
    QLabel* Label10;
    TNMSMTP* NMSMTP1;

protected:
    void closeEvent(QCloseEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void CreateControls();
    void ConnectHandlers();
    void ReadSettings();
    void TransliterateMemo();
    void SetStatus(const std::string& Text);
    void LimitMemo();

    std::unique_ptr<TNMSMTP> Client;
    bool SendRunning = false;
    bool CloseRequested = false;
    // A close found that the settings could not be saved, and said so.
    bool SaveFailed = false;
    bool Destroying = false;
    QString MemoAccepted;
};

// Set while the main window exists.
extern TFormMain* FormMain;
