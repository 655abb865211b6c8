#pragma once
#include "cli/Arguments.h"
#include "cli/ExitCodes.h"

// Carries out one request on the catalogue in the Windows directory and on
// this computer's services, through the same operations as the window:
// results go to standard output, the window's texts for refusals and
// failures to standard error.
TExitCode RunRequest(const TCliRequest& request);
