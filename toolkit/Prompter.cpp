#include "toolkit/Prompter.h"

#include <windows.h>

namespace {

// The fallback: Windows' own boxes, for programs that set no prompter of
// their own (the service host).
class TSystemPrompter : public TPrompter {
public:
    void Information(const std::string& text) override { Show(text, "Information", MB_OK | MB_ICONINFORMATION); }
    void Error(const std::string& text) override { Show(text, "Error", MB_OK | MB_ICONERROR); }
    bool Confirm(const std::string& text) override { return Show(text, "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES; }
    void StandardError(const std::string& text) override { Show(text, "Error", MB_OK | MB_ICONERROR); }

private:
    static int Show(const std::string& text, const char* caption, UINT flags)
    {
        return MessageBoxA(nullptr, text.c_str(), caption, flags | MB_TASKMODAL);
    }
};

TPrompter* installed = nullptr;
TPrompter* program = nullptr;

} // namespace

TPrompter& Prompter()
{
    static TSystemPrompter fallback;
    if (installed)
        return *installed;
    return program ? *program : fallback;
}

void SetPrompter(TPrompter* prompter)
{
    installed = prompter;
}

void SetDefaultPrompter(TPrompter* prompter)
{
    program = prompter;
}

std::string StandardErrorText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.'))
        return message + ".";
    return message;
}
