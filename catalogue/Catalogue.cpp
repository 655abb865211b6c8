#include "catalogue/Catalogue.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <optional>

#include "catalogue/EntryRules.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

namespace {

// The first list index other than except whose description reaches the
// same section, or -1.
int SectionSharer(const TCatalogueSnapshot& snapshot, const std::string& description, int except)
{
    for (int n = 1; n <= snapshot.Count(); ++n)
        if (n != except && TIniDocument::SameName(snapshot.Description(n), description))
            return n;
    return -1;
}

// Past LastServiceID and past every ServiceID in the file, so that a damaged
// or hand-edited LastServiceID never hands out an ID again, nor a negative one.
int NextServiceID(const TIniDocument& ini, int& known)
{
    if (known < 0) {
        int last = std::max(0, ini.ReadInteger(StatusSection, LastServiceIDKey, 0));
        for (const std::string& section : ini.SectionNames())
            last = std::max(last, ini.ReadInteger(section, ServiceIDKey, 0));
        known = last;
    }
    if (known == INT_MAX)
        throw TError("No new entry can be added: every service ID up to " + std::to_string(INT_MAX) +
                     " has been given out");
    return known + 1;
}

// A line break in a value would end it there and make the rest a key or a
// section of its own: a parameter could forge another entry's settings. A
// value longer than a read gives back would be cut: a program would run
// without its last parameters.
void CheckValues(const TEntrySettings& settings)
{
    const std::pair<const char*, const std::string*> values[] = {
        {"program", &settings.Program}, {"parameter line", &settings.Parameters}, {"log file", &settings.LogFile}};
    for (const auto& [name, value] : values)
        if (value->find_first_of("\r\n") != std::string::npos)
            throw TError("A program, its parameters and its log file cannot hold line breaks");
    for (const auto& [name, value] : values) {
        if (value->size() <= ProfileValueLimit(*value))
            continue;
        // A read counts bytes: one per character of ASCII, up to four for others.
        const bool ascii = std::all_of(value->begin(), value->end(), [](char c) { return c > 0; });
        const std::string unit = ascii ? " characters" : " bytes";
        throw TError("The " + std::string(name) + (ascii ? " is " : " takes ") + std::to_string(value->size()) +
                     (ascii ? " characters long" : " bytes") + ": the catalogue keeps at most " +
                     std::to_string(ProfileValueLimit(*value)) + unit + " of it (1023, or 1022 for one that begins " +
                     "or ends with a blank or a quote" + (ascii ? ")" : "; a character beyond ASCII takes 2 to 4)"));
    }
}

// What an append or an edit sets in the entry's section, in this order;
// each value so that it reads back as given.
void WriteSettings(TIniDocument& ini, const TCatalogueEntry& entry)
{
    ini.WriteString(entry.Description, ProgramKey, ProfileValue(entry.Program));
    ini.WriteString(entry.Description, ParametersKey, ProfileValue(entry.Parameters));
    ini.WriteString(entry.Description, LogFileKey, ProfileValue(entry.LogFile));
    ini.WriteBool(entry.Description, LogToFileKey, entry.LogToFile);
    ini.WriteBool(entry.Description, InstalledKey, false);
}

// Where every write starts: the new settings checked (when there are any)
// before anything else, then the write lock taken and the file read once.
class TWriting {
public:
    explicit TWriting(const std::string& fileName, const TEntrySettings* settings = nullptr,
                      const TServiceSettings* service = nullptr)
        : checked_(Check(settings, service)), lock_(fileName), snapshot_(fileName)
    {
    }
    TCatalogueSnapshot& Snapshot() { return snapshot_; }

private:
    static bool Check(const TEntrySettings* settings, const TServiceSettings* service)
    {
        if (settings) {
            CheckDescription(settings->Description);
            CheckValues(*settings);
        }
        if (service)
            if (TRefusal refused = SettingsStorageRefusal(*service))
                throw TError(refused.Reason());
        return true;
    }

