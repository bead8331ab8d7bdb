#include "app/smtpmain.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QTextBlock>
#include <QTextLayout>
#include <QUrl>
#include <QValidator>
#include <cstring>

#include "app/addrbook.h"
#include "app/ext.h"
#include "platform/codepage.h"
#include "platform/forms.h"

TFormMain* FormMain = nullptr;

namespace {

// Set when a connection attempt failed; cleared before each Connect.
bool ConnectFailed = false;

// The letters that the transliteration replaces, and their replacements, paired by position.
const std::string TranslitSource = Win1251::FromUnicode(
    QString::fromUtf8("йцукенгшщзхъфывапролджэячсмитьбюёЙЦУКЕНГШЩЗХЪФЫВАПРОЛДЖЭЯЧСМИТЬБЮЁ"));
const std::string TranslitTarget =
    "izukengsszh fivaproldzejcsmit bueIZUKENGSSZH FIVAPROLDZEJCSMIT BUE";

// The longest text a field or a stored value can hold.
constexpr int MaxFieldLength = 259;

std::string TextOf(const QLineEdit* Edit) {
    return Win1251::FromUnicode(Edit->text());
}

// Accepts only text that the code page can hold, so nothing typed or pasted is lost later.
class TCodePageValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& Input, int&) const override {
        return Win1251::CanEncode(Input) ? Acceptable : Invalid;
    }
};

QLabel* MakeLabel(QWidget* Parent, const char* Text, int Left, int Top) {
    auto* label = new QLabel(QString::fromUtf8(Text), Parent);
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

QLineEdit* MakeEdit(QWidget* Parent, const char* Text, int Left, int Top, int Width, int Height) {
    auto* edit = new QLineEdit(QString::fromUtf8(Text), Parent);
    edit->setGeometry(Left, Top, Width, Height);
    edit->setMaxLength(MaxFieldLength);
    edit->setValidator(new TCodePageValidator(edit));
    return edit;
}

void SetLabelColour(QLabel* Label, Qt::GlobalColor Colour) {
    QPalette palette = Label->palette();
    palette.setColor(QPalette::WindowText, Colour);
    Label->setPalette(palette);
}

} // namespace

void Transliterate(char* Buffer) {
    for (size_t i = 0; i < std::strlen(Buffer); ++i)
        for (size_t j = 0; j < TranslitSource.size(); ++j)
            if (Buffer[i] == TranslitSource[j])
                Buffer[i] = TranslitTarget[j];
}

TFormMain::TFormMain(QWidget* Parent)
    : QWidget(Parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    FormMain = this;
    CreateControls();
    ConnectHandlers();
    ReadSettings();
    Memo1->setFocus();
}

TFormMain::~TFormMain() {
    Destroying = true;
    Client.reset();
    if (FormMain == this)
        FormMain = nullptr;
}

