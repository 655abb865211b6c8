#include "cli/Arguments.h"

#include <initializer_list>
#include <set>

#include "catalogue/ServiceSettings.h"

#include "toolkit/Text.h"

namespace {

enum TOption : unsigned { OptJson = 1, OptAll = 2, OptDescription = 4, OptProgram = 8, OptParameters = 16,
                          OptLogFile = 32, OptEventLog = 64, OptSettle = 128, OptSetting = 256,
                          OptPassword = 512, OptCheck = 1024, OptPrune = 2048,
                          OptPruneAll = 4096, OptTextfile = 8192, OptEvery = 16384 };

struct TCommandDefinition {
    const char* Word;
    TCliCommand Command;
    bool TakesName;
    unsigned Options;
};

constexpr TCommandDefinition Commands[] = {
    {"list", TCliCommand::List, false, OptJson},
    {"show", TCliCommand::Show, true, OptJson},
    {"status", TCliCommand::Status, true, OptJson},
    {"add", TCliCommand::Add, true, OptProgram | OptParameters | OptLogFile | OptSetting},
    {"edit", TCliCommand::Edit, true,
     OptDescription | OptProgram | OptParameters | OptLogFile | OptEventLog},
    {"set", TCliCommand::Set, true, OptSetting | OptPassword},
    {"remove", TCliCommand::Remove, true, 0},
    {"install", TCliCommand::Install, true, OptPassword},
    {"uninstall", TCliCommand::Uninstall, true, 0},
    {"start", TCliCommand::Start, true, OptSettle},
    {"stop", TCliCommand::Stop, true, 0},
    {"check", TCliCommand::Check, true, OptJson | OptAll},
    {"export", TCliCommand::Export, false, OptJson},
    {"apply", TCliCommand::Apply, true, OptCheck | OptPrune | OptPruneAll},
    {"metrics", TCliCommand::Metrics, false, OptTextfile | OptEvery},
};

struct TOptionDefinition {
    const char* Word;
    TOption Option;
    bool TakesValue;
    // May be given more than once.
    bool Repeats = false;
};

const TOptionDefinition Options[] = {
    {"--json", OptJson, false},
    {"--all", OptAll, false},
    {"--description", OptDescription, true},
    {"--program", OptProgram, true},
    {"--parameters", OptParameters, true},
    {"--log-file", OptLogFile, true},
    {"--event-log", OptEventLog, false},
    {"--settle", OptSettle, true},
    {"--password-stdin", OptPassword, false},
    {"--check", OptCheck, false},
    {"--prune", OptPrune, false},
    {"--prune-all", OptPruneAll, false},
    {"--textfile", OptTextfile, true},
    {"--every", OptEvery, true},
};

// The longest settle time a start waits for: an hour.
constexpr int MostSettleSeconds = 3600;
// The longest pause between two metrics files: a day.
constexpr int MostEverySeconds = 86400;

// The settings' options, as their rows' forms give them: "--stop-timeout
// VALUE" once; "--depends-on VALUE" and "--env NAME=VALUE", "--unset-env
// NAME" again and again; "--log-daily" and "--no-log-daily" without a value.
const TSettingInfo* SettingOption(const std::string& name, TOptionDefinition& option)
{
    const TSettingInfo* info = name.starts_with("--") ? SettingOfOption(name.substr(2)) : nullptr;
    if (info)
        option = {"", OptSetting, info->Form != TSettingForm::Switch,
                  info->Form == TSettingForm::List || info->Form == TSettingForm::Variables};
    return info;
}

bool IsHelp(const std::string& word)
{
    return word == "--help" || word == "-h" || word == "/?" || word == "help";
}

void Store(TCliRequest& request, TOption option, const std::string& name, const std::string& value)
{
    switch (option) {
    case OptSetting:
        // A switch is given as its value: "--no-log-daily" is log-daily off.
        if (const TSettingInfo* info = SettingOfOption(name.substr(2)); info && info->Form == TSettingForm::Switch)
            request.Settings.emplace_back(info->Option, name.substr(2) == info->Option ? "on" : "off");
        else
            request.Settings.emplace_back(name.substr(2), value);
        break;
    case OptPassword: request.PasswordFromInput = true; break;
    case OptJson: request.Json = true; break;
    case OptAll: request.All = true; break;
    case OptDescription: request.Description = value; break;
    case OptProgram: request.Program = value; break;
    case OptParameters: request.Parameters = value; break;
    case OptLogFile: request.LogFile = value; break;
    case OptEventLog: request.EventLog = true; break;
    case OptCheck: request.Check = true; break;
    case OptPrune: request.Prune = true; break;
    case OptPruneAll: request.Prune = request.PruneAll = true; break;
    case OptTextfile: request.Textfile = value; break;
    case OptEvery: {
        std::optional<int> seconds = DecimalInteger(value);
        if (!seconds || *seconds < 1 || *seconds > MostEverySeconds || value[0] == '+')
            throw TUsageError("--every takes a number of seconds from 1 to " + std::to_string(MostEverySeconds));
        request.EverySeconds = static_cast<unsigned>(*seconds);
        break;
    }
    case OptSettle: {
        std::optional<int> seconds = DecimalInteger(value);
        if (!seconds || *seconds < 0 || *seconds > MostSettleSeconds || value[0] == '+' || value[0] == '-')
            throw TUsageError("--settle takes a number of seconds from 0 to " + std::to_string(MostSettleSeconds));
        request.SettleSeconds = static_cast<unsigned>(*seconds);
        break;
    }
    }
}

} // namespace

