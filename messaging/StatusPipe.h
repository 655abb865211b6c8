#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "toolkit/Refusal.h"

// The service host's status pipe, as the host serves it and the manager's
// programs ask it: one request, one answer, then the host hangs up.
//
// client -> host:  "status\n"
// host -> client:  one line of UTF-8 JSON with "version": StatusVersion and
//                  either the fields of TProgramStatus or "error".

inline constexpr int StatusVersion = 1;
inline constexpr const char* StatusRequest = "status\n";
// A request longer than this is refused unread.
inline constexpr size_t StatusRequestLimit = 1024;

// "\\.\pipe\Quorvane.Service<ID>"; the host of that service ID serves it.
std::string StatusPipeName(int serviceID);

// What the supervised program is doing.
enum class TProgramState { Starting, Running, BackingOff, Stopping, Stopped };

// "starting", "running", "backing off", "stopping", "stopped".
const char* ProgramStateName(TProgramState state);
std::optional<TProgramState> ProgramStateNamed(const std::string& name);

// The program's health, as the answer words it.
inline constexpr const char* HealthStarting = "starting";
inline constexpr const char* HealthHealthy = "healthy";
inline constexpr const char* HealthUnhealthy = "unhealthy";

// What the program's processes (its whole tree, the job it runs in) use,
// read when the host is asked. Counters run since the service started, across
// the program's restarts, and never go down while the service runs.
struct TProgramResources {
    // Processor time, user and kernel.
    uint64_t CpuUserMs = 0;
    uint64_t CpuKernelMs = 0;
    // The processes now, and the most at once.
    unsigned Processes = 0;
    unsigned PeakProcesses = 0;
    // The processes' working sets and private (committed) bytes added up now,
    // and the most seen of each.
    uint64_t WorkingSetBytes = 0;
    uint64_t PrivateBytes = 0;
    uint64_t PeakWorkingSetBytes = 0;
    uint64_t PeakPrivateBytes = 0;

    bool operator==(const TProgramResources&) const = default;
};

// One answer. Times are UTC, "2024-03-05T14:07:09.042Z", "" when there is
// none; text is as our programs hold it (toolkit/Text.h) here and UTF-8 on
// the wire.
struct TProgramStatus {
    std::string Description;
    int ServiceID = 0;
    // The path of the host copy that answered, and its version ("1.02"; ""
    // from a host that does not tell).
    std::string ServiceHost;
    std::string HostVersion;

    TProgramState State = TProgramState::Starting;
    // The running program's process, 0 when none runs.
    unsigned long Pid = 0;
    // The start of the current run, or of the last one.
    std::string StartedAt;
    // How long the current run has lasted; 0 when none runs.
    uint64_t UpMs = 0;
    // Starts of the program since the service started.
    unsigned Starts = 0;
    std::optional<unsigned long> LastExitCode;
    std::string LastExitAt;
    // While backing off: when the next start is due.
    std::string NextStartAt;
    uint64_t NextStartInMs = 0;
    // Why the last start failed, "" when it did not.
    std::string StartFailure;

    // The program's health, for an entry with a health check: "starting"
    // (no verdict yet), "healthy" or "unhealthy"; "" without a check. The
    // failures in a row and how many make it unhealthy, and the last check:
    // when, and what it found.
    std::string Health;
    unsigned HealthFailures = 0;
    unsigned HealthRetries = 0;
    std::string HealthCheckedAt;
    std::string HealthResult;

    // The file the entry logs to, "" when it logs to the event log; whether
    // the host could open it (when not, it logs to the event log).
    std::string LogFile;
    bool LogFileOpen = false;
    // The program writes the file itself (the raw log mode).
    bool LogRaw = false;
    // The file's folder is gone: what the program says is dropped, and
    // counted, until the folder is there again.
    bool LogFolderMissing = false;
    uint64_t LogDroppedBytes = 0;
    // Since the host started: every byte dropped, and the bytes of old files
    // the rotation deleted.
    uint64_t LogDroppedTotalBytes = 0;
    uint64_t LogDeletedBytes = 0;

    // What its processes use; none from a host that does not tell.
    std::optional<TProgramResources> Resources;
};

// The answer's line: JSON, then "\n".
std::string StatusAnswer(const TProgramStatus& status);
std::string StatusErrorAnswer(const std::string& error);

// What the host makes of the bytes received so far: nothing while the
// request's line is still coming, otherwise the refusal (none for a good
// request).
std::optional<TRefusal> StatusRequestRefusal(const std::string& received);

// Now, as the answer's times are written.
std::string UtcNow();
// That many milliseconds from now.
std::string UtcIn(uint64_t ms);
