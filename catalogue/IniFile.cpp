#include "catalogue/IniFile.h"

#include <windows.h>

#include <cstdint>

#include "platform/Profile.h"
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
    // Hex values use all 32 bits, so $FFFFFFFF reads as -1.
    int64_t signedValue = hex ? static_cast<int32_t>(static_cast<uint32_t>(value)) : static_cast<int64_t>(value);
    result = static_cast<int>(negative ? -signedValue : signedValue);
    return true;
}

} // namespace

int StrToIntDef(const std::string& text, int defaultValue)
{
    int result = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseDigits(text, 2, true, false, result) ? result : defaultValue;

    size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ')
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    bool hex = false;
    if (pos < text.size() && text[pos] == '$') {
        hex = true;
        ++pos;
    }
    return ParseDigits(text, pos, hex, negative, result) ? result : defaultValue;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    char buffer[1024];
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                                            sizeof buffer, fileName_.c_str());
    return std::string(buffer, length);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const
{
    return StrToIntDef(ReadString(section, key, ""), defaultValue);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const
{
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    if (!ProfileApi().WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), fileName_.c_str()))
        RaiseWriteError(fileName_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::EraseSection(const std::string& section)
{
    if (!ProfileApi().WritePrivateProfileStringA(section.c_str(), nullptr, nullptr, fileName_.c_str()))
        RaiseWriteError(fileName_);
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key)
{
    ProfileApi().WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, fileName_.c_str());
}

void RaiseWriteError(const std::string& fileName)
{
    // The message names the file without its folder, as users know it.
    std::string::size_type slash = fileName.find_last_of("\\/");
    throw TError("Unable to write to " + (slash == std::string::npos ? fileName : fileName.substr(slash + 1)));
}
