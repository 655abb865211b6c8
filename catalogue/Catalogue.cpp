#include "catalogue/Catalogue.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <optional>

#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

bool SameText(const std::string& a, const std::string& b)
{
    return LowerCase(a) == LowerCase(b);
}

// The first list index other than except whose description matches, or -1.
int IndexOf(const TCatalogueSnapshot& snapshot, const std::string& description, int except,
            bool (*same)(const std::string&, const std::string&))
{
    for (int n = 1; n <= snapshot.Count(); ++n)
        if (n != except && same(snapshot.Description(n), description))
            return n;
    return -1;
}

// Past LastServiceID and past every ServiceID in the file, so that a damaged
// or hand-edited LastServiceID never hands out an ID again, nor a negative one.
int NextServiceID(const TCatalogueSnapshot& snapshot)
{
    const TIniDocument& ini = snapshot.Document();
    int last = std::max(0, ini.ReadInteger(StatusSection, LastServiceIDKey, 0));
    for (const std::string& section : ini.SectionNames())
        last = std::max(last, ini.ReadInteger(section, ServiceIDKey, 0));
    if (last == INT_MAX)
        throw TError("No new entry can be added: every service ID up to " + std::to_string(INT_MAX) +
                     " has been given out");
    return last + 1;
}

// A line break in a value would end it there and make the rest a key or a
// section of its own: a parameter could forge another entry's settings.
void CheckValues(const std::string& program, const std::string& parameters, const std::string& logFile)
{
    for (const std::string* value : {&program, &parameters, &logFile})
        if (value->find_first_of("\r\n") != std::string::npos)
            throw TError("A program, its parameters and its log file cannot hold line breaks");
}

// What an append or an edit sets in the entry's section, in this order.
void WriteSettings(TIniDocument& ini, const TCatalogueEntry& entry)
{
    ini.WriteString(entry.Description, ProgramKey, entry.Program);
    ini.WriteString(entry.Description, ParametersKey, entry.Parameters);
    ini.WriteString(entry.Description, LogFileKey, entry.LogFile);
    ini.WriteBool(entry.Description, LogToFileKey, entry.LogToFile);
    ini.WriteBool(entry.Description, InstalledKey, false);
}

} // namespace

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
    std::string wanted = LowerCase(description);
    for (int n = 1; n <= count_; ++n) {
        entry_.Description = snapshot.Description(n);
        if (LowerCase(entry_.Description) == wanted)
            return n;
    }
    return -1;
}

void TCatalogue::LoadEntry(int index)
{
    const TCatalogueSnapshot snapshot(fileName_);
    CheckIndex(snapshot, index);
    entry_ = snapshot.Entry(index);
}

bool TCatalogue::IsInstalled(int index)
{
    const TCatalogueSnapshot snapshot(fileName_);
    CheckIndex(snapshot, index);
    return snapshot.Document().ReadBool(snapshot.Description(index), InstalledKey, false);
}

void TCatalogue::SetWorkingEntry(const std::string& description, const std::string& program,
                                 const std::string& parameters, const std::string& logFile, bool logToFile)
{
    entry_.Description = description;
    entry_.Program = program;
    entry_.Parameters = parameters;
    entry_.LogFile = logFile;
    entry_.LogToFile = logToFile;
    entry_.Installed = false;
}

int TCatalogue::AppendEntry(const std::string& description, const std::string& program,
                            const std::string& parameters, const std::string& logFile, bool logToFile)
{
    CheckDescription(description);
    CheckValues(program, parameters, logFile);
    const TIniWriteLock lock(fileName_);
    TCatalogueSnapshot snapshot(fileName_);
    TIniDocument& ini = snapshot.document_;
    const int count = count_ = snapshot.Count();
    if (count >= MaxEntries)
        throw TError("No new entry can be added: the catalogue holds " + std::to_string(MaxEntries) +
                     " entries, as many as it can");
    const int id = NextServiceID(snapshot);
    ini.WriteInteger(StatusSection, LastServiceIDKey, id);
    SetWorkingEntry(description, program, parameters, logFile, logToFile);
    ini.WriteInteger(StatusSection, NumServicesKey, count + 1);
    ini.WriteString(StatusSection, ServiceKey(count + 1), description);
    WriteSettings(ini, entry_);
    ini.WriteInteger(description, ServiceIDKey, id);
    ini.Save();
    count_ = count + 1;
    entry_.ServiceID = id;
    return count + 1;
}

