#include "cli/Commands.h"

#include <windows.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceState.h"
#include "messaging/Liveness.h"
#include "status/EntryStatus.h"
#include "status/OlderHosts.h"
#include "status/Settling.h"
#include "status/StatusWords.h"
#include "toolkit/Text.h"

namespace {

using nlohmann::json;

// What a start that failed shows of the program's log.
constexpr size_t LogTailLines = 10;

// The entry with what its service and program are doing, as list, status
// and check give it in JSON.
json StatusJson(const TCatalogueEntry& entry, const TEntryStatus& status)
{
    json document = EntryJson(entry, status.Service.State);
    document["serviceHost"] = Utf8FromAnsi(StubCopyFile(entry.Description));
    document["program"] = ProgramJson(status);
    if (status.NotKnown())
        document["programNotKnown"] = Utf8FromAnsi(NotKnownWords(entry.Description, *status.Program));
    document["lastEnd"] = LastEndJson(status);
    return document;
}

// The table as a console shows it: each column as wide as its widest cell
// in characters, whatever their bytes.
std::string Table(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
    std::string text;
    for (const auto& row : rows) {
        for (size_t column = 0; column < row.size(); ++column) {
            text += row[column];
            if (column + 1 < row.size())
                text += std::string(widths[column] - DisplayWidth(row[column]) + 2, ' ');
        }
        text += '\n';
    }
    return text;
}

} // namespace

TExitCode List(const TCliRequest& request)
{
    const TCatalogueSnapshot catalogue;
    TServiceStates services;
    services.ListRegistered();
    std::vector<TCatalogueEntry> listed;
    for (int index = 1; index <= catalogue.Count(); ++index)
        listed.push_back(catalogue.Entry(index));
    const std::vector<TEntryStatus> statuses = StatusesOf(listed, services);
    json entries = json::array();
    std::vector<std::vector<std::string>> table = {{"Description", "ID", "Installed", "State"}};
    for (size_t i = 0; i < listed.size(); ++i) {
        const TCatalogueEntry& entry = listed[i];
        entries.push_back(StatusJson(entry, statuses[i]));
        table.push_back({entry.Description, std::to_string(entry.ServiceID), entry.Installed ? "yes" : "no",
                         StateWords(entry.Description, statuses[i])});
    }
    if (request.Json) {
        PrintJson({{"entries", entries}});
        return ExitSuccess;
    }
    WriteText(stdout, Table(table));
    return ExitSuccess;
}

TExitCode Status(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TEntryStatus status = StatusOf(entry, TServiceStates());
    if (request.Json) {
        PrintJson(StatusJson(entry, status));
        return ExitSuccess;
    }
    for (const std::string& line : StatusLines(entry, status))
        Say(line);
    return ExitSuccess;
}

TExitCode Check(const TCliRequest& request)
{
    // One read names and asks the same entries.
    const TCatalogueSnapshot entries;
    std::vector<int> indexes;
    if (request.All) {
        for (int index = 1; index <= entries.Count(); ++index)
            indexes.push_back(index);
    } else {
        indexes.push_back(entries.FindDescription(request.Name));
        if (indexes[0] == -1)
            throw TCliFailure(ExitNoSuchEntry, NoEntryText(request.Name));
    }
    // Like the window, checking them all asks only the installed ones.
    std::vector<TCatalogueEntry> listed, asked;
    for (int index : indexes) {
        listed.push_back(entries.Entry(index));
        if (!request.All || listed.back().Installed)
            asked.push_back(listed.back());
    }
    TServiceStates services;
    if (request.All)
        services.ListRegistered();
    // A busy host is given the time a check has, not a list's.
    const std::vector<TEntryStatus> statuses = StatusesOf(asked, services, EntryStatusMs);
    // A host from before the status pipe can only be asked by mailslot.
    std::vector<int> older;
    for (size_t i = 0; i < asked.size(); ++i)
        if (statuses[i].NeedsMailslot())
            older.push_back(asked[i].ServiceID);
    std::set<int> answered;
    if (!older.empty()) {
        TOlderHosts hosts;
        Refuse(ExitReplySlotBusy, hosts.Take());
        answered = hosts.ActiveAmong(older);
    }

    json results = json::array();
    bool anyInactive = false, anyNotKnown = false;
    for (size_t i = 0, next = 0; i < listed.size(); ++i) {
        const TCatalogueEntry& entry = listed[i];
        json result = {{"description", Utf8FromAnsi(entry.Description)}, {"serviceId", entry.ServiceID},
                       {"installed", entry.Installed}};
        if (request.All && !entry.Installed) {
            result["active"] = nullptr;
            if (!request.Json)
                Say("\"" + entry.Description + "\" is not installed.");
            results.push_back(result);
            continue;
        }
        const TEntryStatus& status = statuses[next++];
        const bool active = status.ProgramRuns() || answered.count(entry.ServiceID) > 0;
        const TProgramStatus* program = status.Answer();
        // Active keeps its meaning (the program runs); its health is told
        // beside it.
        const std::string health = active && program ? HealthWords(*program) : "";
        result["health"] = program && !program->Health.empty() ? json(program->Health) : json();
        result["program"] = ProgramJson(status);
        result["lastEnd"] = LastEndJson(status);
        if (!active && status.NotKnown()) {
            // Busy is not dead: a host that did not answer, or a pipe that is
            // not the host's, tells nothing of the program.
            anyNotKnown = true;
            const std::string why = NotKnownWords(entry.Description, *status.Program);
            result["active"] = nullptr;
            result["programNotKnown"] = Utf8FromAnsi(why);
            if (!request.Json)
                Say("Whether the service \"" + entry.Description + "\" is active is not known: " + why + ".");
        } else {
            anyInactive = anyInactive || !active;
            result["active"] = active;
            if (!request.Json)
                Say(active ? ActiveText(entry.Description) + (health.empty() ? "" : " (program " + health + ")")
                           : "The service \"" + entry.Description + "\" is currently NOT active ! (" +
                                 (status.NeedsMailslot() ? "its service host did not answer"
                                                         : InactiveReason(status)) +
                                 ")");
        }
        results.push_back(result);
    }
    if (request.Json)
        PrintJson(request.All ? json{{"services", results}} : results[0]);
    return anyInactive ? ExitNotActive : anyNotKnown ? ExitNotKnown : ExitSuccess;
}

