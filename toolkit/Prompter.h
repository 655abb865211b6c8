#pragma once
#include <string>
#include <utility>

// Every message box the programs show goes through the prompter, so a test
// can answer them and read every text shown.
class TPrompter {
public:
    virtual ~TPrompter() = default;
    // Information box: caption "Information", one button "OK".
    virtual void Information(const std::string& text) = 0;
    // Error box: caption "Error", one button "OK".
    virtual void Error(const std::string& text) = 0;
    // Confirmation box: caption "Confirm", "&Yes" (default) and "&No" (Esc).
    // True only when "&Yes" was chosen.
    virtual bool Confirm(const std::string& text) = 0;
    // The application's standard error box: the application title as caption,
    // an error icon and "OK"; the text already carries its full stop.
    virtual void StandardError(const std::string& text) = 0;
};

// Windows' own boxes, in front of every window, for programs without a
// window of their own (the service host; also any program that sets no
// prompter). A launcher that hands the program a standard error (the
// command line does) gets the texts there instead, and a confirmation
// answers No: a script must never wait on a box nobody sees.
class TSystemPrompter : public TPrompter {
public:
    // title: the standard error box's caption.
    explicit TSystemPrompter(std::string title = "Error") : title_(std::move(title)) {}
    void Information(const std::string& text) override;
    void Error(const std::string& text) override;
    bool Confirm(const std::string& text) override;
    void StandardError(const std::string& text) override;

private:
    std::string title_;
};

TPrompter& Prompter();
// The program's own boxes; without them a TSystemPrompter is used.
void SetDefaultPrompter(TPrompter* prompter);
// Installs a prompter over the program's (tests); nullptr takes it away.
void SetPrompter(TPrompter* prompter);

// The text the standard error box shows for an error message: a full stop is
// added when the last character sorts after "." in character-code order.
std::string StandardErrorText(const std::string& message);
