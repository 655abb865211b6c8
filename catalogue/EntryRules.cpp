#include "catalogue/EntryRules.h"

#include <windows.h>

#include <algorithm>

#include "catalogue/Description.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

bool IsBlank(const std::string& text)
{
    return Trim(text).empty();
}

} // namespace

std::vector<TEntryRefusal> EntryRefusals(const TEntrySettings& settings, std::initializer_list<TEntryCheck> only)
{
    auto asked = [&](TEntryCheck check) {
        return only.size() == 0 || std::find(only.begin(), only.end(), check) != only.end();
    };
    std::vector<TEntryRefusal> refusals;
    if (!asked(TEntryCheck::Description))
        ;
    else if (IsBlank(settings.Description))
        refusals.push_back({TEntryCheck::Description, "\"Description\" must be provided...", "no description is given"});
    else if (TRefusal refused = DescriptionRefusal(settings.Description))
        refusals.push_back({TEntryCheck::Description, refused.Reason(), refused.Reason()});
    const std::string& program = settings.Program;
    if (!asked(TEntryCheck::Program))
        ;
    else if (IsBlank(program))
        refusals.push_back({TEntryCheck::Program, "\"Program to execute\" must be provided...", "no program is given"});
    else if (!FileExists(program))
        refusals.push_back({TEntryCheck::Program, "Provided \"Program to execute\" is incorrect...",
                            "the program \"" + program + "\" " +
                                (FolderExists(program) ? "is a folder, not a program" : "does not exist")});
    if (!settings.LogToFile || !(asked(TEntryCheck::LogFile) || asked(TEntryCheck::LogFolder)))
        return refusals;
    if (IsBlank(settings.LogFile)) {
        refusals.push_back({TEntryCheck::LogFile,
                            "If the program is to log to a file, it needs to know the file to log to...",
                            "no log file is given, and the entry logs to a file"});
        return refusals;
    }
    const std::string folder = FolderOf(settings.LogFile);
    if (!folder.empty() && !FolderExists(folder))
        refusals.push_back(
            {TEntryCheck::LogFolder,
             "The folder \"" + folder + "\" of the log file does not exist: the service could not log there",
             "the folder \"" + folder + "\" of the log file \"" + settings.LogFile + "\" does not exist"});
    return refusals;
}

std::string LogFileIdentity(const std::string& logFile)
{
    char buffer[MAX_PATH * 4] = {};
    const DWORD size = GetFullPathNameA(logFile.c_str(), sizeof buffer, buffer, nullptr);
    return LowerCase(size > 0 && size < sizeof buffer ? std::string(buffer, size) : logFile);
}

std::string SharedLogText(const std::string& logFile, const std::string& other)
{
    return "The log file \"" + logFile + "\" is the log file of the service \"" + other +
           "\" already: two services cannot log to one file";
}

std::optional<TEntryRefusal> SharedLogRefusal(const TCatalogueSnapshot& catalogue, const TEntrySettings& settings,
                                              int except)
{
    if (!settings.LogToFile || IsBlank(settings.LogFile))
        return std::nullopt;
    const TIniDocument& ini = catalogue.Document();
    const std::string identity = LogFileIdentity(settings.LogFile);
    for (int n = 1; n <= catalogue.Count(); ++n) {
        const std::string other = catalogue.Description(n);
        if (n == except || !ini.ReadBool(other, LogToFileKey, false) ||
            LogFileIdentity(ini.ReadString(other, LogFileKey, "")) != identity)
            continue;
        const std::string text = SharedLogText(settings.LogFile, other);
        return TEntryRefusal{TEntryCheck::SharedLog, text, text};
    }
    return std::nullopt;
}

std::string MeanwhileText(TEntryOutcome outcome, const std::string& description, const std::string& renamedTo)
{
    const std::string service = "The service \"" + description + "\" ";
    switch (outcome) {
    case TEntryOutcome::Renamed:
        return service + "was renamed \"" + renamedTo + "\" by another program meanwhile. Nothing was done.";
    case TEntryOutcome::Installed:
        return service + "was installed by another program meanwhile. Nothing was done.";
    case TEntryOutcome::NotInstalled:
        return service + "was uninstalled by another program meanwhile. Nothing was done.";
    case TEntryOutcome::Changed:
        return service + "was changed by another program meanwhile. Nothing was done.";
    default:
        return service + "is no longer in the catalogue: another program removed it meanwhile. Nothing was done.";
    }
}
