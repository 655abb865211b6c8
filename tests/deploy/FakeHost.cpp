// Stands in for the service host: writes the command line it was started
// with to "<own path>.args" and ends; an uninstall run takes a second first,
// as a real one may, so that its file is in use for a while.
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string record = std::string(self) + ".args";
    std::string part = record + ".part";
    std::string commandLine = GetCommandLineA();
    if (commandLine.size() >= 3 && commandLine.compare(commandLine.size() - 3, 3, " -u") == 0)
        Sleep(1000);

    HANDLE file = CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(file, commandLine.data(), static_cast<DWORD>(commandLine.size()), &written, nullptr);
    CloseHandle(file);
    // Appears whole or not at all, so the test never reads half a record.
    return MoveFileExA(part.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
