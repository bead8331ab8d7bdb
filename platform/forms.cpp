#include "platform/forms.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QInputDialog>
#include <QMessageBox>
#include <cstdio>

#include "platform/codepage.h"

namespace {

// Real dialogs when the process runs a widget application; otherwise the text goes to
// standard error and input boxes are cancelled.
class TQtDialogs : public IDialogs {
public:
    void ShowMessage(const std::string& Text) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()))
            QMessageBox::information(nullptr, QString::fromUtf8(Application->Title.c_str()),
                                     Win1251::ToUnicode(Text));
        else
            std::fprintf(stderr, "%s\n", Win1251::ToUnicode(Text).toLocal8Bit().constData());
    }
    void ShowError(const std::string& Title, const std::string& Text) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()))
            QMessageBox::critical(nullptr, Win1251::ToUnicode(Title), Win1251::ToUnicode(Text));
        else
            std::fprintf(stderr, "%s: %s\n", Title.c_str(),
                         Win1251::ToUnicode(Text).toLocal8Bit().constData());
    }
    bool InputQuery(const std::string& Caption, const std::string& Prompt,
                    std::string& Value) override {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
            return false;
        bool ok = false;
        const QString text =
            QInputDialog::getText(nullptr, Win1251::ToUnicode(Caption), Win1251::ToUnicode(Prompt),
                                  QLineEdit::Normal, Win1251::ToUnicode(Value), &ok);
        if (ok)
            Value = Win1251::FromUnicode(text);
        return ok;
    }
};

TApplication TheApplication;

} // namespace

TApplication* Application = &TheApplication;

TApplication::TApplication() : DialogsImpl(std::make_unique<TQtDialogs>()) {}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::WaitAndProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

int TApplication::Run() {
    return QCoreApplication::exec();
}

void TApplication::HandleException(TObject* Sender) {
    (void)Sender;
    try {
        throw;
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowException(Exception("Unknown error"));
    }
}

void TApplication::ShowException(const std::exception& E) {
    std::string text = E.what();
    if (text.empty())
        text = "An error occurred that carries no description";
    Dialogs().ShowError(Title, text);
}

void TApplication::Guard(TObject* Sender, const std::function<void()>& Handler) {
    try {
        Handler();
    } catch (...) {
        HandleException(Sender);
    }
}

IDialogs& TApplication::Dialogs() {
    return *DialogsImpl;
}

void TApplication::SetDialogs(std::unique_ptr<IDialogs> D) {
    DialogsImpl = D ? std::move(D) : std::make_unique<TQtDialogs>();
}

void ShowMessage(const std::string& Text) {
    Application->Dialogs().ShowMessage(Text);
}

bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) {
    return Application->Dialogs().InputQuery(Caption, Prompt, Value);
}
