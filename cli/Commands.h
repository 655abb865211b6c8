#pragma once
#include <string>

#include "cli/Arguments.h"
#include "cli/ExitCodes.h"
#include "toolkit/Refusal.h"

// Carries out one request on the catalogue in the Windows directory and on
// this computer's services, through the same operations as the window:
// results go to standard output, the window's texts for refusals and
// failures to standard error.
TExitCode RunRequest(const TCliRequest& request);

// How one command ran as a step of apply: its exit code, what it said on
// the way and, when it did not succeed, why.
struct TStepRun {
    TExitCode Code = ExitSuccess;
    std::string Said;
    TRefusal Failure;
};

// The same for a request carried out as a step of a larger run: nothing is
// printed, the step's words come back. One step runs at a time.
TStepRun RunStep(const TCliRequest& request);