TCliRequest ParseArguments(const std::vector<std::string>& arguments)
{
    TCliRequest request;
    if (arguments.empty())
        throw TUsageError("No command given");
    // Help is a command, or an option in an option's place: a value such as
    // "--parameters /?" is the program's, never a request for help.
    if (IsHelp(arguments[0]))
        return request;
    if (arguments.size() == 1 && arguments[0] == "--version") {
        request.Command = TCliCommand::Version;
        return request;
    }

    const TCommandDefinition* command = nullptr;
    for (const TCommandDefinition& known : Commands)
        if (arguments[0] == known.Word)
            command = &known;
    if (!command)
        throw TUsageError("Unknown command \"" + arguments[0] + "\"");
    request.Command = command->Command;

    std::vector<std::string> positional;
    unsigned seen = 0;
    std::set<std::string> given;
    bool optionsEnded = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word == "--help") {
            request = TCliRequest();
            return request;
        }
        size_t equals = word.find('=');
        std::string name = word.substr(0, equals);
        const TOptionDefinition* option = nullptr;
        TOptionDefinition settingOption;
        for (const TOptionDefinition& known : Options)
            if (name == known.Word)
                option = &known;
        const TSettingInfo* setting = option ? nullptr : SettingOption(name, settingOption);
        if (setting)
            option = &settingOption;
        if (!option || !(command->Options & option->Option))
            throw TUsageError("\"" + std::string(command->Word) + "\" does not take the option \"" + name + "\"");
        // A switch's two options are one setting's.
        if (setting ? !option->Repeats && !given.insert(setting->Option).second : (seen & option->Option) != 0)
            throw TUsageError("The option \"" + name + "\" is given twice");
        seen |= option->Option;
        std::string value;
        if (option->TakesValue) {
            if (equals != std::string::npos)
                value = word.substr(equals + 1);
            else if (i + 1 < arguments.size())
                value = arguments[++i];
            else
                throw TUsageError("The option \"" + name + "\" needs a value");
        } else if (equals != std::string::npos) {
            throw TUsageError("The option \"" + name + "\" takes no value");
        }
        Store(request, option->Option, name, value);
    }

    const bool wantsName = command->TakesName && !request.All;
    if (positional.size() > (wantsName ? 1u : 0u))
        throw TUsageError("Too many arguments for \"" + std::string(command->Word) + "\"");
    if (wantsName && positional.empty())
        throw TUsageError("\"" + std::string(command->Word) + "\" needs " +
                          (request.Command == TCliCommand::Apply ? "the file of a services document"
                                                                 : "the description of an entry"));
    if (wantsName)
        request.Name = positional[0];
    if (request.Command == TCliCommand::Add && !request.Program)
        throw TUsageError("\"add\" needs --program");
    if (request.LogFile && request.EventLog)
        throw TUsageError("--log-file and --event-log exclude each other");
    if (request.EverySeconds && !request.Textfile)
        throw TUsageError("--every needs --textfile");
    if (request.Textfile && request.Textfile->empty())
        throw TUsageError("--textfile needs a folder");
    if (request.Command == TCliCommand::Set && request.Settings.empty() && !request.PasswordFromInput)
        throw TUsageError("\"set\" needs at least one setting");
    return request;
}

