// Dialogs that answer without a person: every box is recorded, input boxes take queued answers.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/forms.h"

class TTestDialogs : public IDialogs {
public:
    void ShowMessage(const std::string& Text) override { Shown.push_back("message: " + Text); }
    void ShowError(const std::string&, const std::string& Text) override {
        Shown.push_back("error: " + Text);
    }
    bool InputQuery(const std::string& Caption, const std::string& Prompt,
                    std::string& Value) override {
        Shown.push_back("input: " + Caption + " / " + Prompt);
        if (Answers.empty() || !Answers.front()) {
            if (!Answers.empty())
                Answers.pop_front();
            return false;
        }
        Value = *Answers.front();
        Answers.pop_front();
        return true;
    }

    std::vector<std::string> Shown;
    // The answers of the next input boxes; nullopt cancels.
    std::deque<std::optional<std::string>> Answers;
};

// Installs TTestDialogs for the lifetime of the object.
class TDialogsScope {
public:
    TDialogsScope() {
        auto d = std::make_unique<TTestDialogs>();
        Dialogs = d.get();
        Application->SetDialogs(std::move(d));
    }
    ~TDialogsScope() { Application->SetDialogs(nullptr); }
    TTestDialogs* Dialogs;
};
