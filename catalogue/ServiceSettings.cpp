#include "catalogue/ServiceSettings.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "catalogue/HealthTarget.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/Text.h"

namespace {

constexpr unsigned MaxStopSeconds = 3600;
constexpr unsigned MaxDelaySeconds = 86400;
constexpr unsigned MaxWindowSeconds = 30 * 86400;
constexpr unsigned MaxRestartCount = 1000000;
constexpr unsigned MaxKeptLogs = 999;
constexpr unsigned MaxHealthTimeoutSeconds = 3600;
constexpr unsigned MaxHealthRetries = 1000;
constexpr uint64_t KiB = 1024;
constexpr uint64_t MinLogBytes = KiB;
constexpr uint64_t MaxLogBytes = KiB * KiB * KiB * KiB;
// What joins the items of a list's value.
constexpr char ItemSeparator = '/';

bool SameText(const std::string& a, const std::string& b)
{
    return LowerCase(a) == LowerCase(b);
}

// The reason a text is refused, after the setting's label.
TRefusal NotA(const std::string& text, const std::string& expected)
{
    return TRefusal("\"" + text + "\" is not " + expected);
}

// The parts, with the separator between each two.
std::string Joined(const std::vector<std::string>& parts, const char* separator)
{
    std::string list;
    for (const std::string& part : parts)
        list += (list.empty() ? "" : separator) + part;
    return list;
}

// The blank-trimmed parts between separators; empty ones left out.
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

// Decimal digits only, within first..last.
bool ParseWhole(const std::string& text, uint64_t first, uint64_t last, uint64_t& value)
{
    if (text.empty() || text.size() > 15 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return value >= first && value <= last;
}

// "0x" and hex digits, or decimal digits, within 32 bits; or "-" and decimal
// digits, a negative 32-bit exit code, which is the same code as its two's
// complement ("-1" is 0xFFFFFFFF, as a program's exit code reads).
bool ParseExitCode(std::string text, unsigned long& code)
{
    text = Trim(text);
    const bool negative = text.size() > 1 && text[0] == '-';
    if (negative)
        text = text.substr(1);
    int base = 10;
    if (!negative && text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0)) {
        text = text.substr(2);
        base = 16;
    }
    const char* digits = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (text.empty() || text.size() > 10 || text.find_first_not_of(digits) != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(text, nullptr, base);
    if (value > (negative ? 0x80000000ull : 0xFFFFFFFFull))
        return false;
    code = static_cast<unsigned long>(negative ? (0x100000000ull - value) & 0xFFFFFFFFull : value);
    return true;
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

std::string SecondsText(unsigned seconds)
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

// How a setting's value reads, prints and shows: the part of its row that
// its kind of value gives. The kinds below make one each.
struct TValue {
    TSettingForm Form = TSettingForm::Value;
    std::vector<std::string> Choices;
    std::function<TRefusal(TServiceSettings&, const std::string&)> Read;
    std::function<std::string(const TServiceSettings&)> Text;
    std::function<std::string(const TServiceSettings&, const std::string&)> Shown;
};

using TSettings = TServiceSettings;

// Shown as it prints.
std::function<std::string(const TSettings&, const std::string&)> AsText(std::function<std::string(const TSettings&)> text)
{
    return [text = std::move(text)](const TSettings& s, const std::string&) { return text(s); };
}

// A whole number of first..last, said as unit ("a whole number of seconds");
// seconds show as "30 s". With zeroWord, "none" also reads as 0, and 0
// shows as zeroWord.
TValue Whole(unsigned TSettings::*field, unsigned first, unsigned last, const std::string& unit, bool seconds,
             const char* zeroWord = nullptr)
{
    TValue value;
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        if (zeroWord && SameText(text, "none"))
            return s.*field = 0, TRefusal();
        uint64_t number = 0;
        if (!ParseWhole(text, first, last, number))
            return NotA(text, unit + " from " + std::to_string(first) + " to " + std::to_string(last));
        s.*field = static_cast<unsigned>(number);
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) { return std::to_string(s.*field); };
    value.Shown = [=](const TSettings& s, const std::string&) {
        if (zeroWord && s.*field == 0)
            return std::string(zeroWord);
        return seconds ? SecondsText(s.*field) : std::to_string(s.*field);
    };
    return value;
}

TValue Seconds(unsigned TSettings::*field, unsigned first, unsigned last, const char* zeroShown = nullptr)
{
    return Whole(field, first, last, "a whole number of seconds", true, zeroShown);
}

TValue Count(unsigned TSettings::*field, unsigned first, unsigned last)
{
    return Whole(field, first, last, "a whole number", false);
}

// A count of first..last, or "none" (0), which it prints as.
TValue CountOrNone(unsigned TSettings::*field, unsigned first, unsigned last)
{
    TValue value = Whole(field, first, last, "\"none\" or a whole number", false, "none");
    value.Text = [=](const TSettings& s) { return s.*field == 0 ? std::string("none") : std::to_string(s.*field); };
    return value;
}

// One of the words (in any letter case), as the enumeration's value of the
// same place; shown as its word in shown, or as the word with blanks for
// "-". Each of also reads as the word it names.
template <class T>
TValue Choice(T TSettings::*field, std::vector<std::string> words, std::vector<std::string> shown = {},
              std::vector<std::pair<std::string, std::string>> also = {})
{
    if (shown.empty())
        for (std::string word : words) {
            std::replace(word.begin(), word.end(), '-', ' ');
            shown.push_back(word);
        }
    TValue value;
    value.Choices = words;
    value.Read = [=](TSettings& s, const std::string& given) {
        std::string text = Trim(given);
        for (const auto& [alias, word] : also)
            if (SameText(text, alias))
                text = word;
        for (size_t at = 0; at < words.size(); ++at)
            if (SameText(words[at], text))
                return s.*field = static_cast<T>(at), TRefusal();
        return NotA(text, "one of " + Joined(words, ", "));
    };
    value.Text = [=](const TSettings& s) { return words[static_cast<size_t>(s.*field)]; };
    value.Shown = [=](const TSettings& s, const std::string&) { return shown[static_cast<size_t>(s.*field)]; };
    return value;
}

// On or off (also 1, yes, true; 0, no, false), given as a value.
TValue OnOff(bool TSettings::*field)
{
    TValue value;
    value.Choices = {"on", "off"};
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        return ParseSwitch(text, s.*field) ? TRefusal() : NotA(text, "on or off");
    };
    value.Text = [=](const TSettings& s) { return std::string(s.*field ? "on" : "off"); };
    value.Shown = AsText(value.Text);
    return value;
}

// On or off, given to qv as an option and its "no-" twin.
TValue Switch(bool TSettings::*field)
{
    TValue value = OnOff(field);
    value.Form = TSettingForm::Switch;
    return value;
}

// A text of one line, blank-trimmed unless kept whole; an empty one shows
// as whenEmpty says.
TValue Line(std::string TSettings::*field, bool trimmed, const char* lineBreak,
            std::function<std::string(const std::string& program)> whenEmpty)
{
    TValue value;
    value.Read = [=](TSettings& s, const std::string& given) {
        if (lineBreak && HasLineBreak(given))
            return TRefusal(lineBreak);
        s.*field = trimmed ? Trim(given) : given;
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) { return s.*field; };
    value.Shown = [=](const TSettings& s, const std::string& program) {
        return (s.*field).empty() ? whenEmpty(program) : s.*field;
    };
    return value;
}

// The names of services, "/" between each two; none cannot hold "\".
TValue ServiceNames(std::vector<std::string> TSettings::*field)
{
    TValue value;
    value.Form = TSettingForm::List;
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        if (text.find('\\') != std::string::npos)
            return NotA(text, "a list of service names (a name cannot hold \"\\\")");
        s.*field = Split(text, ItemSeparator);
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) { return Joined(s.*field, std::string(1, ItemSeparator).c_str()); };
    value.Shown = [=](const TSettings& s, const std::string&) {
        return (s.*field).empty() ? std::string("none") : Joined(s.*field, ", ");
    };
    return value;
}

