#include "catalogue/Catalogue.h"

#include <windows.h>

#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

constexpr const char* NumServicesKey = "NumServices";
constexpr const char* LastServiceIDKey = "LastServiceID";

bool SameText(const std::string& a, const std::string& b)
{
    return LowerCase(a) == LowerCase(b);
}

std::string DefaultProgram(int index)
{
    return DefaultDescription(index) + ".exe";
}

} // namespace

std::string ServiceKey(int index)
{
    return "Service_" + std::to_string(index);
}

std::string DefaultDescription(int index)
{
    return "Service " + std::to_string(index);
}

int TCatalogue::ReadCount(const TIniFile& ini)
{
    count_ = ini.ReadInteger(StatusSection, NumServicesKey, 0);
    return count_;
}

void TCatalogue::CheckIndex(const TIniFile& ini, int index)
{
    int count = ReadCount(ini);
    if (index > count || index < 1)
        throw TError("Wrong Service index (" + std::to_string(index));
}

int TCatalogue::Count()
{
    TIniFile ini(fileName_);
    return ReadCount(ini);
}

int TCatalogue::FindByDescription(const std::string& description)
{
    TIniFile ini(fileName_);
    const TIniFile::TSection status = ini.ReadSection(StatusSection);
    count_ = status.ReadInteger(NumServicesKey, 0);
    std::string wanted = LowerCase(description);
    for (int n = 1; n <= count_; ++n) {
        entry_.Description = status.ReadString(ServiceKey(n), DefaultDescription(n));
        if (LowerCase(entry_.Description) == wanted)
            return n;
    }
    return -1;
}

void TCatalogue::LoadEntry(int index)
{
    TIniFile ini(fileName_);
    CheckIndex(ini, index);
    entry_.Description = ini.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
    const TIniFile::TSection section = ini.ReadSection(entry_.Description);
    entry_.StubPath = section.ReadString(VantorerKey, "");
    entry_.Program = section.ReadString(ProgramKey, DefaultProgram(index));
    entry_.Parameters = section.ReadString(ParametersKey, "");
    entry_.Installed = section.ReadBool(InstalledKey, false);
    entry_.ServiceID = section.ReadInteger(ServiceIDKey, 1);
    entry_.LogFile = section.ReadString(LogFileKey, "");
    entry_.LogToFile = section.ReadBool(LogToFileKey, false);
}

bool TCatalogue::IsInstalled(int index)
{
    TIniFile ini(fileName_);
    CheckIndex(ini, index);
    std::string description = ini.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
    return ini.ReadBool(description, InstalledKey, false);
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
    TIniFile ini(fileName_);
    int count = ReadCount(ini);
    int id = ini.ReadInteger(StatusSection, LastServiceIDKey, 0);
    ini.WriteInteger(StatusSection, LastServiceIDKey, id + 1);
    SetWorkingEntry(description, program, parameters, logFile, logToFile);
    ini.WriteInteger(StatusSection, NumServicesKey, count + 1);
    count_ = count + 1;
    ini.WriteString(StatusSection, ServiceKey(count + 1), description);
    ini.WriteString(description, ProgramKey, program);
    ini.WriteString(description, ParametersKey, parameters);
    ini.WriteString(description, LogFileKey, logFile);
    ini.WriteBool(description, LogToFileKey, logToFile);
    ini.WriteBool(description, InstalledKey, false);
    ini.WriteInteger(description, ServiceIDKey, id + 1);
    entry_.ServiceID = id + 1;
    return count + 1;
}

void TCatalogue::UpdateEntry(int index, const std::string& description, const std::string& program,
                             const std::string& parameters, const std::string& logFile, bool logToFile)
{
    CheckDescription(description);
    TIniFile ini(fileName_);
    std::string previous = ini.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
    // Sections compare without letter case, so a change of case alone keeps
    // the entry in its own section.
    bool renamed = !SameText(previous, description);

    // A renamed entry takes its service ID and host path along; they are
    // read before anything is written so a refusal leaves the file as it was.
    const std::string missing(1, '\x01');
    std::string serviceID, stubPath;
    if (renamed) {
        TCatalogue others(fileName_);
        int other = others.FindByDescription(description);
        if (other != -1 && other != index)
            throw TError("A service described \"" + description + "\" is in the catalogue already");
        serviceID = ini.ReadString(previous, ServiceIDKey, missing);
        stubPath = ini.ReadString(previous, VantorerKey, missing);
    }

    SetWorkingEntry(description, program, parameters, logFile, logToFile);
    ini.WriteString(StatusSection, ServiceKey(index), description);
    ini.WriteString(description, ProgramKey, program);
    ini.WriteString(description, ParametersKey, parameters);
    ini.WriteString(description, LogFileKey, logFile);
    ini.WriteBool(description, LogToFileKey, logToFile);
    ini.WriteBool(description, InstalledKey, false);
    if (!renamed)
        return;
    if (serviceID != missing)
        ini.WriteString(description, ServiceIDKey, serviceID);
    if (stubPath != missing)
        ini.WriteString(description, VantorerKey, stubPath);
    if (!previous.empty() && !IsReservedSection(previous))
        ini.EraseSection(previous);
}

void TCatalogue::DeleteEntry(int index)
{
    TIniFile ini(fileName_);
    CheckIndex(ini, index);
    const int count = count_;
    auto writeCount = [&] {
        ini.WriteInteger(StatusSection, NumServicesKey, count - 1);
        count_ = count - 1;
    };
    try {
        std::string description = ini.ReadString(StatusSection, ServiceKey(index), DefaultDescription(index));
        // A hand-edited entry named after one of the catalogue's own sections
        // leaves the list without taking that section with it.
        if (!description.empty() && !IsReservedSection(description))
            ini.EraseSection(description);
        ini.DeleteKey(StatusSection, ServiceKey(index));
        for (int i = index + 1; i <= count; ++i)
            ini.WriteString(StatusSection, ServiceKey(i - 1),
                            ini.ReadString(StatusSection, ServiceKey(i), DefaultDescription(i)));
    } catch (...) {
        // The count is written on every path once the index was valid; the
        // first failure is the one reported.
        try {
            writeCount();
        } catch (const TError&) {
        }
        throw;
    }
    writeCount();
}

std::vector<TCatalogueRow> TCatalogue::ListEntries()
{
    // One read of Status and one of each entry's section: the list is read
    // at every start and after every removal, and a profile read costs the
    // same for one key as for a whole section.
    TIniFile ini(fileName_);
    const TIniFile::TSection status = ini.ReadSection(StatusSection);
    int count = status.ReadInteger(NumServicesKey, 0);
    count_ = count;
    std::vector<TCatalogueRow> rows;
    rows.reserve(count > 0 && count < 4096 ? count : 0);
    for (int n = 1; n <= count; ++n) {
        TCatalogueRow row;
        row.Index = n;
        row.Description = status.ReadString(ServiceKey(n), DefaultDescription(n));
        const TIniFile::TSection entry = ini.ReadSection(row.Description);
        row.Program = entry.ReadString(ProgramKey, DefaultProgram(n));
        row.Parameters = entry.ReadString(ParametersKey, "");
        row.Installed = entry.ReadBool(InstalledKey, false);
        rows.push_back(std::move(row));
    }
    return rows;
}
