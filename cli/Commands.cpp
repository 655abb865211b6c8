#include "cli/Commands.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/EntryRules.h"
#include "cli/Apply.h"
#include "cli/Console.h"
#include "cli/ProgramStatus.h"
#include "deploy/Deploy.h"
#include "deploy/ServiceConfig.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"
#include "deploy/ServiceState.h"
#include "deploy/StubNames.h"
#include "messaging/Liveness.h"
#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

using nlohmann::json;

// How long start and stop wait for the service to get where it was asked.
constexpr unsigned long SettleLimitMs = 30000;
// How often a check of older hosts looks for their answers.
constexpr DWORD ReplyPollMs = 5;
// What a start that failed shows of the program's log.
constexpr size_t LogTailLines = 10;

// A refusal or failure that ends the run with its own exit code.
class TCliFailure : public TError {
public:
    TCliFailure(TExitCode code, const std::string& message) : TError(message), code_(code) {}
    TExitCode Code() const { return code_; }

private:
    TExitCode code_;
};

// The window's texts break lines with a lone carriage return; a console
// wants line ends.
std::string ConsoleText(std::string text)
{
    for (char& c : text)
        if (c == '\r')
            c = '\n';
    return text;
}

// While a command runs as a step of apply, what it says is kept for
// apply's report instead of printed.
std::string* stepSaid = nullptr;

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

// The command a user types for the entry: qv speaks of commands where the
// window names its buttons.
std::string CommandFor(const char* command, const std::string& description)
{
    return std::string("qv ") + command + " \"" + description + "\"";
}

std::string InstalledText(const char* action, const std::string& description)
{
    return std::string("You can not ") + action + " a service when it is in [Installed] state.\r\r"
           "Please uninstall the service first: " + CommandFor("uninstall", description);
}

// The entry the user named, as the catalogue holds it now.
TCatalogueEntry FindEntry(TCatalogue& catalogue, const std::string& name)
{
    if (catalogue.LoadEntry(TEntryKey{name}) != TEntryOutcome::Done)
        throw TCliFailure(ExitNoSuchEntry, NoEntryText(name));
    return catalogue.Entry();
}

// An entry that went or was renamed between the command's read and its write.
[[noreturn]] void RefuseChanged(TEntryOutcome outcome, const TCatalogueEntry& entry, const TCatalogue& catalogue)
{
    throw TCliFailure(ExitNoSuchEntry, MeanwhileText(outcome, entry.Description, catalogue.Entry().Description));
}

TEntryKey KeyOf(const TCatalogueEntry& entry)
{
    return {entry.Description, entry.ServiceID};
}

// A step's refusal ends the run with its exit code.
void Refuse(TExitCode code, const TRefusal& refused)
{
    if (refused)
        throw TCliFailure(code, refused.Reason());
}

// The service host's own refusals reach the script on standard error.
THostRun ConsoleRun()
{
    THostRun run;
    run.ReportToConsole = true;
    return run;
}

// How the service host's install or uninstall run went, as an exit code;
// the host itself has said why on standard error.
TExitCode HostRunFailure(const TDeployment& done, const std::string& action)
{
    if (done.RunExitCode == HostRunRefused)
        return ExitForeignService;
    if (done.RunExitCode != HostRunDone && done.RunExitCode != HostRunSettingsRefused)
        throw TCliFailure(ExitFailure, "The service host's " + action + " run failed (exit code " +
                                           std::to_string(done.RunExitCode) + ")");
    return ExitSuccess;
}

TServiceTarget TargetOf(const TCatalogueEntry& entry)
{
    return {entry.Description, StubCopyFile(entry.Description)};
}

// A service of the entry's name that runs another program is never touched.
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

// Every setting with its value and whether it is the default, by its
// option's name.
json SettingsJson(const TServiceSettings& settings)
{
    json all = json::object();
    for (const TSettingInfo& info : SettingInfos()) {
        json value = Utf8FromAnsi(SettingText(settings, info.Setting));
        if (info.Setting == TSetting::Environment) {
            value = json::object();
            for (const auto& [name, text] : settings.Environment)
                value[Utf8FromAnsi(name)] = Utf8FromAnsi(text);
        } else if (info.Setting == TSetting::DependsOn) {
            value = json::array();
            for (const std::string& name : settings.Dependencies)
                value.push_back(Utf8FromAnsi(name));
        }
        all[info.Option] = {{"value", value}, {"default", IsDefault(settings, info.Setting)}};
    }
    return all;
}

// Every setting, one a line (a line per variable), the defaults marked.
void SaySettings(const TServiceSettings& settings, const std::string& program)
{
    std::string previous;
    for (const auto& [label, value] : SettingLines(settings, program, true)) {
        // A label is said once for its lines.
        const std::string shown = label == previous ? "" : label + ":";
        Say(shown + std::string(24 - shown.size(), ' ') + value);
        previous = label;
    }
}

