#include <windows.h>

#include "toolkit/Prompter.h"

// Placeholder until the window toolkit's own boxes land: Windows' boxes.
namespace {

class TSystemPrompter : public TPrompter {
public:
    void Information(const std::string& text) override { Show(text, "Information", MB_OK | MB_ICONINFORMATION); }
    void Error(const std::string& text) override { Show(text, "Error", MB_OK | MB_ICONERROR); }
    bool Confirm(const std::string& text) override
    {
        return Show(text, "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES;
    }
    void StandardError(const std::string& text) override
    {
        Show(text, "Korvalith's Quorvane", MB_OK | MB_ICONERROR);
    }

private:
    int Show(const std::string& text, const char* caption, UINT flags)
    {
        return MessageBoxA(nullptr, text.c_str(), caption, flags | MB_TASKMODAL);
    }
};

} // namespace

TPrompter& DefaultPrompter()
{
    static TSystemPrompter prompter;
    return prompter;
}
