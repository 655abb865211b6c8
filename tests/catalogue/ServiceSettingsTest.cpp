#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "catalogue/Catalogue.h"
#include "catalogue/HealthTarget.h"
#include "catalogue/IniFile.h"
#include "catalogue/ServiceSettings.h"
#include "tests/support/Errors.h"
#include "tests/support/TempFiles.h"

namespace {

// What Windows' own profile functions read for the key.
std::string ProfileRead(const std::string& section, const std::string& key, const std::string& file)
{
    char buffer[1024];
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof buffer, file.c_str());
    return std::string(buffer, length);
}

// Every key of the section, as the profile functions list them.
std::vector<std::string> ProfileKeys(const std::string& section, const std::string& file)
{
    std::vector<char> buffer(65536);
    DWORD length = GetPrivateProfileStringA(section.c_str(), nullptr, "", buffer.data(),
                                            static_cast<DWORD>(buffer.size()), file.c_str());
    std::vector<std::string> keys;
    for (const char* key = buffer.data(); key < buffer.data() + length && *key; key += std::strlen(key) + 1)
        keys.push_back(key);
    return keys;
}

TServiceSettings Set(std::initializer_list<std::pair<TSetting, std::string>> values)
{
    TServiceSettings settings;
    for (const auto& [setting, text] : values)
        EXPECT_EQ("", SetSetting(settings, setting, text).Reason()) << text;
    return settings;
}

// Each setting away from its default.
TServiceSettings EverySetting()
{
    TServiceSettings settings =
        Set({{TSetting::Account, "CORP\\relay"}, {TSetting::WorkingFolder, "C:\\windows"},
             {TSetting::StartType, "delayed"}, {TSetting::DependsOn, "Tcpip / Mail Spool"},
             {TSetting::StopTimeout, "30"}, {TSetting::Restart, "on-failure"}, {TSetting::SuccessCodes, "0,0x10, 3"},
             {TSetting::MaxRestarts, "5"}, {TSetting::RestartWindow, "600"}, {TSetting::RestartDelay, "2"},
             {TSetting::RestartDelayMax, "120"}, {TSetting::Priority, "below-normal"},
             {TSetting::LogMaxSize, "10M"}, {TSetting::LogDaily, "on"}, {TSetting::LogKeep, "14"},
             {TSetting::LogTimestamps, "off"}, {TSetting::LogMode, "raw"},
             {TSetting::ServiceText, " \"Relays mail\" "}, {TSetting::HealthCheck, "http://127.0.0.1:8080/health"},
             {TSetting::HealthInterval, "5"}, {TSetting::HealthTimeout, "2"}, {TSetting::HealthRetries, "4"},
             {TSetting::HealthStartPeriod, "20"}, {TSetting::HealthAction, "none"}});
    // Values a read would change unless they are written in one more pair of
    // quotes, and one that holds "=".
    EXPECT_FALSE(SetVariable(settings, "OPTS", " -a \"b c\" "));
    EXPECT_FALSE(SetVariable(settings, "QUOTED", "\"whole\""));
    EXPECT_FALSE(SetVariable(settings, "PAIR", "key=value=="));
    EXPECT_FALSE(SetVariable(settings, "Empty", ""));
    return settings;
}

} // namespace