std::string HelpText()
{
    return "Usage: qv COMMAND [NAME] [OPTIONS]\n"
           "\n"
           "Works on the catalogue of Korvalith's Quorvane, as its window does.\n"
           "NAME is an entry's description; quote it when it holds blanks.\n"
           "\n"
           "Commands:\n"
           "  list [--json]                 every entry: description, service ID, installed, and what\n"
           "                                its service and program are doing\n"
           "  show NAME [--json]            one entry in full\n"
           "  status NAME [--json]          what its service and its program are doing now\n"
           "  add NAME --program P [--parameters TEXT] [--log-file F] [SETTINGS]\n"
           "                                register a program (logs to the event log without --log-file)\n"
           "  edit NAME [--description NEW] [--program P] [--parameters TEXT]\n"
           "            [--log-file F | --event-log]\n"
           "                                change an entry that is not installed\n"
           "  set NAME SETTINGS [--password-stdin]\n"
           "                                change how the entry runs, also while it is installed\n"
           "  remove NAME                   remove an entry that is not installed\n"
           "  install NAME [--password-stdin]\n"
           "                                install the entry as a Windows service\n"
           "  uninstall NAME                remove its service (refused while it runs)\n"
           "  start NAME [--settle SECONDS] start its service and wait until its program has run\n"
           "                                that long (2 s unless given; 0 waits only for the service) and,\n"
           "                                with a health check, passed it (within its start period too)\n"
           "  stop NAME                     stop its service\n"
           "  check NAME [--json]           ask the entry's service host whether its program runs\n"
           "  check --all [--json]          ask every installed entry, all at once\n"
           "  export [--json]               every entry as a services document (JSON)\n"
           "  apply FILE [--check] [--prune | --prune-all]\n"
           "                                bring the entries and services to the document FILE:\n"
           "                                --check prints the plan and changes nothing; --prune\n"
           "                                also takes away the entries the document does not name\n"
           "                                (refused for a document naming none: --prune-all)\n"
           "  metrics [--textfile FOLDER [--every SECONDS]]\n"
           "                                every entry's state, restarts, health and resources in\n"
           "                                Prometheus's text format; --textfile writes them to\n"
           "                                FOLDER\\quorvane.prom in one step (for the textfile collector),\n"
           "                                --every again and again until stopped (Ctrl+C)\n"
           "  --help, --version\n"
           "\n"
           "\"--\" ends the options, for a NAME that begins with \"-\".\n"
           "\n"
           "Settings (show prints them all; each left out keeps its value, or its default):\n"
           "  --account LocalSystem|LocalService|NetworkService|\"NT SERVICE\\NAME\"|DOMAIN\\USER|DOMAIN\\GMSA$\n"
           "                  a named account's password: --password-stdin (never an argument)\n"
           "  --working-dir FOLDER        the program's folder unless set\n"
           "  --env NAME=VALUE            repeatable; --unset-env NAME removes one\n"
           "  --start-type auto|delayed|manual|disabled\n"
           "  --depends-on SERVICE        repeatable; the list given replaces the old one, \"\" empties it\n"
           "  --stop-timeout SECONDS      after Ctrl+C or a close message (3)\n"
           "  --restart always|on-failure|never   --success-codes 0,3   (0)\n"
           "  --max-restarts N|none   --restart-window SECONDS|none\n"
           "  --restart-delay SECONDS (1)   --restart-delay-max SECONDS (60)\n"
           "  --priority idle|below-normal|normal|above-normal|high\n"
           "  --log-max-size SIZE (1M; 0: none)   --log-daily | --no-log-daily   --log-keep N (1)\n"
           "  --log-timestamps on|off   --log-mode lines|raw   --service-text TEXT\n"
           "  --health-check tcp://HOST:PORT|http://URL|https://URL|cmd:COMMAND   (none; \"\" removes it)\n"
           "  --health-interval SECONDS (30)   --health-timeout SECONDS (10)   --health-retries N (3)\n"
           "  --health-start-period SECONDS (0)   --health-action restart|none\n"
           "\n"
           "Exit codes:\n"
           "  0  done, or already so (installing an installed entry, stopping a stopped service)\n"
           "  1  failed otherwise (see the message)\n"
           "  2  bad usage\n"
           "  3  no such entry\n"
           "  4  refused description (not a valid name, or taken by another entry),\n"
           "     a log file whose folder does not exist, or a refused setting\n"
           "  5  a service of that name belongs to another program\n"
           "  6  the Service Control Manager refused\n"
           "  7  not active (check)\n"
           "  8  check: a service host from before the status pipe answers only on the mailslot, and the\n"
           "     Quorvane window, or another check, holds it\n"
           "  9  the entry's state forbids it (edit or remove an installed entry, uninstall a running one,\n"
           "     start or stop one that is not installed)\n"
           "  10 start: the service started, but its program keeps exiting (or cannot be started, or\n"
           "     ended and its service with it)\n"
           "  11 apply: the document cannot be read or is not valid, or names no entry with --prune\n"
           "     (nothing was done)\n"
           "  12 check: whether the program runs is not known (its host did not answer in time, or\n"
           "     another program serves its status pipe)\n"
           "  13 start: the program runs, but did not pass its health check within the settle time and\n"
           "     its start period (the message gives the last check's result)\n"
           "  apply ends with the exit code of its first step that failed\n";
}
