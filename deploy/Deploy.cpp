#include "deploy/Deploy.h"

#include <windows.h>

#include <vector>

#include "catalogue/IniFile.h"
#include "deploy/StubNames.h"
#include "platform/Directories.h"
#include "platform/Shell.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Prompter.h"

namespace {

constexpr UINT WindowsDirectoryBuffer = 255;
constexpr UINT LaunchShowMode = SW_SHOW;
// WinExec returns 32 or more when the program was started.
constexpr UINT FirstLaunchSuccess = 32;

constexpr const char* InstallFailure =
    "The Service could not be installed !\r\rFailure while Executing \"-Install\" of file: \r    \"";
constexpr const char* UninstallFailure =
    "The Service could not be uninstalled !\r\rFailure while Executing \"-Uninstall\" of file: \r    \"";

// The system's own sentence for an error code, without its line end.
std::string SystemReason(DWORD code)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string reason = length && text ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' '))
        reason.pop_back();
    if (reason.empty())
        reason = "System error " + std::to_string(code);
    return reason;
}

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

std::string StubCopyPath(const std::string& description)
{
    std::string folder = WindowsDirectory() + "\\" + StubFolderName;
    if (!FolderExists(folder) && !CreateDirectoryA(folder.c_str(), nullptr)) {
        DWORD code = GetLastError();
        throw TError("Unable to create the folder \"" + folder + "\" for the service hosts: " + SystemReason(code));
    }
    return folder + "\\" + ReplaceSpaces(description, BlankInFileName) + ".exe";
}

std::string StubSourcePath()
{
    return FolderOf(ExecutablePath()) + "\\" + StubSourceName;
}

bool DeployEntry(TCatalogue& catalogue, int index, bool install)
{
    TIniFile ini(catalogue.FileName());
    catalogue.CheckIndex(ini, index);

    TCatalogueEntry& entry = catalogue.Entry();
    entry.Description = ini.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
    entry.StubPath = StubCopyPath(entry.Description);
    const std::string stubPath = entry.StubPath;

    // An uninstall needs a copy to run; an install always takes a fresh one.
    if (install || !FileExists(stubPath))
        CopyFileA(StubSourcePath().c_str(), stubPath.c_str(), FALSE);

    // The host reads its own entry when it runs, so both are in place first.
    ini.WriteString(entry.Description, VantorerKey, stubPath);
    ini.WriteBool(entry.Description, InstalledKey, install);

    std::string commandPath = stubPath.find(' ') == std::string::npos ? stubPath : "\"" + stubPath + "\"";
    std::string commandLine = commandPath + (install ? InstallSwitch : UninstallSwitch);
    UINT launched = ShellApi().WinExec(commandLine.c_str(), LaunchShowMode);
    if (launched < FirstLaunchSuccess)
        Prompter().Error((install ? InstallFailure : UninstallFailure) + commandPath + "\"");

    if (!install)
        DeleteFileA(stubPath.c_str());
    return true;
}
