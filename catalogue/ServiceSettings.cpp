#include "catalogue/ServiceSettings.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

const std::vector<TSettingInfo> Infos = {
    {TSetting::Account, "Account", "account", "Account", true},
    {TSetting::WorkingFolder, "WorkingFolder", "working-dir", "Working folder", false},
    {TSetting::Environment, "", "env", "Environment", false},
    {TSetting::StartType, "StartType", "start-type", "Start type", true},
    {TSetting::DependsOn, "DependsOn", "depends-on", "Depends on", true},
    {TSetting::StopTimeout, "StopTimeout", "stop-timeout", "Stop timeout", false},
    {TSetting::Restart, "Restart", "restart", "Restart", false},
    {TSetting::SuccessCodes, "SuccessCodes", "success-codes", "Success codes", false},
    {TSetting::MaxRestarts, "MaxRestarts", "max-restarts", "Maximum restarts", false},
    {TSetting::RestartWindow, "RestartWindow", "restart-window", "Restart window", false},
    {TSetting::RestartDelay, "RestartDelay", "restart-delay", "Restart delay", false},
    {TSetting::RestartDelayMax, "RestartDelayMax", "restart-delay-max", "Maximum restart delay", false},
    {TSetting::Priority, "Priority", "priority", "Priority", false},
    {TSetting::LogMaxSize, "LogMaxSize", "log-max-size", "Log size limit", false},
    {TSetting::LogDaily, "LogDaily", "log-daily", "Daily log", false},
    {TSetting::LogKeep, "LogKeep", "log-keep", "Old logs kept", false},
    {TSetting::LogTimestamps, "LogTimestamps", "log-timestamps", "Log timestamps", false},
    {TSetting::LogMode, "LogMode", "log-mode", "Log mode", false},
    {TSetting::ServiceText, "ServiceText", "service-text", "Service text", true},
};

// The words a choice is written with, in the order of its enumeration.
const std::vector<std::string> StartTypeWords = {"auto", "delayed", "manual", "disabled"};
const std::vector<std::string> StartTypeShown = {"automatic", "automatic (delayed)", "manual", "disabled"};
const std::vector<std::string> RestartWords = {"always", "on-failure", "never"};
const std::vector<std::string> PriorityWords = {"idle", "below-normal", "normal", "above-normal", "high"};
const std::vector<std::string> SwitchWords = {"on", "off"};
const std::vector<std::string> LogModeWords = {"lines", "raw"};

constexpr unsigned MaxStopSeconds = 3600;
constexpr unsigned MaxDelaySeconds = 86400;
constexpr unsigned MaxWindowSeconds = 30 * 86400;
constexpr unsigned MaxRestartCount = 1000000;
constexpr unsigned MaxKeptLogs = 999;
constexpr uint64_t KiB = 1024;
constexpr uint64_t MinLogBytes = KiB;
constexpr uint64_t MaxLogBytes = KiB * KiB * KiB * KiB;

bool SameText(const std::string& a, const std::string& b)
{
    return LowerCase(a) == LowerCase(b);
}

TRefusal Fault(TSetting setting, const std::string& text, const std::string& expected)
{
    return TRefusal(std::string(InfoOf(setting).Label) + ": \"" + text + "\" is not " + expected);
}

// A choice by its word, in any letter case.
bool ParseWord(const std::vector<std::string>& words, const std::string& text, size_t& choice)
{
    for (size_t at = 0; at < words.size(); ++at)
        if (SameText(words[at], text)) {
            choice = at;
            return true;
        }
    return false;
}

// The parts, with the separator between each two.
std::string Joined(const std::vector<std::string>& parts, const char* separator)
{
    std::string list;
    for (const std::string& part : parts)
        list += (list.empty() ? "" : separator) + part;
    return list;
}

// One of the words, as the enumeration's value of the same place.
template <class T>
TRefusal SetChoice(TSetting setting, const std::vector<std::string>& words, const std::string& text, T& target)
{
    size_t choice = 0;
    if (!ParseWord(words, text, choice))
        return Fault(setting, text, "one of " + Joined(words, ", "));
    target = static_cast<T>(choice);
    return {};
}

