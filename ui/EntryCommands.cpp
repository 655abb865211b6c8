#include "ui/uServiceManager.h"

#include <memory>

#include "catalogue/EntryRules.h"
#include "deploy/ServiceConfig.h"
#include "platform/Seam.h"
#include "toolkit/Prompter.h"
#include "ui/Glyphs.h"
#include "ui/SettingsDialog.h"
#include "ui/uCreateService.h"

// The main window's commands on what the catalogue holds of an entry: a new
// entry and an edit through the wizard, its removal, and how it runs
// through the settings dialog.

void TfrmServiceManager::btnNewServiceClick()
{
    auto wizard = std::make_unique<TfrmCreateService>();
    while (wizard->ShowModal(handle_) == mrOk) {
        const TEntrySettings settings{wizard->Description(), wizard->Program(), wizard->CommandLine(),
                                      wizard->Logfile(), wizard->LogToFile()};
        // Checked and appended in one step: no other program adds the same
        // description in between.
        if (catalogue_.AddEntry(settings) == TEntryOutcome::Duplicate) {
            Prompter().Error(DuplicateDescriptionText);
            continue;
        }
        const TEntryKey key{settings.Description, catalogue_.Entry().ServiceID};
        const int index = catalogue_.EntryIndex();
        // Right after the listed entries, unless another program changed
        // how many there are: then the whole list is listed again.
        if (index == list_.Count() + 1)
            list_.Add(settings.Description, index, key.ServiceID, imgNotInstalled);
        else
            FillList();
        if (int row = list_.RowOf(key); row >= 0)
            list_.Select(row);
        if (Prompter().Confirm("Would you like to Add the service into NT's Service Database ?"))
            Click("btnInstallService");
        break;
    }
}

void TfrmServiceManager::btnEditServiceClick()
{
    const std::optional<TCatalogueEntry> selected = LoadSelected();
    if (!selected)
        return;
    const TCatalogueEntry& entry = *selected;
    if (entry.Installed) {
        Prompter().Information(EditInstalledText);
        return;
    }
    auto wizard = std::make_unique<TfrmCreateService>();
    const TEntryKey key{entry.Description, entry.ServiceID};
    wizard->SetDescription(entry.Description);
    wizard->SetProgram(entry.Program);
    wizard->SetCommandLine(entry.Parameters);
    wizard->SetLogfile(entry.LogFile);
    wizard->SetLogToFile(entry.LogToFile);
    while (wizard->ShowModal(handle_) == mrOk) {
        // The entry that was edited, whatever another program did while the
        // wizard was up: it must still be there, as it was shown, and not
        // installed.
        const TEntryOutcome changed = catalogue_.ChangeEntry(
            key, SettingsOf(entry),
            {wizard->Description(), wizard->Program(), wizard->CommandLine(), wizard->Logfile(), wizard->LogToFile()});
        if (changed == TEntryOutcome::Duplicate) {
            Prompter().Error(DuplicateDescriptionText);
            continue;
        }
        if (ChangedMeanwhile(changed, key))
            return;
        const TCatalogueEntry& edited = catalogue_.Entry();
        const int index = catalogue_.EntryIndex();
        const int row = list_.RowOf(key);
        // Moved by a change made elsewhere meanwhile: the whole list is stale.
        if (row < 0 || index != list_.Data(row)) {
            FillList();
            if (int moved = list_.RowOf({edited.Description, edited.ServiceID}); moved >= 0)
                list_.Select(moved);
            lvServicesChange();
            break;
        }
        list_.Change(row, edited.Description, index, edited.ServiceID, imgNotInstalled);
        // The panel shows what is now stored, as after every change of the list.
        lvServicesChange();
        break;
    }
}

void TfrmServiceManager::btnDeleteClick()
{
    if (list_.Selected() < 0)
        return;
    const std::optional<TCatalogueEntry> entry = LoadSelected();
    if (!entry)
        return;
    // The question names this entry and this entry is the one deleted,
    // whatever the uninstall's wait or the question let happen meanwhile.
    const std::string& description = entry->Description;
    const TEntryKey key{description, entry->ServiceID};
    if (entry->Installed) {
        if (!Prompter().Confirm(std::string(RemoveInstalledText) + "\r\rDo you want to do this automatically ?"))
            return;
        Click("btnUnInstallService");
        if (destroyed_)
            return;
        // A service that is still installed (its uninstall was refused or
        // failed) keeps its catalogue entry.
        if (ChangedMeanwhile(catalogue_.LoadEntry(key), key) || catalogue_.Entry().Installed)
            return;
    }
    if (!Prompter().Confirm("Are you sure you want to remove this service: " + description))
        return;
    // The list shows the catalogue afresh, also when the removal failed.
    TScopeExit relist([this] { LoadList(); });
    if (ChangedMeanwhile(catalogue_.RemoveEntry(key), key))
        relist.Dismiss();
}

void TfrmServiceManager::SettingsClick()
{
    const std::optional<TCatalogueEntry> entry = LoadSelected();
    if (!entry)
        return;
    const TEntryKey key{entry->Description, entry->ServiceID};
    const TServiceSettings before = catalogue_.ServiceSettings();
    TSettingsDialog dialog(*entry, before);
    if (dialog.ShowModal(handle_, 0) != mrOk)
        return;
    const TSecret& password = dialog.Password();
    const TServiceSettings& wanted = dialog.Settings();
    // Stored only as the settings were shown: another program's change
    // meanwhile is not undone.
    if (ChangedMeanwhile(catalogue_.ChangeServiceSettings(key, before, wanted), key))
        return;
    const TCatalogueEntry& now = catalogue_.Entry();
    lvServicesChange();
    if (!now.Installed)
        return;
    if (HostSettingsDiffer(before, wanted))
        Prompter().Information(NextStartText);
    if (TRefusal refused =
            ChangeInstalledService(now.Description, now.Program, now.LogToFile ? now.LogFile : "", before,
                                   wanted, AccountNeedsPassword(wanted.Account) ? password : TSecret()))
        Prompter().Error(refused.Reason());
}