// Exit codes, "," between each two, each once; printed in decimal, as a
// program's exit code is said everywhere, and shown with blanks between.
TValue ExitCodes(std::vector<unsigned long> TSettings::*field)
{
    TValue value;
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        const char* expected = "a list of exit codes such as 0,3 or 0x10";
        std::vector<unsigned long> codes;
        for (const std::string& part : Split(text, ',')) {
            unsigned long code = 0;
            if (!ParseExitCode(part, code))
                return NotA(text, expected);
            if (std::find(codes.begin(), codes.end(), code) == codes.end())
                codes.push_back(code);
        }
        if (codes.empty())
            return NotA(text, expected);
        s.*field = codes;
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) {
        std::string list;
        for (unsigned long code : s.*field) {
            if (!list.empty())
                list += ',';
            list += std::to_string(code);
        }
        return list;
    };
    value.Shown = [text = value.Text](const TSettings& s, const std::string&) {
        std::string list = text(s);
        std::replace(list.begin(), list.end(), ',', ' ');
        return list;
    };
    return value;
}

// A size in bytes, K, M or G ("10M"), of 1K to 1024G, or 0 for none.
TValue Size(uint64_t TSettings::*field)
{
    TValue value;
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        if (!ParseSize(text, s.*field))
            return NotA(text, "0 (no limit) or a size from 1K to 1024G: bytes, or a number and K, M or G");
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) { return SizeText(s.*field); };
    value.Shown = [=](const TSettings& s, const std::string&) {
        if (s.*field == 0)
            return std::string("none");
        const std::string size = SizeText(s.*field);
        return std::isdigit(static_cast<unsigned char>(size.back())) ? size + " bytes" : size + "iB";
    };
    return value;
}