// Decimal digits only, within first..last.
bool ParseWhole(const std::string& text, uint64_t first, uint64_t last, uint64_t& value)
{
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return value >= first && value <= last;
}

template <class T>
TRefusal SetWhole(TSetting setting, const std::string& text, uint64_t first, uint64_t last, T& target,
                     const std::string& what)
{
    uint64_t value = 0;
    if (!ParseWhole(text, first, last, value))
        return Fault(setting, text, what + " from " + std::to_string(first) + " to " + std::to_string(last));
    target = static_cast<T>(value);
    return {};
}

// "0x" and hex digits, or decimal digits, within 32 bits.
bool ParseExitCode(std::string text, unsigned long& code)
{
    text = Trim(text);
    int base = 10;
    if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) {
        text = text.substr(2);
        base = 16;
    }
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.empty() || text.size() > 10 || text.find_first_not_of(digits) != std::string::npos)
        return false;
    unsigned long long value = std::stoull(text, nullptr, base);
    if (value > 0xFFFFFFFFull)
        return false;
    code = static_cast<unsigned long>(value);
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        std::string part = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!part.empty())
            parts.push_back(part);
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

bool ParseSwitch(const std::string& text, bool& value)
{
    for (const char* on : {"on", "1", "yes", "true"})
        if (SameText(text, on))
            return value = true, true;
    for (const char* off : {"off", "0", "no", "false"})
        if (SameText(text, off))
            return value = false, true;
    return false;
}

// "1M", "512K", "10G", or bytes; 0 for no limit.
bool ParseSize(const std::string& text, uint64_t& bytes)
{
    if (text == "0")
        return bytes = 0, true;
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty()) {
        const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
        const uint64_t units[] = {KiB, KiB * KiB, KiB * KiB * KiB};
        const char* letters = "KMG";
        if (const char* found = std::strchr(letters, last); found && last) {
            unit = units[found - letters];
            digits.pop_back();
        }
    }
    uint64_t count = 0;
    if (!ParseWhole(digits, 1, MaxLogBytes, count) || count > MaxLogBytes / unit)
        return false;
    bytes = count * unit;
    return bytes >= MinLogBytes && bytes <= MaxLogBytes;
}

std::string SizeText(uint64_t bytes)
{
    const char* units[] = {"G", "M", "K"};
    for (int at = 0; at < 3; ++at) {
        uint64_t unit = KiB << (10 * (2 - at));
        if (bytes > 0 && bytes % unit == 0)
            return std::to_string(bytes / unit) + units[at];
    }
    return std::to_string(bytes);
}

std::string Seconds(unsigned seconds)
{
    return std::to_string(seconds) + " s";
}

bool FullPath(const std::string& path)
{
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) || path.starts_with("\\\\");
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

TRefusal LengthRefusal(const std::string& label, const std::string& value)
{
    if (value.size() <= ProfileValueLimit(value))
        return {};
    return TRefusal(label + ": the value is " + std::to_string(value.size()) +
                    " characters long; the catalogue keeps at most " + std::to_string(ProfileValueLimit(value)) +
                    " characters of it (1023, or 1022 for one that begins or ends with a blank or a quote)");
}

TRefusal VariableNameRefusal(const std::string& name)
{
    if (name.empty())
        return TRefusal("Environment: a variable needs a name");
    if (name.find('=') != std::string::npos)
        return TRefusal("Environment: the name \"" + name + "\" holds \"=\", which ends a variable's name");
    if (Trim(name) != name || HasLineBreak(name))
        return TRefusal("Environment: the name \"" + name + "\" begins or ends with a blank");
    return {};
}

} // namespace

const std::vector<TSettingInfo>& SettingInfos()
{
    return Infos;
}

const TSettingInfo& InfoOf(TSetting setting)
{
    return Infos[static_cast<size_t>(setting)];
}