    const bool checked_;
    const TIniWriteLock lock_;
    TCatalogueSnapshot snapshot_;
};

// Checked again under the lock: two programs adding entries of one log file
// at once would each find the other's not there yet.
void RefuseSharedLog(const TCatalogueSnapshot& snapshot, const TEntrySettings& settings, int except)
{
    if (const std::optional<TEntryRefusal> shared = SharedLogRefusal(snapshot, settings, except))
        throw TError(shared->Text);
}

// The other entry whose description (letter case aside) the entry at that
// index would take, or -1: two entries would share one section and one
// service.
int DescriptionHolder(const TCatalogueSnapshot& snapshot, int index, const std::string& description)
{
    if (TIniDocument::SameName(snapshot.Description(index), description))
        return -1;
    return snapshot.FindDescription(description, index);
}

TEntrySettings Settings(const std::string& description, const std::string& program, const std::string& parameters,
                        const std::string& logFile, bool logToFile)
{
    return {description, program, parameters, logFile, logToFile};
}

} // namespace

TEntrySettings SettingsOf(const TCatalogueEntry& entry)
{
    return {entry.Description, entry.Program, entry.Parameters, entry.LogFile, entry.LogToFile};
}

void CheckEntryValues(const TEntrySettings& settings)
{
    CheckValues(settings);
}

void TCatalogue::CheckIndex(const TCatalogueSnapshot& snapshot, int index)
{
    count_ = snapshot.Count();
    if (index > count_ || index < 1)
        throw TError("Wrong Service index (" + std::to_string(index));
}

int TCatalogue::Count()
{
    count_ = TCatalogueSnapshot(fileName_).Count();
    return count_;
}

int TCatalogue::FindByDescription(const std::string& description)
{
    const TCatalogueSnapshot snapshot(fileName_);
    count_ = snapshot.Count();
    const int found = snapshot.FindDescription(description);
    // The working entry keeps the last description looked at: the one
    // found, else the last one listed.
    if (found != -1 || count_ > 0)
        entry_.Description = snapshot.Description(found != -1 ? found : count_);
    return found;
}

void TCatalogue::LoadEntry(int index)
{
    const TCatalogueSnapshot snapshot(fileName_);
    CheckIndex(snapshot, index);
    Take(snapshot, index);
}

bool TCatalogue::IsInstalled(int index)
{
    const TCatalogueSnapshot snapshot(fileName_);
    CheckIndex(snapshot, index);
    return snapshot.Entry(index).Installed;
}

void TCatalogue::Take(const TCatalogueSnapshot& snapshot, int index)
{
    index_ = index;
    entry_ = snapshot.Entry(index);
    service_ = ReadServiceSettings(snapshot.Document(), entry_.Description);
}

void TCatalogue::SetWorkingEntry(const TEntrySettings& settings)
{
    entry_.Description = settings.Description;
    entry_.Program = settings.Program;
    entry_.Parameters = settings.Parameters;
    entry_.LogFile = settings.LogFile;
    entry_.LogToFile = settings.LogToFile;
    entry_.Installed = false;
}

int TCatalogue::AppendEntry(const std::string& description, const std::string& program,
                            const std::string& parameters, const std::string& logFile, bool logToFile)
{
    const TEntrySettings settings = Settings(description, program, parameters, logFile, logToFile);
    TWriting writing(fileName_, &settings);
    return Append(writing.Snapshot(), settings);
}

int TCatalogue::Append(TCatalogueSnapshot& snapshot, const TEntrySettings& settings, const TServiceSettings& service)
{
    TCatalogueSnapshot::TState& state = *snapshot.state_;
    TIniDocument& ini = state.Document;
    const int count = count_ = snapshot.Count();
    if (count >= MaxEntries)
        throw TError("No new entry can be added: the catalogue holds " + std::to_string(MaxEntries) +
                     " entries, as many as it can");
    const int id = NextServiceID(ini, state.LastServiceID);
    ini.WriteInteger(StatusSection, LastServiceIDKey, id);
    state.LastServiceID = id;
    SetWorkingEntry(settings);
    ini.WriteInteger(StatusSection, NumServicesKey, count + 1);
    ini.WriteString(StatusSection, ServiceKey(count + 1), settings.Description);
    WriteSettings(ini, entry_);
    ini.WriteInteger(settings.Description, ServiceIDKey, id);
    // A section left behind by a hand edit lends the new entry nothing.
    WriteServiceSettings(ini, settings.Description, service);
    snapshot.Indexed(count + 1, nullptr, &settings.Description);
    state.Count = state.StoredCount = count + 1;
    snapshot.Store();
    service_ = service;
    count_ = index_ = count + 1;
    entry_.ServiceID = id;
    entry_.StubPath.clear();
    return count + 1;
}

