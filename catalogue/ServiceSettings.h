#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/IniDocument.h"
#include "toolkit/Refusal.h"

// How an entry's program runs as a service, beyond what it runs: the
// account, the folder and environment, the start, the stop, the restarts
// and the log. Each is an optional key in the entry's section; a missing
// key means the default, which is how Quorvane ran every program before
// these settings existed, so an entry without them runs as it always did.

enum class TAccountKind { LocalSystem, LocalService, NetworkService, Virtual, Named, GroupManaged };
enum class TStartType { Automatic, Delayed, Manual, Disabled };
enum class TRestartPolicy { Always, OnFailure, Never };
enum class TPriority { Idle, BelowNormal, Normal, AboveNormal, High };
// lines: the host reads the program's output and logs it in stamped lines;
// raw: the program writes the log file itself, byte for byte.
enum class TLogMode { Lines, Raw };
// What the host does with a program its health check finds unhealthy.
enum class THealthAction { Restart, None };

struct TServiceSettings {
    // As typed ("LocalService", "NT SERVICE\Mail Relay", "CORP\relay$",
    // "CORP\relay"); "" is LocalSystem.
    std::string Account;
    // "" is the program's own folder.
    std::string WorkingFolder;
    // Added to the host's environment; one of the same name (in any letter
    // case) takes the host's one's place.
    std::vector<std::pair<std::string, std::string>> Environment;
    TStartType StartType = TStartType::Automatic;
    // Services that must run first.
    std::vector<std::string> Dependencies;
    // How long the program has to end after it was asked to.
    unsigned StopTimeoutSeconds = 3;
    TRestartPolicy Restart = TRestartPolicy::Always;
    // Exit codes that count as success when restarting on failure only.
    std::vector<unsigned long> SuccessCodes = {0};
    // At most this many restarts within the window (0: no maximum); a
    // window of 0 reaches back to the service's start.
    unsigned MaxRestarts = 0;
    unsigned RestartWindowSeconds = 0;
    // The wait before the second start after a quick end, doubling up to
    // the ceiling; a run of ten seconds starts the count afresh.
    unsigned RestartDelaySeconds = 1;
    unsigned RestartDelayMaxSeconds = 60;
    TPriority Priority = TPriority::Normal;
    // The log file moves aside past this size (0: never by size), and at
    // midnight when LogDaily is set; LogKeep old files are kept.
    uint64_t LogMaxBytes = 1024 * 1024;
    bool LogDaily = false;
    unsigned LogKeep = 1;
    bool LogTimestamps = true;
    TLogMode LogMode = TLogMode::Lines;
    // What the Services console shows as the service's description; ""
    // is Quorvane's own line naming the program.
    std::string ServiceText;
    // The health check (catalogue/HealthTarget.h), "" for none: every
    // interval, failing after the timeout; unhealthy after that many
    // failures in a row, which do not count after a start until the first
    // success or the start period has passed.
    std::string HealthCheck;
    unsigned HealthIntervalSeconds = 30;
    unsigned HealthTimeoutSeconds = 10;
    unsigned HealthRetries = 3;
    unsigned HealthStartPeriodSeconds = 0;
    THealthAction HealthAction = THealthAction::Restart;

    bool operator==(const TServiceSettings&) const = default;
};

// Every setting by name. Each is described once, by its row in
// ServiceSettings.cpp: qv's options and its show, the services document, the
// window's dialog and the catalogue all follow the rows, and a test holds the
// services document's schema to them.
//
// To add a setting: its field, with its default, in TServiceSettings; its
// name here; its row (key, option, label, who applies it, its group in the
// dialog and how its value reads, prints and shows); its property in
// cli/qv-services.schema.json; and its effect where the service host or the
// deployment acts on it. Nothing else names settings one by one.
enum class TSetting {
    Account,
    WorkingFolder,
    Environment,
    StartType,
    DependsOn,
    StopTimeout,
    Restart,
    SuccessCodes,
    MaxRestarts,
    RestartWindow,
    RestartDelay,
    RestartDelayMax,
    Priority,
    LogMaxSize,
    LogDaily,
    LogKeep,
    LogTimestamps,
    LogMode,
    ServiceText,
    HealthCheck,
    HealthInterval,
    HealthTimeout,
    HealthRetries,
    HealthStartPeriod,
    HealthAction,
};

// How a setting's value is given to qv and held in a services document.
enum class TSettingForm {
    // One value: "--stop-timeout 30"; "stop-timeout": "30".
    Value,
    // Items, an option each ("--depends-on A --depends-on B"), held as one
    // value of the items joined by "/" ("A/B"), and as a list by show --json.
    List,
    // On or off: "--log-daily" and "--no-log-daily", or the value "on" or
    // "off" ("log-daily": "on").
    Switch,
    // The environment: "--env NAME=VALUE" and "--unset-env NAME", a key per
    // variable in the catalogue, an object of them in a document.
    Variables,
};