void TFormMain::CreateControls() {
    setWindowTitle(QStringLiteral("Ostrel E-Mail - SMS sender"));
    setFixedSize(317, 251);
    QFont font = this->font();
    font.setPixelSize(11);
    setFont(font);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setGeometry(0, 232, 317, 19);
    StatusBar1->setSizeGripEnabled(false);

    PageControl1 = new QTabWidget(this);
    PageControl1->setGeometry(8, 8, 305, 225);
    TabSheet1 = new QWidget;
    TabSheet2 = new QWidget;
    TabSheet3 = new QWidget;
    PageControl1->addTab(TabSheet1, QStringLiteral("SMS"));
    PageControl1->addTab(TabSheet2, QString::fromUtf8("Настройки"));
    PageControl1->addTab(TabSheet3, QString::fromUtf8("О программе"));

    // The SMS tab. The number field is wide enough for a full international number in the
    // wide default fonts of Linux desktops.
    Label2 = MakeLabel(TabSheet1, "Тел №", 8, 16);
    Edit2 = MakeEdit(TabSheet1, DefaultNumber, 46, 8, 95, 21);
    SpeedButton1 = new QToolButton(TabSheet1);
    SpeedButton1->setText(QStringLiteral("..."));
    SpeedButton1->setGeometry(144, 8, 33, 22);
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    Label14 = MakeLabel(TabSheet1, "Текст сообщения", 96, 40);
    Memo1 = new QPlainTextEdit(TabSheet1);
    Memo1->setGeometry(16, 56, 265, 105);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo1->setTabChangesFocus(true);
    Button6 = new QPushButton(QString::fromUtf8("Отправить"), TabSheet1);
    Button6->setGeometry(16, 164, 270, 33);
    QWidget::setTabOrder(Memo1, Edit2);
    QWidget::setTabOrder(Edit2, Button6);

    // The settings tab. The fields start far enough right for the longest caption, and the
    // check box spans the tab, so that no caption is cut in the wide default fonts of Linux
    // desktops.
    Label1 = MakeLabel(TabSheet2, "SMTP сервер: ", 9, 13);
    Edit1 = MakeEdit(TabSheet2, DefaultSmtpServer, 134, 9, 155, 21);
    Label5 = MakeLabel(TabSheet2, "Порт", 8, 40);
    Edit5 = MakeEdit(TabSheet2, "25", 134, 32, 45, 21);
    Label3 = MakeLabel(TabSheet2, "E-Mail - SMS gateway:", 8, 64);
    Edit3 = MakeEdit(TabSheet2, DefaultGateway, 134, 56, 155, 21);
    Label6 = MakeLabel(TabSheet2, "От кого:", 8, 88);
    Edit6 = MakeEdit(TabSheet2, "Anonymous", 134, 80, 155, 21);
    Label4 = MakeLabel(TabSheet2, "Обратный адрес:", 8, 112);
    Edit4 = MakeEdit(TabSheet2, DefaultReturnAddress, 134, 104, 155, 21);
    CheckBox1 = new QCheckBox(QString::fromUtf8("Перекодировка в транслит"), TabSheet2);
    CheckBox1->setGeometry(8, 136, 281, 17);
    CheckBox1->setChecked(true);
    QWidget::setTabOrder(Edit1, Edit5);
    QWidget::setTabOrder(Edit5, Edit3);
    QWidget::setTabOrder(Edit3, Edit6);
    QWidget::setTabOrder(Edit6, Edit4);
    QWidget::setTabOrder(Edit4, CheckBox1);

    // The information tab.
    Label13 = MakeLabel(TabSheet3, "Автор", 40, 104);
    Label15 = MakeLabel(TabSheet3, AuthorName, 176, 104);
    Label8 = MakeLabel(TabSheet3, "Homepage:", 40, 128);
    Label7 = MakeLabel(TabSheet3, AuthorHomepageHost, 176, 128);
    Label9 = MakeLabel(TabSheet3, "E-mail:", 40, 152);
    Label10 = MakeLabel(TabSheet3, AuthorEmail, 176, 152);
    for (QWidget* w : {static_cast<QWidget*>(Label7), static_cast<QWidget*>(Label10), TabSheet3}) {
        w->setMouseTracking(true);
        w->installEventFilter(this);
    }
    Label7->setCursor(Qt::PointingHandCursor);
    Label10->setCursor(Qt::PointingHandCursor);

    Client = std::make_unique<TNMSMTP>();
    NMSMTP1 = Client.get();
    NMSMTP1->ReportLevel = 0;
    NMSMTP1->EncodeType = uuMime;
    NMSMTP1->ClearParams = true;
    NMSMTP1->SubType = mtPlain;
    NMSMTP1->Charset = "us-ascii";
}

void TFormMain::ConnectHandlers() {
    connect(Button6, &QPushButton::clicked, this,
            [this] { Application->Guard(nullptr, [this] { Button6Click(nullptr); }); });
    connect(SpeedButton1, &QToolButton::clicked, this,
            [this] { Application->Guard(nullptr, [this] { SpeedButton1Click(nullptr); }); });
    connect(Memo1, &QPlainTextEdit::textChanged, this, [this] { LimitMemo(); });

    NMSMTP1->OnHostResolved = [this](TComponent* S) { NMSMTP1HostResolved(S); };
    NMSMTP1->OnConnect = [this](TObject* S) { NMSMTP1Connect(S); };
    NMSMTP1->OnConnectionFailed = [this](TObject* S) { NMSMTP1ConnectionFailed(S); };
    NMSMTP1->OnInvalidHost = [this](bool& Handled) { NMSMTP1InvalidHost(Handled); };
    NMSMTP1->OnSendStart = [this](TObject* S) { NMSMTP1SendStart(S); };
    NMSMTP1->OnPacketSent = [this](TObject* S) { NMSMTP1PacketSent(S); };
    NMSMTP1->OnRecipientNotFound = [this](const std::string& R) { NMSMTP1RecipientNotFound(R); };
    NMSMTP1->OnSuccess = [this](TObject* S) { NMSMTP1Success(S); };
    NMSMTP1->OnFailure = [this](TObject* S) { NMSMTP1Failure(S); };
    NMSMTP1->OnStatus = [this](TComponent* S, const std::string& T) { NMSMTP1Status(S, T); };
    NMSMTP1->OnDisconnect = [this](TObject* S) { NMSMTP1Disconnect(S); };
}

