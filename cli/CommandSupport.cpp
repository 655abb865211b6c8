#include "cli/CommandSupport.h"

#include <windows.h>

#include "catalogue/EntryRules.h"
#include "catalogue/StubCopy.h"
#include "cli/Console.h"
#include "platform/Seam.h"
#include "toolkit/Text.h"

namespace {

// While a command runs as a step of apply, what it says is kept for
// apply's report instead of printed.
std::string* stepSaid = nullptr;

} // namespace

using nlohmann::json;

// The window's texts break lines with a lone carriage return; a console
// wants line ends.
std::string ConsoleText(std::string text)
{
    for (char& c : text)
        if (c == '\r')
            c = '\n';
    return text;
}

void Say(const std::string& text)
{
    if (stepSaid)
        *stepSaid += ConsoleText(text) + "\n";
    else
        WriteText(stdout, ConsoleText(text) + "\n");
}

void PrintJson(const json& document)
{
    WriteUtf8(stdout, document.dump(2) + "\n");
}

std::string NoEntryText(const std::string& name)
{
    return "There is no service described \"" + name + "\" in the catalogue";
}

std::string CommandFor(const char* command, const std::string& description)
{
    return std::string("qv ") + command + " \"" + description + "\"";
}

std::string InstalledText(const char* action, const std::string& description)
{
    return std::string("You can not ") + action + " a service when it is in [Installed] state.\r\r"
           "Please uninstall the service first: " + CommandFor("uninstall", description);
}

TCatalogueEntry FindEntry(TCatalogue& catalogue, const std::string& name)
{
    if (catalogue.LoadEntry(TEntryKey{name}) != TEntryOutcome::Done)
        throw TCliFailure(ExitNoSuchEntry, NoEntryText(name));
    return catalogue.Entry();
}

void RefuseChanged(TEntryOutcome outcome, const TCatalogueEntry& entry, const TCatalogue& catalogue)
{
    throw TCliFailure(ExitNoSuchEntry, MeanwhileText(outcome, entry.Description, catalogue.Entry().Description));
}

TEntryKey KeyOf(const TCatalogueEntry& entry)
{
    return {entry.Description, entry.ServiceID};
}

void Refuse(TExitCode code, const TRefusal& refused)
{
    if (refused)
        throw TCliFailure(code, refused.Reason());
}

TServiceTarget TargetOf(const TCatalogueEntry& entry)
{
    return {entry.Description, StubCopyFile(entry.Description)};
}

void RefuseForeign(const TCatalogueEntry& entry)
{
    Refuse(ExitForeignService, ForeignService(TargetOf(entry)));
}

TServiceState StateOf(const TCatalogueEntry& entry)
{
    TServiceTarget target = TargetOf(entry);
    return TServiceStates().State(target.Name, target.StubPath);
}

json EntryJson(const TCatalogueEntry& entry, TServiceState state)
{
    return {{"description", Utf8FromAnsi(entry.Description)},
            {"serviceId", entry.ServiceID},
            {"program", Utf8FromAnsi(entry.Program)},
            {"parameters", Utf8FromAnsi(entry.Parameters)},
            {"logToFile", entry.LogToFile},
            {"logFile", Utf8FromAnsi(entry.LogFile)},
            {"installed", entry.Installed},
            {"state", ServiceStateName(state)}};
}

TStepRun Carry(TCommand command, const TCliRequest& request)
{
    try {
        return {command(request), "", {}};
    } catch (const TCliFailure& failure) {
        return {failure.Code(), "", TRefusal(ConsoleText(failure.Message()))};
    } catch (const TServiceManagerError& error) {
        return {ExitServiceManager, "", TRefusal(ConsoleText(error.Message()))};
    } catch (const std::exception& error) {
        return {ExitFailure, "", TRefusal(ConsoleText(error.what()))};
    }
}

TStepRun CarryQuietly(TCommand command, const TCliRequest& request)
{
    std::string said;
    TStepRun run;
    {
        const TScopedValue<std::string*> saying(stepSaid, &said);
        run = Carry(command, request);
    }
    run.Said = said;
    return run;
}
