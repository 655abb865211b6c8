#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue/Description.h"
#include "catalogue/IniDocument.h"
#include "catalogue/ServiceSettings.h"
#include "toolkit/Paths.h"

// The catalogue file, in the Windows directory; both the manager and every
// installed service host read it.
inline constexpr const char* CatalogueFileName = "QXServices.ini";

// Section and key names shared with the service host and the deployment code.
inline constexpr const char* StatusSection = "Status";
inline constexpr const char* NumServicesKey = "NumServices";
inline constexpr const char* LastServiceIDKey = "LastServiceID";
inline constexpr const char* WindowStatusSection = "WindowStatus";
inline constexpr const char* ProgramKey = "Program";
inline constexpr const char* ParametersKey = "Parameters";
inline constexpr const char* LogFileKey = "LogFile";
inline constexpr const char* LogToFileKey = "LogToFile";
inline constexpr const char* InstalledKey = "Installed";
inline constexpr const char* ServiceIDKey = "ServiceID";
inline constexpr const char* VantorerKey = "Vantorer";

// The most entries a catalogue is taken to hold, whatever its count says.
inline constexpr int MaxEntries = 100000;

// "Service_<n>": the key in Status that holds the description at list index n.
std::string ServiceKey(int index);
// What Service_<n> reads as when the key is missing: "Service <n>".
std::string DefaultDescription(int index);
// What Program reads as when the key is missing: "Service <n>.exe".
std::string DefaultProgram(int index);

struct TCatalogueEntry {
    int ServiceID = 0;
    std::string StubPath;
    std::string Description;
    std::string Program;
    std::string LogFile;
    std::string Parameters;
    bool LogToFile = false;
    bool Installed = false;
};

struct TCatalogueRow {
    int Index = 0;
    int ServiceID = 0;
    std::string Description;
    std::string Program;
    std::string Parameters;
    bool Installed = false;
};

// What a new or changed entry is given.
struct TEntrySettings {
    std::string Description;
    std::string Program;
    std::string Parameters;
    std::string LogFile;
    bool LogToFile = false;

    bool operator==(const TEntrySettings&) const = default;
};

// The settings an entry has now.
TEntrySettings SettingsOf(const TCatalogueEntry& entry);
// Raises a TError for a program, parameter line or log file the catalogue
// cannot keep as given: one with a line break, or longer than a read gives
// back. Every add and change checks it before writing.
void CheckEntryValues(const TEntrySettings& settings);

// The entry a command acts on, as the user named it: its description (in any
// letter case) and, when known, its service ID. A list index is no address:
// another program's change moves every entry after it. The service ID, never
// handed out twice, tells the entry renamed meanwhile from a new one that
// took its old description. 0 stands for whichever entry has the description.
struct TEntryKey {
    std::string Description;
    int ServiceID = 0;
};

// How an operation on a named entry ended. Everything but Done means nothing
// was written; it is decided under the write lock, from the read the write
// would have changed.
enum class TEntryOutcome {
    Done,
    // No entry has the description (with that service ID), nor the service ID.
    Gone,
    // The entry of that service ID has another description now.
    Renamed,
    // The entry is installed: it is neither changed nor removed.
    Installed,
    // Uninstalling an entry that is neither recorded as installed nor
    // registered as a service: nothing to do.
    NotInstalled,
    // Another entry has the description asked for.
    Duplicate,
    // The entry's settings are no longer those the change was made from.
    Changed,
};

// The catalogue as one read of its file found it. Every operation below
// works on one; readers that look at many entries at once, such as a service
// host looking for its own entry, use one directly. While a TCatalogueBatch
// is open on the thread, a snapshot of its file is the batch's: its reads
// see the batch's changes, and an operation's changes go into the batch.
class TCatalogueSnapshot {
public:
    explicit TCatalogueSnapshot(const std::string& fileName = CatalogueFileName);

