#pragma once
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/Prompter.h"

// Records every box shown and answers confirmations from a script; installs
// itself for its lifetime. An unscripted confirmation answers No.
class TScriptedPrompter : public TPrompter {
public:
    struct Shown {
        std::string Kind; // "Information", "Error", "Confirm" or "StandardError"
        std::string Text;
    };

    TScriptedPrompter() { SetPrompter(this); }
    ~TScriptedPrompter() override { SetPrompter(nullptr); }

    void AnswerYes() { answers_.push_back(true); }
    void AnswerNo() { answers_.push_back(false); }

    void Information(const std::string& text) override { Record("Information", text); }
    void Error(const std::string& text) override { Record("Error", text); }
    bool Confirm(const std::string& text) override
    {
        Record("Confirm", text);
        if (answers_.empty())
            return false;
        bool answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    void StandardError(const std::string& text) override { Record("StandardError", text); }

    // Called after every box is recorded, while it would be on screen.
    std::function<void(const Shown&)> OnShow;

    std::vector<Shown> shown;
    std::string Texts(const std::string& kind) const
    {
        std::string all;
        for (const Shown& s : shown)
            if (s.Kind == kind)
                all += s.Text + "\n";
        return all;
    }

private:
    void Record(const char* kind, const std::string& text)
    {
        shown.push_back({kind, text});
        if (OnShow)
            OnShow(shown.back());
    }

    std::deque<bool> answers_;
};