void TCatalogue::UpdateEntry(int index, const std::string& description, const std::string& program,
                             const std::string& parameters, const std::string& logFile, bool logToFile)
{
    const TEntrySettings settings = Settings(description, program, parameters, logFile, logToFile);
    TWriting writing(fileName_, &settings);
    TCatalogueSnapshot& snapshot = writing.Snapshot();
    if (DescriptionHolder(snapshot, index, description) == -1)
        return Update(snapshot, index, settings);
    throw TError("A service described \"" + description + "\" is in the catalogue already");
}

void TCatalogue::Update(TCatalogueSnapshot& snapshot, int index, const TEntrySettings& settings)
{
    TCatalogueSnapshot::TState& state = *snapshot.state_;
    TIniDocument& ini = state.Document;
    const std::string& description = settings.Description;
    std::string previous = snapshot.Description(index);
    // A change of letter case alone keeps the entry in its own section.
    bool renamed = !TIniDocument::SameName(previous, description);

    // A renamed entry takes its service ID and host path along. A section
    // that another entry names too (left so by an older or hand-edited file)
    // stays with that entry, and this one leaves with an ID of its own.
    std::optional<std::string> serviceID, stubPath;
    std::optional<TServiceSettings> service;
    bool shared = false;
    if (renamed) {
        // How the entry runs goes along, also from a section it shared.
        service = ReadServiceSettings(ini, previous);
        shared = SectionSharer(snapshot, previous, index) != -1;
        if (shared) {
            int id = NextServiceID(ini, state.LastServiceID);
            ini.WriteInteger(StatusSection, LastServiceIDKey, id);
            state.LastServiceID = id;
            serviceID = std::to_string(id);
        } else {
            if (ini.HasKey(previous, ServiceIDKey))
                serviceID = ini.ReadString(previous, ServiceIDKey, "");
            if (ini.HasKey(previous, VantorerKey))
                stubPath = ini.ReadString(previous, VantorerKey, "");
        }
    }

    SetWorkingEntry(settings);
    ini.WriteString(StatusSection, ServiceKey(index), description);
    WriteSettings(ini, entry_);
    if (renamed) {
        // A section no entry named before gives the entry no identity of its
        // own: only what the entry brings is kept.
        if (serviceID)
            ini.WriteString(description, ServiceIDKey, *serviceID);
        else
            ini.DeleteKey(description, ServiceIDKey);
        if (stubPath)
            ini.WriteString(description, VantorerKey, *stubPath);
        else
            ini.DeleteKey(description, VantorerKey);
        WriteServiceSettings(ini, description, *service);
        if (!shared && !previous.empty() && !IsReservedSection(previous))
            ini.EraseSection(previous);
    }
    if (snapshot.CountDamaged()) {
        ini.WriteInteger(StatusSection, NumServicesKey, snapshot.Count());
        state.StoredCount = state.Count;
    }
    snapshot.Indexed(index, &previous, &description);
    snapshot.Store();
    index_ = index;
    entry_.ServiceID = ini.ReadInteger(description, ServiceIDKey, 1);
    entry_.StubPath = ini.ReadString(description, VantorerKey, "");
}

void TCatalogue::DeleteEntry(int index)
{
    TWriting writing(fileName_);
    CheckIndex(writing.Snapshot(), index);
    Delete(writing.Snapshot(), index);
}

void TCatalogue::Delete(TCatalogueSnapshot& snapshot, int index)
{
    TCatalogueSnapshot::TState& state = *snapshot.state_;
    TIniDocument& ini = state.Document;
    const int count = count_ = snapshot.Count();
    std::string description = snapshot.Description(index);
    // A hand-edited entry named after one of the catalogue's own sections, or
    // after a section another entry names too, leaves the list without taking
    // that section with it.
    if (!description.empty() && !IsReservedSection(description) &&
        SectionSharer(snapshot, description, index) == -1)
        ini.EraseSection(description);
    ini.DeleteKey(StatusSection, ServiceKey(index));
    for (int i = index + 1; i <= count; ++i)
        ini.WriteString(StatusSection, ServiceKey(i - 1), snapshot.Description(i));
    ini.WriteInteger(StatusSection, NumServicesKey, count - 1);
    // Every entry after it moved up.
    state.Indexed = false;
    state.Count = state.StoredCount = count - 1;
    snapshot.Store();
    count_ = count - 1;
}

