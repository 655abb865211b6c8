#pragma once
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <utility>

#include "messaging/StatusPipe.h"
#include "platform/Kernel.h"

// What the supervised program's processes use, for the status answer. The
// figures are read when the host is asked, never on a timer nor by a thread
// of their own: an idle host costs what it did. So the peaks are the most
// seen when asked, or the system's own where it keeps one (a process's peak
// working set, a job's peak committed memory on Windows).
//
// Processor time is the job's own accounting where the system keeps it
// (Windows, also for ended processes). Wine keeps none for a job nor for
// another process, only for a thread: there the program's first thread's
// time, as last seen, is what counts (reading every thread of the tree would
// take a snapshot of the whole system at every answer, seconds for a list of
// hundreds). Either way the figures add up across the program's runs and
// never go down while the service runs.
class TProgramFigures {
public:
    TProgramFigures() = default;
    TProgramFigures(const TProgramFigures&) = delete;
    TProgramFigures& operator=(const TProgramFigures&) = delete;

    // The job of a new run of the program, and its first thread. What the
    // earlier run used is kept.
    void Watch(HANDLE job, HANDLE thread);
    // The figures now.
    TProgramResources Read();

private:
    // One run's job and what was read of it.
    struct TRun {
        TKernelHandle Job;
        TKernelHandle Thread;
        // The job's own accounting, as last read.
        uint64_t JobUserMs = 0;
        uint64_t JobKernelMs = 0;
        // The first thread's times as last seen.
        uint64_t ThreadUserMs = 0;
        uint64_t ThreadKernelMs = 0;
    };

    // Reads the run's job into it and into the figures; expects the lock held.
    void Sample(TProgramResources& figures);
    // The run's processor time so far.
    std::pair<uint64_t, uint64_t> RunCpuMs() const;

    std::mutex lock_;
    TRun run_;
    // What the ended runs used, and the peaks so far.
    uint64_t endedUserMs_ = 0;
    uint64_t endedKernelMs_ = 0;
    uint64_t peakWorkingSet_ = 0;
    uint64_t peakPrivate_ = 0;
    unsigned peakProcesses_ = 0;
};
