#pragma once
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "deploy/ServiceState.h"
#include "messaging/StatusPipe.h"

// How waiting for a started program to settle ended.
struct TSettling {
    enum TOutcome {
        // The program ran for the settle time.
        Up,
        // The host cannot tell, or its answer cannot be believed; Why says
        // why.
        NotKnown,
        // It ended, failed to start or was stopped; Why says which.
        NotUp,
        // It runs, but did not pass its health check in time, or was found
        // unhealthy; Why gives the last check's result.
        NotHealthy,
    };
    TOutcome Outcome = NotUp;
    std::string Why;
    TProgramStatus Last;
};

// Waits until the entry's program has run for settleMs without a new start,
// or has ended or failed to start. Asks the service's own host only. A
// program with a health check must also pass it within settleMs and its
// start period.
TSettling WaitForProgram(const TCatalogueEntry& entry, const TServiceStates& services, unsigned settleMs,
                         unsigned startPeriodMs = 0);

// The last lines of a text file, at most count of them; none when it cannot
// be read.
std::vector<std::string> LastLines(const std::string& path, size_t count);
