#include "ui/uServiceManager.h"

#include "toolkit/Error.h"
#include "toolkit/Prompter.h"

// The main window's checks: whether the selected entry's host answers, and
// which of the listed entries' hosts do, each answer a line of the panel.

void TfrmServiceManager::btnCheckActiveClick()
{
    const std::optional<TCatalogueEntry> entry = LoadSelected();
    if (!entry)
        return;
    const int serviceID = entry->ServiceID;
    liveness_.SetActiveService(serviceID, entry->Description, catalogue_.EntryIndex());
    liveness_.SetCheckMode(TCheckMode::Box);
    liveness_.SetFound(false);
    try {
        if (!liveness_.Query(serviceID) && !destroyed_)
            Prompter().Information("The service is currently NOT active !");
    } catch (const TError& error) {
        Prompter().Information("The service (" + std::to_string(serviceID) +
                               ") does not seem to be currently active !\r\rMessage returned: " + error.Message());
    }
}

void TfrmServiceManager::btnCheckAllClick()
{
    if (list_.Selected() >= 0)
        list_.Unselect();
    SetMemoLines({"", "Currently Active Services:", Dashes, ""});
    liveness_.SetFound(false);
    // One read for every row; an entry gone meanwhile is not asked.
    const TCatalogueSnapshot catalogue(catalogue_.FileName());
    std::vector<TEntryKey> keys;
    for (int row = 0; row < list_.Count(); ++row)
        keys.push_back(list_.Key(row));
    for (size_t at = 0; at < keys.size() && !destroyed_; ++at) {
        TEntryOutcome found = TEntryOutcome::Gone;
        const int index = catalogue.Find(keys[at], found);
        if (found != TEntryOutcome::Done)
            continue;
        const TCatalogueEntry entry = catalogue_.Entry() = catalogue.Entry(index);
        liveness_.SetActiveService(entry.ServiceID, entry.Description, index);
        if (entry.Installed) {
            liveness_.SetCheckMode(TCheckMode::Panel);
            if (liveness_.Query(entry.ServiceID))
                liveness_.SetFound(true);
        }
    }
    if (!liveness_.Found() && !destroyed_)
        Prompter().Information("NONE of these services are currently active !");
}
