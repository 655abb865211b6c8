#include "catalogue/StubCopy.h"

#include <windows.h>

#include <vector>

#include "platform/Directories.h"

namespace {

constexpr UINT WindowsDirectoryBuffer = 255;

} // namespace

std::string WindowsDirectory()
{
    std::vector<char> buffer(WindowsDirectoryBuffer);
    UINT length = DirectoryApi().GetWindowsDirectoryA(buffer.data(), WindowsDirectoryBuffer);
    // A directory longer than the buffer is reported by its needed size and
    // not placed in the buffer; read it again into room enough, rather than
    // take characters that are not there.
    if (length >= WindowsDirectoryBuffer) {
        buffer.resize(length + 1);
        length = DirectoryApi().GetWindowsDirectoryA(buffer.data(), length + 1);
        if (length >= buffer.size())
            length = 0;
    }
    return std::string(buffer.data(), length);
}

std::string ReplaceSpaces(const std::string& text, char replacement)
{
    std::string result = text;
    for (char& c : result)
        if (c == ' ')
            c = replacement;
    return result;
}

std::string StubFolder()
{
    return WindowsDirectory() + "\\" + StubFolderName;
}

std::string StubCopyFile(const std::string& description)
{
    return StubFolder() + "\\" + ReplaceSpaces(description, BlankInFileName) + StubCopyExtension;
}