// The memo takes at most 160 characters, and only text the code page can hold.
void TFormMain::LimitMemo() {
    const QString text = Memo1->toPlainText();
    if (text.size() <= 160 && Win1251::CanEncode(text)) {
        MemoAccepted = text;
        return;
    }
    const QSignalBlocker block(Memo1);
    const int cursor = Memo1->textCursor().position() - (text.size() - MemoAccepted.size());
    Memo1->setPlainText(MemoAccepted);
    QTextCursor c = Memo1->textCursor();
    c.setPosition(std::clamp(cursor, 0, static_cast<int>(MemoAccepted.size())));
    Memo1->setTextCursor(c);
}

std::vector<std::string> TFormMain::MemoLines() const {
    std::vector<std::string> lines;
    const qreal width = Memo1->viewport()->width() - 2 * Memo1->document()->documentMargin();
    QTextOption option;
    option.setWrapMode(Memo1->wordWrapMode());
    for (QTextBlock block = Memo1->document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        QTextLayout layout(text, Memo1->font());
        layout.setTextOption(option);
        layout.beginLayout();
        bool any = false;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines.push_back(Win1251::FromUnicode(text.mid(line.textStart(), line.textLength())));
            any = true;
        }
        layout.endLayout();
        if (!any)
            lines.emplace_back();
    }
    // As the memo reports them: an empty last line is no line.
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::string TFormMain::StatusText() const {
    return Win1251::FromUnicode(StatusBar1->currentMessage());
}

void TFormMain::SetStatus(const std::string& Text) {
    StatusBar1->showMessage(Win1251::ToUnicode(Text));
}

void TFormMain::TransliterateMemo() {
    // The lines are joined with nothing between them, as they were displayed.
    std::string result;
    for (const std::string& line : MemoLines()) {
        char buffer[260] = {};
        std::strncpy(buffer, line.c_str(), sizeof buffer - 1);
        Transliterate(buffer);
        result += buffer;
    }
    Memo1->clear();
    Memo1->setPlainText(Win1251::ToUnicode(result));
}

void TFormMain::Button6Click(TObject* Sender) {
    (void)Sender;
    // One send at a time: the button stays disabled until this one has ended.
    if (SendRunning)
        return;
    SendRunning = true;
    Button6->setEnabled(false);
    const auto finish = [this] {
        SendRunning = false;
        Button6->setEnabled(true);
        if (CloseRequested)
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    };
    try {
        if (CheckBox1->isChecked())
            TransliterateMemo();
        ConnectFailed = false;
        NMSMTP1->Host = TextOf(Edit1);
        NMSMTP1->Port = StrToInt(TextOf(Edit5));
        // The socket takes 16 bits of it: a larger number would reach another port.
        if (NMSMTP1->Port < 0 || NMSMTP1->Port > 65535)
            throw Exception("'" + TextOf(Edit5) + "' is not a port number (0 to 65535)");
        NMSMTP1->UserID = IntToStr(348491);
        NMSMTP1->Connect();
        if (ConnectFailed) {
            finish();
            return;
        }
        try {
            TPostMessage& message = NMSMTP1->PostMessage;
            message.FromAddress = TextOf(Edit4);
            message.FromName = TextOf(Edit6);
            message.Subject = "";
            message.ToAddress.Add(TextOf(Edit2) + "@" + TextOf(Edit3));
            message.Body.Clear();
            bool eightBit = false;
            for (const std::string& line : MemoLines()) {
                message.Body.Add(line);
                for (unsigned char c : line)
                    eightBit = eightBit || c >= 0x80;
            }
            // Letters beyond 7-bit ASCII are declared, so the receiver can read them.
            NMSMTP1->Charset = eightBit ? "windows-1251" : "us-ascii";
            NMSMTP1->SendMail();
        } catch (...) {
            // Each Send ends with the session closed and no recipient left for the next one.
            // A send ended by closing the window closes at once: the closing exchange would
            // wait without end for a server that has stopped answering.
            try {
                if (NMSMTP1->Connected && CloseRequested)
                    NMSMTP1->TPowersock::Disconnect();
                else if (NMSMTP1->Connected)
                    NMSMTP1->Disconnect();
            } catch (...) {
            }
            NMSMTP1->PostMessage.ToAddress.Clear();
            throw;
        }
        if (NMSMTP1->Connected)
            NMSMTP1->Disconnect();
    } catch (const EAbortError&) {
        finish();
        // A send ended by closing the window needs no error box.
        if (!CloseRequested)
            throw;
        return;
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TFormMain::SpeedButton1Click(TObject* Sender) {
    (void)Sender;
    if (AddrBookForm)
        AddrBookForm->exec();
}

void TFormMain::Label7Click(TObject* Sender) {
    (void)Sender;
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(AuthorHomepageUrl)));
}

