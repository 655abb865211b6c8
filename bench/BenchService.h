#pragma once
// A copy of a service host installed as a service with a catalogue entry of
// its own, for the benchmarks that measure hosts under the real Service
// Control Manager.
#include <windows.h>

#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "fixtures/Programs.h"
#include "fixtures/Watching.h"
#include "platform/Kernel.h"
#include "platform/Services.h"

// The exit code of a run that ended within 30 s, 99 for one that did not,
// -1 for one that could not start.
inline int RunAndWait(const std::string& line)
{
    TProgramEnd end = RunToEnd(line, nullptr, nullptr, 30000);
    return !end.Started ? -1 : end.InTime ? static_cast<int>(end.ExitCode) : 99;
}

inline SERVICE_STATUS_PROCESS Status(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    return status;
}

inline bool WaitForServiceState(SC_HANDLE service, DWORD state, DWORD pollMs = 5)
{
    return WaitFor([&] { return Status(service).dwCurrentState == state; }, 20000, pollMs);
}

inline bool Stop(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
        return Status(service).dwCurrentState == SERVICE_STOPPED;
    return WaitForServiceState(service, SERVICE_STOPPED);
}

// Copied to copyPath, or into the temporary folder (blanks of the
// description written as "!", as the manager names copies), added to the
// catalogue, installed and recorded so; stopped, uninstalled and deleted at
// the end. Its entry stays: benchmarks put the whole catalogue back.
class TBenchService {
public:
    TBenchService(const std::string& host, const std::string& description, const std::string& program,
                  const std::string& parameters, const std::string& logFile, const std::string& copyPath = "")
        : Description(description), Copy(copyPath)
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        std::string name = description;
        for (char& c : name)
            if (c == ' ')
                c = '!';
        if (Copy.empty())
            Copy = std::string(temp) + name + ".exe";
        if (!CopyFileA(host.c_str(), Copy.c_str(), FALSE))
            return;
        TCatalogue catalogue;
        catalogue.AppendEntry(description, program, parameters, logFile, !logFile.empty());
        ServiceID = catalogue.Entry().ServiceID;
        TIniFile(CatalogueFileName).WriteString(description, VantorerKey, Copy);
        if (RunAndWait("\"" + Copy + "\" -i") != 0)
            return;
        TIniFile(CatalogueFileName).WriteBool(description, InstalledKey, true);
        manager_ = TServiceHandle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
        Service = TServiceHandle(OpenServiceA(manager_.Get(), description.c_str(), SERVICE_ALL_ACCESS));
    }
    ~TBenchService()
    {
        if (Service && ended_)
            DeleteService(Service.Get());
        if (Service && !ended_) {
            Stop(Service.Get());
            RunAndWait("\"" + Copy + "\" -u");
        }
        Service.Close();
        DeleteFileA(Copy.c_str());
    }
    TBenchService(const TBenchService&) = delete;
    TBenchService& operator=(const TBenchService&) = delete;

    // Starts it and waits until it runs.
    bool Start() { return StartServiceA(Service.Get(), 0, nullptr) && WaitForServiceState(Service.Get(), SERVICE_RUNNING); }
    // Ends the host's process behind the Service Control Manager's back:
    // under Wine the service stays "running", with neither the host's pipe
    // nor its mailslot, as a host from before the pipe whose program does
    // not run. At the end it is only deleted.
    void EndHost()
    {
        TKernelHandle host(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, Status(Service.Get()).dwProcessId));
        TerminateProcess(host.Get(), 1);
        WaitForSingleObject(host.Get(), 5000);
        ended_ = true;
    }

    std::string Description;
    std::string Copy;
    int ServiceID = 0;
    // Null when it could not be installed.
    TServiceHandle Service;

private:
    TServiceHandle manager_;
    bool ended_ = false;
};
