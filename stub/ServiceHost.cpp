#include "stub/ServiceHost.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "deploy/ServiceEnd.h"
#include "messaging/StatusPipe.h"
#include "stub/Guard.h"
#include "stub/LivenessListener.h"
#include "stub/StatusServer.h"
#include "stub/StubSettings.h"
#include "stub/Supervisor.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status = {};
std::mutex statusLock;
// Lives as long as the process: a control may come at any moment.
HANDLE stopEvent = nullptr;
// Why it could not be made, read when it was not.
DWORD stopEventError = ERROR_SUCCESS;
// The wait hints for the steps of a start and the last of a stop, and for a
// whole stop until the supervisor says how long its own takes.
constexpr DWORD StepHintMs = 3000;
std::atomic<DWORD> stopHintMs{8000};
// A thread failed; the service ends with HostFailureExitCode.
std::atomic<bool> hostFailed{false};
std::mutex failureLock;
std::string failure;

// The listener the first stop control closes, while ServiceMain holds one.
std::mutex listenerLock;
TLivenessListener* listener = nullptr;

void Report(DWORD state, DWORD waitHintMs = 0, DWORD specificCode = 0)
{
    std::lock_guard<std::mutex> hold(statusLock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    // At shutdown the program is stopped as at any stop, within the time the
    // pre-shutdown notice leaves (set at install from the stop timeout).
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN : 0;
    status.dwWin32ExitCode = specificCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = specificCode;
    status.dwWaitHint = waitHintMs;
    // Pending states count their steps; settled ones have none.
    status.dwCheckPoint = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ? status.dwCheckPoint + 1 : 0;
    SetServiceStatus(statusHandle, &status);
}

void StopListening()
{
    std::lock_guard<std::mutex> hold(listenerLock);
    if (listener)
        listener->Stop();
}

// Makes a listener the one the stop control closes, for its lifetime.
class TPublishedListener {
public:
    explicit TPublishedListener(TLivenessListener& published)
    {
        std::lock_guard<std::mutex> hold(listenerLock);
        listener = &published;
    }
    ~TPublishedListener()
    {
        std::lock_guard<std::mutex> hold(listenerLock);
        listener = nullptr;
    }
    TPublishedListener(const TPublishedListener&) = delete;
    TPublishedListener& operator=(const TPublishedListener&) = delete;
};

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // Silent before anything else: a host that is stopping must not pass
        // for a running one, not even while its program still ends. Nothing
        // may unwind into the Service Control Manager, and the stop happens
        // whatever failed on the way.
        try {
            StopListening();
            Report(SERVICE_STOP_PENDING, stopHintMs);
        } catch (...) {
        }
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void OnThreadFailure(const std::string& what)
{
    {
        std::lock_guard<std::mutex> hold(failureLock);
        if (failure.empty())
            failure = what;
    }
    hostFailed = true;
    SetEvent(stopEvent);
}

// The host's own end: its settings, a thread or the host itself failed.
TServiceEnd HostFailedEnd(const std::string& why, unsigned long exitCode)
{
    TServiceEnd end;
    end.At = UtcNow();
    end.Reason = TEndReason::HostFailed;
    end.Why = why;
    end.ServiceExitCode = exitCode;
    return end;
}

TLogRotation RotationOf(const TServiceSettings& settings)
{
    return {settings.LogMaxBytes, settings.LogKeep, settings.LogDaily};
}

// Where the lifecycle goes: the entry's file when it asks for one and the
// file can be opened, the event log otherwise.
std::shared_ptr<TStubLog> OpenLog(const TStubSettings& settings, std::shared_ptr<TFileLog>& fileLog)
{
    if (settings.LogToFile) {
        std::string reason = "no log file is set";
        if (!settings.LogFile.empty()) {
            auto file = std::make_shared<TFileLog>(settings.LogFile, RotationOf(settings.Service),
                                                   settings.Service.LogTimestamps);
            // A raw log holds the program's bytes alone; the host's events go
            // to the event log then.
            file->SetRawEvents(std::make_shared<TEventLog>(settings.Description));
            file->Configure(RotationOf(settings.Service), settings.Service.LogTimestamps,
                            settings.Service.LogMode == TLogMode::Raw);
            try {
                file->Open();
                fileLog = file;
                return file;
            } catch (const TError& error) {
                reason = error.Message();
            }
        }
        auto events = std::make_shared<TEventLog>(settings.Description);
        events->Event(TLogKind::Warning, "logging to the event log: " + reason);
        return events;
    }
    return std::make_shared<TEventLog>(settings.Description);
}

// Runs the service until it is stopped; the service-specific exit code to
// report, and how it ended. log is set as soon as there is one, for the
// caller's last words.
DWORD RunService(const std::string& serviceName, std::shared_ptr<TStubLog>& log, TServiceEnd& end)
{
    TStubSettings settings;
    try {
        settings = LoadSettings(ExecutablePath());
    } catch (const TSettingsError& error) {
        TEventLog(serviceName).Event(TLogKind::Error, "the service cannot run: " + error.Message());
        end = HostFailedEnd("the service cannot run: " + error.Message(), error.ExitCode());
        return error.ExitCode();
    }
    std::shared_ptr<TFileLog> fileLog;
    log = OpenLog(settings, fileLog);
    const bool toFile = fileLog != nullptr;
    log->Event(TLogKind::Information, "service \"" + settings.Description + "\" starting (service ID " +
                                          std::to_string(settings.ServiceID) + ")");

    // The listener goes first at the end: it asks the supervisor.
    TSupervisor supervisor(settings, log, toFile, stopEvent, TimingOf(settings.Service));
    // The host's settings as they are at each start of the program; an
    // entry that cannot be read then keeps those it had.
    const std::string ownPath = ExecutablePath();
    supervisor.SetReload([ownPath, fileLog](TStubSettings& current) {
        try {
            current.Service = LoadSettings(ownPath).Service;
        } catch (const TError&) {
            return;
        }
        if (fileLog)
            fileLog->Configure(RotationOf(current.Service), current.Service.LogTimestamps,
                               current.Service.LogMode == TLogMode::Raw);
    });
    TLivenessListener liveness(settings.ServiceID, log, [&supervisor] { return supervisor.ProgramRunning(); });
    try {
        liveness.Start();
    } catch (const TError& error) {
        log->Event(TLogKind::Warning, "liveness questions will not be answered: " + error.Message());
    }
    TPublishedListener published(liveness);
    // Serves through a stop, saying so, and goes first once the program has
    // ended: a service that reports itself stopped has no pipe. A name
    // another program holds is said in the event log too.
    TStatusServer status(
        settings.ServiceID, log,
        [&] {
            TProgramStatus answer = supervisor.Status();
            answer.ServiceHost = ownPath;
            answer.HostVersion = QUORVANE_HOST_VERSION;
            answer.LogFile = settings.LogToFile ? settings.LogFile : "";
            answer.LogFileOpen = toFile;
            if (fileLog) {
                const TLogState state = fileLog->State();
                answer.LogRaw = state.Raw;
                answer.LogFolderMissing = state.FolderMissing;
                answer.LogDroppedBytes = state.DroppedBytes;
                answer.LogDroppedTotalBytes = state.DroppedTotalBytes;
                answer.LogDeletedBytes = state.DeletedBytes;
            }
            answer.Resources = supervisor.Resources();
            return StatusAnswer(answer);
        },
        toFile ? std::make_shared<TEventLog>(settings.Description) : nullptr);
    try {
        status.Start();
    } catch (const TError& error) {
        log->Event(TLogKind::Warning, "the status pipe is not served: " + error.Message());
    }

    stopHintMs = supervisor.StopBoundMs();
    Report(SERVICE_RUNNING);
    const unsigned long ended = supervisor.Run([&] { Report(SERVICE_STOP_PENDING, supervisor.StopBoundMs()); });
    status.Stop();
    Report(SERVICE_STOP_PENDING, StepHintMs);
    StopListening();
    log->Event(TLogKind::Information, "stopped");
    end = supervisor.End();
    if (hostFailed) {
        std::lock_guard<std::mutex> hold(failureLock);
        end = HostFailedEnd("the service host failed: " + failure, HostFailureExitCode);
        return HostFailureExitCode;
    }
    return ended;
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv)
{
    const std::string serviceName = argc > 0 && argv[0] ? argv[0] : "";
    statusHandle = RegisterServiceCtrlHandlerExA(serviceName.c_str(), Control, nullptr);
    if (!statusHandle)
        return;
    Report(SERVICE_START_PENDING, StepHintMs);
    if (!stopEvent) {
        TEventLog(serviceName).Event(TLogKind::Error, "the service cannot run: no stop event (error " +
                                                          std::to_string(stopEventError) + ")");
        Report(SERVICE_STOPPED, 0, HostFailureExitCode);
        return;
    }
    SetFailureHandler(OnThreadFailure);
    // A record of an earlier end would tell of this run once it ended
    // without one.
    const std::string ownPath = ExecutablePath();
    RemoveServiceEnd(ownPath);
    std::shared_ptr<TStubLog> log;
    DWORD exitCode = HostFailureExitCode;
    TServiceEnd end;
    try {
        exitCode = RunService(serviceName, log, end);
    } catch (...) {
        try {
            std::string failure = "the service host failed: " + CurrentFailure();
            end = HostFailedEnd(failure, exitCode);
            if (log)
                log->Event(TLogKind::Error, failure);
            else
                TEventLog(serviceName).Event(TLogKind::Error, failure);
        } catch (...) {
            // Nothing left to write with; the exit code still tells.
        }
    }
    end.ServiceExitCode = exitCode;
    if (!WriteServiceEnd(ownPath, end) && log) {
        const DWORD error = GetLastError();
        try {
            log->Event(TLogKind::Warning, "how the service ended is not recorded beside its host (error " +
                                              std::to_string(error) + ")");
        } catch (...) {
        }
    }
    Report(SERVICE_STOPPED, 0, exitCode);
}

} // namespace

bool RunAsService()
{
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent)
        stopEventError = GetLastError();
    // The name is ignored for a service of its own process.
    static char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) != FALSE;
}