// The account: a built-in one by any of its names, "NT SERVICE\" and a
// service's name, a domain's or this computer's account or a group managed
// one; "" and LocalSystem's names are LocalSystem.
TValue AccountName()
{
    TValue value;
    value.Read = [](TSettings& s, const std::string& given) {
        if (HasLineBreak(given))
            return TRefusal("an account's name cannot hold line breaks");
        const std::string text = Trim(given);
        switch (AccountKind(text)) {
        case TAccountKind::LocalSystem: s.Account.clear(); break;
        case TAccountKind::LocalService: s.Account = "LocalService"; break;
        case TAccountKind::NetworkService: s.Account = "NetworkService"; break;
        default:
            if (text.size() <= 11 && AccountKind(text) == TAccountKind::Virtual)
                return NotA(text, "an account: NT SERVICE\\ needs the service's name after it");
            s.Account = text;
        }
        return TRefusal();
    };
    value.Text = [](const TSettings& s) { return s.Account.empty() ? std::string("LocalSystem") : s.Account; };
    value.Shown = AsText(value.Text);
    return value;
}

// The variables added to the host's environment: a form of their own,
// which the functions below take apart.
TValue Variables()
{
    TValue value;
    value.Form = TSettingForm::Variables;
    value.Read = [](TSettings&, const std::string&) { return TRefusal(); };
    value.Text = [](const TSettings&) { return std::string(); };
    value.Shown = [](const TSettings& s, const std::string&) {
        std::string list;
        for (const auto& [name, text] : s.Environment)
            list += (list.empty() ? "" : "; ") + name + "=" + text;
        return list.empty() ? std::string("the service host's") : list;
    };
    return value;
}

// A health check: a TCP port, a URL or a command (catalogue/HealthTarget.h);
// "" for none, which shows as "none".
TValue HealthCheck(std::string TSettings::*field)
{
    TValue value;
    value.Read = [=](TSettings& s, const std::string& given) {
        const std::string text = Trim(given);
        if (!text.empty() && !ParseHealthTarget(text))
            return NotA(text, "tcp://HOST:PORT, an http:// or https:// URL, or cmd: and a command line");
        s.*field = text;
        return TRefusal();
    };
    value.Text = [=](const TSettings& s) { return s.*field; };
    value.Shown = [=](const TSettings& s, const std::string&) {
        return (s.*field).empty() ? std::string("none") : s.*field;
    };
    return value;
}

