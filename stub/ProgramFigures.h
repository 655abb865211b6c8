#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "messaging/StatusPipe.h"
#include "platform/Kernel.h"
#include "stub/StubLog.h"

// What the supervised program's processes use, for the status answer. The
// figures are read when the host is asked, never on a timer: an idle host
// costs what it did. The one thing read as it happens is the number of
// processes, from the job's own messages on a completion port, so the most
// at once is exact; its thread sleeps until a process of the program starts
// or ends.
//
// Processor time is the job's own accounting where the system keeps it
// (Windows, also for ended processes); where it keeps none for a job or for
// another process (Wine), the times of the processes' threads, as last seen.
// Either way the figures add up across the program's runs and never go
// down while the service runs.
class TProgramFigures {
public:
    explicit TProgramFigures(std::shared_ptr<TStubLog> log);
    ~TProgramFigures();
    TProgramFigures(const TProgramFigures&) = delete;
    TProgramFigures& operator=(const TProgramFigures&) = delete;

    // The job of a new run of the program, before its first process is in
    // it. What the earlier run used is kept. A job that cannot be watched is
    // said in the log; its processes are then counted as the job counts them.
    void Watch(HANDLE job);
    // The figures now.
    TProgramResources Read();

    struct TShared;

private:
    // One run's job and what was read of it.
    struct TRun {
        TKernelHandle Job;
        // Whether the job's messages count its processes.
        bool Counted = false;
        // The job's own accounting, as last read.
        uint64_t JobUserMs = 0;
        uint64_t JobKernelMs = 0;
        // Per process: its threads' times as last seen, user and kernel.
        std::map<DWORD, std::pair<uint64_t, uint64_t>> ThreadMs;
        // The most processes the job was seen with when asked.
        unsigned PeakSeen = 0;
    };

    // Reads the run's job into it and into the figures; expects the lock held.
    void Sample(TProgramResources& figures);
    // The run's processor time so far.
    std::pair<uint64_t, uint64_t> RunCpuMs() const;
    // Starts counting the processes, once.
    bool StartCounting();

    std::shared_ptr<TShared> shared_;
    TKernelHandle thread_;
    bool countingTried_ = false;
    std::mutex lock_;
    TRun run_;
    // What the ended runs used, and the peaks so far.
    uint64_t endedUserMs_ = 0;
    uint64_t endedKernelMs_ = 0;
    uint64_t peakWorkingSet_ = 0;
    uint64_t peakPrivate_ = 0;
    unsigned peakProcesses_ = 0;
};
