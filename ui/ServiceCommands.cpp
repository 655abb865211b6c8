#include "ui/uServiceManager.h"

#include "catalogue/EntryRules.h"
#include "catalogue/StubCopy.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceState.h"
#include "platform/Seam.h"
#include "status/EntryStatus.h"
#include "toolkit/window/Application.h"
#include "toolkit/Error.h"
#include "toolkit/Prompter.h"
#include "toolkit/WaitCursor.h"
#include "ui/Glyphs.h"
#include "ui/SettingsDialog.h"

// The main window's commands on an entry's service: install and uninstall
// through the entry's copy of the service host, start and stop through the
// Service Control Manager.

void TfrmServiceManager::btnStopServiceClick(HWND sender)
{
    const int row = list_.Selected();
    if (row < 0) {
        NoSelectionState();
        return;
    }
    const TEntryKey key = list_.Key(row);
    const bool stop = controls_.TagOf(sender) == tagStop;
    if (stop && !Prompter().Confirm("This will stop the execution of the selected service !\r\r"
                                    "Are you sure you want to continue ?"))
        return;
    const TServiceControl control;
    // Like a bad list index, an entry gone meanwhile ends the command in the
    // error box before anything is asked of the service.
    if (TEntryOutcome found = catalogue_.LoadEntry(key); found != TEntryOutcome::Done)
        throw TError(MeanwhileText(found, key.Description, catalogue_.Entry().Description));
    const TCatalogueEntry entry = catalogue_.Entry();
    liveness_.SetActiveService(entry.ServiceID, entry.Description, catalogue_.EntryIndex());
    const TRefusal refused = control.StartStop(stop, {entry.Description, StubCopyFile(entry.Description)}, [stop] {
        Prompter().Information(stop ? StoppedText : InitiatedText);
    });
    if (refused)
        Prompter().Error(refused.Reason());
    lvServicesChange();
}

void TfrmServiceManager::btnInstallServiceClick()
{
    const std::optional<TCatalogueEntry> entry = LoadSelected();
    if (!entry)
        return;
    if (!entry->Installed) {
        const TEntryKey key{entry->Description, entry->ServiceID};
        // A named account's password goes to the service host, and nowhere
        // else; without it nothing is installed.
        TSecret password;
        if (const std::string& account = catalogue_.ServiceSettings().Account; AccountNeedsPassword(account)) {
            TPasswordDialog asked(account);
            if (asked.ShowModal(handle_, 0) != mrOk)
                return;
            password = asked.Password();
        }
        liveness_.SetCheckMode(TCheckMode::Box);
        const std::optional<TDeployment> done = Deploy(key, true, password);
        if (destroyed_ || (done && ChangedMeanwhile(done->Outcome, key)))
            return;
        // Installed only when the service host's run did it; the host has
        // said why it did not.
        if (done && done->Succeeded()) {
            if (const int row = list_.RowOf(key); row >= 0) {
                list_.SetImage(row, imgInstalled);
                // The start that follows acts on the selected row: this entry's,
                // wherever the selection went during the wait.
                list_.Select(row);
            }
            if (Prompter().Confirm("Would you like to [start] executing the service ?"))
                Click("btnStartServiceNow");
        }
    }
    lvServicesChange();
}

void TfrmServiceManager::btnUnInstallServiceClick()
{
    const std::optional<TCatalogueEntry> entry = LoadSelected();
    if (!entry)
        return;
    if (entry->Installed) {
        Uninstall(*entry);
        if (destroyed_)
            return;
    }
    lvServicesChange();
}

// The uninstall guard and the uninstall of the entry.
void TfrmServiceManager::Uninstall(const TCatalogueEntry& entry)
{
    const TEntryKey key{entry.Description, entry.ServiceID};
    if (TRefusal foreign = ForeignService({entry.Description, StubCopyFile(entry.Description)})) {
        Prompter().Error(foreign.Reason());
        return;
    }
    // The rule qv keeps too: a service whose host runs is not uninstalled,
    // also while its program waits to start again and so cannot answer.
    TEntryStatus status;
    status.Service = TServiceStates().Report(entry.Description, StubCopyFile(entry.Description));
    liveness_.SetCheckMode(TCheckMode::Quiet);
    if (TooAliveToUninstall(status) || liveness_.Query(entry.ServiceID)) {
        Prompter().Error(RunningServiceText(entry.Description));
        return;
    }
    if (destroyed_)
        return;
    const std::optional<TDeployment> done = Deploy(key, false);
    if (destroyed_ || (done && ChangedMeanwhile(done->Outcome, key)))
        return;
    // The row shows what is recorded, also when the copy of a done uninstall
    // could not be deleted afterwards.
    if (const int row = list_.RowOf(key); row >= 0 && catalogue_.LoadEntry(key) == TEntryOutcome::Done)
        list_.SetImage(row, catalogue_.Entry().Installed ? imgInstalled : imgNotInstalled);
}

std::optional<TDeployment> TfrmServiceManager::Deploy(const TEntryKey& key, bool install, const TSecret& password)
{
    try {
        THostRun run;
        run.Await = [this](HANDLE process) { AwaitRun(process); };
        run.Password = password;
        return DeployEntry(catalogue_, key, install, run);
    } catch (const THostRunError& error) {
        // What the service host could not tell itself.
        if (!destroyed_)
            Prompter().Error(error.Message());
        return std::nullopt;
    }
}

// Waits for the service host's install or uninstall run with the hourglass up, the
// window painting and other commands refused.
void TfrmServiceManager::AwaitRun(HANDLE process)
{
    TWaitCursor hourglass;
    const TScopedValue<int> waiting(waits_, waits_ + 1);
    Application().WaitFor(process, HostRunLimit, [this] { return destroyed_; });
}
