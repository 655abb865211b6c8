#include "toolkit/Text.h"

#include <windows.h>

#include <cstdint>

#include "platform/CodePages.h"
#include "toolkit/Error.h"

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

std::wstring Widened(const std::string& text, UINT codePage)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    std::wstring wide(static_cast<size_t>(MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), static_cast<int>(wide.size()));
    return wide;
}

std::string Narrowed(const std::wstring& text, UINT codePage)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    std::string narrow(
        static_cast<size_t>(WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, narrow.data(), static_cast<int>(narrow.size()), nullptr,
                        nullptr);
    return narrow;
}

bool AllAscii(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

bool AllAscii(const std::wstring& text)
{
    for (wchar_t c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// Letter case as the system maps it, the same in every user's language: a
// service or file name is one name whoever types it.
std::string MappedCase(const std::string& text, DWORD mapping)
{
    if (AllAscii(text)) {
        std::string mapped = text;
        const bool lower = mapping == LCMAP_LOWERCASE;
        for (char& c : mapped)
            if (c >= (lower ? 'A' : 'a') && c <= (lower ? 'Z' : 'z'))
                c = static_cast<char>(c + (lower ? 'a' - 'A' : 'A' - 'a'));
        return mapped;
    }
    const std::wstring wide = WideFromText(text);
    if (wide.empty())
        return text;
    const int size = static_cast<int>(wide.size());
    std::wstring mapped(
        static_cast<size_t>(LCMapStringEx(LOCALE_NAME_INVARIANT, mapping, wide.data(), size, nullptr, 0, nullptr,
                                          nullptr, 0)),
        L'\0');
    LCMapStringEx(LOCALE_NAME_INVARIANT, mapping, wide.data(), size, mapped.data(), static_cast<int>(mapped.size()),
                  nullptr, nullptr, 0);
    // Never refused: a letter whose other case an older Windows cannot
    // pass still compares as one.
    return Narrowed(mapped, ActiveCodePage());
}

} // namespace

unsigned ActiveCodePage()
{
    return CodePageApi().GetACP();
}

namespace {

unsigned ReadSystemCodePage()
{
    // The value Windows hands every program that does not ask for its own;
    // with the system-wide UTF-8 option on it is 65001, which the locale
    // does not tell.
    char value[16] = {};
    DWORD size = sizeof value - 1;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP",
                     RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS)
        if (std::optional<int> codePage = DecimalInteger(value); codePage && IsValidCodePage(*codePage))
            return static_cast<unsigned>(*codePage);
    DWORD codePage = 0;
    if (GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&codePage), sizeof codePage / sizeof(wchar_t)) &&
        codePage != CP_ACP && IsValidCodePage(codePage))
        return codePage;
    return 1252;
}

} // namespace

unsigned SystemCodePage()
{
    // It changes only with a restart of Windows.
    static const unsigned codePage = ReadSystemCodePage();
    return codePage;
}

bool EveryCharacterPasses()
{
    return ActiveCodePage() == CP_UTF8;
}

std::wstring WideFromText(const std::string& text)
{
    if (AllAscii(text))
        return std::wstring(text.begin(), text.end());
    return Widened(text, ActiveCodePage());
}

std::string TextFromWide(const std::wstring& text)
{
    if (AllAscii(text))
        return std::string(text.begin(), text.end());
    const UINT codePage = ActiveCodePage();
    std::string narrow = Narrowed(text, codePage);
    if (codePage == CP_UTF8) {
        // UTF-8 holds every character but half of a surrogate pair.
        for (size_t at = 0; at < text.size(); ++at) {
            const bool paired = IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() && IS_LOW_SURROGATE(text[at + 1]);
            if (paired)
                ++at;
            else if (IS_HIGH_SURROGATE(text[at]) || IS_LOW_SURROGATE(text[at]))
                throw TError(UnpassableText(narrow));
        }
        return narrow;
    }
    // What does not come back whole did not pass: "?" for a letter the code
    // page lacks, or a near letter ("A" for "Ā") where Windows fits one.
    if (Widened(narrow, codePage) != text)
        throw TError(UnpassableText(narrow));
    return narrow;
}

std::string UnpassableText(const std::string& shown)
{
    // Where the calls speak UTF-8 only a broken character fails: half of a
    // pair of UTF-16 units, which no name or path can hold.
    if (EveryCharacterPasses())
        return "\"" + shown + "\" holds a broken character (half of a UTF-16 surrogate pair)";
    return "\"" + shown + "\" holds characters that this version of Windows cannot pass between programs: "
           "only Windows 10 version 1903 and later pass every character; here a name, path or parameter may hold "
           "only the characters of code page " + std::to_string(ActiveCodePage());
}

std::string Utf8FromAnsi(const std::string& text)
{
    return EveryCharacterPasses() || AllAscii(text) ? text : Narrowed(WideFromText(text), CP_UTF8);
}

std::string AnsiFromUtf8(const std::string& text)
{
    return EveryCharacterPasses() || AllAscii(text) ? text : Narrowed(Widened(text, CP_UTF8), ActiveCodePage());
}

std::string LowerCase(const std::string& text)
{
    return MappedCase(text, LCMAP_LOWERCASE);
}

std::string UpperCase(const std::string& text)
{
    return MappedCase(text, LCMAP_UPPERCASE);
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

size_t DisplayWidth(const std::string& text)
{
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        const bool combining = (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
                               (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B;
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
                          (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
        width += combining ? 0 : wide ? 2 : 1;
    }
    return width;
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