TExitCode Show(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TServiceSettings settings = catalogue.ServiceSettings();
    TServiceState state = StateOf(entry);
    if (request.Json) {
        json document = EntryJson(entry, state);
        document["serviceHost"] = Utf8FromAnsi(StubCopyFile(entry.Description));
        document["settings"] = SettingsJson(settings);
        PrintJson(document);
        return ExitSuccess;
    }
    Say("Description:  " + entry.Description);
    Say("Program:      " + entry.Program);
    Say("Parameters:   " + entry.Parameters);
    Say("Log to:       " + (entry.LogToFile ? entry.LogFile : std::string("the event log")));
    Say("Installed:    " + std::string(entry.Installed ? "yes" : "no"));
    Say("Service ID:   " + std::to_string(entry.ServiceID));
    Say("Service host: " + StubCopyFile(entry.Description));
    Say("State:        " + std::string(ServiceStateName(state)));
    Say("");
    SaySettings(settings, entry.Program);
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

// The settings with the request's options applied, in their order; a value
// a setting does not take is refused (exit 4). The dependencies given
// replace the list.
TServiceSettings WithOptions(TServiceSettings settings, const TCliRequest& request)
{
    std::string dependencies;
    bool dependenciesGiven = false;
    for (const auto& [option, value] : request.Settings) {
        if (option == "env") {
            Refuse(ExitRefusedDescription, SetVariableLine(settings, value));
        } else if (option == "unset-env") {
            UnsetVariable(settings, value);
        } else if (option == "depends-on") {
            dependencies += (dependenciesGiven ? "/" : "") + value;
            dependenciesGiven = true;
        } else {
            for (const TSettingInfo& info : SettingInfos())
                if (option == info.Option)
                    Refuse(ExitRefusedDescription, SetSetting(settings, info.Setting, value));
        }
    }
    if (dependenciesGiven)
        Refuse(ExitRefusedDescription, SetSetting(settings, TSetting::DependsOn, dependencies));
    return settings;
}

// The password the request hands over, from apply or standard input.
std::string PasswordOf(const TCliRequest& request)
{
    if (request.Password)
        return *request.Password;
    return request.PasswordFromInput ? ReadPassword() : "";
}

// The wizard's checks, in its order, and the log file's folder.
void CheckSettings(const TEntrySettings& settings)
{
    Refuse(ExitRefusedDescription, DescriptionInputRefusal(settings.Description));
    Refuse(ExitFailure, ProgramRefusal(settings.Program));
    Refuse(ExitFailure, LogFileRefusal(settings.LogToFile, settings.LogFile));
    Refuse(ExitRefusedDescription, LogFolderRefusal(settings));
}

TExitCode Add(const TCliRequest& request)
{
    // apply names a log file also for an entry that logs to the event log.
    const TEntrySettings wanted{request.Name, request.Program.value_or(""), request.Parameters.value_or(""),
                                request.LogFile.value_or(""), request.LogFile.has_value() && !request.EventLog};
    const TServiceSettings service = WithOptions({}, request);
    TCatalogue catalogue;
    // Asking again for what is there already is no failure.
    auto asAsked = [&] {
        TEntrySettings stored = SettingsOf(catalogue.Entry());
        stored.Description = wanted.Description;
        if (stored != wanted || catalogue.ServiceSettings() != service)
            return false;
        Say("\"" + catalogue.Entry().Description + "\" is in the catalogue already, as asked.");
        return true;
    };
    TEntryOutcome added = catalogue.LoadEntry(TEntryKey{wanted.Description}) == TEntryOutcome::Done
                              ? TEntryOutcome::Duplicate
                              : TEntryOutcome::Done;
    if (added == TEntryOutcome::Duplicate && asAsked())
        return ExitSuccess;
    CheckSettings(wanted);
    Refuse(ExitRefusedDescription, ServiceSettingsRefusal(service, wanted.Description));
    if (added == TEntryOutcome::Done)
        added = catalogue.AddEntry(wanted, service);
    if (added == TEntryOutcome::Duplicate) {
        if (asAsked())
            return ExitSuccess;
        throw TCliFailure(ExitRefusedDescription, DuplicateDescriptionText);
    }
    Say("Added \"" + wanted.Description + "\" with service ID " + std::to_string(catalogue.Entry().ServiceID) + ".");
    return ExitSuccess;
}

// The entry's settings with what the request changes.
TEntrySettings Edited(const TEntrySettings& stored, const TCliRequest& request)
{
    TEntrySettings wanted = stored;
    wanted.Description = request.Description.value_or(stored.Description);
    wanted.Program = request.Program.value_or(stored.Program);
    wanted.Parameters = request.Parameters.value_or(stored.Parameters);
    if (request.LogFile) {
        wanted.LogFile = *request.LogFile;
        wanted.LogToFile = true;
    }
    // The window keeps the file's name when logging goes back to the event log.
    if (request.EventLog)
        wanted.LogToFile = false;
    return wanted;
}

TExitCode Edit(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TEntryKey key = KeyOf(entry);
    // Another script's change in between is kept: the request is applied
    // again to the entry as it is then.
    for (;;) {
        if (catalogue.Entry().Installed)
            throw TCliFailure(ExitWrongState, InstalledText("edit", entry.Description));
        const TEntrySettings stored = SettingsOf(catalogue.Entry());
        const TEntrySettings wanted = Edited(stored, request);
        if (wanted == stored) {
            Say("\"" + stored.Description + "\" is as asked already.");
            return ExitSuccess;
        }
        CheckSettings(wanted);
        switch (TEntryOutcome changed = catalogue.ChangeEntry(key, stored, wanted)) {
        case TEntryOutcome::Done:
            Say("Changed \"" + wanted.Description + "\".");
            return ExitSuccess;
        case TEntryOutcome::Changed:
        case TEntryOutcome::Installed:
            break;
        case TEntryOutcome::Duplicate:
            throw TCliFailure(ExitRefusedDescription, DuplicateDescriptionText);
        default:
            RefuseChanged(changed, entry, catalogue);
        }
    }
}

TExitCode Set(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TEntryKey key = KeyOf(entry);
    std::string password = PasswordOf(request);
    // Another script's change in between is kept: the options are applied
    // again to the settings as they are then.
    TServiceSettings before, wanted;
    for (bool done = false; !done;) {
        before = catalogue.ServiceSettings();
        wanted = WithOptions(before, request);
        const bool installed = catalogue.Entry().Installed;
        if (wanted == before && !(installed && !password.empty())) {
            Say("\"" + catalogue.Entry().Description + "\" is as asked already.");
            return ExitSuccess;
        }
        Refuse(ExitRefusedDescription, ServiceSettingsRefusal(wanted, entry.Description));
        // An installed entry's service takes a new named account at once,
        // with its password; a not installed one gets it at its install.
        if (installed && AccountNeedsPassword(wanted.Account) && wanted.Account != before.Account && password.empty())
            throw TCliFailure(ExitRefusedDescription, PasswordNeededText(wanted.Account) + ": " +
                                                          CommandFor("set", entry.Description) +
                                                          " --account ... --password-stdin");
        switch (TEntryOutcome changed = catalogue.ChangeServiceSettings(key, before, wanted)) {
        case TEntryOutcome::Done:
            done = true;
            break;
        case TEntryOutcome::Changed:
            break;
        default:
            RefuseChanged(changed, entry, catalogue);
        }
    }
    const TCatalogueEntry& now = catalogue.Entry();
    Say("Changed \"" + now.Description + "\".");
    if (!now.Installed)
        return ExitSuccess;
    if (HostSettingsDiffer(before, wanted))
        Say(NextStartText);
    const TRefusal refused =
        ChangeInstalledService(now.Description, now.Program, now.LogToFile ? FolderOf(now.LogFile) : "", before,
                               wanted, AccountNeedsPassword(wanted.Account) ? password : "");
    SecureZeroMemory(password.data(), password.size());
    Refuse(ExitServiceManager, refused);
    return ExitSuccess;
}

TExitCode Remove(const TCliRequest& request)
{
    TCatalogue catalogue;
    switch (catalogue.RemoveEntry(TEntryKey{request.Name})) {
    case TEntryOutcome::Done:
        Say("Removed \"" + catalogue.Entry().Description + "\".");
        return ExitSuccess;
    case TEntryOutcome::Installed:
        throw TCliFailure(ExitWrongState, InstalledText("remove", catalogue.Entry().Description));
    default:
        Say("There is no service described \"" + request.Name + "\": removed already.");
        return ExitSuccess;
    }
}

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

// The exit code when a deployment ends the run: it found the entry so
// already, gone or renamed, or its host run failed; nothing to go on.
std::optional<TExitCode> Ended(const TDeployment& done, const TCatalogueEntry& entry, const TCatalogue& catalogue,
                               const std::string& action)
{
    if (done.Outcome == TEntryOutcome::Installed || done.Outcome == TEntryOutcome::NotInstalled) {
        Say("\"" + entry.Description + "\" is " + action + "ed already.");
        return ExitSuccess;
    }
    if (done.Outcome != TEntryOutcome::Done)
        RefuseChanged(done.Outcome, entry, catalogue);
    if (TExitCode failed = HostRunFailure(done, action); failed != ExitSuccess)
        return failed;
    return std::nullopt;
}

TExitCode Install(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    RefuseForeign(entry);
    THostRun run = ConsoleRun();
    const std::string& account = catalogue.ServiceSettings().Account;
    if (AccountNeedsPassword(account)) {
        run.Password = PasswordOf(request);
        if (run.Password.empty() && !entry.Installed)
            throw TCliFailure(ExitRefusedDescription, PasswordNeededText(account) + ": " +
                                                          CommandFor("install", entry.Description) +
                                                          " --password-stdin");
    }
    TDeployment done = DeployEntry(catalogue, KeyOf(entry), true, run);
    SecureZeroMemory(run.Password.data(), run.Password.size());
    if (std::optional<TExitCode> ended = Ended(done, entry, catalogue, "install"))
        return *ended;
    switch (StateOf(entry)) {
    case TServiceState::NotRegistered:
        throw TCliFailure(ExitFailure, "The Service could not be installed !");
    case TServiceState::Foreign:
        RefuseForeign(entry);
        break;
    default:
        break;
    }
    Say("Installed \"" + entry.Description + "\" as a Windows service.");
    // The host has said which settings the system refused.
    return done.RunExitCode == HostRunSettingsRefused ? ExitServiceManager : ExitSuccess;
}

TExitCode Uninstall(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TServiceTarget target = TargetOf(entry);
    TServiceState state = TServiceStates().SettledState(target.Name, target.StubPath, SettleLimitMs);
    // Uninstalled already only when the Service Control Manager agrees: a
    // service of ours still registered goes, whatever the entry says.
    const bool registered = state != TServiceState::NotRegistered && state != TServiceState::Foreign;
    if (!entry.Installed && !registered) {
        Say("\"" + entry.Description + "\" is uninstalled already.");
        return ExitSuccess;
    }
    RefuseForeign(entry);
    // The window asks the host and waits for its answer; the Service Control
    // Manager knows at once, and a host answers only while its service runs.
    if (state != TServiceState::Stopped && registered)
        throw TCliFailure(ExitWrongState, "The service \"" + entry.Description + "\" is Running\r\r"
                                          "To be able to uninstall the service you will first have to stop it: " +
                                              CommandFor("stop", entry.Description));
    TDeployment done = DeployEntry(catalogue, KeyOf(entry), false, ConsoleRun());
    if (std::optional<TExitCode> ended = Ended(done, entry, catalogue, "uninstall"))
        return *ended;
    Say("Uninstalled \"" + entry.Description + "\".");
    return ExitSuccess;
}

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

TExitCode Dispatch(const TCliRequest& request)
{
    switch (request.Command) {
    case TCliCommand::Help: Say(HelpText()); return ExitSuccess;
    case TCliCommand::Version: Say(std::string("qv ") + QUORVANE_VERSION); return ExitSuccess;
    case TCliCommand::List: return List(request);
    case TCliCommand::Show: return Show(request);
    case TCliCommand::Status: return Status(request);
    case TCliCommand::Add: return Add(request);
    case TCliCommand::Edit: return Edit(request);
    case TCliCommand::Set: return Set(request);
    case TCliCommand::Remove: return Remove(request);
    case TCliCommand::Install: return Install(request);
    case TCliCommand::Uninstall: return Uninstall(request);
    case TCliCommand::Start: return StartStop(request, false);
    case TCliCommand::Stop: return StartStop(request, true);
    case TCliCommand::Check: return Check(request);
    case TCliCommand::Export: return Export(request);
    case TCliCommand::Apply: return Apply(request);
    }
    return ExitUsage;
}

// Carries out the request; a refusal or failure ends it with its code and
// the message that says why.
TStepRun Carry(const TCliRequest& request)
{
    try {
        return {Dispatch(request), "", {}};
    } catch (const TCliFailure& failure) {
        return {failure.Code(), "", TRefusal(ConsoleText(failure.Message()))};
    } catch (const TServiceManagerError& error) {
        return {ExitServiceManager, "", TRefusal(ConsoleText(error.Message()))};
    } catch (const std::exception& error) {
        return {ExitFailure, "", TRefusal(ConsoleText(error.what()))};
    }
}

} // namespace

TExitCode RunRequest(const TCliRequest& request)
{
    const TStepRun run = Carry(request);
    if (run.Failure)
        WriteText(stderr, run.Failure.Reason() + "\n");
    return run.Code;
}

TStepRun RunStep(const TCliRequest& request)
{
    std::string said;
    TStepRun run;
    {
        const TScopedValue<std::string*> saying(stepSaid, &said);
        run = Carry(request);
    }
    run.Said = said;
    return run;
}
