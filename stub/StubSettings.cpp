#include "stub/StubSettings.h"

#include "catalogue/IniDocument.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"

namespace {

struct TOwnEntry {
    std::string Description;
    bool Exists = false;
    bool NamesThisCopy = false;
};

// The entry whose Vantorer key names this copy, found first under the name
// of the file (the usual case) and then among the listed entries, so an
// entry whose description holds "!" is found too. When none names it, the
// entry named after the file is the one reported, and refused.
TOwnEntry FindOwnEntry(const TCatalogueSnapshot& catalogue, const TFilePath& ownPath)
{
    const TIniDocument& ini = catalogue.Document();
    const std::string byFileName = DescriptionFromPath(ownPath.Path());
    const bool fileNameUsable = !byFileName.empty() && !IsReservedSection(byFileName);
    // Usually the entry named after the file is the one: asked first.
    if (fileNameUsable && ownPath.Names(ini.ReadString(byFileName, VantorerKey, "")))
        return {byFileName, true, true};
    int index = catalogue.FindByStubPath(ownPath);
    if (index != -1)
        return {catalogue.Description(index), true, true};
    return {byFileName, fileNameUsable && ini.HasSection(byFileName), false};
}

} // namespace

std::string OwnDescription(const TFilePath& ownPath, const std::string& fileName)
{
    return FindOwnEntry(TCatalogueSnapshot(fileName), ownPath).Description;
}

std::string OwnDescription(const std::string& ownPath, const std::string& fileName)
{
    return OwnDescription(TFilePath(ownPath), fileName);
}

TStubSettings LoadSettings(const std::string& ownPath, const std::string& fileName)
{
    const TCatalogueSnapshot catalogue(fileName);
    const TIniDocument& ini = catalogue.Document();
    const TOwnEntry entry = FindOwnEntry(catalogue, TFilePath(ownPath));
    const std::string& description = entry.Description;
    if (!entry.Exists)
        throw TSettingsError("the catalogue " + fileName + " has no entry that names \"" + ownPath +
                                 "\", and none called \"" + description + "\"",
                             NoSectionExitCode);
    if (!entry.NamesThisCopy) {
        std::string stubPath = ini.ReadString(description, VantorerKey, "");
        throw TSettingsError("the catalogue entry \"" + description + "\" " +
                                 (stubPath.empty() ? "names no service host copy"
                                                   : "belongs to \"" + stubPath + "\"") +
                                 ", not to \"" + ownPath + "\"",
                             NotOwnEntryExitCode);
    }
    // Read as the manager reads it, but for a missing Program: the name
    // the manager shows for it ("Service <n>.exe") is no program of the
    // user's, and a service must not look for one of that name along the
    // path. The host runs nothing and says no program is set.
    TCatalogueEntry stored = catalogue.EntryNamed(description, "");
    TStubSettings settings;
    settings.Description = description;
    settings.ServiceID = stored.ServiceID;
    settings.Program = std::move(stored.Program);
    settings.Parameters = std::move(stored.Parameters);
    settings.LogFile = std::move(stored.LogFile);
    settings.LogToFile = stored.LogToFile;
    settings.Service = ReadServiceSettings(ini, description);
    return settings;
}

std::string ProgramCommandLine(const std::string& program, const std::string& parameters)
{
    std::string line = "\"" + program + "\"";
    if (!parameters.empty())
        line += " " + parameters;
    return line;
}
