#include "platform/forms.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <cstdio>

#include "platform/codepage.h"

namespace {

// Without a window system the texts go to standard error and input boxes are cancelled; the
// program installs real dialogs at start.
class TConsoleDialogs : public IDialogs {
public:
    void ShowMessage(const std::string& Text) override {
        std::fprintf(stderr, "%s\n", Win1251::ToUnicode(Text).toLocal8Bit().constData());
    }
    void ShowError(const std::string& Title, const std::string& Text) override {
        std::fprintf(stderr, "%s: %s\n", Win1251::ToUnicode(Title).toLocal8Bit().constData(),
                     Win1251::ToUnicode(Text).toLocal8Bit().constData());
    }
    bool InputQuery(const std::string&, const std::string&, std::string&) override { return false; }
};

TApplication TheApplication;

} // namespace

TApplication* Application = &TheApplication;

TApplication::TApplication() : DialogsImpl(std::make_unique<TConsoleDialogs>()) {
    // The program runs on Qt's own event loop rather than GLib's, unless the environment chose.
    // It has no GLib sources to serve, and GLib's loop wakes itself each time a socket watch is
    // made or changed, which a session does a few times; every wait of the socket layer is a
    // pass of this loop. The application object exists before Qt's, so the choice holds.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

void TApplication::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TApplication::WaitAndProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // What woke the wait (socket readiness) usually posts a notice; deliver it in this pass, so
    // the caller's next wait does not first wake up for it alone.
    QCoreApplication::sendPostedEvents();
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
    DialogsImpl = D ? std::move(D) : std::make_unique<TConsoleDialogs>();
}

void ShowMessage(const std::string& Text) {
    Application->Dialogs().ShowMessage(Text);
}

bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value) {
    return Application->Dialogs().InputQuery(Caption, Prompt, Value);
}
