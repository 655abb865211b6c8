#include "toolkit/Prompter.h"

#include <windows.h>

namespace {

// Shows a box in front, or writes the text to the standard error the
// launcher handed over (IDNO then).
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

TPrompter* installed = nullptr;
TPrompter* program = nullptr;

} // namespace

void TSystemPrompter::Information(const std::string& text)
{
    Show(text, "Information", MB_OK | MB_ICONINFORMATION);
}

void TSystemPrompter::Error(const std::string& text)
{
    Show(text, "Error", MB_OK | MB_ICONERROR);
}

bool TSystemPrompter::Confirm(const std::string& text)
{
    return Show(text, "Confirm", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void TSystemPrompter::StandardError(const std::string& text)
{
    Show(text, title_.c_str(), MB_OK | MB_ICONERROR);
}

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
