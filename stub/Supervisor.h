#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "deploy/ServiceEnd.h"
#include "messaging/StatusPipe.h"
#include "platform/Kernel.h"
#include "stub/HealthMonitor.h"
#include "stub/ProgramFigures.h"
#include "stub/RestartRule.h"
#include "stub/StubLog.h"
#include "stub/StubSettings.h"

struct TSupervisorTiming {
    uint32_t FirstBackOffMs = 1000;
    uint32_t BackOffCeilingMs = 60000;
    // A run this long did its work: the program starts again at once, and
    // the back-off starts afresh.
    uint32_t SteadyRunMs = 10000;
    // How long the program may take to end after being asked, at a stop.
    uint32_t GracefulEndMs = 3000;
    // How long the output readers may take to finish after the tree ended.
    uint32_t DrainMs = 2000;
};

// The timing an entry's settings ask for: its stop timeout and restart
// delays; the rest as in base.
TSupervisorTiming TimingOf(const TServiceSettings& settings, TSupervisorTiming base = {});

// The host's environment with the entry's variables, each in the place of
// one of the same name, as CreateProcessA takes it: "name=value" strings,
// then one more zero.
std::vector<char> EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& variables);

// Everything one launched program holds: its job, its process and first
// thread, our ends of its output pipes and the threads that read them.
// Ending it (at the latest when it is destroyed) ends the whole tree first,
// so no path leaves a handle open or a process behind.
class TProgramRun {
public:
    TProgramRun(std::shared_ptr<TStubLog> log, uint32_t drainMs) : log_(std::move(log)), drainMs_(drainMs) {}
    ~TProgramRun();
    TProgramRun(const TProgramRun&) = delete;
    TProgramRun& operator=(const TProgramRun&) = delete;

    // Ends every process of the tree, lets the readers log what is left in
    // the pipes (a bounded time) and closes all. Nothing is left to end the
    // second time.
    void End();

    TKernelHandle Job;
    TKernelHandle Process;
    TKernelHandle Thread;
    DWORD Pid = 0;
    // Once it was ended: the process's exit code, when it could be read.
    std::optional<unsigned long> ExitCode;

    struct TReader {
        TKernelHandle Pipe;
        TKernelHandle Thread;
    };
    std::vector<TReader> Readers;

private:
    std::shared_ptr<TStubLog> log_;
    uint32_t drainMs_;
};

// Runs the program inside a job object, logs its output and its lifecycle,
// starts it again when it ends on its own or its health check finds it
// unhealthy, and ends the whole tree when the stop event is set. Waits only
// on handles: no CPU while the program runs.
class TSupervisor {
public:
    TSupervisor(TStubSettings settings, std::shared_ptr<TStubLog> log, bool captureOutput, HANDLE stopEvent,
                TSupervisorTiming timing = {});

    // Returns once the stop event is set and no process of the tree is
    // left (0), or once the entry's restart policy lets the program stay
    // ended: 0 after a success, else the service-specific exit code to
    // report. progress is called between the steps of a stop.
    unsigned long Run(const std::function<void()>& progress);

    // Called before every start of the program, to take the entry's settings
    // as they are then: a change takes effect at the program's next start.
    void SetReload(std::function<void(TStubSettings&)> reload) { reload_ = std::move(reload); }

    // True while the program's process runs: from its start until its end or
    // a stop request. Not while it is launched, not in the wait before a
    // restart, not while it is being ended. Any thread may ask.
    bool ProgramRunning() const;

    // What the program is doing, as the status pipe tells it: the program's
    // fields of the record, current to the millisecond. Any thread may ask;
    // the supervisor holds the record's lock only to change a few fields.
    TProgramStatus Status() const;

    // What the program's processes use now, and have used since the service
    // started: read when asked. Any thread may ask.
    TProgramResources Resources() { return figures_.Read(); }

    // How the service came to end, once Run has returned: for the record a
    // stopped service leaves (deploy/ServiceEnd.h).
    TServiceEnd End() const;

    // The most a stop can take, for the Service Control Manager's wait hint.
    uint32_t StopBoundMs() const { return timing_.GracefulEndMs + timing_.DrainMs + 2000; }

private:
    bool StopAsked() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }

    // Starts the program suspended, in its job, with its output readers;
    // raises a TError with the reason when it cannot.
    void Launch(TProgramRun& run);
    // Asks the program to end, ends the tree after the stop time-out, and
    // says whether it had to.
    bool StopRun(TProgramRun& run, const std::function<void()>& progress);
    // Notes how the service ends, for End().
    void Ending(TEndReason reason, const std::string& why, bool programKilled, unsigned long serviceExitCode,
                const TRestartDecision* decision = nullptr);
    void StartReader(TKernelHandle pipe, const char* stream, TProgramRun& run);
    // Changes the status record under its lock.
    void Publish(const std::function<void(TProgramStatus&)>& change);
    // The program ended (with its exit code) or could not start (why): the
    // next start is due as the restart rule decided, or there is none.
    void BackingOff(const TRestartDecision& next, std::optional<unsigned long> exitCode, const std::string& failure);
    static void Stopped(TProgramStatus& status);

    TStubSettings settings_;
    std::shared_ptr<TStubLog> log_;
    bool captureOutput_;
    HANDLE stop_;
    TSupervisorTiming timing_;
    std::function<void(TStubSettings&)> reload_;

    mutable std::mutex statusLock_;
    TProgramStatus status_;
    // When the current run started and the next start is due (ticks).
    ULONGLONG runStartTick_ = 0;
    ULONGLONG nextStartTick_ = 0;
    TServiceEnd end_;
    TProgramFigures figures_;
    // Last, so its thread is gone before what it publishes to.
    THealthMonitor health_;
};