// Where the window's settings dialog shows a setting.
enum class TSettingGroup { Account, Process, StopAndRestart, Log, Health };

struct TSettingInfo {
    TSetting Setting;
    // Its key in the entry's section (the environment's keys are
    // EnvironmentKeyPrefix and the variable's name).
    const char* Key;
    // Its option of qv, without "--"; its key in a services document.
    const char* Option;
    // How qv and the window name it.
    const char* Label;
    // It belongs to the Service Control Manager: applied at once to an
    // installed entry. The others are the service host's: they take effect
    // at the program's next start.
    bool ServiceManager;
    TSettingGroup Group;
    TSettingForm Form;
    // The words it takes, in order; none for a setting of free values.
    std::vector<std::string> Choices;
    // Sets it from text as qv takes it, or says why not (after the label).
    std::function<TRefusal(TServiceSettings&, const std::string& text)> Read;
    // Its value as the catalogue keeps it and qv takes it.
    std::function<std::string(const TServiceSettings&)> Text;
    // As people read it, beside the entry's program.
    std::function<std::string(const TServiceSettings&, const std::string& program)> Shown;
    // What it asks of the other settings once all are read (after the
    // label); none for most.
    std::function<TRefusal(const TServiceSettings&)> Check;
};

inline constexpr const char* EnvironmentKeyPrefix = "Env.";

const std::vector<TSettingInfo>& SettingInfos();
const TSettingInfo& InfoOf(TSetting setting);

// The setting's value as the catalogue keeps it and qv takes it ("" when it
// is unset). Not for the environment, which is a key per variable.
std::string SettingText(const TServiceSettings& settings, TSetting setting);
// As people read it: "automatic (delayed)", "30 s", "1 MiB"; the program's
// folder for an unset working folder.
std::string SettingDisplay(const TServiceSettings& settings, TSetting setting, const std::string& program);
bool IsDefault(const TServiceSettings& settings, TSetting setting);
// The settings as lines of a label and a value (a line per environment
// variable), for qv show (every setting, "(default)" after those at their
// default) and the window's details panel (only those that differ).
std::vector<std::pair<std::string, std::string>> SettingLines(const TServiceSettings& settings,
                                                              const std::string& program, bool everySetting);
// Whether the service host's part of the settings differs: such a change
// takes effect at the program's next start (NextStartText).
bool HostSettingsDiffer(const TServiceSettings& a, const TServiceSettings& b);
inline constexpr const char* NextStartText = "The service host takes the new settings at the program's next start.";
// The words a setting of a few choices takes, in order; none for others.
const std::vector<std::string>& SettingChoices(TSetting setting);
// The items of a setting of the list form, in order.
std::vector<std::string> SettingItems(const TServiceSettings& settings, TSetting setting);
// The setting qv's option names ("stop-timeout", also "no-log-daily" and
// "unset-env"), or nullptr.
const TSettingInfo* SettingOfOption(const std::string& option);

// Sets the setting from text as qv takes it, or refuses, naming the setting
// and the fault. Not for the environment.
TRefusal SetSetting(TServiceSettings& settings, TSetting setting, const std::string& text);
// Sets one environment variable, or refuses its name.
TRefusal SetVariable(TServiceSettings& settings, const std::string& name, const std::string& value);
// Sets the variable of a "NAME=VALUE" line (the value may hold "=" too).
TRefusal SetVariableLine(TServiceSettings& settings, const std::string& line);
void UnsetVariable(TServiceSettings& settings, const std::string& name);

// Refuses the first setting whose value the catalogue or the system cannot
// take: an environment name that is empty, holds "=" or
// would not read back as given, a line break anywhere, a value longer than
// a read gives back whole, a working folder that is not the full path of an
// existing folder, a maximum restart delay below the first, a raw log that
// would move aside daily.
// Checks that ask the system about services and accounts are the
// deployment's (ServiceSettingsRefusal).
TRefusal SettingsValueRefusal(const TServiceSettings& settings);
// The part of those checks that is about what the catalogue can hold: names,
// line breaks and lengths.
TRefusal SettingsStorageRefusal(const TServiceSettings& settings);

TAccountKind AccountKind(const std::string& account);
// The name the Service Control Manager knows the account by.
std::string ServiceAccountName(const std::string& account);
// A named account's password is asked for whenever it is handed over.
bool AccountNeedsPassword(const std::string& account);

// The description the Services console shows when ServiceText is unset.
std::string DefaultServiceText(const std::string& program);

// The settings of the entry whose section that is; a missing key, or one
// whose value does not read as the setting, is the default.
TServiceSettings ReadServiceSettings(const TIniDocument& ini, const std::string& section);
// Writes every setting that is not at its default, each value so that a
// read gives it back whole, and removes the keys of the others.
void WriteServiceSettings(TIniDocument& ini, const std::string& section, const TServiceSettings& settings);
// Whether a key of an entry's section is a setting's.
bool IsSettingKey(const std::string& key);
