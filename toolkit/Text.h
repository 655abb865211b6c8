#pragma once
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
