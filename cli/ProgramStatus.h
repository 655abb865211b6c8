#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "deploy/ServiceState.h"
#include "messaging/StatusClient.h"

// What qv knows of an entry at once: the Service Control Manager's state of
// its service and, while that service is there, what its host's status
// pipe says of the program.
struct TEntryState {
    TServiceState Service = TServiceState::Unknown;
    // Asked only while the service is ours and not stopped.
    std::optional<TStatusReply> Program;

    // Active, as a liveness answer means it: the program runs.
    bool ProgramRuns() const;
    // A running host that cannot tell through its pipe (a copy from before
    // the pipe, or one that would not let us in): only the mailslot can ask.
    bool NeedsMailslot() const;
};

// Asks the hosts of all the entries whose services are there, all at once.
std::vector<TEntryState> EntryStates(const std::vector<TCatalogueEntry>& entries, const TServiceStates& services);

// The state in a few words: "running", "stopped", "restarting (exit code 3,
// next try in 8 s)", ...
std::string StateWords(const TEntryState& state);
// Why a service is not active, for check's answer.
std::string InactiveReason(const TEntryState& state);

// The host's answer as it gave it, or null.
nlohmann::json ProgramJson(const TEntryState& state);

// "Service:", "Program:" and the lines after, for qv status.
std::vector<std::string> StatusLines(const TCatalogueEntry& entry, const TEntryState& state);

// How waiting for a started program to settle ended.
struct TSettling {
    enum TOutcome {
        // The program ran for the settle time.
        Up,
        // The host cannot tell; Why says why.
        NotKnown,
        // It ended, failed to start or was stopped; Why says which.
        NotUp,
    };
    TOutcome Outcome = NotUp;
    std::string Why;
    TProgramStatus Last;
};
// Waits until the program has run for settleMs without a new start, or has
// ended or failed to start.
TSettling WaitForProgram(int serviceID, unsigned settleMs);

// The last lines of a text file, at most count of them; none when it cannot
// be read.
std::vector<std::string> LastLines(const std::string& path, size_t count);
