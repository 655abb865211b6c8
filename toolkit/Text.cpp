#include "toolkit/Text.h"

#include <windows.h>

#include <cstdint>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses digits from text[pos] to the end; false on an empty run, a stray
// character or a value that does not fit 32 bits.
bool ParseDigits(const std::string& text, size_t pos, bool hex, bool negative, int& result)
{
    if (pos >= text.size())
        return false;
    const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        int digit = hex ? HexDigit(text[pos]) : (text[pos] >= '0' && text[pos] <= '9' ? text[pos] - '0' : -1);
        if (digit < 0)
            return false;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (value > limit)
            return false;
    }
    int64_t signedValue = hex ? static_cast<int32_t>(static_cast<uint32_t>(value)) : static_cast<int64_t>(value);
    result = static_cast<int>(negative ? -signedValue : signedValue);
    return true;
}

// The position after an optional sign at pos; negative tells which.
size_t SkipSign(const std::string& text, size_t pos, bool& negative)
{
    negative = pos < text.size() && text[pos] == '-';
    return pos < text.size() && (text[pos] == '+' || text[pos] == '-') ? pos + 1 : pos;
}

std::string Recoded(const std::string& text, UINT from, UINT to)
{
    if (text.empty())
        return text;
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(from, 0, text.data(), size, nullptr, 0)), L'\0');
    const int length = static_cast<int>(wide.size());
    MultiByteToWideChar(from, 0, text.data(), size, wide.data(), length);
    std::string recoded(static_cast<size_t>(WideCharToMultiByte(to, 0, wide.data(), length, nullptr, 0, nullptr, nullptr)),
                        '\0');
    WideCharToMultiByte(to, 0, wide.data(), length, recoded.data(), static_cast<int>(recoded.size()), nullptr, nullptr);
    return recoded;
}

} // namespace

std::string Utf8FromAnsi(const std::string& text)
{
    return Recoded(text, CP_ACP, CP_UTF8);
}

std::string AnsiFromUtf8(const std::string& text)
{
    return Recoded(text, CP_UTF8, CP_ACP);
}

std::string LowerCase(std::string text)
{
    if (!text.empty())
        CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::string UpperCase(std::string text)
{
    if (!text.empty())
        CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::string AsciiUpperCase(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::optional<int> DecimalInteger(const std::string& text)
{
    bool negative = false;
    size_t pos = SkipSign(text, 0, negative);
    int result = 0;
    if (!ParseDigits(text, pos, false, negative, result))
        return std::nullopt;
    return result;
}

int StrToIntDef(const std::string& text, int defaultValue)
{
    int result = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseDigits(text, 2, true, false, result) ? result : defaultValue;

    size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    bool negative = false;
    pos = SkipSign(text, pos, negative);
    bool hex = pos < text.size() && text[pos] == '$';
    if (hex)
        ++pos;
    return ParseDigits(text, pos, hex, negative, result) ? result : defaultValue;
}

std::string DurationText(uint64_t ms)
{
    const uint64_t seconds = ms / 1000;
    const uint64_t units[] = {24 * 3600, 3600, 60, 1};
    const char* names[] = {" d", " h", " min", " s"};
    for (int unit = 0; unit < 3; ++unit)
        if (seconds >= units[unit]) {
            std::string text = std::to_string(seconds / units[unit]) + names[unit];
            if (uint64_t rest = seconds % units[unit] / units[unit + 1]) {
                text += ' ';
                text += std::to_string(rest);
                text += names[unit + 1];
            }
            return text;
        }
    return std::to_string(seconds) + " s";
}
