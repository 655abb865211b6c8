#include "cli/Commands.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "cli/ProgramStatus.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"
#include "deploy/ServiceState.h"
#include "deploy/StubNames.h"
#include "messaging/Liveness.h"
#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

using nlohmann::json;

// How often a check of older hosts looks for their answers.
constexpr DWORD ReplyPollMs = 5;
// What a start that failed shows of the program's log.
constexpr size_t LogTailLines = 10;

} // namespace

TExitCode List(const TCliRequest& request)
{
    const TCatalogueSnapshot catalogue;
    TServiceStates services;
    services.ListRegistered();
    std::vector<TCatalogueEntry> listed;
    for (int index = 1; index <= catalogue.Count(); ++index)
        listed.push_back(catalogue.Entry(index));
    const std::vector<TEntryState> states = EntryStates(listed, services);
    json entries = json::array();
    std::vector<std::vector<std::string>> table = {{"Description", "ID", "Installed", "State"}};
    for (size_t i = 0; i < listed.size(); ++i) {
        const TCatalogueEntry& entry = listed[i];
        json document = EntryJson(entry, states[i].Service);
        document["serviceHost"] = Utf8FromAnsi(StubCopyFile(entry.Description));
        document["program"] = ProgramJson(states[i]);
        entries.push_back(document);
        table.push_back({entry.Description, std::to_string(entry.ServiceID), entry.Installed ? "yes" : "no",
                         StateWords(states[i])});
    }
    if (request.Json) {
        PrintJson({{"entries", entries}});
        return ExitSuccess;
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& line : table)
        for (size_t column = 0; column < line.size(); ++column)
            widths[column] = std::max(widths[column], line[column].size());
    std::string text;
    for (const auto& line : table) {
        for (size_t column = 0; column < line.size(); ++column) {
            text += line[column];
            if (column + 1 < line.size())
                text += std::string(widths[column] - line[column].size() + 2, ' ');
        }
        text += '\n';
    }
    WriteText(stdout, text);
    return ExitSuccess;
}

TExitCode Status(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TEntryState state = EntryStates({entry}, TServiceStates())[0];
    if (request.Json) {
        json document = EntryJson(entry, state.Service);
        document["serviceHost"] = Utf8FromAnsi(StubCopyFile(entry.Description));
        document["program"] = ProgramJson(state);
        PrintJson(document);
        return ExitSuccess;
    }
    for (const std::string& line : StatusLines(entry, state))
        Say(line);
    return ExitSuccess;
}

namespace {

// The manager's reply mailslot, for as long as the run asks questions. The
// window owns it while it runs: then nothing is asked and nothing taken.
class TQuestioner {
public:
    TQuestioner()
    {
        liveness_.Beep = [](DWORD, DWORD) { return TRUE; };
        // The window holds its mutex from before it takes the mailslot until
        // after it lets it go: without it, the holder is another check.
        if (!WindowOpen() && TakeMailslot()) {
            liveness_.SetCheckMode(TLiveness::ModeQuiet);
            liveness_.SetAnswersMustMatch(true);
            return;
        }
        if (WindowOpen())
            throw TCliFailure(ExitReplySlotBusy,
                              "The Quorvane window is open and holds the mailslot its services answer on: "
                              "close it, or ask from the window");
        throw TCliFailure(ExitReplySlotBusy, "Another qv check is asking the services right now and holds the "
                                             "mailslot they answer on: try again when it has finished");
    }
    ~TQuestioner() { liveness_.Shutdown(); }
    TQuestioner(const TQuestioner&) = delete;
    TQuestioner& operator=(const TQuestioner&) = delete;

