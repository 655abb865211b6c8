#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "messaging/StatusPipe.h"
#include "platform/Kernel.h"
#include "stub/HealthCheck.h"
#include "stub/StubLog.h"

// What the status tells of the program's health; all empty without a check.
struct THealthReport {
    // "", HealthStarting (no verdict yet), HealthHealthy or HealthUnhealthy.
    std::string Health;
    // Failures in a row, counted once the start period is over.
    unsigned Failures = 0;
    unsigned Retries = 0;
    // The last check: when it ended (UTC), and what it found.
    std::string CheckedAt;
    std::string Result;
};

// Checks the running program's health on a thread of the host's own, beside
// the supervisor: it never holds up supervision, the status pipe or a stop.
// The supervisor says when a run begins and ends; the monitor publishes what
// it finds, logs every change of verdict, and, when a program is found
// unhealthy and its action is to restart it, sets RestartWanted for the
// supervisor's wait. The thread starts at the first run that has a check: a
// host without one runs as it did before checks existed.
class THealthMonitor {
public:
    using TPublish = std::function<void(const THealthReport&)>;

    // publish is called with the monitor's lock held, never after the
    // monitor is destroyed.
    THealthMonitor(std::shared_ptr<TStubLog> log, TPublish publish);
    // Calls off a check in progress and lets the thread go within a bounded
    // wait.
    ~THealthMonitor();
    THealthMonitor(const THealthMonitor&) = delete;
    THealthMonitor& operator=(const THealthMonitor&) = delete;

    // A run of the program began now: its checks follow the plan, from a
    // verdict of "starting" (none, and nothing published but the empty
    // report, without a plan).
    void Begin(const std::optional<THealthPlan>& plan);
    // The run ends (or is being ended): a check in progress is called off at
    // once, and nothing more is found of this run. The last verdict stays in
    // the status until the next run begins.
    void End();
    // Set while the program is found unhealthy and its action is a restart;
    // Begin and End clear it.
    HANDLE RestartWanted() const;

private:
    struct TState;
    static void Watch(TState& state);

    std::shared_ptr<TState> state_;
    TKernelHandle thread_;
};
