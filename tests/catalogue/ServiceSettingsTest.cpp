#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

#include "catalogue/Catalogue.h"
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
             {TSetting::ServiceText, " \"Relays mail\" "}});
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
        {TSetting::DependsOn, "a\\b"},       {TSetting::LogDaily, "maybe"},     {TSetting::LogMode, "binary"},
    };
    for (const auto& [setting, text] : refused) {
        TServiceSettings settings;
        EXPECT_EQ(0u, SetSetting(settings, setting, text).Reason().find(std::string(InfoOf(setting).Label) + ": \"" + text))
            << text;
        EXPECT_EQ(TServiceSettings{}, settings) << text;
    }
    TServiceSettings settings;
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
