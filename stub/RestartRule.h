#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "catalogue/ServiceSettings.h"
#include "deploy/ServiceEnd.h"
#include "stub/BackOff.h"

// What comes after the program ended: a start after a wait, or the end of
// the service with the exit code it reports.
struct TRestartDecision {
    bool Restart = true;
    uint32_t WaitMs = 0;
    // For the Service Control Manager when the service ends: 0, or one of
    // the service-specific codes of StubSettings.h.
    unsigned long ServiceExitCode = 0;
    // Why the service ends, for the log and the service's last record.
    std::string Why;
    TEndReason Reason = TEndReason::NotRestarted;
    // When it gives up: the starts counted within the window (of
    // WindowSeconds, 0 for since the service started).
    unsigned CountedStarts = 0;
    unsigned WindowSeconds = 0;
};

// The entry's restart policy: always, only after a failure (an exit code
// not among the success codes), or never; at most a number of restarts
// within a time window; waits that grow while the program keeps ending
// soon. Time is passed in, so the rule is the same whatever the clock.
class TRestartRule {
public:
    // The waits: firstMs after the second quick end, doubling up to
    // ceilingMs; a run of steadyRunMs starts them afresh.
    TRestartRule(const TServiceSettings& settings, uint32_t firstMs, uint32_t ceilingMs, uint32_t steadyRunMs);

    // Takes the policy of changed settings; the restarts counted so far
    // stay (none are counted without a maximum), and so does the current
    // wait unless the waits changed.
    void Update(const TServiceSettings& settings, uint32_t firstMs, uint32_t ceilingMs);

    // The program ended with exitCode (nothing: it could not be started)
    // after ranMs, at nowMs. A program ended as unhealthy failed, whatever
    // its exit code (nothing: it had to be ended).
    TRestartDecision After(std::optional<unsigned long> exitCode, uint64_t ranMs, uint64_t nowMs,
                           bool unhealthy = false);

private:
    TServiceSettings settings_;
    uint32_t firstMs_;
    uint32_t ceilingMs_;
    uint32_t steadyRunMs_;
    TBackOff backOff_;
    // When each counted restart happened: the latest, at most MaxRestarts.
    std::deque<uint64_t> restarts_;
};
