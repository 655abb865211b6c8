#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/HealthTarget.h"
#include "catalogue/ServiceSettings.h"
#include "stub/StubSettings.h"

// An entry's health check as the host runs it: what it asks, how often and
// for how long, and what is done with a program that keeps failing it.
struct THealthPlan {
    THealthTarget Target;
    // From the start of one check to the start of the next.
    uint32_t IntervalMs = 30000;
    uint32_t TimeoutMs = 10000;
    // Failures in a row that make the program unhealthy.
    unsigned Retries = 3;
    // After a start, failures do not count until the first success or this
    // long.
    uint32_t StartPeriodMs = 0;
    // The first check comes this soon after a start, and checks come this
    // often until one passes during the start period: a start is told
    // healthy within a second, whatever the interval.
    uint32_t StartIntervalMs = 1000;
    THealthAction Action = THealthAction::Restart;
    // Where a command runs: the program's folder and environment.
    std::string Folder;
    std::vector<std::pair<std::string, std::string>> Environment;
};

// The entry's check, or none when it has none (or one the host cannot read,
// which the settings' checks refuse before it gets here).
std::optional<THealthPlan> HealthPlanOf(const TStubSettings& settings);

// What one check found.
struct THealthResult {
    bool Passed = false;
    // Ended early because the check was called off: no verdict.
    bool Cancelled = false;
    // As the status and the log tell it: "HTTP 200", "connection refused",
    // "no answer in 10 s", "exit code 1: <first line of its output>".
    std::string Result;
};

// Runs checks one at a time, each within its time-out, each ending at once
// when the cancel event is set: a connection and a request are closed, a
// command's whole tree is ended. The system's HTTP client and sockets are
// loaded at the first check that needs them, so a host without a check
// never loads them. One thread uses it.
class THealthProbe {
public:
    THealthProbe();
    ~THealthProbe();
    THealthProbe(const THealthProbe&) = delete;
    THealthProbe& operator=(const THealthProbe&) = delete;

    THealthResult Run(const THealthPlan& plan, HANDLE cancel);

private:
    struct THttp;
    std::unique_ptr<THttp> http_;
};

// "no answer in 10 s", "no answer in 500 ms".
std::string NoAnswerWords(uint32_t timeoutMs);
// The first line of a command's output as the status holds it: at most a
// few hundred bytes, in our programs' text (a console program's OEM bytes
// converted), without control characters.
std::string FirstLineOf(const std::string& output);
