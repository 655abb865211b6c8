#include "catalogue/IniFile.h"

#include <windows.h>

#include "platform/Profile.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    char buffer[ValueBuffer];
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

std::string FileNameOf(const std::string& path)
{
    return path.substr(path.find_last_of("\\/") + 1);
}

void RaiseWriteError(const std::string& fileName)
{
    throw TError("Unable to write to " + FileNameOf(fileName));
}
