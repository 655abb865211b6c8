#pragma once
#include <string>

// The value of a sample in Prometheus's text format, the series written as
// it stands in the text ("name{label=\"value\"}"); "" when there is none.
inline std::string Sample(const std::string& text, const std::string& series)
{
    const size_t at = text.find("\n" + series + " ");
    if (at == std::string::npos)
        return "";
    const size_t value = at + series.size() + 2;
    return text.substr(value, text.find('\n', value) - value);
}