    // Asks them all, then waits the one reply time-out for their answers:
    // the IDs that answered their own question.
    std::set<int> ActiveAmong(const std::vector<int>& serviceIDs)
    {
        std::map<std::string, int> asked;
        for (int serviceID : serviceIDs) {
            try {
                liveness_.SendQuestion(serviceID);
                asked[std::to_string(liveness_.Sequence())] = serviceID;
            } catch (const TError&) {
                // Nobody to ask: no answer.
            }
        }
        std::set<int> active;
        TMailSlot& replies = *liveness_.ServerSlot();
        const ULONGLONG deadline = GetTickCount64() + liveness_.CommTimeout().Interval();
        while (active.size() < asked.size() && GetTickCount64() < deadline) {
            if (replies.MsgCount() == 0) {
                Sleep(ReplyPollMs);
                continue;
            }
            char buffer[MessageSize] = {};
            replies.ReadMsg(buffer, MessageSize);
            const std::optional<TReply> reply = ReadReply(std::string(buffer, strnlen(buffer, MessageSize)));
            const auto question = reply ? asked.find(reply->Sequence) : asked.end();
            try {
                if (question != asked.end() && ReplyServiceID(reply->Body) == question->second)
                    active.insert(question->second);
            } catch (const TConvertError&) {
                // Not an answer of ours.
            }
        }
        return active;
    }

private:
    static bool WindowOpen() { return TKernelHandle(OpenMutexA(SYNCHRONIZE, FALSE, ManagerWindowMutex)) ? true : false; }
    bool TakeMailslot()
    {
        try {
            liveness_.Start();
            return true;
        } catch (const TError&) {
            liveness_.Shutdown();
            return false;
        }
    }

    TLiveness liveness_;
};

} // namespace

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
    const std::vector<TEntryState> states = EntryStates(asked, services);
    // A host from before the status pipe can only be asked by mailslot.
    std::vector<int> older;
    for (size_t i = 0; i < asked.size(); ++i)
        if (states[i].NeedsMailslot())
            older.push_back(asked[i].ServiceID);
    std::set<int> answered;
    if (!older.empty())
        answered = TQuestioner().ActiveAmong(older);

    json results = json::array();
    bool allActive = true;
    for (size_t i = 0, next = 0; i < listed.size(); ++i) {
        const TCatalogueEntry& entry = listed[i];
        json result = {{"description", Utf8FromAnsi(entry.Description)}, {"serviceId", entry.ServiceID},
                       {"installed", entry.Installed}};
        if (request.All && !entry.Installed) {
            result["active"] = nullptr;
            if (!request.Json)
                Say("\"" + entry.Description + "\" is not installed.");
        } else {
            const TEntryState& state = states[next++];
            const bool active = state.ProgramRuns() || answered.count(entry.ServiceID) > 0;
            allActive = allActive && active;
            result["active"] = active;
            result["program"] = ProgramJson(state);
            if (!request.Json)
                Say(active ? ActiveText(entry.Description)
                           : "The service \"" + entry.Description + "\" is currently NOT active ! (" +
                                 (state.NeedsMailslot() ? "its service host did not answer"
                                                        : InactiveReason(state)) +
                                 ")");
        }
        results.push_back(result);
    }
    if (request.Json)
        PrintJson(request.All ? json{{"services", results}} : results[0]);
    return allActive ? ExitSuccess : ExitNotActive;
}

namespace {

// A start counts once the program has run for the settle time. One that
// keeps exiting is told with the last lines of its log.
TExitCode ProgramSettled(const TCatalogueEntry& entry, unsigned settleSeconds)
{
    if (settleSeconds == 0)
        return ExitSuccess;
    const TSettling settling = WaitForProgram(entry.ServiceID, settleSeconds * 1000);
    if (settling.Outcome == TSettling::NotKnown)
        Say("Whether its program stays up is not known: " + settling.Why + ".");
    if (settling.Outcome != TSettling::NotUp)
        return ExitSuccess;
    std::string text = "The service \"" + entry.Description + "\" started, but its program " + settling.Why;
    const std::vector<std::string> tail = settling.Last.LogFileOpen ? LastLines(settling.Last.LogFile, LogTailLines)
                                                                    : std::vector<std::string>();
    if (!tail.empty())
        text += "\nThe last lines of its log " + settling.Last.LogFile + ":";
    for (const std::string& line : tail)
        text += "\n  " + line;
    throw TCliFailure(ExitProgramNotUp, text);
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
        Say("\"" + entry.Description + "\" is " + ServiceStateName(state) + " already.");
        return stop ? ExitSuccess : ProgramSettled(entry, request.SettleSeconds);
    }
    Refuse(ExitServiceManager, TServiceControl().StartStop(stop, target));
    // A script goes on when the service is where it asked it to be.
    state = states.SettledState(target.Name, target.StubPath, SettleLimitMs);
    if (state != wanted)
        throw TCliFailure(ExitFailure, "The service \"" + entry.Description + "\" was asked to " +
                                           (stop ? "stop" : "start") + " but is " + ServiceStateName(state));
    Say(stop ? StoppedText : InitiatedText);
    return stop ? ExitSuccess : ProgramSettled(entry, request.SettleSeconds);
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
