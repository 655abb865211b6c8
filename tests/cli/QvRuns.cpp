#include "tests/cli/QvRuns.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "fixtures/Programs.h"
#include "platform/Kernel.h"
#include "tests/support/TestServices.h"

TProgramResult Qv(const std::string& arguments)
{
    // Built by appending: GCC 12 warns wrongly on a literal added in front
    // of a temporary string.
    std::string line = "\"";
    line += WindowsPath(QV_EXE);
    return RunProgram(line + "\" " + arguments);
}

bool QvsWaiting(size_t count)
{
    static std::vector<ULONGLONG> before;
    std::vector<ULONGLONG> times;
    TKernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 process = {};
    process.dwSize = sizeof process;
    for (BOOL more = Process32First(snapshot.Get(), &process); more; more = Process32Next(snapshot.Get(), &process)) {
        if (lstrcmpiA(process.szExeFile, "qv.exe") != 0)
            continue;
        TKernelHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.th32ProcessID));
        FILETIME created, ended, kernel, user;
        if (GetProcessTimes(handle.Get(), &created, &ended, &kernel, &user))
            times.push_back((static_cast<ULONGLONG>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
                            (static_cast<ULONGLONG>(user.dwHighDateTime) << 32 | user.dwLowDateTime));
    }
    std::sort(times.begin(), times.end());
    const bool settled = times.size() == count && times == before;
    before = times;
    return settled;
}

void TQvServicesTest::TearDown()
{
    for (const std::string& name : services)
        RemoveTestServiceAndCopy(name);
}