void TFormMain::Label10Click(TObject* Sender) {
    (void)Sender;
    QDesktopServices::openUrl(QUrl(QStringLiteral("mailto:") + QString::fromLatin1(AuthorEmail)));
}

void TFormMain::Label7MouseMove() {
    SetLabelColour(Label7, Qt::blue);
}

void TFormMain::Label10MouseMove() {
    SetLabelColour(Label10, Qt::blue);
}

void TFormMain::TabSheet3MouseMove() {
    SetLabelColour(Label10, Qt::black);
    SetLabelColour(Label7, Qt::black);
}

bool TFormMain::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::MouseMove) {
        // A move over a link ends there: passed on to the tab sheet, it would turn the link
        // black again at once.
        if (Watched == Label7) {
            Label7MouseMove();
            return true;
        }
        if (Watched == Label10) {
            Label10MouseMove();
            return true;
        }
        if (Watched == TabSheet3)
            TabSheet3MouseMove();
    } else if (Event->type() == QEvent::MouseButtonRelease &&
               static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
        if (Watched == Label7)
            Label7Click(nullptr);
        else if (Watched == Label10)
            Label10Click(nullptr);
    }
    return QWidget::eventFilter(Watched, Event);
}

void TFormMain::NMSMTP1HostResolved(TComponent* Sender) {
    (void)Sender;
    SetStatus("Host Resolved");
}

void TFormMain::NMSMTP1Connect(TObject* Sender) {
    (void)Sender;
    SetStatus("Connected");
}

void TFormMain::NMSMTP1ConnectionFailed(TObject* Sender) {
    (void)Sender;
    ShowMessage("Connection Failed");
    ConnectFailed = true;
}

void TFormMain::NMSMTP1InvalidHost(bool& Handled) {
    std::string host;
    if (InputQuery("Invalid Host", "Please Choose another host", host)) {
        NMSMTP1->Host = host;
        Handled = true;
    }
}

void TFormMain::NMSMTP1SendStart(TObject* Sender) {
    (void)Sender;
    SetStatus("Sending message");
}

void TFormMain::NMSMTP1PacketSent(TObject* Sender) {
    (void)Sender;
    SetStatus(IntToStr(NMSMTP1->SentBytes) + " bytes of " + IntToStr(NMSMTP1->TotalBytes) +
              " sent");
}

void TFormMain::NMSMTP1RecipientNotFound(const std::string& Recipient) {
    ShowMessage(Recipient + " not found");
}

void TFormMain::NMSMTP1Success(TObject* Sender) {
    (void)Sender;
    SetStatus("Message Sent");
}

void TFormMain::NMSMTP1Failure(TObject* Sender) {
    (void)Sender;
    ShowMessage("Operation Failed");
}

void TFormMain::NMSMTP1Status(TComponent* Sender, const std::string& Status) {
    (void)Sender;
    if (!Destroying)
        SetStatus(Status);
}

void TFormMain::NMSMTP1Disconnect(TObject* Sender) {
    (void)Sender;
    if (!Destroying)
        SetStatus("Disconnected");
}

