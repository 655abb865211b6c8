#include "catalogue/Catalogue.h"

#include <algorithm>

#include "toolkit/Paths.h"
#include "toolkit/Text.h"

// The reading half of the catalogue, on its own: the service host needs
// only this.

namespace {

// n for a key that reads as ServiceKey(n) with n up to MaxEntries, else 0.
int ServiceKeyIndex(const std::string& key)
{
    const std::string prefix = "service_";
    const size_t digits = key.size() - std::min(key.size(), prefix.size());
    if (digits == 0 || digits > 6 || LowerCase(key.substr(0, prefix.size())) != prefix || key[prefix.size()] == '0')
        return 0;
    int index = 0;
    for (size_t at = prefix.size(); at < key.size(); ++at) {
        if (key[at] < '0' || key[at] > '9')
            return 0;
        index = index * 10 + (key[at] - '0');
    }
    return index <= MaxEntries ? index : 0;
}

// The batch open on this thread, innermost first.
thread_local TCatalogueBatch* openBatch = nullptr;

const std::vector<int> NoIndexes;

} // namespace

std::string ServiceKey(int index)
{
    return "Service_" + std::to_string(index);
}

std::string DefaultDescription(int index)
{
    return "Service " + std::to_string(index);
}

std::string DefaultProgram(int index)
{
    return DefaultDescription(index) + ".exe";
}

TCatalogueSnapshot::TCatalogueSnapshot(const std::string& fileName)
{
    for (TCatalogueBatch* batch = openBatch; batch; batch = batch->outer_)
        if (batch->fileName_ == fileName) {
            state_ = batch->state_;
            return;
        }
    state_ = std::make_shared<TState>(fileName);
    const TIniDocument& document = state_->Document;
    // A count that cannot be right, typed by hand or left by a broken write,
    // must neither list thousands of phantom entries nor hide real ones: the
    // list reaches the last key it covers, with no more missing keys on the
    // way than keys present.
    const int stored = state_->StoredCount = document.ReadInteger(StatusSection, NumServicesKey, -1);
    const int reach = stored >= 0 && stored <= MaxEntries ? stored : MaxEntries;
    std::vector<int> present;
    for (const std::string& key : document.KeyNames(StatusSection)) {
        int index = ServiceKeyIndex(key);
        if (index >= 1 && index <= reach)
            present.push_back(index);
    }
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());
    for (size_t found = 1; found <= present.size(); ++found)
        if (present[found - 1] <= 2 * static_cast<int>(found))
            state_->Count = present[found - 1];
}

const std::vector<int>& TCatalogueSnapshot::IndexesOf(const std::string& description) const
{
    TState& state = *state_;
    if (!state.Indexed) {
        state.Indexes.clear();
        for (int n = 1; n <= state.Count; ++n)
            state.Indexes[LowerCase(Description(n))].push_back(n);
        state.Indexed = true;
    }
    const auto found = state.Indexes.find(LowerCase(description));
    return found == state.Indexes.end() ? NoIndexes : found->second;
}

void TCatalogueSnapshot::Indexed(int index, const std::string* previous, const std::string* description)
{
    TState& state = *state_;
    if (!state.Indexed)
        return;
    if (previous) {
        std::vector<int>& before = state.Indexes[LowerCase(*previous)];
        before.erase(std::remove(before.begin(), before.end(), index), before.end());
    }
    if (description) {
        std::vector<int>& after = state.Indexes[LowerCase(*description)];
        after.insert(std::upper_bound(after.begin(), after.end(), index), index);
    }
}

void TCatalogueSnapshot::Store()
{
    if (state_->Batched)
        state_->Changed = true;
    else
        state_->Document.Save();
}

TCatalogueBatch::TCatalogueBatch(const std::string& fileName)
    : lock_(fileName), fileName_(fileName), outer_(openBatch)
{
    // Read afresh under the lock, whatever an outer batch holds.
    openBatch = nullptr;
    const TCatalogueSnapshot read(fileName);
    state_ = read.state_;
    state_->Batched = true;
    openBatch = this;
}

TCatalogueBatch::~TCatalogueBatch()
{
    openBatch = outer_;
}

void TCatalogueBatch::Commit()
{
    if (!state_->Changed)
        return;
    state_->Document.Save();
    state_->Changed = false;
}

std::string TCatalogueSnapshot::Description(int index) const
{
    return state_->Document.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
}

TCatalogueEntry TCatalogueSnapshot::Entry(int index) const
{
    return EntryNamed(Description(index), DefaultProgram(index));
}

TCatalogueEntry TCatalogueSnapshot::EntryNamed(const std::string& description, const std::string& missingProgram) const
{
    const TIniDocument& document = state_->Document;
    TCatalogueEntry entry;
    entry.Description = description;
    entry.StubPath = document.ReadString(entry.Description, VantorerKey, "");
    entry.Program = document.ReadString(entry.Description, ProgramKey, missingProgram);
    entry.Parameters = document.ReadString(entry.Description, ParametersKey, "");
    entry.Installed = document.ReadBool(entry.Description, InstalledKey, false);
    entry.ServiceID = document.ReadInteger(entry.Description, ServiceIDKey, 1);
    entry.LogFile = document.ReadString(entry.Description, LogFileKey, "");
    entry.LogToFile = document.ReadBool(entry.Description, LogToFileKey, false);
    return entry;
}

int TCatalogueSnapshot::FindByStubPath(const TFilePath& path) const
{
    for (int n = 1; n <= Count(); ++n)
        if (path.Names(Document().ReadString(Description(n), VantorerKey, "")))
            return n;
    return -1;
}

int TCatalogueSnapshot::FindDescription(const std::string& description, int except) const
{
    for (int n : IndexesOf(description))
        if (n != except)
            return n;
    return -1;
}

int TCatalogueSnapshot::Find(const TEntryKey& key, TEntryOutcome& outcome) const
{
    // Of entries that share a description (a hand-edited file), the one with
    // the service ID; else one alone under another description now.
    outcome = TEntryOutcome::Done;
    for (int n : IndexesOf(key.Description))
        if (key.ServiceID == 0 || Document().ReadInteger(Description(n), ServiceIDKey, 1) == key.ServiceID)
            return n;
    int renamed = -1, sharing = 0;
    for (int n = 1; key.ServiceID != 0 && n <= Count(); ++n)
        if (Document().ReadInteger(Description(n), ServiceIDKey, 1) == key.ServiceID) {
            renamed = n;
            ++sharing;
        }
    outcome = sharing == 1 ? TEntryOutcome::Renamed : TEntryOutcome::Gone;
    return sharing == 1 ? renamed : -1;
}
