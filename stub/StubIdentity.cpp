#include "stub/StubIdentity.h"

#include <windows.h>

#include <vector>

#include "deploy/StubNames.h"

namespace {

std::string Lower(std::string text)
{
    if (!text.empty())
        CharLowerBuffA(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Full, long form with backslashes; the text as given when Windows cannot
// resolve it (a file that does not exist keeps its spelling).
std::string Canonical(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    char full[MAX_PATH * 2];
    DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length > 0 && length < sizeof full)
        path.assign(full, length);
    char longForm[MAX_PATH * 2];
    length = GetLongPathNameA(path.c_str(), longForm, sizeof longForm);
    if (length > 0 && length < sizeof longForm)
        path.assign(longForm, length);
    return path;
}

} // namespace

std::string DescriptionFromPath(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() >= 4 && Lower(name.substr(name.size() - 4)) == ".exe")
        name.resize(name.size() - 4);
    for (char& c : name)
        if (c == BlankInFileName)
            c = ' ';
    return name;
}

std::string OwnPath()
{
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return "";
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

bool SameFilePath(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty())
        return false;
    return Lower(Canonical(a)) == Lower(Canonical(b));
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return "";
    // "C:\prog.exe" lives in "C:\", not in "C:".
    if (slash == 2 && path[1] == ':')
        return path.substr(0, 3);
    return path.substr(0, slash);
}
