#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "toolkit/Error.h"
#include "toolkit/Secret.h"

// Installing and uninstalling a catalogue entry through its own copy of the
// service host.

// How long a deployment waits for the copy's install or uninstall run.
inline constexpr DWORD HostRunLimit = 30000;

// The refusal of an uninstall while the entry's service still answers.
std::string RunningServiceText(const std::string& description);

// StubCopyFile's path; creates the Vantorers folder when it is missing and
// fails with the system's reason when it cannot.
std::string StubCopyPath(const std::string& description);
// "Vantorer.bin" in the folder of the running executable.
std::string StubSourcePath();

// The copy's run did not happen, did not end in time, or the copy of a done
// uninstall could not be deleted afterwards: the text of the error box.
class THostRunError : public TError {
public:
    using TError::TError;
};

// What a deployment did, for the command to report.
struct TDeployment {
    // Done, or why nothing was copied, recorded or run: the entry is gone or
    // renamed, or it is so already (Installed, NotInstalled).
    TEntryOutcome Outcome = TEntryOutcome::Done;
    // The copy's path, as recorded under the entry's Vantorer key.
    std::string StubPath;
    // How the copy's run ended: HostRunDone when it did what it was asked, or
    // HostRunSettingsRefused when it registered the service but the system
    // refused some of the entry's settings.
    DWORD RunExitCode = STILL_ACTIVE;

    // The copy ran and did what it was asked; only then is the new state
    // recorded in the catalogue.
    bool Succeeded() const;
};

// How the copy's run is watched.
struct THostRun {
    // Waits for the run to end, or gives up; the window passes one that keeps
    // it painting. Without one the wait blocks for at most HostRunLimit.
    std::function<void(HANDLE process)> Await;
    // The host gets this program's standard error and reports there instead
    // of in boxes: the command line's scripts must never wait on a box.
    bool ReportToConsole = false;
    // An install of an entry with a named account hands the host its
    // password on standard input.
    TSecret Password;
};

// Installs (true) or uninstalls (false) the entry the key names: copies the
// service host where the entry's copy belongs, records the copy's path, then
// runs the copy with " -i" or " -u" and waits for the run to end. Only a run
// that did what it was asked records the new state (Installed); an
// uninstall then deletes the copy. Everything from finding the entry to the
// last write happens under the catalogue's write lock, so no other program
// removes, renames or deploys the entry meanwhile. Does nothing when the
// entry is gone or renamed, and when it is so already: an install of an
// entry recorded as installed whose service is registered as its own, an
// uninstall of one neither recorded as installed nor registered. A
// description that cannot name a file in the stub folder, an install over
// another program's service of that name, a stub folder that cannot be made
// or a refused catalogue write raise a TError before anything is run; a run
// that could not start or did not end in time, and the copy of a done
// uninstall that could not be deleted, raise a THostRunError. A copy whose
// uninstall run failed is kept: its service is still there. Sets the working
// entry and refreshes the catalogue count.
TDeployment DeployEntry(TCatalogue& catalogue, const TEntryKey& key, bool install, const THostRun& run = {});
// The same for the entry at list index n, after its index check.
TDeployment DeployEntry(TCatalogue& catalogue, int index, bool install, const THostRun& run = {});
