#include "toolkit/Paths.h"

#include <windows.h>

#include <vector>

#include "toolkit/Text.h"

namespace {

// What a call that writes a path into a buffer makes of the path, or the
// path as given when it fails. A character may take up to four bytes, so
// the buffer grows to what the call asks for.
template <class Call>
std::string Resolved(const std::string& path, Call call)
{
    std::vector<char> buffer(MAX_PATH);
    for (int tries = 0; tries < 3; ++tries) {
        DWORD length = call(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            break;
        if (length < buffer.size())
            return std::string(buffer.data(), length);
        buffer.resize(length + 1);
    }
    return path;
}

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
    path = Resolved(path, [](const char* from, char* to, DWORD size) {
        return GetFullPathNameA(from, size, to, nullptr);
    });
    return Resolved(path, [](const char* from, char* to, DWORD size) { return GetLongPathNameA(from, to, size); });
}

} // namespace

std::string ExecutablePath()
{
    // Read wide: a character that cannot pass is refused, not read as "?".
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return "";
        if (length < buffer.size())
            return TextFromWide(std::wstring(buffer.data(), length));
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
