#pragma once
#include <cstdint>
#include <optional>
#include <string>

// The text without the characters 0 to 32 (blanks, tabs, line breaks and
// other control characters) at either end.
inline std::string Trim(const std::string& text)
{
    size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}

// Letter case by the user's locale, as Windows compares names.
std::string LowerCase(std::string text);
std::string UpperCase(std::string text);
// Only the ASCII letters a to z made upper case; every other character
// stays as it is (mailslot server names).
std::string AsciiUpperCase(std::string text);

// Text in the system's code page (as the catalogue holds it) as UTF-8, and
// back.
std::string Utf8FromAnsi(const std::string& text);
std::string AnsiFromUtf8(const std::string& text);

// A span as people say it, to its two largest units: "8 s", "5 min 12 s",
// "2 h 13 min", "3 d 4 h".
std::string DurationText(uint64_t ms);

// Integers read from text. Both take the whole text and never throw.

// An optional "+" or "-", then decimal digits, within 32 bits; nothing else.
std::optional<int> DecimalInteger(const std::string& text);
// The catalogue's integer rule: "0x" or "0X" followed by hex digits, or
// leading blanks, an optional sign and decimal digits (hex after "$"); all
// 32 bits of a hex value count, so "$FFFFFFFF" is -1. Anything else,
// trailing blanks included, gives the default.
int StrToIntDef(const std::string& text, int defaultValue);