TEST(ServiceSettings, EverySettingReadsBackThroughWindowsOwnProfileFunctions)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue(file);
    const TServiceSettings settings = EverySetting();
    ASSERT_EQ(TEntryOutcome::Done, catalogue.AddEntry({"Relay", "C:\\relay.exe", "", "", false}, settings));

    // The oracle: each key as GetPrivateProfileStringA reads it, taken as qv
    // takes the setting.
    TServiceSettings read;
    for (const TSettingInfo& info : SettingInfos()) {
        if (info.Setting != TSetting::Environment) {
            EXPECT_EQ("", SetSetting(read, info.Setting, ProfileRead("Relay", info.Key, file)).Reason()) << info.Key;
        }
    }
    for (const std::string& key : ProfileKeys("Relay", file)) {
        if (key.starts_with(EnvironmentKeyPrefix)) {
            EXPECT_FALSE(SetVariable(read, key.substr(4), ProfileRead("Relay", key, file)));
        }
    }
    EXPECT_EQ(settings, read);
    EXPECT_EQ(settings, ReadServiceSettings(TIniDocument(file), "Relay"));
    EXPECT_EQ(SettingText(settings, TSetting::DependsOn), "Tcpip/Mail Spool");
    EXPECT_EQ(SettingText(settings, TSetting::SuccessCodes), "0,16,3");

    // A rename takes them along; back at their defaults they leave no key,
    // and a plain entry's section holds the Part's keys alone.
    ASSERT_EQ(TEntryOutcome::Done, catalogue.ChangeEntry({"Relay"}, SettingsOf(catalogue.Entry()),
                                                         {"Mail Relay", "C:\\relay.exe", "", "", false}));
    ASSERT_EQ(settings, ReadServiceSettings(TIniDocument(file), "Mail Relay"));
    ASSERT_EQ(TEntryOutcome::Done, catalogue.ChangeServiceSettings({"Mail Relay"}, settings, {}));
    catalogue.AppendEntry("Plain", "C:\\plain.exe", "", "", false);
    const std::vector<std::string> partKeys = {"Program", "Parameters", "LogFile", "LogToFile", "Installed",
                                               "ServiceID"};
    EXPECT_EQ(ProfileKeys("Mail Relay", file), partKeys);
    EXPECT_EQ(ProfileKeys("Plain", file), partKeys);
}

TEST(ServiceSettings, ChangesFollowTheEntryAndRefuseWhatWouldBeLost)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue(file);
    catalogue.AppendEntry("Relay", "C:\\relay.exe", "", "", false);
    const TServiceSettings manual = Set({{TSetting::StartType, "manual"}});
    // Installed entries change too: their settings are not the Part's fields.
    TIniFile(file).WriteBool("Relay", InstalledKey, true);
    ASSERT_EQ(TEntryOutcome::Done, catalogue.ChangeServiceSettings({"Relay"}, {}, manual));
    EXPECT_EQ(TEntryOutcome::Changed, catalogue.ChangeServiceSettings({"Relay"}, {}, {}));
    EXPECT_EQ(TEntryOutcome::Gone, catalogue.ChangeServiceSettings({"Nobody"}, {}, {}));
    EXPECT_EQ(manual, catalogue.ServiceSettings());

    TServiceSettings broken = manual;
    EXPECT_FALSE(SetVariable(broken, "LINE", "a\r\n[Forged]"));
    EXPECT_EQ("Environment: the value of LINE cannot hold line breaks",
              ErrorOf([&] { catalogue.ChangeServiceSettings({"Relay"}, manual, broken); }));
    EXPECT_FALSE(SetVariable(broken, "LINE", std::string(1023, 'x') + " "));
    EXPECT_EQ(0u, ErrorOf([&] { catalogue.ChangeServiceSettings({"Relay"}, manual, broken); })
                      .find("Environment: LINE: the value is 1024 characters long; the catalogue keeps at most 1022"));
    EXPECT_EQ(manual, ReadServiceSettings(TIniDocument(file), "Relay"));
}

