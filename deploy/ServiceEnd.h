#pragma once
#include <optional>
#include <string>

// How a service last ended, as its host leaves it beside its copy when the
// service stops: a stopped service then says why it stopped, not only that
// it did. The host removes the record when its service starts again, so a
// record is only ever about the last end.

enum class TEndReason {
    // A stop control or the system's shutdown.
    Requested,
    // The program ended and its restart rule starts it no more.
    NotRestarted,
    // The program ended more often within the window than the rule allows.
    GaveUp,
    // The program could not be started, and the rule gave up on it.
    CannotStart,
    // The host itself failed, or could not read its entry.
    HostFailed,
};

struct TServiceEnd {
    // UTC, as the status answer writes times.
    std::string At;
    TEndReason Reason = TEndReason::Requested;
    // The host's own words for the reason, as its log has them.
    std::string Why;
    // Program starts since the service started, and for GaveUp those counted
    // within the window (WindowSeconds 0: since the service started).
    unsigned Starts = 0;
    unsigned CountedStarts = 0;
    unsigned WindowSeconds = 0;
    std::optional<unsigned long> LastExitCode;
    // At a requested stop: the program ran and had to be ended after its
    // stop time-out (of StopTimeoutSeconds) instead of ending when asked.
    bool ProgramKilled = false;
    unsigned StopTimeoutSeconds = 0;
    // What the service reported to the Service Control Manager.
    unsigned long ServiceExitCode = 0;

    bool operator==(const TServiceEnd&) const = default;
};

// "<copy without .exe>.end" beside the copy, in the folder only
// administrators may write.
std::string ServiceEndPath(const std::string& stubPath);

// The record's text, one "key=value" line each, and back; a record that
// cannot be read is none.
std::string ServiceEndText(const TServiceEnd& end);
std::optional<TServiceEnd> ReadServiceEndText(const std::string& text);

// Writes the record for the copy at stubPath in one step (a reader finds the
// old one or the new one); false when it could not be written.
bool WriteServiceEnd(const std::string& stubPath, const TServiceEnd& end);
std::optional<TServiceEnd> ReadServiceEnd(const std::string& stubPath);
void RemoveServiceEnd(const std::string& stubPath);
