#include <windows.h>

#include "toolkit/Prompter.h"

// The service host's boxes: Windows' own, in front, since nothing else of
// ours is on the screen. A launcher that hands the host a standard error
// (the command line does) gets the texts there instead: a script must never
// wait on a box nobody sees.
namespace {

class TStubPrompter : public TPrompter {
public:
    void Information(const std::string& text) override { Show(text, "Information", MB_OK | MB_ICONINFORMATION); }
    void Error(const std::string& text) override { Show(text, "Error", MB_OK | MB_ICONERROR); }
    bool Confirm(const std::string& text) override
    {
        return Show(text, "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES;
    }
    void StandardError(const std::string& text) override { Show(text, "Vantorer", MB_OK | MB_ICONERROR); }

private:
    int Show(const std::string& text, const char* caption, UINT flags)
    {
        STARTUPINFOA startup = {};
        GetStartupInfoA(&startup);
        HANDLE console = startup.hStdError;
        if ((startup.dwFlags & STARTF_USESTDHANDLES) && console && console != INVALID_HANDLE_VALUE) {
            std::string line;
            for (char c : text)
                line += c == '\r' ? std::string("\r\n") : std::string(1, c);
            line += "\r\n";
            DWORD written = 0;
            WriteFile(console, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            return IDNO;
        }
        return MessageBoxA(nullptr, text.c_str(), caption, flags | MB_SETFOREGROUND | MB_TOPMOST);
    }
};

} // namespace

TPrompter& StubPrompter()
{
    static TStubPrompter prompter;
    return prompter;
}
