// The application object: event dispatch, the default error display and the dialog boxes.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "platform/classes.h"

// Message and input boxes. The program installs real dialogs; tests install their own answers;
// without either, texts go to standard error and input boxes are cancelled.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A modal box with Text and an OK button.
    virtual void ShowMessage(const std::string& Text) = 0;
    // A modal error box captioned Title.
    virtual void ShowError(const std::string& Title, const std::string& Text) = 0;
    // A modal input box; returns true when the user confirmed, with the text in Value.
    virtual bool InputQuery(const std::string& Caption, const std::string& Prompt,
                            std::string& Value) = 0;
};

class TApplication : public TComponent {
public:
    TApplication();

    // Dispatches the pending events and returns.
    void ProcessMessages();
    // Dispatches the pending events; when none is pending, first waits for the next one. The
    // waits of the socket layer use it so that a wait costs no processor time.
    void WaitAndProcessMessages();
    // Runs the main event loop until the main window closes.
    int Run();

    // Shows the exception that is being handled in an error box and returns.
    void HandleException(TObject* Sender);
    void ShowException(const std::exception& E);
    // Runs Handler; an exception that escapes it is shown by HandleException. Every handler
    // called from the event loop runs inside this guard, so no exception crosses the loop.
    void Guard(TObject* Sender, const std::function<void()>& Handler);

    IDialogs& Dialogs();
    // Replaces the dialogs; nullptr restores the console ones.
    void SetDialogs(std::unique_ptr<IDialogs> D);

    std::string Title = "vintrop";

private:
    std::unique_ptr<IDialogs> DialogsImpl;
};

// The one application object of the process.
extern TApplication* Application;

// The platform's message and input boxes, through Application->Dialogs().
void ShowMessage(const std::string& Text);
bool InputQuery(const std::string& Caption, const std::string& Prompt, std::string& Value);
