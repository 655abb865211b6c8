#include "catalogue/EntryRules.h"

#include "catalogue/Description.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

bool IsBlank(const std::string& text)
{
    return Trim(text).empty();
}

} // namespace

TRefusal DescriptionInputRefusal(const std::string& description)
{
    if (IsBlank(description))
        return TRefusal("\"Description\" must be provided...");
    return DescriptionRefusal(description);
}

TRefusal ProgramRefusal(const std::string& program)
{
    if (IsBlank(program))
        return TRefusal("\"Program to execute\" must be provided...");
    if (!FileExists(program))
        return TRefusal("Provided \"Program to execute\" is incorrect...");
    return {};
}

TRefusal LogFileRefusal(bool logToFile, const std::string& logFile)
{
    if (logToFile && IsBlank(logFile))
        return TRefusal("If the program is to log to a file, it needs to know the file to log to...");
    return {};
}

TRefusal LogFolderRefusal(const TEntrySettings& settings)
{
    const std::string folder = FolderOf(settings.LogFile);
    if (!settings.LogToFile || folder.empty() || FolderExists(folder))
        return {};
    return TRefusal("The folder \"" + folder + "\" of the log file does not exist: the service could not log there");
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