TAccountKind AccountKind(const std::string& account)
{
    const std::string name = Trim(account);
    for (const char* system : {"", "LocalSystem", ".\\LocalSystem", "NT AUTHORITY\\SYSTEM"})
        if (SameText(name, system))
            return TAccountKind::LocalSystem;
    for (const char* local : {"LocalService", "NT AUTHORITY\\LocalService", "NT AUTHORITY\\Local Service"})
        if (SameText(name, local))
            return TAccountKind::LocalService;
    for (const char* network : {"NetworkService", "NT AUTHORITY\\NetworkService", "NT AUTHORITY\\Network Service"})
        if (SameText(name, network))
            return TAccountKind::NetworkService;
    if (SameText(name.substr(0, 11), "NT SERVICE\\"))
        return TAccountKind::Virtual;
    if (name.back() == '$')
        return TAccountKind::GroupManaged;
    return TAccountKind::Named;
}

std::string ServiceAccountName(const std::string& account)
{
    switch (AccountKind(account)) {
    case TAccountKind::LocalSystem:
        return "LocalSystem";
    case TAccountKind::LocalService:
        return "NT AUTHORITY\\LocalService";
    case TAccountKind::NetworkService:
        return "NT AUTHORITY\\NetworkService";
    case TAccountKind::Named:
        // A name alone is an account of this computer.
        if (account.find_first_of("\\@") == std::string::npos)
            return ".\\" + account;
        return account;
    default:
        return account;
    }
}

bool AccountNeedsPassword(const std::string& account)
{
    return AccountKind(account) == TAccountKind::Named;
}

std::string DefaultServiceText(const std::string& program)
{
    if (program.empty())
        return "Runs a program as a service (Quorvane service host)";
    return "Runs \"" + program + "\" as a service (Quorvane service host)";
}

std::string SettingText(const TServiceSettings& s, TSetting setting)
{
    switch (setting) {
    case TSetting::Account:
        return s.Account.empty() ? "LocalSystem" : s.Account;
    case TSetting::WorkingFolder:
        return s.WorkingFolder;
    case TSetting::Environment:
        return "";
    case TSetting::StartType:
        return StartTypeWords[static_cast<size_t>(s.StartType)];
    case TSetting::DependsOn:
        return Joined(s.Dependencies, "/");
    case TSetting::StopTimeout:
        return std::to_string(s.StopTimeoutSeconds);
    case TSetting::Restart:
        return RestartWords[static_cast<size_t>(s.Restart)];
    case TSetting::SuccessCodes: {
        std::string list;
        for (unsigned long code : s.SuccessCodes)
            list += (list.empty() ? "" : ",") + std::to_string(code);
        return list;
    }
    case TSetting::MaxRestarts:
        return s.MaxRestarts == 0 ? "none" : std::to_string(s.MaxRestarts);
    case TSetting::RestartWindow:
        return std::to_string(s.RestartWindowSeconds);
    case TSetting::RestartDelay:
        return std::to_string(s.RestartDelaySeconds);
    case TSetting::RestartDelayMax:
        return std::to_string(s.RestartDelayMaxSeconds);
    case TSetting::Priority:
        return PriorityWords[static_cast<size_t>(s.Priority)];
    case TSetting::LogMaxSize:
        return SizeText(s.LogMaxBytes);
    case TSetting::LogDaily:
        return s.LogDaily ? "on" : "off";
    case TSetting::LogKeep:
        return std::to_string(s.LogKeep);
    case TSetting::LogTimestamps:
        return s.LogTimestamps ? "on" : "off";
    case TSetting::LogMode:
        return LogModeWords[static_cast<size_t>(s.LogMode)];
    case TSetting::ServiceText:
        return s.ServiceText;
    }
    return "";
}

