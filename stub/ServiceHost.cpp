#include "stub/ServiceHost.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "stub/Liveness.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"
#include "stub/StubSettings.h"
#include "stub/Supervisor.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};
std::mutex statusLock;
HANDLE stopEvent = nullptr;
std::atomic<DWORD> stopHintMs{8000};

void Report(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = NO_ERROR, DWORD specificCode = 0)
{
    std::lock_guard<std::mutex> hold(statusLock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = specificCode ? ERROR_SERVICE_SPECIFIC_ERROR : exitCode;
    status.dwServiceSpecificExitCode = specificCode;
    status.dwWaitHint = waitHintMs;
    // Pending states count their steps; settled ones have none.
    status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? status.dwCheckPoint + 1 : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, stopHintMs);
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Where the lifecycle goes: the entry's file when it asks for one and the
// file can be opened, the event log otherwise.
std::shared_ptr<TStubLog> OpenLog(const TStubSettings& settings, bool& toFile)
{
    toFile = false;
    if (settings.LogToFile) {
        std::string reason = "no log file is set";
        if (!settings.LogFile.empty()) {
            auto file = std::make_shared<TFileLog>(settings.LogFile);
            if (file->Open(reason)) {
                toFile = true;
                return file;
            }
        }
        auto events = std::make_shared<TEventLog>(settings.Description);
        events->Event(TLogKind::Warning, "logging to the event log: " + reason);
        return events;
    }
    return std::make_shared<TEventLog>(settings.Description);
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    const std::string ownPath = ExecutablePath();
    const std::string description = DescriptionFromPath(ownPath);
    statusHandle = RegisterServiceCtrlHandlerExA(description.c_str(), Control, nullptr);
    if (!statusHandle)
        return;
    Report(SERVICE_START_PENDING, 3000);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    TStubSettings settings;
    try {
        settings = LoadSettings(description, ownPath);
    } catch (const TSettingsError& error) {
        TEventLog(description).Event(TLogKind::Error, "the service cannot run: " + error.Message());
        Report(SERVICE_STOPPED, 0, NO_ERROR, error.ExitCode());
        return;
    }
    if (!stopEvent) {
        Report(SERVICE_STOPPED, 0, GetLastError());
        return;
    }

    bool toFile = false;
    std::shared_ptr<TStubLog> log = OpenLog(settings, toFile);
    log->Event(TLogKind::Information,
               "service \"" + description + "\" starting (service ID " + std::to_string(settings.ServiceID) + ")");
    TLivenessListener liveness(settings.ServiceID, log);
    std::string reason;
    if (!liveness.Start(reason))
        log->Event(TLogKind::Warning, "liveness questions will not be answered: " + reason);

    TSupervisor supervisor(settings, log, toFile, stopEvent);
    stopHintMs = supervisor.StopBoundMs();
    Report(SERVICE_RUNNING);
    supervisor.Run([&] { Report(SERVICE_STOP_PENDING, supervisor.StopBoundMs()); });
    Report(SERVICE_STOP_PENDING, 3000);
    liveness.Stop();
    log->Event(TLogKind::Information, "stopped");
    Report(SERVICE_STOPPED);
}

} // namespace

bool RunAsService()
{
    // The name is ignored for a service of its own process.
    static char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}