namespace {

// A start counts once the program has run for the settle time; only then is
// it told as done. One that keeps exiting is told with the last lines of its
// log, the file the catalogue names for it.
TExitCode ProgramSettled(const TCatalogueEntry& entry, const TServiceSettings& settings, unsigned settleSeconds,
                         const char* done)
{
    const TSettling settling =
        settleSeconds == 0
            ? TSettling{TSettling::Up, "", {}}
            : WaitForProgram(entry, TServiceStates(), settleSeconds * 1000, settings.HealthStartPeriodSeconds * 1000);
    if (settling.Outcome == TSettling::Up || settling.Outcome == TSettling::NotKnown) {
        if (done)
            Say(done);
        if (settling.Outcome == TSettling::NotKnown)
            Say("Whether its program stays up is not known: " + settling.Why + ".");
        return ExitSuccess;
    }
    std::string text = "The service \"" + entry.Description + "\" started, but its program " + settling.Why;
    const std::vector<std::string> tail =
        entry.LogToFile ? LastLines(entry.LogFile, LogTailLines) : std::vector<std::string>();
    if (!tail.empty())
        text += "\nThe last lines of its log " + entry.LogFile + ":";
    for (const std::string& line : tail)
        text += "\n  " + line;
    throw TCliFailure(settling.Outcome == TSettling::NotHealthy ? ExitNotHealthy : ExitProgramNotUp, text);
}

// How the stop went, from the record the host left: whether the program
// ended when asked.
std::string StoppedWords(const TCatalogueEntry& entry)
{
    const TEntryStatus status = StatusOf(entry, TServiceStates(), 0);
    if (status.LastEnd && status.LastEnd->Reason == TEndReason::Requested && status.LastEnd->ProgramKilled)
        return "The service was stopped; the program did not end within " +
               std::to_string(status.LastEnd->StopTimeoutSeconds) + " s and was ended.";
    return StoppedText;
}

TExitCode StartStop(const TCliRequest& request, bool stop)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    RefuseForeign(entry);
    const TServiceTarget target = TargetOf(entry);
    const TServiceState wanted = stop ? TServiceState::Stopped : TServiceState::Running;
    TServiceStates states;
    TServiceState state = states.SettledState(target.Name, target.StubPath, SettleLimitMs);
    if (state == TServiceState::NotRegistered)
        throw TCliFailure(ExitWrongState, "The service \"" + entry.Description + "\" is not installed: " +
                                              CommandFor("install", entry.Description) + " installs it");
    if (state == wanted) {
        const std::string already = "\"" + entry.Description + "\" is " + ServiceStateName(state) + " already.";
        if (stop) {
            Say(already);
            return ExitSuccess;
        }
        return ProgramSettled(entry, catalogue.ServiceSettings(), request.SettleSeconds, already.c_str());
    }
    Refuse(ExitServiceManager, TServiceControl().StartStop(stop, target));
    // A script goes on when the service is where it asked it to be.
    state = states.SettledState(target.Name, target.StubPath, SettleLimitMs);
    if (state != wanted)
        throw TCliFailure(ExitFailure, "The service \"" + entry.Description + "\" was asked to " +
                                           (stop ? "stop" : "start") + " but is " + ServiceStateName(state));
    if (stop) {
        Say(StoppedWords(entry));
        return ExitSuccess;
    }
    return ProgramSettled(entry, catalogue.ServiceSettings(), request.SettleSeconds, InitiatedText);
}

} // namespace

TExitCode Start(const TCliRequest& request)
{
    return StartStop(request, false);
}

TExitCode Stop(const TCliRequest& request)
{
    return StartStop(request, true);
}
