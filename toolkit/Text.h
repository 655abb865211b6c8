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

// Letter case by the system's rules for every script, as Windows compares
// the names of services and files ("Überwachung" and "ÜBERWACHUNG" are one
// name).
std::string LowerCase(const std::string& text);
std::string UpperCase(const std::string& text);
// Only the ASCII letters a to z made upper case; every other character
// stays as it is (mailslot server names).
std::string AsciiUpperCase(std::string text);

// Our programs hold text in std::string in the code page the single-byte
// (...A) calls of Windows speak: UTF-8, which every program of ours asks for
// in its manifest and Windows grants from Windows 10 version 1903 on. There
// every character passes; on an older Windows only those of the system's
// code page do.

// The code page the single-byte calls speak here.
unsigned ActiveCodePage();
// True where every character passes: the calls speak UTF-8.
bool EveryCharacterPasses();
// The system's own code page, which the single-byte calls of programs that
// do not ask for UTF-8 speak, and in which INI files without a byte-order
// mark are written.
unsigned SystemCodePage();
// Text as the wide (...W) calls take it.
std::wstring WideFromText(const std::string& text);
// Wide text (from a wide call, a window, the catalogue) as our programs hold
// it. Where a character cannot pass (an older Windows) it raises a TError
// saying so, rather than let the character turn into "?".
std::string TextFromWide(const std::wstring& text);
// The message of that refusal.
std::string UnpassableText(const std::string& shown);

// Text as our programs hold it as UTF-8, and back: the same text where the
// calls speak UTF-8.
std::string Utf8FromAnsi(const std::string& text);
std::string AnsiFromUtf8(const std::string& text);

// How many columns a console gives the UTF-8 text: one a character, two for
// the wide characters of East Asian scripts, none for combining marks.
size_t DisplayWidth(const std::string& text);

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
