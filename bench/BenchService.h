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
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    return WaitForServiceState(service, SERVICE_STOPPED);
}

// Copied into the temporary folder (blanks of the description written as
// "!", as the manager names copies), added to the catalogue, installed;
// stopped, uninstalled and deleted at the end. Its entry stays: benchmarks
// put the whole catalogue back.
class TBenchService {
public:
    TBenchService(const std::string& host, const std::string& description, const std::string& program,
                  const std::string& parameters, const std::string& logFile)
        : Description(description)
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        std::string name = description;
        for (char& c : name)
            if (c == ' ')
                c = '!';
        Copy = std::string(temp) + name + ".exe";
        if (!CopyFileA(host.c_str(), Copy.c_str(), FALSE))
            return;
        TCatalogue catalogue;
        catalogue.AppendEntry(description, program, parameters, logFile, !logFile.empty());
        ServiceID = catalogue.Entry().ServiceID;
        TIniFile(CatalogueFileName).WriteString(description, VantorerKey, Copy);
        if (RunAndWait("\"" + Copy + "\" -i") != 0)
            return;
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        Service = OpenServiceA(manager_, description.c_str(), SERVICE_ALL_ACCESS);
    }
    ~TBenchService()
    {
        if (Service) {
            Stop(Service);
            CloseServiceHandle(Service);
            RunAndWait("\"" + Copy + "\" -u");
        }
        if (manager_)
            CloseServiceHandle(manager_);
        DeleteFileA(Copy.c_str());
    }
    TBenchService(const TBenchService&) = delete;
    TBenchService& operator=(const TBenchService&) = delete;

    // Starts it and waits until it runs.
    bool Start() { return StartServiceA(Service, 0, nullptr) && WaitForServiceState(Service, SERVICE_RUNNING); }

    std::string Description;
    std::string Copy;
    int ServiceID = 0;
    // Null when it could not be installed.
    SC_HANDLE Service = nullptr;

private:
    SC_HANDLE manager_ = nullptr;
};
