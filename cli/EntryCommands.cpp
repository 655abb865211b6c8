#include "cli/Commands.h"

#include <windows.h>

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "catalogue/Catalogue.h"
#include "catalogue/EntryRules.h"
#include "catalogue/StubCopy.h"
#include "cli/CommandSupport.h"
#include "cli/Console.h"
#include "deploy/Deploy.h"
#include "deploy/ReportedConfig.h"
#include "deploy/ServiceConfig.h"
#include "deploy/ServiceOwner.h"
#include "deploy/ServiceState.h"
#include "deploy/StubNames.h"
#include "status/EntryStatus.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

using nlohmann::json;

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

// Every setting with its value and whether it is the default, by its
// option's name.
json SettingsJson(const TServiceSettings& settings)
{
    json all = json::object();
    for (const TSettingInfo& info : SettingInfos()) {
        json value = Utf8FromAnsi(SettingText(settings, info.Setting));
        if (info.Form == TSettingForm::Variables) {
            value = json::object();
            for (const auto& [name, text] : settings.Environment)
                value[Utf8FromAnsi(name)] = Utf8FromAnsi(text);
        } else if (info.Form == TSettingForm::List) {
            value = json::array();
            for (const std::string& item : SettingItems(settings, info.Setting))
                value.push_back(Utf8FromAnsi(item));
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

} // namespace

TExitCode Show(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    const TServiceSettings settings = catalogue.ServiceSettings();
    TServiceState state = StateOf(entry);
    // What the service holds of the Service Control Manager's settings,
    // where it is not what the catalogue asks for.
    const TServiceSettings held = entry.Installed && state != TServiceState::NotRegistered &&
                                          state != TServiceState::Foreign
                                      ? SettingsAsHeld(entry.Description, settings, entry.Program)
                                      : settings;
    std::vector<const TSettingInfo*> notHeld;
    for (const TSettingInfo& info : SettingInfos())
        if (info.ServiceManager && info.Form != TSettingForm::Variables &&
            SettingText(held, info.Setting) != SettingText(settings, info.Setting))
            notHeld.push_back(&info);
    if (request.Json) {
        json document = EntryJson(entry, state);
        document["serviceHost"] = Utf8FromAnsi(StubCopyFile(entry.Description));
        document["settings"] = SettingsJson(settings);
        for (const TSettingInfo* info : notHeld)
            document["settings"][info->Option]["service"] = Utf8FromAnsi(SettingText(held, info->Setting));
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
    for (const TSettingInfo* info : notHeld)
        Say(std::string(info->Label) + ": the service holds " +
            SettingDisplay(held, info->Setting, entry.Program) + ", not what is asked: " +
            CommandFor("set", entry.Description) + " hands it over again");
    return ExitSuccess;
}

namespace {

// The settings with the request's options applied, in their order; a value
// a setting does not take is refused (exit 4). The items given of a list
// (the dependencies) replace it.
TServiceSettings WithOptions(TServiceSettings settings, const TCliRequest& request)
{
    std::map<TSetting, std::string> lists;
    for (const auto& [option, value] : request.Settings) {
        const TSettingInfo* info = SettingOfOption(option);
        if (!info)
            continue;
        if (info->Form == TSettingForm::Variables) {
            if (option == info->Option)
                Refuse(ExitRefusedDescription, SetVariableLine(settings, value));
            else
                UnsetVariable(settings, value);
        } else if (info->Form == TSettingForm::List) {
            const auto [list, first] = lists.emplace(info->Setting, value);
            if (!first)
                list->second += "/" + value;
        } else {
            Refuse(ExitRefusedDescription, SetSetting(settings, info->Setting, value));
        }
    }
    for (const auto& [setting, items] : lists)
        Refuse(ExitRefusedDescription, SetSetting(settings, setting, items));
    return settings;
}

// The password the request hands over, from apply or standard input.
TSecret PasswordOf(const TCliRequest& request)
{
    if (request.Password)
        return *request.Password;
    return request.PasswordFromInput ? ReadPassword() : TSecret();
}

// The wizard's checks, in its order, and then the log file another entry
// (not the one at list index except) logs to already.
void CheckSettings(const TEntrySettings& settings, int except)
{
    std::vector<TEntryRefusal> refusals = EntryRefusals(settings);
    if (refusals.empty())
        if (std::optional<TEntryRefusal> shared = SharedLogRefusal(TCatalogueSnapshot(), settings, except))
            refusals.push_back(*shared);
    if (refusals.empty())
        return;
    const TEntryCheck check = refusals[0].Check;
    throw TCliFailure(check == TEntryCheck::Program || check == TEntryCheck::LogFile ? ExitFailure
                                                                                     : ExitRefusedDescription,
                      refusals[0].Text);
}

} // namespace

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
    CheckSettings(wanted, 0);
    Refuse(ExitRefusedDescription,
           ServiceSettingsRefusal(service, wanted.Description, wanted.LogToFile ? wanted.LogFile : ""));
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

namespace {

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

} // namespace

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
        CheckSettings(wanted, catalogue.EntryIndex());
        if (wanted.LogToFile && (!stored.LogToFile || wanted.LogFile != stored.LogFile))
            Refuse(ExitRefusedDescription, LogFolderAccountRefusal(catalogue.ServiceSettings().Account, wanted.LogFile));
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
    const TSecret password = PasswordOf(request);
    // Another script's change in between is kept: the options are applied
    // again to the settings as they are then.
    // held: what the service holds, where it differs from the catalogue (a
    // value the system refused): compared too, and handed over again.
    TServiceSettings before, wanted, held;
    for (bool done = false; !done;) {
        before = catalogue.ServiceSettings();
        wanted = WithOptions(before, request);
        const TCatalogueEntry& now = catalogue.Entry();
        const bool installed = now.Installed;
        held = installed ? SettingsAsHeld(now.Description, before, now.Program) : before;
        const bool serviceDiffers = ServiceConfigOf(held, now.Program) != ServiceConfigOf(wanted, now.Program);
        if (wanted == before && !serviceDiffers && !(installed && !password.Empty())) {
            Say("\"" + now.Description + "\" is as asked already.");
            return ExitSuccess;
        }
        // A new account must not be given a log folder where programs live.
        const TCatalogueEntry& current = catalogue.Entry();
        Refuse(ExitRefusedDescription,
               ServiceSettingsRefusal(wanted, entry.Description,
                                      wanted.Account != before.Account && current.LogToFile ? current.LogFile : ""));
        // An installed entry's service takes a new named account at once,
        // with its password; a not installed one gets it at its install.
        if (installed && AccountNeedsPassword(wanted.Account) && wanted.Account != held.Account && password.Empty())
            throw TCliFailure(ExitRefusedDescription, PasswordNeededText(wanted.Account) + ": " +
                                                          CommandFor("set", entry.Description) +
                                                          " --account ... --password-stdin");
        if (wanted == before)
            break;
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
        ChangeInstalledService(now.Description, now.Program, now.LogToFile ? now.LogFile : "", held,
                               wanted, AccountNeedsPassword(wanted.Account) ? password : TSecret());
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

namespace {

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

} // namespace

TExitCode Install(const TCliRequest& request)
{
    TCatalogue catalogue;
    const TCatalogueEntry entry = FindEntry(catalogue, request.Name);
    RefuseForeign(entry);
    THostRun run = ConsoleRun();
    const std::string& account = catalogue.ServiceSettings().Account;
    if (AccountNeedsPassword(account)) {
        run.Password = PasswordOf(request);
        if (run.Password.Empty() && !entry.Installed)
            throw TCliFailure(ExitRefusedDescription, PasswordNeededText(account) + ": " +
                                                          CommandFor("install", entry.Description) +
                                                          " --password-stdin");
    }
    TDeployment done = DeployEntry(catalogue, KeyOf(entry), true, run);
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
    TServiceStates services;
    services.SettledState(target.Name, target.StubPath, SettleLimitMs);
    TEntryStatus status;
    status.Service = services.Report(target.Name, target.StubPath);
    const TServiceState state = status.Service.State;
    // Uninstalled already only when the Service Control Manager agrees: a
    // service of ours still registered goes, whatever the entry says.
    const bool registered = state != TServiceState::NotRegistered && state != TServiceState::Foreign;
    if (!entry.Installed && !registered) {
        Say("\"" + entry.Description + "\" is uninstalled already.");
        return ExitSuccess;
    }
    RefuseForeign(entry);
    // The window's rule too: a host that runs is not uninstalled, whether
    // its program is up or waiting to start again.
    if (TooAliveToUninstall(status))
        throw TCliFailure(ExitWrongState, "The service \"" + entry.Description + "\" is Running\r\r"
                                          "To be able to uninstall the service you will first have to stop it: " +
                                              CommandFor("stop", entry.Description));
    TDeployment done = DeployEntry(catalogue, KeyOf(entry), false, ConsoleRun());
    if (std::optional<TExitCode> ended = Ended(done, entry, catalogue, "uninstall"))
        return *ended;
    Say("Uninstalled \"" + entry.Description + "\".");
    return ExitSuccess;
}
