#include "toolkit/Paths.h"

#include <windows.h>

#include <vector>

#include "toolkit/Text.h"

namespace {

// Full, long form with backslashes; the text as given when Windows cannot
// resolve it (a file that does not exist keeps its spelling).
std::string Canonical(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    // "\\?\C:\x" names C:\x, "\\?\UNC\server\x" names \\server\x.
    if (path.rfind("\\\\?\\UNC\\", 0) == 0)
        path.erase(0, 6).front() = '\\';
    else if (path.rfind("\\\\?\\", 0) == 0)
        path.erase(0, 4);
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

std::string ExecutablePath()
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

std::string FolderOf(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return "";
    if (slash == 2 && path[1] == ':')
        return path.substr(0, 3);
    return path.substr(0, slash);
}

bool FileExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameFilePath(const std::string& a, const std::string& b)
{
    return TFilePath(a).Names(b);
}

TFilePath::TFilePath(const std::string& path) : path_(path), canonical_(path.empty() ? "" : LowerCase(Canonical(path)))
{
}

bool TFilePath::Names(const std::string& other) const
{
    if (canonical_.empty() || other.empty())
        return false;
    return canonical_ == LowerCase(Canonical(other));
}