    const TIniDocument& Document() const { return state_->Document; }
    // The number of entries: NumServices, but no further than the last
    // Service_<n> key it covers, and with no more keys missing below that
    // than present. A count that is not a number, is negative or lies beyond
    // MaxEntries reaches as far as the keys do.
    int Count() const { return state_->Count; }
    // NumServices says something other than Count().
    bool CountDamaged() const { return state_->StoredCount != state_->Count; }
    // Service_<n>, or "Service <n>" when the key is missing.
    std::string Description(int index) const;
    // The entry at list index n, as LoadEntry fills the working entry.
    TCatalogueEntry Entry(int index) const;
    // The entry that section holds, whether or not the list names it; every
    // reader of an entry reads it here. A missing Program reads as
    // missingProgram, missing keys else as for Entry.
    TCatalogueEntry EntryNamed(const std::string& description, const std::string& missingProgram) const;
    // The list index of the first entry whose Vantorer names the file at the
    // path, or -1.
    int FindByStubPath(const TFilePath& path) const;
    // The list index of the entry the key names, or -1; outcome says Done,
    // Gone or Renamed (the index is then that of the renamed entry).
    int Find(const TEntryKey& key, TEntryOutcome& outcome) const;
    // The first list index other than except whose description is the text
    // in any letter case, or -1.
    int FindDescription(const std::string& description, int except = 0) const;

private:
    friend class TCatalogue;
    friend class TCatalogueBatch;
    struct TState {
        explicit TState(const std::string& fileName) : Document(fileName) {}
        TIniDocument Document;
        int StoredCount = 0;
        int Count = 0;
        // The list indexes of each description in lower case, ascending:
        // made at the first look-up, kept by the writes that add or rename,
        // dropped by one that moves entries.
        std::unordered_map<std::string, std::vector<int>> Indexes;
        bool Indexed = false;
        // The last service ID given out, once a write has looked (-1 before).
        int LastServiceID = -1;
        // Part of a batch: written by its commit, not by each operation.
        bool Batched = false;
        bool Changed = false;
    };
    // The indexes of the entries of that description, letter case aside.
    const std::vector<int>& IndexesOf(const std::string& description) const;
    // The entry at that index no longer has the previous description, and
    // has the new one (when given).
    void Indexed(int index, const std::string* previous, const std::string* description);
    // Writes the changes, or leaves them to the batch's commit.
    void Store();

    std::shared_ptr<TState> state_;
};

// Changes to the catalogue made from one read of the file, under its write
// lock, and written in one step: while the batch is open on this thread,
// every TCatalogue operation on its file finds and changes entries in the
// batch's copy, as it would in the file, and nothing is written until
// Commit. A run of many changes so reads and writes the file once instead of
// once each. Only for changes to the catalogue alone: a deployment, whose
// service host copy reads the file, never runs inside one.
class TCatalogueBatch {
public:
    // Takes the write lock (raising "... is busy" as any writer) and reads.
    explicit TCatalogueBatch(const std::string& fileName = CatalogueFileName);
    // Closes the batch; changes Commit did not write are dropped.
    ~TCatalogueBatch();
    TCatalogueBatch(const TCatalogueBatch&) = delete;
    TCatalogueBatch& operator=(const TCatalogueBatch&) = delete;

    // Writes the changes made so far, if any, in one step (as
    // TIniDocument::Save, raising "Unable to write to ..." with the file
    // left as it was).
    void Commit();

private:
    friend class TCatalogueSnapshot;
    const TIniWriteLock lock_;
    const std::string fileName_;
    std::shared_ptr<TCatalogueSnapshot::TState> state_;
    TCatalogueBatch* outer_;
};

// The catalogue operations. Each reads the file once and writes it at most
// once, in one step; only the working entry and the count as last read are
// kept between operations.
class TCatalogue {
public:
    explicit TCatalogue(std::string fileName = CatalogueFileName) : fileName_(std::move(fileName)) {}

    const std::string& FileName() const { return fileName_; }
    TCatalogueEntry& Entry() { return entry_; }
    const TCatalogueEntry& Entry() const { return entry_; }
    // NumServices as last read by an operation.
    int LastCount() const { return count_; }
    void SetLastCount(int count) { count_ = count; }