TEST(ServiceSettings, EachRefusalNamesTheSettingAndTheFault)
{
    const std::pair<TSetting, std::string> refused[] = {
        {TSetting::StopTimeout, "-3"},       {TSetting::StopTimeout, "3601"}, {TSetting::MaxRestarts, "0"},
        {TSetting::StartType, "soon"},       {TSetting::Restart, "sometimes"}, {TSetting::SuccessCodes, "0,x"},
        {TSetting::SuccessCodes, "4294967296"}, {TSetting::LogMaxSize, "512"}, {TSetting::LogMaxSize, "2048G"},
        {TSetting::LogKeep, "0"},            {TSetting::Priority, "realtime"}, {TSetting::Account, "NT SERVICE\\"},
        {TSetting::DependsOn, "a\\b"},       {TSetting::LogDaily, "maybe"},    {TSetting::SuccessCodes, "-2147483649"},
        {TSetting::SuccessCodes, "-0x1"},    {TSetting::SuccessCodes, "-"},    {TSetting::StopTimeout, "none"},
        {TSetting::LogMaxSize, "17179869185G"}, {TSetting::LogMode, "binary"},
        {TSetting::HealthCheck, "ftp://127.0.0.1/"}, {TSetting::HealthCheck, "tcp://localhost"},
        {TSetting::HealthCheck, "tcp://:70000"},  {TSetting::HealthCheck, "cmd:"},
        {TSetting::HealthCheck, "http://"},       {TSetting::HealthCheck, "http://user@host/"},
        {TSetting::HealthCheck, "8080"},          {TSetting::HealthInterval, "0"},
        {TSetting::HealthTimeout, "3601"},        {TSetting::HealthRetries, "0"},
        {TSetting::HealthAction, "reboot"},
    };
    for (const auto& [setting, text] : refused) {
        TServiceSettings settings;
        EXPECT_EQ(0u, SetSetting(settings, setting, text).Reason().find(std::string(InfoOf(setting).Label) + ": \"" + text))
            << text;
        EXPECT_EQ(TServiceSettings{}, settings) << text;
    }
    TServiceSettings settings;
    EXPECT_EQ("Service text: the text cannot hold line breaks", SetSetting(settings, TSetting::ServiceText, "a\r\nb").Reason());
    EXPECT_EQ(TServiceSettings{}, settings);
    EXPECT_EQ("Environment: the name \"A=B\" holds \"=\", which ends a variable's name",
              SetVariable(settings, "A=B", "x").Reason());
    EXPECT_EQ("Environment: a variable needs a name", SetVariable(settings, "", "x").Reason());
    settings = Set({{TSetting::WorkingFolder, "C:\\no such folder"}});
    EXPECT_EQ("Working folder: \"C:\\no such folder\" is not the full path of an existing folder",
              SettingsValueRefusal(settings).Reason());
    settings = Set({{TSetting::WorkingFolder, "windows"}});
    EXPECT_TRUE(SettingsValueRefusal(settings));
    settings = Set({{TSetting::RestartDelay, "30"}, {TSetting::RestartDelayMax, "10"}});
    EXPECT_EQ("Maximum restart delay: 10 s is less than the restart delay, 30 s", SettingsValueRefusal(settings).Reason());
    // A raw log moves aside only when its program starts, by its size.
    settings = Set({{TSetting::LogMode, "RAW"}, {TSetting::LogMaxSize, "10M"}, {TSetting::LogKeep, "5"}});
    EXPECT_FALSE(SettingsValueRefusal(settings));
    settings = Set({{TSetting::LogMode, "raw"}, {TSetting::LogDaily, "on"}});
    EXPECT_EQ("Log mode: a raw log cannot move aside at midnight: the program writes the file itself, and the "
              "service host moves it aside only when the program starts, past its size limit; turn the daily log "
              "off or keep the log mode lines",
              SettingsValueRefusal(settings).Reason());
    // The built-in accounts are one each, whatever they are called.
    settings = Set({{TSetting::Account, "NT AUTHORITY\\Local Service"}});
    EXPECT_EQ("LocalService", settings.Account);
    EXPECT_EQ("NT AUTHORITY\\LocalService", ServiceAccountName(settings.Account));
    EXPECT_TRUE(IsDefault(Set({{TSetting::Account, "nt authority\\system"}}), TSetting::Account));
    EXPECT_EQ(".\\relay", ServiceAccountName("relay"));
    EXPECT_TRUE(AccountNeedsPassword("CORP\\relay"));
    EXPECT_FALSE(AccountNeedsPassword("CORP\\relay$"));
    EXPECT_FALSE(AccountNeedsPassword("NT SERVICE\\Relay"));
}