std::string SettingDisplay(const TServiceSettings& s, TSetting setting, const std::string& program)
{
    switch (setting) {
    case TSetting::WorkingFolder:
        return s.WorkingFolder.empty() ? FolderOf(program) : s.WorkingFolder;
    case TSetting::Environment: {
        std::string list;
        for (const auto& [name, value] : s.Environment)
            list += (list.empty() ? "" : "; ") + name + "=" + value;
        return list.empty() ? "the service host's" : list;
    }
    case TSetting::StartType:
        return StartTypeShown[static_cast<size_t>(s.StartType)];
    case TSetting::DependsOn:
        return s.Dependencies.empty() ? "none" : Joined(s.Dependencies, ", ");
    case TSetting::StopTimeout:
        return Seconds(s.StopTimeoutSeconds);
    case TSetting::Restart:
        return s.Restart == TRestartPolicy::OnFailure ? "on failure" : SettingText(s, setting);
    case TSetting::SuccessCodes: {
        std::string list = SettingText(s, setting);
        std::replace(list.begin(), list.end(), ',', ' ');
        return list;
    }
    case TSetting::RestartWindow:
        return s.RestartWindowSeconds == 0 ? "since the service started" : Seconds(s.RestartWindowSeconds);
    case TSetting::RestartDelay:
        return Seconds(s.RestartDelaySeconds);
    case TSetting::RestartDelayMax:
        return Seconds(s.RestartDelayMaxSeconds);
    case TSetting::Priority: {
        std::string word = SettingText(s, setting);
        std::replace(word.begin(), word.end(), '-', ' ');
        return word;
    }
    case TSetting::LogMaxSize: {
        if (s.LogMaxBytes == 0)
            return "none";
        std::string size = SizeText(s.LogMaxBytes);
        return std::isdigit(static_cast<unsigned char>(size.back())) ? size + " bytes" : size + "iB";
    }
    case TSetting::ServiceText:
        return s.ServiceText.empty() ? DefaultServiceText(program) : s.ServiceText;
    default:
        return SettingText(s, setting);
    }
}

std::vector<std::pair<std::string, std::string>> SettingLines(const TServiceSettings& s, const std::string& program,
                                                              bool everySetting)
{
    std::vector<std::pair<std::string, std::string>> lines;
    for (const TSettingInfo& info : Infos) {
        const bool atDefault = IsDefault(s, info.Setting);
        if (atDefault && !everySetting)
            continue;
        const std::string mark = atDefault ? " (default)" : "";
        if (info.Setting == TSetting::Environment && !atDefault) {
            for (const auto& [name, value] : s.Environment)
                lines.emplace_back(info.Label, name + "=" + value);
            continue;
        }
        lines.emplace_back(info.Label, SettingDisplay(s, info.Setting, program) + mark);
    }
    return lines;
}

const std::vector<std::string>& SettingChoices(TSetting setting)
{
    static const std::vector<std::string> none;
    switch (setting) {
    case TSetting::StartType: return StartTypeWords;
    case TSetting::Restart: return RestartWords;
    case TSetting::Priority: return PriorityWords;
    case TSetting::LogDaily:
    case TSetting::LogTimestamps: return SwitchWords;
    case TSetting::LogMode: return LogModeWords;
    default: return none;
    }
}

bool IsDefault(const TServiceSettings& s, TSetting setting)
{
    static const TServiceSettings defaults;
    if (setting == TSetting::Environment)
        return s.Environment.empty();
    return SettingText(s, setting) == SettingText(defaults, setting);
}