    // The operations on the entry at a list index: the same reads and writes
    // as the keyed operations below, without their checks of the entry's
    // state (installed, changed or gone meanwhile). The program itself names
    // entries by key.
    int Count();
    int FindByDescription(const std::string& description);
    void LoadEntry(int index);
    bool IsInstalled(int index);
    int AppendEntry(const std::string& description, const std::string& program, const std::string& parameters,
                    const std::string& logFile, bool logToFile);
    void UpdateEntry(int index, const std::string& description, const std::string& program,
                     const std::string& parameters, const std::string& logFile, bool logToFile);
    void DeleteEntry(int index);
    std::vector<TCatalogueRow> ListEntries();

    // The same operations for the entry a key names. Each finds the entry,
    // checks its state and writes under the write lock, from one read of the
    // file, and says why it did nothing. The working entry then holds the
    // entry found: under its new description when Renamed, the other entry
    // when Duplicate. Values a read would not give back whole are refused
    // with a TError, as by AppendEntry and UpdateEntry.
    TEntryOutcome LoadEntry(const TEntryKey& key);
    // Refuses a description another entry has (Duplicate).
    TEntryOutcome AddEntry(const TEntrySettings& settings, const TServiceSettings& service = {});
    // Refuses an installed entry, one whose settings are no longer those
    // seen (another program's change would be undone), and a description
    // another entry has.
    TEntryOutcome ChangeEntry(const TEntryKey& key, const TEntrySettings& seen, const TEntrySettings& settings);
    // Refuses an installed entry.
    TEntryOutcome RemoveEntry(const TEntryKey& key);
    // Changes how the entry runs, also while it is installed; refuses an
    // entry whose settings are no longer those seen. A value the catalogue
    // cannot hold is refused with a TError (SettingsStorageRefusal).
    TEntryOutcome ChangeServiceSettings(const TEntryKey& key, const TServiceSettings& seen,
                                        const TServiceSettings& settings);
    // The settings of the entry the last keyed operation found or wrote.
    const TServiceSettings& ServiceSettings() const { return service_; }
    // The list index at which the last of these operations found or put the
    // working entry.
    int EntryIndex() const { return index_; }

    // Where the entry's service host copy is: written before the copy runs,
    // since the copy finds its entry by it.
    void RecordStubPath(const std::string& description, const std::string& stubPath);
    // Whether the entry is installed: written once the copy's run did it.
    void RecordInstalled(const std::string& description, bool installed);

private:
    // Reads the count and fails with "Wrong Service index (<n>" when the
    // index lies outside 1..count.
    void CheckIndex(const TCatalogueSnapshot& snapshot, int index);
    void SetWorkingEntry(const TEntrySettings& settings);
    // Makes the entry at that index the working entry, with its settings
    // and its index: how every operation loads an entry.
    void Take(const TCatalogueSnapshot& snapshot, int index);
    // Finds the key's entry in the snapshot, sets the working entry and its
    // index to it, and says whether it was found.
    TEntryOutcome Locate(const TCatalogueSnapshot& snapshot, const TEntryKey& key);
    // The same, and Installed for an installed entry: its settings belong to
    // its service until it is uninstalled.
    TEntryOutcome LocateUninstalled(const TCatalogueSnapshot& snapshot, const TEntryKey& key);
    // The writes themselves, on a snapshot read under the write lock.
    int Append(TCatalogueSnapshot& snapshot, const TEntrySettings& settings, const TServiceSettings& service = {});
    void Update(TCatalogueSnapshot& snapshot, int index, const TEntrySettings& settings);
    void Delete(TCatalogueSnapshot& snapshot, int index);
    void Record(const std::string& description, const char* key, const std::string& value);

    std::string fileName_;
    TCatalogueEntry entry_;
    TServiceSettings service_;
    int count_ = 0;
    int index_ = 0;
};