// What qv show says (every setting, the defaults marked) and the window's
// panel (those that differ), and whether a change waits for the program's
// next start (the host's settings) or is the system's at once.
TEST(ServiceSettings, EachSettingIsSaidAsPeopleReadIt)
{
    using TLines = std::vector<std::pair<std::string, std::string>>;
    const std::string program = "C:\\bin\\relay.exe";
    EXPECT_EQ(SettingLines({}, program, true),
              (TLines{{"Account", "LocalSystem (default)"}, {"Working folder", "C:\\bin (default)"},
                      {"Environment", "the service host's (default)"}, {"Start type", "automatic (default)"},
                      {"Depends on", "none (default)"}, {"Stop timeout", "3 s (default)"},
                      {"Restart", "always (default)"}, {"Success codes", "0 (default)"},
                      {"Maximum restarts", "none (default)"},
                      {"Restart window", "since the service started (default)"},
                      {"Restart delay", "1 s (default)"}, {"Maximum restart delay", "60 s (default)"},
                      {"Priority", "normal (default)"}, {"Log size limit", "1MiB (default)"},
                      {"Daily log", "off (default)"}, {"Old logs kept", "1 (default)"},
                      {"Log timestamps", "on (default)"}, {"Log mode", "lines (default)"},
                      {"Service text", DefaultServiceText(program) + " (default)"},
                      {"Health check", "none (default)"}, {"Health interval", "30 s (default)"},
                      {"Health timeout", "10 s (default)"}, {"Health retries", "3 (default)"},
                      {"Health start period", "0 s (default)"}, {"Health action", "restart (default)"}}));
    EXPECT_EQ(SettingLines(EverySetting(), program, false),
              (TLines{{"Account", "CORP\\relay"}, {"Working folder", "C:\\windows"},
                      {"Environment", "OPTS= -a \"b c\" "}, {"Environment", "QUOTED=\"whole\""},
                      {"Environment", "PAIR=key=value=="}, {"Environment", "Empty="},
                      {"Start type", "automatic (delayed)"}, {"Depends on", "Tcpip, Mail Spool"},
                      {"Stop timeout", "30 s"}, {"Restart", "on failure"}, {"Success codes", "0 16 3"},
                      {"Maximum restarts", "5"}, {"Restart window", "600 s"}, {"Restart delay", "2 s"},
                      {"Maximum restart delay", "120 s"}, {"Priority", "below normal"},
                      {"Log size limit", "10MiB"}, {"Daily log", "on"}, {"Old logs kept", "14"},
                      {"Log timestamps", "off"}, {"Log mode", "raw"}, {"Service text", " \"Relays mail\" "},
                      {"Health check", "http://127.0.0.1:8080/health"}, {"Health interval", "5 s"},
                      {"Health timeout", "2 s"}, {"Health retries", "4"}, {"Health start period", "20 s"},
                      {"Health action", "none"}}));
    EXPECT_EQ(SettingDisplay(Set({{TSetting::LogMaxSize, "1536"}}), TSetting::LogMaxSize, ""), "1536 bytes");
    EXPECT_EQ(SettingDisplay(Set({{TSetting::LogMaxSize, "0"}}), TSetting::LogMaxSize, ""), "none");

    // The words qv takes besides the ones it prints, and what it leaves out.
    EXPECT_EQ(Set({{TSetting::DependsOn, "/Tcpip//Spool/ "}}).Dependencies, (std::vector<std::string>{"Tcpip", "Spool"}));
    EXPECT_EQ(Set({{TSetting::StartType, "Automatic"}}).StartType, TStartType::Automatic);
    EXPECT_EQ(Set({{TSetting::RestartWindow, "None"}, {TSetting::MaxRestarts, "none"}}), TServiceSettings{});
    for (const char* on : {"on", "1", "YES", "true"})
        EXPECT_TRUE(Set({{TSetting::LogTimestamps, "off"}, {TSetting::LogTimestamps, on}}).LogTimestamps);
    for (const char* off : {"OFF", "0", "no", "false"})
        EXPECT_FALSE(Set({{TSetting::LogTimestamps, off}}).LogTimestamps);

    EXPECT_FALSE(HostSettingsDiffer({}, Set({{TSetting::StartType, "manual"}, {TSetting::ServiceText, "x"}})));
    EXPECT_TRUE(HostSettingsDiffer({}, Set({{TSetting::StopTimeout, "30"}})));
    EXPECT_TRUE(HostSettingsDiffer({}, Set({{TSetting::HealthCheck, "tcp://:80"}})));
    TServiceSettings variable;
    EXPECT_FALSE(SetVariable(variable, "A", "1"));
    EXPECT_TRUE(HostSettingsDiffer({}, variable));
}