TRefusal SetSetting(TServiceSettings& s, TSetting setting, const std::string& given)
{
    const std::string text = Trim(given);
    switch (setting) {
    case TSetting::Account:
        if (HasLineBreak(given))
            return TRefusal("Account: an account's name cannot hold line breaks");
        switch (AccountKind(text)) {
        case TAccountKind::LocalSystem: s.Account.clear(); break;
        case TAccountKind::LocalService: s.Account = "LocalService"; break;
        case TAccountKind::NetworkService: s.Account = "NetworkService"; break;
        default:
            if (text.size() <= 11 && AccountKind(text) == TAccountKind::Virtual)
                return Fault(setting, text, "an account: NT SERVICE\\ needs the service's name after it");
            s.Account = text;
        }
        return {};
    case TSetting::WorkingFolder:
        s.WorkingFolder = text;
        return {};
    case TSetting::Environment:
        return {};
    case TSetting::StartType:
        return SetChoice(setting, StartTypeWords, SameText(text, "automatic") ? "auto" : text, s.StartType);
    case TSetting::DependsOn:
        if (text.find('\\') != std::string::npos)
            return Fault(setting, text, "a list of service names (a name cannot hold \"\\\")");
        s.Dependencies = Split(text, '/');
        return {};
    case TSetting::StopTimeout:
        return SetWhole(setting, text, 0, MaxStopSeconds, s.StopTimeoutSeconds, "a whole number of seconds");
    case TSetting::Restart:
        return SetChoice(setting, RestartWords, text, s.Restart);
    case TSetting::SuccessCodes: {
        std::vector<unsigned long> codes;
        for (const std::string& part : Split(text, ',')) {
            unsigned long code = 0;
            if (!ParseExitCode(part, code))
                return Fault(setting, text, "a list of exit codes such as 0,3 or 0x10");
            if (std::find(codes.begin(), codes.end(), code) == codes.end())
                codes.push_back(code);
        }
        if (codes.empty())
            return Fault(setting, text, "a list of exit codes such as 0,3 or 0x10");
        s.SuccessCodes = codes;
        return {};
    }
    case TSetting::MaxRestarts:
        if (SameText(text, "none"))
            return s.MaxRestarts = 0, TRefusal();
        return SetWhole(setting, text, 1, MaxRestartCount, s.MaxRestarts, "\"none\" or a whole number");
    case TSetting::RestartWindow:
        if (SameText(text, "none"))
            return s.RestartWindowSeconds = 0, TRefusal();
        return SetWhole(setting, text, 0, MaxWindowSeconds, s.RestartWindowSeconds, "a whole number of seconds");
    case TSetting::RestartDelay:
        return SetWhole(setting, text, 0, MaxDelaySeconds, s.RestartDelaySeconds, "a whole number of seconds");
    case TSetting::RestartDelayMax:
        return SetWhole(setting, text, 0, MaxDelaySeconds, s.RestartDelayMaxSeconds, "a whole number of seconds");
    case TSetting::Priority:
        return SetChoice(setting, PriorityWords, text, s.Priority);
    case TSetting::LogMaxSize: {
        uint64_t bytes = 0;
        if (!ParseSize(text, bytes))
            return Fault(setting, text, "0 (no limit) or a size from 1K to 1024G: bytes, or a number and K, M or G");
        s.LogMaxBytes = bytes;
        return {};
    }
    case TSetting::LogDaily:
        return ParseSwitch(text, s.LogDaily) ? TRefusal() : Fault(setting, text, "on or off");
    case TSetting::LogKeep:
        return SetWhole(setting, text, 1, MaxKeptLogs, s.LogKeep, "a whole number");
    case TSetting::LogTimestamps:
        return ParseSwitch(text, s.LogTimestamps) ? TRefusal() : Fault(setting, text, "on or off");
    case TSetting::LogMode:
        return SetChoice(setting, LogModeWords, text, s.LogMode);
    case TSetting::ServiceText:
        s.ServiceText = given;
        return HasLineBreak(given) ? TRefusal("Service text: the text cannot hold line breaks") : TRefusal();
    }
    return {};
}

TRefusal SetVariable(TServiceSettings& s, const std::string& name, const std::string& value)
{
    if (TRefusal refused = VariableNameRefusal(name))
        return refused;
    for (auto& variable : s.Environment)
        if (SameText(variable.first, name)) {
            variable = {name, value};
            return {};
        }
    s.Environment.emplace_back(name, value);
    return {};
}

TRefusal SetVariableLine(TServiceSettings& s, const std::string& line)
{
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
        return TRefusal("Environment: \"" + line + "\" is not NAME=VALUE");
    return SetVariable(s, line.substr(0, equals), line.substr(equals + 1));
}

void UnsetVariable(TServiceSettings& s, const std::string& name)
{
    std::erase_if(s.Environment, [&](const auto& variable) { return SameText(variable.first, name); });
}

TRefusal SettingsStorageRefusal(const TServiceSettings& s)
{
    for (const TSettingInfo& info : Infos) {
        if (info.Setting == TSetting::Environment)
            continue;
        const std::string text = SettingText(s, info.Setting);
        if (HasLineBreak(text))
            return TRefusal(std::string(info.Label) + ": the value cannot hold line breaks");
        if (TRefusal refused = LengthRefusal(info.Label, text))
            return refused;
    }
    for (const auto& [name, value] : s.Environment) {
        if (TRefusal refused = VariableNameRefusal(name))
            return refused;
        if (HasLineBreak(value))
            return TRefusal("Environment: the value of " + name + " cannot hold line breaks");
        if (TRefusal refused = LengthRefusal("Environment: " + name, value))
            return refused;
    }
    return {};
}

