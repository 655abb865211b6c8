#include "cli/Console.h"

#include <windows.h>

#include <algorithm>

#include "platform/Console.h"
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