TRefusal ExistingFolder(const TSettings& s)
{
    if (!s.WorkingFolder.empty() && (!FullPath(s.WorkingFolder) || !FolderExists(s.WorkingFolder)))
        return TRefusal("\"" + s.WorkingFolder + "\" is not the full path of an existing folder");
    return {};
}

TRefusal AtLeastTheFirstDelay(const TSettings& s)
{
    if (s.RestartDelayMaxSeconds < s.RestartDelaySeconds)
        return TRefusal(SecondsText(s.RestartDelayMaxSeconds) + " is less than the restart delay, " +
                        SecondsText(s.RestartDelaySeconds));
    return {};
}

// Moving a log aside at midnight takes a host that reads the lines; a raw
// log is the program's own until it starts again.
TRefusal NotDailyWhenRaw(const TSettings& s)
{
    if (s.LogMode == TLogMode::Raw && s.LogDaily)
        return TRefusal("a raw log cannot move aside at midnight: the program writes the file itself, and the "
                        "service host moves it aside only when the program starts, past its size limit; turn the "
                        "daily log off or keep the log mode lines");
    return {};
}

constexpr bool ByServiceManager = true, ByHost = false;
using enum TSettingGroup;

TSettingInfo Row(TSetting setting, const char* key, const char* option, const char* label, bool serviceManager,
                 TSettingGroup group, TValue value, std::function<TRefusal(const TSettings&)> check = nullptr)
{
    return {setting,          key,   option, label, serviceManager, group, value.Form, std::move(value.Choices),
            std::move(value.Read), std::move(value.Text), std::move(value.Shown), std::move(check)};
}

