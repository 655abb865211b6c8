#include "stub/StubSettings.h"

#include <functional>

#include "catalogue/IniFile.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

using TSectionVisit = std::function<bool(const std::string& description, const TIniFile::TSection& section)>;

// The host's only reads of the catalogue file. Hands visit the section named
// first, then each listed entry's in list order, until visit returns true.
// The first is usually the one, so a start costs one read.
void ReadEntries(const std::string& fileName, const std::string& first, const TSectionVisit& visit)
{
    TIniFile ini(fileName);
    if (!first.empty() && visit(first, ini.ReadSection(first)))
        return;
    const int count = TCatalogue(fileName).Count();
    const TIniFile::TSection status = ini.ReadSection(StatusSection);
    for (int n = 1; n <= count; ++n) {
        std::string description = status.ReadString(ServiceKey(n), DefaultDescription(n));
        if (LowerCase(description) != LowerCase(first) && visit(description, ini.ReadSection(description)))
            return;
    }
}

struct TOwnEntry {
    std::string Description;
    TIniFile::TSection Section;
    // Some key of an entry is there (an absent section reads as empty).
    bool Exists = false;
    bool NamesThisCopy = false;
};

bool HoldsKey(const TIniFile::TSection& section, const char* key)
{
    const std::string absent(1, '\x01');
    return section.ReadString(key, absent) != absent;
}

TOwnEntry FindOwnEntry(const std::string& ownPath, const std::string& fileName)
{
    TOwnEntry byFileName;
    byFileName.Description = DescriptionFromPath(ownPath);
    const std::string first = IsReservedSection(byFileName.Description) ? "" : byFileName.Description;
    TOwnEntry named;
    bool visitingFirst = !first.empty();
    ReadEntries(fileName, first, [&](const std::string& description, const TIniFile::TSection& section) {
        if (SameFilePath(section.ReadString(VantorerKey, ""), ownPath)) {
            named = {description, section, true, true};
            return true;
        }
        if (visitingFirst) {
            visitingFirst = false;
            byFileName.Section = section;
            for (const char* key : {VantorerKey, ProgramKey, ParametersKey, ServiceIDKey, LogFileKey, LogToFileKey})
                byFileName.Exists = byFileName.Exists || HoldsKey(section, key);
        }
        return false;
    });
    return named.NamesThisCopy ? named : byFileName;
}

} // namespace

std::string OwnDescription(const std::string& ownPath, const std::string& fileName)
{
    return FindOwnEntry(ownPath, fileName).Description;
}

TStubSettings LoadSettings(const std::string& ownPath, const std::string& fileName)
{
    const TOwnEntry entry = FindOwnEntry(ownPath, fileName);
    const std::string& description = entry.Description;
    if (!entry.Exists)
        throw TSettingsError("the catalogue " + fileName + " has no entry that names \"" + ownPath +
                                 "\", and none called \"" + description + "\"",
                             NoSectionExitCode);
    if (!entry.NamesThisCopy) {
        std::string stubPath = entry.Section.ReadString(VantorerKey, "");
        throw TSettingsError("the catalogue entry \"" + description + "\" " +
                                 (stubPath.empty() ? "names no service host copy"
                                                   : "belongs to \"" + stubPath + "\"") +
                                 ", not to \"" + ownPath + "\"",
                             NotOwnEntryExitCode);
    }
    TStubSettings settings;
    settings.Description = description;
    settings.ServiceID = entry.Section.ReadInteger(ServiceIDKey, 1);
    settings.Program = entry.Section.ReadString(ProgramKey, "");
    settings.Parameters = entry.Section.ReadString(ParametersKey, "");
    settings.LogFile = entry.Section.ReadString(LogFileKey, "");
    settings.LogToFile = entry.Section.ReadBool(LogToFileKey, false);
    return settings;
}

std::string ProgramCommandLine(const std::string& program, const std::string& parameters)
{
    std::string line = "\"" + program + "\"";
    if (!parameters.empty())
        line += " " + parameters;
    return line;
}