// A negative exit code is the 32-bit code a program's exit reads as (-1 is
// 0xFFFFFFFF), printed as every exit code is; a choice and a default read
// back as they print.
TEST(ServiceSettings, EachValueReadsBackAsItPrintsNegativeExitCodesIncluded)
{
    const TServiceSettings codes = Set({{TSetting::SuccessCodes, "0, -1, 0xFFFFFFFF, 4294967295, -2147483648"}});
    EXPECT_EQ(codes.SuccessCodes, (std::vector<unsigned long>{0, 0xFFFFFFFF, 0x80000000}));
    EXPECT_EQ(SettingText(codes, TSetting::SuccessCodes), "0,4294967295,2147483648");
    EXPECT_EQ(SettingDisplay(codes, TSetting::SuccessCodes, ""), "0 4294967295 2147483648");

    const TServiceSettings defaults;
    for (const TSettingInfo& info : SettingInfos()) {
        if (info.Form == TSettingForm::Variables)
            continue;
        SCOPED_TRACE(info.Option);
        TServiceSettings read = EverySetting();
        EXPECT_FALSE(SetSetting(read, info.Setting, SettingText(defaults, info.Setting)));
        EXPECT_TRUE(IsDefault(read, info.Setting));
        for (const std::string& choice : info.Choices) {
            EXPECT_FALSE(SetSetting(read, info.Setting, choice));
            EXPECT_EQ(SettingText(read, info.Setting), choice);
        }
    }
}

// The three kinds of check, as the host reads them, and how the log names
// each; anything else is no check.
TEST(ServiceSettings, AHealthCheckIsAPortAUrlOrACommand)
{
    auto parsed = [](const std::string& text) {
        const std::optional<THealthTarget> target = ParseHealthTarget(text);
        return target ? HealthTargetText(*target) : std::string("refused");
    };
    EXPECT_EQ(parsed("tcp://db.local:5432"), "connect to db.local:5432");
    EXPECT_EQ(parsed("TCP://:8080"), "connect to 127.0.0.1:8080");
    EXPECT_EQ(parsed("tcp://8080"), "connect to 127.0.0.1:8080");
    EXPECT_EQ(parsed("tcp://[::1]:8080"), "connect to [::1]:8080");
    EXPECT_EQ(parsed("http://127.0.0.1:8080/health"), "GET http://127.0.0.1:8080/health");
    EXPECT_EQ(parsed("http://127.0.0.1:80"), "GET http://127.0.0.1/");
    EXPECT_EQ(parsed(" https://example.org/ready?deep=1#top "), "GET https://example.org/ready?deep=1");
    EXPECT_EQ(parsed("https://[::1]:8443?x"), "GET https://[::1]:8443/?x");
    EXPECT_EQ(parsed("cmd:  \"C:\\Tools\\check.exe\" --db"), "command \"C:\\Tools\\check.exe\" --db");
    for (const char* refused : {"tcp://::1:80", "tcp://host:0", "tcp://host:", "http://:80/", "http://host:x/",
                                "https://host/a b", "cmd: ", "udp://host:53", "http//host", "tcp://a b:1"})
        EXPECT_EQ(parsed(refused), "refused") << refused;
    // The setting keeps it as given, trimmed; "" is none.
    TServiceSettings settings = Set({{TSetting::HealthCheck, " tcp://:8080 "}});
    EXPECT_EQ(settings.HealthCheck, "tcp://:8080");
    EXPECT_EQ(SettingDisplay(Set({{TSetting::HealthCheck, ""}}), TSetting::HealthCheck, ""), "none");
    EXPECT_EQ(SetSetting(settings, TSetting::HealthCheck, "ftp://x").Reason(),
              "Health check: \"ftp://x\" is not tcp://HOST:PORT, an http:// or https:// URL, or cmd: and a command line");
}