// Every setting, in the order qv shows them: its name, key, option and label,
// who applies it, where the dialog shows it, and its kind of value.
const std::vector<TSettingInfo>& Rows()
{
    using S = TSettings;
    static const std::vector<TSettingInfo> rows = {
        Row(TSetting::Account, "Account", "account", "Account", ByServiceManager, Account, AccountName()),
        Row(TSetting::WorkingFolder, "WorkingFolder", "working-dir", "Working folder", ByHost, Process,
            Line(&S::WorkingFolder, true, nullptr, FolderOf), ExistingFolder),
        Row(TSetting::Environment, "", "env", "Environment", ByHost, Process, Variables()),
        Row(TSetting::StartType, "StartType", "start-type", "Start type", ByServiceManager, Process,
            Choice(&S::StartType, {"auto", "delayed", "manual", "disabled"},
                   {"automatic", "automatic (delayed)", "manual", "disabled"}, {{"automatic", "auto"}})),
        Row(TSetting::DependsOn, "DependsOn", "depends-on", "Depends on", ByServiceManager, Process,
            ServiceNames(&S::Dependencies)),
        Row(TSetting::StopTimeout, "StopTimeout", "stop-timeout", "Stop timeout", ByHost, StopAndRestart,
            Seconds(&S::StopTimeoutSeconds, 0, MaxStopSeconds)),
        Row(TSetting::Restart, "Restart", "restart", "Restart", ByHost, StopAndRestart,
            Choice(&S::Restart, {"always", "on-failure", "never"})),
        Row(TSetting::SuccessCodes, "SuccessCodes", "success-codes", "Success codes", ByHost, StopAndRestart,
            ExitCodes(&S::SuccessCodes)),
        Row(TSetting::MaxRestarts, "MaxRestarts", "max-restarts", "Maximum restarts", ByHost, StopAndRestart,
            CountOrNone(&S::MaxRestarts, 1, MaxRestartCount)),
        Row(TSetting::RestartWindow, "RestartWindow", "restart-window", "Restart window", ByHost, StopAndRestart,
            Seconds(&S::RestartWindowSeconds, 0, MaxWindowSeconds, "since the service started")),
        Row(TSetting::RestartDelay, "RestartDelay", "restart-delay", "Restart delay", ByHost, StopAndRestart,
            Seconds(&S::RestartDelaySeconds, 0, MaxDelaySeconds)),
        Row(TSetting::RestartDelayMax, "RestartDelayMax", "restart-delay-max", "Maximum restart delay", ByHost,
            StopAndRestart, Seconds(&S::RestartDelayMaxSeconds, 0, MaxDelaySeconds), AtLeastTheFirstDelay),
        Row(TSetting::Priority, "Priority", "priority", "Priority", ByHost, Process,
            Choice(&S::Priority, {"idle", "below-normal", "normal", "above-normal", "high"})),
        Row(TSetting::LogMaxSize, "LogMaxSize", "log-max-size", "Log size limit", ByHost, Log, Size(&S::LogMaxBytes)),
        Row(TSetting::LogDaily, "LogDaily", "log-daily", "Daily log", ByHost, Log, Switch(&S::LogDaily)),
        Row(TSetting::LogKeep, "LogKeep", "log-keep", "Old logs kept", ByHost, Log, Count(&S::LogKeep, 1, MaxKeptLogs)),
        Row(TSetting::LogTimestamps, "LogTimestamps", "log-timestamps", "Log timestamps", ByHost, Log,
            OnOff(&S::LogTimestamps)),
        Row(TSetting::LogMode, "LogMode", "log-mode", "Log mode", ByHost, Log, Choice(&S::LogMode, {"lines", "raw"}),
            NotDailyWhenRaw),
        Row(TSetting::ServiceText, "ServiceText", "service-text", "Service text", ByServiceManager, Process,
            Line(&S::ServiceText, false, "the text cannot hold line breaks", DefaultServiceText)),
        Row(TSetting::HealthCheck, "HealthCheck", "health-check", "Health check", ByHost, Health,
            HealthCheck(&S::HealthCheck)),
        Row(TSetting::HealthInterval, "HealthInterval", "health-interval", "Health interval", ByHost, Health,
            Seconds(&S::HealthIntervalSeconds, 1, MaxDelaySeconds)),
        Row(TSetting::HealthTimeout, "HealthTimeout", "health-timeout", "Health timeout", ByHost, Health,
            Seconds(&S::HealthTimeoutSeconds, 1, MaxHealthTimeoutSeconds)),
        Row(TSetting::HealthRetries, "HealthRetries", "health-retries", "Health retries", ByHost, Health,
            Count(&S::HealthRetries, 1, MaxHealthRetries)),
        Row(TSetting::HealthStartPeriod, "HealthStartPeriod", "health-start-period", "Health start period", ByHost,
            Health, Seconds(&S::HealthStartPeriodSeconds, 0, MaxDelaySeconds)),
        Row(TSetting::HealthAction, "HealthAction", "health-action", "Health action", ByHost, Health,
            Choice(&S::HealthAction, {"restart", "none"})),
    };
    return rows;
}

bool IsVariables(const TSettingInfo& info)
{
    return info.Form == TSettingForm::Variables;
}

bool IsVariableKey(const std::string& key)
{
    const std::string prefix = LowerCase(EnvironmentKeyPrefix);
    return LowerCase(key.substr(0, prefix.size())) == prefix;
}

} // namespace

const std::vector<TSettingInfo>& SettingInfos()
{
    return Rows();
}

const TSettingInfo& InfoOf(TSetting setting)
{
    for (const TSettingInfo& info : Rows())
        if (info.Setting == setting)
            return info;
    throw TError("The setting " + std::to_string(static_cast<int>(setting)) + " has no row");
}

const TSettingInfo* SettingOfOption(const std::string& option)
{
    for (const TSettingInfo& info : Rows()) {
        const std::string name = info.Option;
        if (option == name || (info.Form == TSettingForm::Switch && option == "no-" + name) ||
            (IsVariables(info) && option == "unset-" + name))
            return &info;
    }
    return nullptr;
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
    return InfoOf(setting).Text(s);
}

std::string SettingDisplay(const TServiceSettings& s, TSetting setting, const std::string& program)
{
    return InfoOf(setting).Shown(s, program);
}

bool IsDefault(const TServiceSettings& s, TSetting setting)
{
    static const TServiceSettings defaults;
    const TSettingInfo& info = InfoOf(setting);
    if (IsVariables(info))
        return s.Environment.empty();
    return info.Text(s) == info.Text(defaults);
}

