#pragma once
#include <string>
#include <vector>

#include "catalogue/Description.h"
#include "catalogue/IniDocument.h"

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
    std::string Description;
    std::string Program;
    std::string Parameters;
    bool Installed = false;
};

// The catalogue as one read of its file found it. Every operation below
// works on one; readers that look at many entries at once, such as a service
// host looking for its own entry, use one directly.
class TCatalogueSnapshot {
public:
    explicit TCatalogueSnapshot(const std::string& fileName = CatalogueFileName);

    const TIniDocument& Document() const { return document_; }
    // The number of entries: NumServices, but no further than the last
    // Service_<n> key it covers, and with no more keys missing below that
    // than present. A count that is not a number, is negative or lies beyond
    // MaxEntries reaches as far as the keys do.
    int Count() const { return count_; }
    // NumServices says something other than Count().
    bool CountDamaged() const { return storedCount_ != count_; }
    // Service_<n>, or "Service <n>" when the key is missing.
    std::string Description(int index) const;
    // The entry at list index n, as LoadEntry fills the working entry.
    TCatalogueEntry Entry(int index) const;
    // The list index of the first entry whose Vantorer names the file at the
    // path, or -1.
    int FindByStubPath(const std::string& path) const;

private:
    friend class TCatalogue;
    TIniDocument document_;
    int storedCount_ = 0;
    int count_ = 0;
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
    // Records, in one write, where the entry's service host copy is and the
    // state its install or uninstall asks for.
    void RecordDeployment(const std::string& description, const std::string& stubPath, bool installed);

private:
    // Reads the count and fails with "Wrong Service index (<n>" when the
    // index lies outside 1..count.
    void CheckIndex(const TCatalogueSnapshot& snapshot, int index);
    void SetWorkingEntry(const std::string& description, const std::string& program, const std::string& parameters,
                         const std::string& logFile, bool logToFile);

    std::string fileName_;
    TCatalogueEntry entry_;
    int count_ = 0;
};
