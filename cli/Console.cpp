#include "cli/Console.h"

#include <windows.h>

#include <algorithm>

#include "platform/ConsoleApi.h"
#include "platform/Memory.h"
#include "platform/Owner.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

// A console takes at most this many characters in one write on older systems.
constexpr size_t ConsoleChunk = 8192;

void Write(std::FILE* stream, const std::string& utf8)
{
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (utf8.empty() || !ConsoleApi().GetConsoleMode(handle, &mode)) {
        std::fwrite(utf8.data(), 1, utf8.size(), stream);
        return;
    }
    // What went through the C runtime before stays in front.
    std::fflush(stream);
    const int size = static_cast<int>(utf8.size());
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), static_cast<int>(wide.size()));
    for (size_t at = 0; at < wide.size(); at += ConsoleChunk) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min(ConsoleChunk, wide.size() - at));
        if (!ConsoleApi().WriteConsoleW(handle, wide.data() + at, chunk, &written, nullptr))
            return;
    }
}

} // namespace

void WriteText(std::FILE* stream, const std::string& text)
{
    Write(stream, Utf8FromAnsi(text));
}

void WriteUtf8(std::FILE* stream, const std::string& text)
{
    Write(stream, text);
}

// A console hands its bytes over in its own input code page, so a typed
// password is read wide there and held as every text is; a pipe or a file
// brings UTF-8 bytes as they are. Every buffer it passes through is wiped.
TSecret ReadPassword()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    TSecret password;
    if (!GetConsoleMode(input, &mode)) {
        // Read straight into the secret, a byte at a time.
        for (DWORD read = 0;;) {
            const size_t at = password.Size();
            password.Resize(at + 1);
            if (!ReadFile(input, password.Data() + at, 1, &read, nullptr) || read != 1) {
                password.Resize(at);
                break;
            }
        }
        while (!password.Empty() && (password.Back() == '\n' || password.Back() == '\r'))
            password.PopBack();
        return password;
    }
    SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
    const TScopeExit restore([&] {
        SetConsoleMode(input, mode);
        WriteText(stderr, "\n");
    });
    // A line longer than any password is cut there.
    wchar_t typed[1024];
    size_t length = 0;
    wchar_t c;
    DWORD read = 0;
    while (length < std::size(typed) && ReadConsoleW(input, &c, 1, &read, nullptr) && read == 1 && c != L'\n')
        if (c != L'\r')
            typed[length++] = c;
    const bool passed = SecretFromWide(typed, length, password);
    MemoryApi().SecureZeroMemory(typed, sizeof typed);
    MemoryApi().SecureZeroMemory(&c, sizeof c);
    // The refusal names no character of it.
    if (!passed)
        throw TError("The password holds a character that this version of Windows cannot pass to the Service "
                     "Control Manager");
    return password;
}