std::vector<std::pair<std::string, std::string>> SettingLines(const TServiceSettings& s, const std::string& program,
                                                              bool everySetting)
{
    std::vector<std::pair<std::string, std::string>> lines;
    for (const TSettingInfo& info : Rows()) {
        const bool atDefault = IsDefault(s, info.Setting);
        if (atDefault && !everySetting)
            continue;
        const std::string mark = atDefault ? " (default)" : "";
        if (IsVariables(info) && !atDefault) {
            for (const auto& [name, value] : s.Environment)
                lines.emplace_back(info.Label, name + "=" + value);
            continue;
        }
        lines.emplace_back(info.Label, info.Shown(s, program) + mark);
    }
    return lines;
}

const std::vector<std::string>& SettingChoices(TSetting setting)
{
    return InfoOf(setting).Choices;
}

std::vector<std::string> SettingItems(const TServiceSettings& s, TSetting setting)
{
    return Split(SettingText(s, setting), ItemSeparator);
}

TRefusal SetSetting(TServiceSettings& s, TSetting setting, const std::string& given)
{
    const TSettingInfo& info = InfoOf(setting);
    // A refused value leaves every setting as it was.
    TServiceSettings changed = s;
    if (TRefusal refused = info.Read(changed, given))
        return TRefusal(std::string(info.Label) + ": " + refused.Reason());
    s = std::move(changed);
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
    for (const TSettingInfo& info : Rows()) {
        if (IsVariables(info))
            continue;
        const std::string text = info.Text(s);
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
    for (const TSettingInfo& info : Rows())
        if (info.Check)
            if (TRefusal refused = info.Check(s))
                return TRefusal(std::string(info.Label) + ": " + refused.Reason());
    return {};
}

TServiceSettings ReadServiceSettings(const TIniDocument& ini, const std::string& section)
{
    TServiceSettings settings;
    for (const TSettingInfo& info : Rows()) {
        if (IsVariables(info) || !ini.HasKey(section, info.Key))
            continue;
        // A value a hand edit spoiled leaves the setting at its default.
        [[maybe_unused]] const TRefusal spoiled = SetSetting(settings, info.Setting, ini.ReadString(section, info.Key, ""));
    }
    for (const std::string& key : ini.KeyNames(section))
        if (IsVariableKey(key)) {
            // A name a hand edit spoiled leaves its variable out.
            [[maybe_unused]] const TRefusal spoiled = SetVariable(
                settings, key.substr(std::strlen(EnvironmentKeyPrefix)), ini.ReadString(section, key, ""));
        }
    return settings;
}

void WriteServiceSettings(TIniDocument& ini, const std::string& section, const TServiceSettings& settings)
{
    for (const TSettingInfo& info : Rows()) {
        if (IsVariables(info))
            continue;
        if (IsDefault(settings, info.Setting))
            ini.DeleteKey(section, info.Key);
        else
            ini.WriteString(section, info.Key, ProfileValue(info.Text(settings)));
    }
    // A variable that stays keeps its key, so an unchanged entry is not
    // written again.
    for (const std::string& key : ini.KeyNames(section)) {
        const bool kept = std::any_of(settings.Environment.begin(), settings.Environment.end(), [&](const auto& variable) {
            return SameText(EnvironmentKeyPrefix + variable.first, key);
        });
        if (IsVariableKey(key) && !kept)
            ini.DeleteKey(section, key);
    }
    for (const auto& [name, value] : settings.Environment)
        ini.WriteString(section, EnvironmentKeyPrefix + name, ProfileValue(value));
}

bool HostSettingsDiffer(const TServiceSettings& a, const TServiceSettings& b)
{
    return std::any_of(Rows().begin(), Rows().end(), [&](const TSettingInfo& info) {
        if (info.ServiceManager)
            return false;
        if (IsVariables(info))
            return a.Environment != b.Environment;
        return info.Text(a) != info.Text(b);
    });
}

bool IsSettingKey(const std::string& key)
{
    if (IsVariableKey(key))
        return true;
    return std::any_of(Rows().begin(), Rows().end(),
                       [&](const TSettingInfo& info) { return !IsVariables(info) && SameText(info.Key, key); });
}
