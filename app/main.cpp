// The program's entry: the application with its dialogs, the main window and the address book,
// then the event loop.
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

#include "app/addrbook.h"
#include "app/smtpmain.h"
#include "platform/codepage.h"
#include "platform/forms.h"

namespace {

// The message, error and input boxes of the desktop.
class TWidgetDialogs : public IDialogs {
public:
    void ShowMessage(const std::string& Text) override {
        QMessageBox::information(nullptr, QString::fromUtf8(Application->Title.c_str()),
                                 Win1251::ToUnicode(Text));
    }
    void ShowError(const std::string& Title, const std::string& Text) override {
        QMessageBox::critical(nullptr, Win1251::ToUnicode(Title), Win1251::ToUnicode(Text));
    }
    bool InputQuery(const std::string& Caption, const std::string& Prompt,
                    std::string& Value) override {
        bool ok = false;
        const QString text =
            QInputDialog::getText(nullptr, Win1251::ToUnicode(Caption), Win1251::ToUnicode(Prompt),
                                  QLineEdit::Normal, Win1251::ToUnicode(Value), &ok);
        if (ok)
            Value = Win1251::FromUnicode(text);
        return ok;
    }
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    // Every text and setting the program keeps is in this code page: rather than misread the
    // settings and the address book, the program does not start without it.
    if (!Win1251::Available()) {
        QMessageBox::critical(nullptr, QStringLiteral("vintrop"),
                              QStringLiteral("The C library cannot convert the Windows-1251 code "
                                             "page (iconv). The program cannot start without it; "
                                             "your settings and address book are left as they "
                                             "are."));
        return 1;
    }
    Application->SetDialogs(std::make_unique<TWidgetDialogs>());
    try {
        TFormMain formMain;
        TAddrBookForm addrBookForm;
        formMain.show();
        Application->Run();
    } catch (const std::exception& e) {
        Application->ShowException(e);
    }
    return 0;
}
