#pragma once

// What a run of the command-line program ends with; scripts rely on these
// numbers, so they never change meaning.
enum TExitCode : int {
    // Done, or already as asked: installing an installed entry, stopping a
    // stopped service.
    ExitSuccess = 0,
    // Anything below did not cover it: a refused catalogue write, a service
    // host that could not be launched.
    ExitFailure = 1,
    ExitUsage = 2,
    ExitNoSuchEntry = 3,
    // The description cannot name an entry, or another entry has it; or the
    // log file's folder does not exist; or a setting was refused (a value
    // out of range, a folder or service that does not exist, an account
    // that cannot be found, a password that is needed).
    ExitRefusedDescription = 4,
    // A service of that name runs another program.
    ExitForeignService = 5,
    ExitServiceManager = 6,
    // check: the service host did not answer.
    ExitNotActive = 7,
    // check: a host from before the status pipe answers only on the reply
    // mailslot, and the manager's window, or another check, holds it.
    ExitReplySlotBusy = 8,
    // The entry's state forbids it: editing or removing an installed entry,
    // uninstalling a running one, starting or stopping one not installed.
    ExitWrongState = 9,
    // start: the service runs, but its program did not stay up for the
    // settle time: it keeps exiting, or cannot be started.
    ExitProgramNotUp = 10,
    // apply: the services document cannot be read or is not valid; nothing
    // was done. A step that fails ends apply with that step's own code.
    ExitInvalidDocument = 11,
    // check: whether the program runs is not known: its host did not answer
    // in time (busy or slow), or the status pipe is served by another
    // program. Not the same as not active.
    ExitNotKnown = 12,
    // start: the program runs, but did not pass its health check within the
    // settle time and its start period, or was found unhealthy.
    ExitNotHealthy = 13,
};
