#pragma once
#include <nlohmann/json.hpp>

#include "cli/Arguments.h"
#include "cli/ExitCodes.h"

// qv export: every entry as a services document, on standard output.
TExitCode Export(const TCliRequest& request);
// qv apply FILE [--check] [--prune | --prune-all]: reads and checks the
// whole document, plans the steps that bring the machine to it from one
// read of the catalogue and one list of the services and, without --check,
// takes them through the same commands until the first that fails. Prints
// what it planned or did as one JSON document.
TExitCode Apply(const TCliRequest& request);

// What apply did, and the report it prints.
struct TApplyRun {
    TExitCode Code = ExitSuccess;
    nlohmann::ordered_json Report;
};
TApplyRun ApplyDocument(const TCliRequest& request);