void TCatalogue::UpdateEntry(int index, const std::string& description, const std::string& program,
                             const std::string& parameters, const std::string& logFile, bool logToFile)
{
    CheckDescription(description);
    CheckValues(program, parameters, logFile);
    const TIniWriteLock lock(fileName_);
    TCatalogueSnapshot snapshot(fileName_);
    TIniDocument& ini = snapshot.document_;
    std::string previous = snapshot.Description(index);
    // A change of letter case alone keeps the entry in its own section.
    bool renamed = !TIniDocument::SameName(previous, description);

    // A renamed entry takes its service ID and host path along. A section
    // that another entry names too (left so by an older or hand-edited file)
    // stays with that entry, and this one leaves with an ID of its own.
    std::optional<std::string> serviceID, stubPath;
    bool shared = false;
    if (renamed) {
        if (IndexOf(snapshot, description, index, SameText) != -1)
            throw TError("A service described \"" + description + "\" is in the catalogue already");
        shared = IndexOf(snapshot, previous, index, TIniDocument::SameName) != -1;
        if (shared) {
            int id = NextServiceID(snapshot);
            ini.WriteInteger(StatusSection, LastServiceIDKey, id);
            serviceID = std::to_string(id);
        } else {
            if (ini.HasKey(previous, ServiceIDKey))
                serviceID = ini.ReadString(previous, ServiceIDKey, "");
            if (ini.HasKey(previous, VantorerKey))
                stubPath = ini.ReadString(previous, VantorerKey, "");
        }
    }

    SetWorkingEntry(description, program, parameters, logFile, logToFile);
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
        if (!shared && !previous.empty() && !IsReservedSection(previous))
            ini.EraseSection(previous);
    }
    if (snapshot.CountDamaged())
        ini.WriteInteger(StatusSection, NumServicesKey, snapshot.Count());
    ini.Save();
}

void TCatalogue::DeleteEntry(int index)
{
    const TIniWriteLock lock(fileName_);
    TCatalogueSnapshot snapshot(fileName_);
    CheckIndex(snapshot, index);
    TIniDocument& ini = snapshot.document_;
    const int count = count_;
    std::string description = snapshot.Description(index);
    // A hand-edited entry named after one of the catalogue's own sections, or
    // after a section another entry names too, leaves the list without taking
    // that section with it.
    if (!description.empty() && !IsReservedSection(description) &&
        IndexOf(snapshot, description, index, TIniDocument::SameName) == -1)
        ini.EraseSection(description);
    ini.DeleteKey(StatusSection, ServiceKey(index));
    for (int i = index + 1; i <= count; ++i)
        ini.WriteString(StatusSection, ServiceKey(i - 1), snapshot.Description(i));
    ini.WriteInteger(StatusSection, NumServicesKey, count - 1);
    ini.Save();
    count_ = count - 1;
}

void TCatalogue::RecordDeployment(const std::string& description, const std::string& stubPath, bool installed)
{
    const TIniWriteLock lock(fileName_);
    TCatalogueSnapshot snapshot(fileName_);
    count_ = snapshot.Count();
    TIniDocument& ini = snapshot.document_;
    ini.WriteString(description, VantorerKey, stubPath);
    ini.WriteBool(description, InstalledKey, installed);
    ini.Save();
}

std::vector<TCatalogueRow> TCatalogue::ListEntries()
{
    const TCatalogueSnapshot snapshot(fileName_);
    const TIniDocument& ini = snapshot.Document();
    count_ = snapshot.Count();
    std::vector<TCatalogueRow> rows;
    rows.reserve(static_cast<size_t>(count_));
    for (int n = 1; n <= count_; ++n) {
        TCatalogueRow row;
        row.Index = n;
        row.Description = snapshot.Description(n);
        row.Program = ini.ReadString(row.Description, ProgramKey, DefaultProgram(n));
        row.Parameters = ini.ReadString(row.Description, ParametersKey, "");
        row.Installed = ini.ReadBool(row.Description, InstalledKey, false);
        rows.push_back(std::move(row));
    }
    return rows;
}