TRefusal SettingsValueRefusal(const TServiceSettings& s)
{
    if (TRefusal refused = SettingsStorageRefusal(s))
        return refused;
    if (!s.WorkingFolder.empty() && (!FullPath(s.WorkingFolder) || !FolderExists(s.WorkingFolder)))
        return TRefusal("Working folder: \"" + s.WorkingFolder + "\" is not the full path of an existing folder");
    if (s.RestartDelayMaxSeconds < s.RestartDelaySeconds)
        return TRefusal("Maximum restart delay: " + Seconds(s.RestartDelayMaxSeconds) +
                        " is less than the restart delay, " + Seconds(s.RestartDelaySeconds));
    // Moving a log aside at midnight takes a host that reads the lines; a
    // raw log is the program's own until it starts again.
    if (s.LogMode == TLogMode::Raw && s.LogDaily)
        return TRefusal("Log mode: a raw log cannot move aside at midnight: the program writes the file itself, "
                        "and the service host moves it aside only when the program starts, past its size limit; "
                        "turn the daily log off or keep the log mode lines");
    return {};
}

TServiceSettings ReadServiceSettings(const TIniDocument& ini, const std::string& section)
{
    TServiceSettings settings;
    for (const TSettingInfo& info : Infos) {
        if (info.Setting == TSetting::Environment || !ini.HasKey(section, info.Key))
            continue;
        // A value a hand edit spoiled leaves the setting at its default.
        TServiceSettings read = settings;
        if (!SetSetting(read, info.Setting, ini.ReadString(section, info.Key, "")))
            settings = read;
    }
    const std::string prefix = LowerCase(EnvironmentKeyPrefix);
    for (const std::string& key : ini.KeyNames(section))
        if (LowerCase(key.substr(0, prefix.size())) == prefix) {
            // A name a hand edit spoiled leaves its variable out.
            [[maybe_unused]] const TRefusal spoiled =
                SetVariable(settings, key.substr(prefix.size()), ini.ReadString(section, key, ""));
        }
    return settings;
}

void WriteServiceSettings(TIniDocument& ini, const std::string& section, const TServiceSettings& settings)
{
    for (const TSettingInfo& info : Infos) {
        if (info.Setting == TSetting::Environment)
            continue;
        if (IsDefault(settings, info.Setting))
            ini.DeleteKey(section, info.Key);
        else
            ini.WriteString(section, info.Key, ProfileValue(SettingText(settings, info.Setting)));
    }
    // A variable that stays keeps its key, so an unchanged entry is not
    // written again.
    const std::string prefix = LowerCase(EnvironmentKeyPrefix);
    for (const std::string& key : ini.KeyNames(section)) {
        const bool kept = std::any_of(settings.Environment.begin(), settings.Environment.end(), [&](const auto& variable) {
            return SameText(EnvironmentKeyPrefix + variable.first, key);
        });
        if (LowerCase(key.substr(0, prefix.size())) == prefix && !kept)
            ini.DeleteKey(section, key);
    }
    for (const auto& [name, value] : settings.Environment)
        ini.WriteString(section, EnvironmentKeyPrefix + name, ProfileValue(value));
}

bool HostSettingsDiffer(const TServiceSettings& a, const TServiceSettings& b)
{
    return std::any_of(Infos.begin(), Infos.end(), [&](const TSettingInfo& info) {
        if (info.ServiceManager)
            return false;
        if (info.Setting == TSetting::Environment)
            return a.Environment != b.Environment;
        return SettingText(a, info.Setting) != SettingText(b, info.Setting);
    });
}

bool IsSettingKey(const std::string& key)
{
    const std::string prefix = LowerCase(EnvironmentKeyPrefix);
    if (LowerCase(key.substr(0, prefix.size())) == prefix)
        return true;
    return std::any_of(Infos.begin(), Infos.end(), [&](const TSettingInfo& info) {
        return info.Setting != TSetting::Environment && SameText(info.Key, key);
    });
}
