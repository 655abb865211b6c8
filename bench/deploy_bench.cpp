// Times one install and one uninstall of an entry (copy, two catalogue
// writes; the launch itself is left out) and one round trip through the
// Service Control Manager for a service that is not there.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "catalogue/Catalogue.h"
#include "deploy/Deploy.h"
#include "deploy/ServiceControl.h"
#include "deploy/StubNames.h"
#include "fixtures/Programs.h"
#include "platform/Directories.h"
#include "platform/Seam.h"
#include "platform/Shell.h"
#include "toolkit/Paths.h"
#include "toolkit/Prompter.h"

namespace {

std::string benchWindows;

UINT WINAPI BenchWindowsDirectory(LPSTR buffer, UINT size)
{
    if (benchWindows.size() >= size)
        return static_cast<UINT>(benchWindows.size() + 1);
    lstrcpyA(buffer, benchWindows.c_str());
    return static_cast<UINT>(benchWindows.size());
}

// A process that has ended as a host's run that did what it was asked,
// made before the timing starts.
HANDLE endedRun = nullptr;

// Each launch hands back that ended run, so every install and uninstall
// goes all the way and the entry's state alternates.
BOOL WINAPI Launched(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCSTR,
                     LPSTARTUPINFOA, LPPROCESS_INFORMATION started)
{
    started->hThread = nullptr;
    return DuplicateHandle(GetCurrentProcess(), endedRun, GetCurrentProcess(), &started->hProcess, 0, FALSE,
                           DUPLICATE_SAME_ACCESS);
}

class TSilentPrompter : public TPrompter {
public:
    int errors = 0;
    void Information(const std::string&) override {}
    void Error(const std::string&) override { ++errors; }
    bool Confirm(const std::string&) override { return false; }
    void StandardError(const std::string&) override {}
};

} // namespace

int main()
{
    TSilentPrompter silent;
    SetPrompter(&silent);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    benchWindows = std::string(temp) + "qv_bench_windows";
    CreateDirectoryA(benchWindows.c_str(), nullptr);
    std::string file = benchWindows + "\\QXServices.ini";
    DeleteFileA(file.c_str());

    // The bench's own program stands in for the service host, for its size.
    bool madeSource = !FileExists(StubSourcePath());
    if (madeSource)
        CopyFileA(ExecutablePath().c_str(), StubSourcePath().c_str(), TRUE);

    endedRun = EndedProcess(HostRunDone);
    if (!endedRun) {
        std::printf("cannot make an ended run: error %lu\n", GetLastError());
        return 1;
    }
    const int runs = 51;
    std::vector<double> install, uninstall, control;
    {
        TSeamOverride<decltype(TDirectoryApi::GetWindowsDirectoryA)> windows(DirectoryApi().GetWindowsDirectoryA,
                                                                             BenchWindowsDirectory);
        TSeamOverride<decltype(TShellApi::CreateProcessA)> launch(ShellApi().CreateProcessA, Launched);
        TCatalogue catalogue(file);
        catalogue.AppendEntry("Mail Relay", "C:\\relay.exe", "", "", false);
        for (int run = 0; run < runs; ++run) {
            install.push_back(Milliseconds([&] { DeployEntry(catalogue, 1, true); }));
            uninstall.push_back(Milliseconds([&] { DeployEntry(catalogue, 1, false); }));
        }
    }
    for (int run = 0; run < runs; ++run)
        control.push_back(Milliseconds([&] {
            if (TServiceControl().StartStop(true, {"Quorvane Bench None", ""}))
                ++silent.errors;
        }));

    DeleteFileA(file.c_str());
    RemoveDirectoryA((benchWindows + "\\" + StubFolderName).c_str());
    RemoveDirectoryA(benchWindows.c_str());
    if (madeSource)
        DeleteFileA(StubSourcePath().c_str());
    SetPrompter(nullptr);

    std::printf("%d runs; %d refusals from the missing service\n", runs, silent.errors);
    std::printf("DeployEntry install    median %8.3f ms\n", Median(install));
    std::printf("DeployEntry uninstall  median %8.3f ms\n", Median(uninstall));
    std::printf("stop, missing service  median %8.3f ms\n", Median(control));
    return 0;
}