void TFormMain::closeEvent(QCloseEvent* Event) {
    // A close during a send ends the send first; the window closes once it has returned.
    if (SendRunning) {
        CloseRequested = true;
        NMSMTP1->Abort();
        Event->ignore();
        return;
    }
    bool written = false;
    Application->Guard(nullptr, [&] {
        FormClose();
        written = true;
    });
    if (written)
        Event->accept();
    else
        Event->ignore();
    CloseRequested = false;
}

void TFormMain::ReadSettings() {
    char buffer[260];
    uint32_t value = 0;
    const auto setText = [](QLineEdit* Edit, const char* Text) {
        Edit->setText(Win1251::ToUnicode(Text));
    };
    if (ReadStringValue(SettingsKey, "Gate Address", buffer, sizeof buffer))
        setText(Edit3, buffer);
    else
        setText(Edit3, DefaultGateway);
    if (ReadStringValue(SettingsKey, "Last number", buffer, sizeof buffer))
        setText(Edit2, buffer);
    else
        setText(Edit2, DefaultNumber);
    if (ReadStringValue(SettingsKey, "SMTP Email Address", buffer, sizeof buffer))
        setText(Edit4, buffer);
    // The port is stored as the 32 bits of a signed number, so that what was typed comes back.
    if (ReadDwordValue(SettingsKey, "SMTP Port", &value))
        Edit5->setText(QString::number(static_cast<int32_t>(value)));
    if (ReadDwordValue(SettingsKey, "Translit", &value))
        CheckBox1->setChecked(value != 0);
    if (ReadStringValue(SettingsKey, "SMTP Server", buffer, sizeof buffer))
        setText(Edit1, buffer);
    if (ReadStringValue(SettingsKey, "SMTP Display Name", buffer, sizeof buffer)) {
        setText(Edit6, buffer);
        return;
    }
    // No settings of our own yet: take the mail account's, where there is one.
    if (ReadStringValue(AccountKey, "SMTP Email Address", buffer, sizeof buffer))
        setText(Edit4, buffer);
    if (ReadDwordValue(AccountKey, "SMTP Port", &value))
        Edit5->setText(QString::number(static_cast<int32_t>(value)));
    if (ReadStringValue(AccountKey, "SMTP Server", buffer, sizeof buffer))
        setText(Edit1, buffer);
    if (ReadStringValue(AccountKey, "SMTP Display Name", buffer, sizeof buffer))
        setText(Edit6, buffer);
}

void TFormMain::FormClose() {
    const std::string portText = TextOf(Edit5);
    const int32_t port = portText.empty() ? 0 : StrToInt(portText);
    int written = 1;
    written &= WriteStringValue(SettingsKey, "SMTP Email Address", TextOf(Edit4).c_str());
    written &= WriteDwordValue(SettingsKey, "SMTP Port", static_cast<uint32_t>(port));
    written &= WriteStringValue(SettingsKey, "SMTP Server", TextOf(Edit1).c_str());
    written &= WriteStringValue(SettingsKey, "SMTP Display Name", TextOf(Edit6).c_str());
    written &= WriteStringValue(SettingsKey, "Gate Address", TextOf(Edit3).c_str());
    written &= WriteDwordValue(SettingsKey, "POP3 Skip Account", 1);
    written &= WriteStringValue(SettingsKey, "Last number", TextOf(Edit2).c_str());
    if (AddrBookForm) {
        for (int i = 1; i <= AddrBookForm->RowCount() - 1; ++i) {
            char name[260];
            std::snprintf(name, sizeof name, "Number%d", i);
            written &= WriteStringValue(SettingsKey, name, AddrBookForm->Cells(0, i).c_str());
            std::snprintf(name, sizeof name, "Name%d", i);
            written &= WriteStringValue(SettingsKey, name, AddrBookForm->Cells(1, i).c_str());
        }
    }
    written &= WriteDwordValue(SettingsKey, "Translit", CheckBox1->isChecked() ? 1 : 0);
    // Unsaved settings and address book are not dropped without a word: the first close says
    // so and keeps the window open; a second one quits without them.
    if (!written && !SaveFailed) {
        SaveFailed = true;
        throw Exception("The settings and the address book could not be saved. Close the window "
                        "again to quit without saving them.");
    }
}
