#pragma once
#include "cli/Arguments.h"
#include "cli/ExitCodes.h"

// qv export: every entry as a services document, on standard output.
TExitCode Export(const TCliRequest& request);
// qv apply FILE [--check] [--prune]: reads and checks the whole document,
// plans the steps that bring the machine to it and, without --check, takes
// them one after another through the same commands, until the first that
// fails. Prints what it planned or did as one JSON document.
TExitCode Apply(const TCliRequest& request);
