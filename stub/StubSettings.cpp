#include "stub/StubSettings.h"

#include "catalogue/IniDocument.h"
#include "catalogue/IniFile.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"

TStubSettings LoadSettings(const std::string& description, const std::string& ownPath, const std::string& fileName)
{
    const TIniDocument ini(fileName);
    if (description.empty() || !ini.HasSection(description))
        throw TSettingsError("the catalogue " + fileName + " has no section \"" + description + "\"",
                             NoSectionExitCode);
    std::string stubPath = ini.ReadString(description, VantorerKey, "");
    if (!SameFilePath(stubPath, ownPath))
        throw TSettingsError("the catalogue entry \"" + description + "\" belongs to \"" + stubPath +
                                 "\", not to \"" + ownPath + "\"",
                             NotOwnEntryExitCode);

    TStubSettings settings;
    settings.Description = description;
    const std::string missing(1, '\x01');
    std::string id = ini.ReadString(description, ServiceIDKey, missing);
    if (id != missing) {
        settings.ServiceID = StrToIntDef(id, -1);
        if (settings.ServiceID < 0)
            throw TSettingsError("the catalogue entry \"" + description + "\" has a damaged ServiceID \"" + id +
                                     "\"",
                                 DamagedSectionExitCode);
    }
    settings.Program = ini.ReadString(description, ProgramKey, "");
    settings.Parameters = ini.ReadString(description, ParametersKey, "");
    settings.LogFile = ini.ReadString(description, LogFileKey, "");
    settings.LogToFile = ini.ReadBool(description, LogToFileKey, false);
    return settings;
}

std::string ProgramCommandLine(const std::string& program, const std::string& parameters)
{
    std::string line = "\"" + program + "\"";
    if (!parameters.empty())
        line += " " + parameters;
    return line;
}
