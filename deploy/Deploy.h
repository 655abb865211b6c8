#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"

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

// What a deployment did, for the command to report.
struct TDeployment {
    // The copy's path, as recorded under the entry's Vantorer key.
    std::string StubPath;
    // Set when the copy could not be run: the text of the error box.
    std::string LaunchFailure;
    // Uninstall only: set when the copy could not be deleted afterwards. A
    // copy whose uninstall run failed is kept: its service is still there.
    std::string DeleteFailure;
    // How the copy's run ended: 0 when it did what it was asked; STILL_ACTIVE
    // when it was still running at the end of the wait.
    DWORD RunExitCode = STILL_ACTIVE;
};

// How the copy's run is watched.
struct THostRun {
    // Waits for the run to end, or gives up; the window passes one that keeps
    // it painting. Without one the wait blocks for at most HostRunLimit.
    std::function<void(HANDLE process)> Await;
    // The host gets this program's standard error and reports there instead
    // of in boxes: the command line's scripts must never wait on a box.
    bool ReportToConsole = false;
};

// Installs (true) or uninstalls (false) the entry at list index n: copies the
// service host where the entry's copy belongs, records the copy's path and the
// requested state in the catalogue, then runs the copy with " -i" or " -u".
// Both wait for the run to end; an uninstall then deletes the copy. A bad
// index, a description that cannot name a file in the stub folder, an
// install over another program's service of that name, a stub folder that
// cannot be made or a refused catalogue write raise a TError before
// anything is copied, written or run. Sets the working entry's
// description and stub path and refreshes the catalogue count.
TDeployment DeployEntry(TCatalogue& catalogue, int index, bool install, const THostRun& run = {});