TEntryOutcome TCatalogue::Locate(const TCatalogueSnapshot& snapshot, const TEntryKey& key)
{
    count_ = snapshot.Count();
    TEntryOutcome outcome = TEntryOutcome::Gone;
    index_ = snapshot.Find(key, outcome);
    if (index_ != -1)
        Take(snapshot, index_);
    return outcome;
}

TEntryOutcome TCatalogue::LocateUninstalled(const TCatalogueSnapshot& snapshot, const TEntryKey& key)
{
    TEntryOutcome found = Locate(snapshot, key);
    return found == TEntryOutcome::Done && entry_.Installed ? TEntryOutcome::Installed : found;
}

TEntryOutcome TCatalogue::LoadEntry(const TEntryKey& key)
{
    return Locate(TCatalogueSnapshot(fileName_), key);
}

TEntryOutcome TCatalogue::AddEntry(const TEntrySettings& settings, const TServiceSettings& service)
{
    TWriting writing(fileName_, &settings, &service);
    if (Locate(writing.Snapshot(), {settings.Description}) == TEntryOutcome::Done)
        return TEntryOutcome::Duplicate;
    RefuseSharedLog(writing.Snapshot(), settings, 0);
    Append(writing.Snapshot(), settings, service);
    return TEntryOutcome::Done;
}

TEntryOutcome TCatalogue::ChangeEntry(const TEntryKey& key, const TEntrySettings& seen,
                                      const TEntrySettings& settings)
{
    TWriting writing(fileName_, &settings);
    TCatalogueSnapshot& snapshot = writing.Snapshot();
    if (TEntryOutcome found = LocateUninstalled(snapshot, key); found != TEntryOutcome::Done)
        return found;
    if (SettingsOf(entry_) != seen)
        return TEntryOutcome::Changed;
    const int index = index_;
    if (const int other = DescriptionHolder(snapshot, index, settings.Description); other != -1) {
        Take(snapshot, other);
        return TEntryOutcome::Duplicate;
    }
    RefuseSharedLog(snapshot, settings, index);
    Update(snapshot, index, settings);
    return TEntryOutcome::Done;
}

TEntryOutcome TCatalogue::ChangeServiceSettings(const TEntryKey& key, const TServiceSettings& seen,
                                                const TServiceSettings& settings)
{
    TWriting writing(fileName_, nullptr, &settings);
    TCatalogueSnapshot& snapshot = writing.Snapshot();
    if (TEntryOutcome found = Locate(snapshot, key); found != TEntryOutcome::Done)
        return found;
    if (service_ != seen)
        return TEntryOutcome::Changed;
    WriteServiceSettings(snapshot.state_->Document, entry_.Description, settings);
    snapshot.Store();
    service_ = settings;
    return TEntryOutcome::Done;
}

TEntryOutcome TCatalogue::RemoveEntry(const TEntryKey& key)
{
    TWriting writing(fileName_);
    if (TEntryOutcome found = LocateUninstalled(writing.Snapshot(), key); found != TEntryOutcome::Done)
        return found;
    Delete(writing.Snapshot(), index_);
    return TEntryOutcome::Done;
}

void TCatalogue::Record(const std::string& description, const char* key, const std::string& value)
{
    TWriting writing(fileName_);
    TCatalogueSnapshot& snapshot = writing.Snapshot();
    count_ = snapshot.Count();
    snapshot.state_->Document.WriteString(description, key, value);
    snapshot.Store();
}

void TCatalogue::RecordStubPath(const std::string& description, const std::string& stubPath)
{
    Record(description, VantorerKey, ProfileValue(stubPath));
}

void TCatalogue::RecordInstalled(const std::string& description, bool installed)
{
    Record(description, InstalledKey, installed ? "1" : "0");
}

std::vector<TCatalogueRow> TCatalogue::ListEntries()
{
    const TCatalogueSnapshot snapshot(fileName_);
    count_ = snapshot.Count();
    std::vector<TCatalogueRow> rows;
    rows.reserve(static_cast<size_t>(count_));
    for (int n = 1; n <= count_; ++n) {
        TCatalogueEntry entry = snapshot.Entry(n);
        rows.push_back({n, entry.ServiceID, std::move(entry.Description), std::move(entry.Program),
                        std::move(entry.Parameters), entry.Installed});
    }
    return rows;
}
