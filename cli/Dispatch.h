#pragma once
#include "cli/Arguments.h"
#include "cli/ExitCodes.h"

// Carries out one request of qv: the command it names, its refusal or
// failure on standard error; the exit code to end with.
TExitCode RunRequest(const TCliRequest& request);
