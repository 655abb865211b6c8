#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stub/StubLog.h"
#include "stub/StubSettings.h"

struct TSupervisorTiming {
    uint32_t FirstBackOffMs = 1000;
    uint32_t BackOffCeilingMs = 60000;
    // A run this long resets the back-off.
    uint32_t SteadyRunMs = 30000;
    // How long the program may take to end after being asked, at a stop.
    uint32_t GracefulEndMs = 3000;
    // How long the output readers may take to finish after the tree ended.
    uint32_t DrainMs = 2000;
};

// Runs the program inside a job object, logs its output and its lifecycle,
// starts it again when it ends on its own, and ends the whole tree when the
// stop event is set. Waits only on handles: no CPU while the program runs.
class TSupervisor {
public:
    TSupervisor(TStubSettings settings, std::shared_ptr<TStubLog> log, bool captureOutput, HANDLE stopEvent,
                TSupervisorTiming timing = {});

    // Returns once the stop event is set and no process of the tree is left.
    // progress is called between the steps of a stop.
    void Run(const std::function<void()>& progress);

    // The most a stop can take, for the Service Control Manager's wait hint.
    uint32_t StopBoundMs() const { return timing_.GracefulEndMs + timing_.DrainMs + 2000; }

private:
    struct TRun {
        HANDLE Job = nullptr;
        HANDLE Process = nullptr;
        DWORD Pid = 0;
        std::vector<HANDLE> Readers;
    };

    bool Launch(TRun& run, std::string& reason);
    void AskToEnd(const TRun& run);
    void EndTree(TRun& run);
    void StopRun(TRun& run, const std::function<void()>& progress);
    bool StartReader(HANDLE pipe, const char* stream, TRun& run);

    TStubSettings settings_;
    std::shared_ptr<TStubLog> log_;
    bool captureOutput_;
    HANDLE stop_;
    TSupervisorTiming timing_;
};

// The text Windows gives for an error code, without the line break.
std::string SystemMessage(DWORD error);
