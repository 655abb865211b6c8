#pragma once
#include "cli/Arguments.h"
#include "cli/ExitCodes.h"

// The commands of qv on the catalogue in the Windows directory and on this
// computer's services, through the same operations as the window: results
// go to standard output, the window's texts for refusals and failures to
// standard error (cli/CommandSupport.h). Each raises a TCliFailure, or
// another TError, to end its run with a failure.

// What the catalogue holds of an entry and how it runs (EntryCommands.cpp).
TExitCode Show(const TCliRequest& request);
TExitCode Add(const TCliRequest& request);
TExitCode Edit(const TCliRequest& request);
TExitCode Set(const TCliRequest& request);
TExitCode Remove(const TCliRequest& request);
TExitCode Install(const TCliRequest& request);
TExitCode Uninstall(const TCliRequest& request);

// What the services and their programs are doing (ServiceCommands.cpp).
TExitCode List(const TCliRequest& request);
TExitCode Status(const TCliRequest& request);
TExitCode Check(const TCliRequest& request);
TExitCode Start(const TCliRequest& request);
TExitCode Stop(const TCliRequest& request);

// Every entry as Prometheus reads it (MetricsCommand.cpp).
TExitCode Metrics(const TCliRequest& request);
