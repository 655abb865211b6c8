#include <gtest/gtest.h>

#include <windows.h>

#include "catalogue/IniFile.h"
#include "stub/BackOff.h"
#include "stub/Registration.h"
#include "stub/RestartRule.h"
#include "stub/StubCommand.h"
#include "stub/StubIdentity.h"
#include "stub/StubSettings.h"
#include "stub/Supervisor.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Paths.h"

namespace {

unsigned long SettingsFault(const std::function<void()>& load)
{
    try {
        load();
    } catch (const TSettingsError& error) {
        return error.ExitCode();
    }
    return 0;
}

} // namespace

TEST(StubIdentity, DescriptionComesFromTheFileName)
{
    EXPECT_EQ("Mail Relay", DescriptionFromPath("C:\\windows\\Vantorers\\Mail!Relay.exe"));
    EXPECT_EQ("Mail Relay", DescriptionFromPath("C:\\windows\\Vantorers\\Mail!Relay.EXE"));
    EXPECT_EQ("a  b", DescriptionFromPath("C:/x/a!!b.exe"));
    EXPECT_EQ("Plain", DescriptionFromPath("Plain"));
    // Only a trailing ".exe" goes; dots inside the name stay.
    EXPECT_EQ("v1.2 host", DescriptionFromPath("D:\\v1.2!host.exe"));
}

TEST(StubIdentity, PathsCompareWithoutLetterCaseOrSlashKind)
{
    EXPECT_TRUE(SameFilePath("C:\\Windows\\Vantorers\\A!B.exe", "c:/windows/vantorers/a!b.EXE"));
    EXPECT_FALSE(SameFilePath("C:\\Windows\\Vantorers\\A!B.exe", "C:\\Windows\\Vantorers\\A!C.exe"));
    EXPECT_FALSE(SameFilePath("", ""));
    EXPECT_EQ("C:\\", FolderOf("C:\\prog.exe"));
    EXPECT_EQ("C:\\Program Files\\x", FolderOf("C:\\Program Files\\x\\prog.exe"));
    EXPECT_EQ("", FolderOf("prog.exe"));
}

TEST(StubBackOff, FirstRestartAtOnceThenDoublingUpToTheCeiling)
{
    TBackOff backOff(1000, 5000, 30000);
    std::vector<uint32_t> waits;
    for (int i = 0; i < 6; ++i)
        waits.push_back(backOff.Next(10));
    EXPECT_EQ((std::vector<uint32_t>{0, 1000, 2000, 4000, 5000, 5000}), waits);
    // A steady run starts the sequence afresh.
    EXPECT_EQ(0u, backOff.Next(30000));
    EXPECT_EQ(1000u, backOff.Next(0));
}

TEST(StubBackOff, AProgramThatRanTenSecondsStartsAgainAtOnceOneThatDiesSoonerWaits)
{
    const TSupervisorTiming timing;
    TBackOff backOff(timing.FirstBackOffMs, timing.BackOffCeilingMs, timing.SteadyRunMs);
    EXPECT_EQ(0u, backOff.Next(9999));
    EXPECT_EQ(1000u, backOff.Next(9999));
    EXPECT_EQ(2000u, backOff.Next(500));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0u, backOff.Next(10000));
    EXPECT_EQ(1000u, backOff.Next(0));
}

TEST(StubBackOff, HugeFailureCountsStayAtTheCeiling)
{
    TBackOff backOff(1000, 60000, 30000);
    uint32_t wait = 0;
    for (int i = 0; i < 100; ++i)
        wait = backOff.Next(0);
    EXPECT_EQ(60000u, wait);
}

TEST(StubRestartRule, SuccessCodesNeverAndTheMostRestartsWithinTheirWindow)
{
    auto rule = [](std::initializer_list<std::pair<TSetting, const char*>> values) {
        TServiceSettings settings;
        for (const auto& [setting, text] : values)
            EXPECT_FALSE(SetSetting(settings, setting, text));
        return TRestartRule(settings, 1000, 60000, 10000);
    };
    TRestartRule onFailure = rule({{TSetting::Restart, "on-failure"}, {TSetting::SuccessCodes, "0,3"}});
    EXPECT_TRUE(onFailure.After(1, 0, 0).Restart);
    // A program that could not start failed.
    EXPECT_EQ(1000u, onFailure.After(std::nullopt, 0, 10).WaitMs);
    TRestartDecision success = onFailure.After(3, 0, 20);
    EXPECT_FALSE(success.Restart);
    EXPECT_EQ(0u, success.ServiceExitCode);

    TRestartRule never = rule({{TSetting::Restart, "never"}});
    EXPECT_EQ(0u, never.After(0, 0, 0).ServiceExitCode);
    TRestartDecision failed = never.After(1, 0, 0);
    EXPECT_FALSE(failed.Restart);
    EXPECT_EQ(ProgramFailedExitCode, failed.ServiceExitCode);

    // Two restarts within a minute: the third ending within it stops the
    // service; once the first has left the window there is room again.
    TRestartRule windowed = rule({{TSetting::MaxRestarts, "2"}, {TSetting::RestartWindow, "60"}});
    EXPECT_TRUE(windowed.After(0, 0, 0).Restart);
    EXPECT_TRUE(windowed.After(0, 0, 1000).Restart);
    TRestartDecision tooMany = windowed.After(0, 0, 59999);
    EXPECT_FALSE(tooMany.Restart);
    EXPECT_EQ(TooManyRestartsExitCode, tooMany.ServiceExitCode);
    EXPECT_EQ("the program ended with code 0 after 2 restarts within 60 s, the most allowed", tooMany.Why);
    // Told later as "gave up after 3 starts in 60 s".
    EXPECT_EQ(TEndReason::GaveUp, tooMany.Reason);
    EXPECT_EQ(3u, tooMany.CountedStarts);
    EXPECT_EQ(60u, tooMany.WindowSeconds);
    EXPECT_EQ(TEndReason::NotRestarted, failed.Reason);
    EXPECT_EQ(TEndReason::CannotStart, never.After(std::nullopt, 0, 0).Reason);
    EXPECT_TRUE(windowed.After(0, 0, 60000).Restart);
    EXPECT_FALSE(windowed.After(0, 0, 60500).Restart);
    // Without a window they count from the service's start.
    TRestartRule ever = rule({{TSetting::MaxRestarts, "1"}});
    EXPECT_TRUE(ever.After(1, 0, 0).Restart);
    EXPECT_FALSE(ever.After(1, 0, 86400000).Restart);
    // Without a maximum no restart is counted: one set later counts from then.
    TRestartRule unlimited = rule({});
    for (uint64_t at = 0; at < 3; ++at)
        EXPECT_TRUE(unlimited.After(1, 0, at).Restart);
    TServiceSettings capped;
    EXPECT_FALSE(SetSetting(capped, TSetting::MaxRestarts, "1"));
    unlimited.Update(capped, 1000, 60000);
    EXPECT_TRUE(unlimited.After(1, 0, 10).Restart);
    EXPECT_FALSE(unlimited.After(1, 0, 20).Restart);
}

// A program stopped as unhealthy failed, whatever its exit code says, and
// one that had to be ended is no program that could not start.
TEST(StubRestartRule, AnUnhealthyEndIsAFailure)
{
    TServiceSettings settings;
    EXPECT_FALSE(SetSetting(settings, TSetting::Restart, "on-failure"));
    TRestartRule onFailure(settings, 1000, 60000, 10000);
    EXPECT_TRUE(onFailure.After(0, 0, 0, true).Restart);
    EXPECT_FALSE(SetSetting(settings, TSetting::Restart, "never"));
    TRestartRule never(settings, 1000, 60000, 10000);
    const TRestartDecision ended = never.After(std::nullopt, 0, 0, true);
    EXPECT_FALSE(ended.Restart);
    EXPECT_EQ(ProgramFailedExitCode, ended.ServiceExitCode);
    EXPECT_EQ(TEndReason::NotRestarted, ended.Reason);
    EXPECT_EQ("the program was unhealthy and was stopped and is never restarted", ended.Why);
    EXPECT_EQ("the program was unhealthy and was stopped (exit code 0) and is never restarted",
              never.After(0, 0, 0, true).Why);
}

TEST(StubCommandLine, SwitchesAndUsage)
{
    const char* install[] = {"x", "-i"};
    const char* installSlash[] = {"x", "/I"};
    const char* uninstall[] = {"x", "-u"};
    const char* none[] = {"x"};
    const char* other[] = {"x", "-x"};
    const char* longer[] = {"x", "-install"};
    const char* two[] = {"x", "-i", "-u"};
    EXPECT_EQ(TStubCommand::Install, ParseCommand(2, install));
    EXPECT_EQ(TStubCommand::Install, ParseCommand(2, installSlash));
    EXPECT_EQ(TStubCommand::Uninstall, ParseCommand(2, uninstall));
    EXPECT_EQ(TStubCommand::Service, ParseCommand(1, none));
    EXPECT_EQ(TStubCommand::Usage, ParseCommand(2, other));
    EXPECT_EQ(TStubCommand::Usage, ParseCommand(2, longer));
    EXPECT_EQ(TStubCommand::Usage, ParseCommand(3, two));
    std::string usage = UsageText("C:\\windows\\Vantorers\\Mail!Relay.exe", "Mail Relay");
    EXPECT_NE(std::string::npos, usage.find("\"Mail Relay\""));
    EXPECT_NE(std::string::npos, usage.find("Mail!Relay.exe -i"));
    EXPECT_NE(std::string::npos, usage.find("Mail!Relay.exe -u"));
}

TEST(StubSettingsTest, ProgramIsQuotedBeforeItsParameters)
{
    EXPECT_EQ("\"C:\\Program Files\\a.exe\" -x \"y z\"", ProgramCommandLine("C:\\Program Files\\a.exe", "-x \"y z\""));
    EXPECT_EQ("\"a.exe\"", ProgramCommandLine("a.exe", ""));
}

TEST(StubSettingsTest, TheEntryIsTheOneThatNamesThisCopyElseTheOneNamedAfterIt)
{
    TTempFolder folder;
    std::string file = folder.File("catalogue.ini");
    std::string own = folder.File("My!Service.exe");
    TIniFile ini(file);
    ini.WriteString("My Service", "Vantorer", folder.File("MY!SERVICE.EXE"));
    ini.WriteString("My Service", "Program", "C:\\p.exe");
    ini.WriteString("My Service", "Parameters", "-a");
    ini.WriteString("My Service", "LogFile", "C:\\log.txt");
    ini.WriteString("My Service", "LogToFile", "1");
    ini.WriteString("My Service", "ServiceID", "12");
    TStubSettings settings = LoadSettings(own, file);
    EXPECT_EQ("My Service", settings.Description);
    EXPECT_EQ("C:\\p.exe", settings.Program);
    EXPECT_EQ("-a", settings.Parameters);
    EXPECT_EQ("C:\\log.txt", settings.LogFile);
    EXPECT_TRUE(settings.LogToFile);
    EXPECT_EQ(12, settings.ServiceID);
    // The ID the manager shows for the entry.
    for (auto [text, id] : {std::pair{"", 1}, {"twelve", 1}, {"0x", 1}, {"$10", 16}, {"-3", -3}}) {
        ini.WriteString("My Service", "ServiceID", text);
        EXPECT_EQ(id, LoadSettings(own, file).ServiceID) << text;
    }

    // An older entry whose description holds "!" names this copy.
    ini.WriteString("Status", "NumServices", "2");
    ini.WriteString("Status", "Service_1", "Other");
    ini.WriteString("Status", "Service_2", "My!Service");
    ini.WriteString("My!Service", "Vantorer", own);
    ini.WriteString("My!Service", "Program", "C:\\older.exe");
    ini.WriteString("My Service", "Vantorer", folder.File("Elsewhere.exe"));
    EXPECT_EQ("My!Service", OwnDescription(own, file));
    EXPECT_EQ("C:\\older.exe", LoadSettings(own, file).Program);
    // Read as the manager reads it, but a missing Program, which the manager
    // shows as "Service 2.exe", is none: the host looks for no such program.
    ini.WriteString("My!Service", "Parameters", "-b");
    ini.DeleteKey("My!Service", "Program");
    EXPECT_EQ("Service 2.exe", TCatalogueSnapshot(file).Entry(2).Program);
    EXPECT_EQ("", LoadSettings(own, file).Program);
    EXPECT_EQ("-b", LoadSettings(own, file).Parameters);

    // Named by none: the entry named after the file, which must not be
    // another copy's.
    ini.EraseSection("My!Service");
    EXPECT_EQ("My Service", OwnDescription(own, file));
    EXPECT_EQ(NotOwnEntryExitCode, SettingsFault([&] { LoadSettings(own, file); }));
    ini.DeleteKey("My Service", "Vantorer");
    EXPECT_EQ(NotOwnEntryExitCode, SettingsFault([&] { LoadSettings(own, file); }));
    ini.EraseSection("My Service");
    EXPECT_EQ(NoSectionExitCode, SettingsFault([&] { LoadSettings(own, file); }));
    EXPECT_EQ(NoSectionExitCode, SettingsFault([&] { LoadSettings(own, folder.File("none.ini")); }));
}

TEST(StubRegistration, ErrorNames)
{
    EXPECT_EQ("ERROR_ACCESS_DENIED", ErrorName(ERROR_ACCESS_DENIED));
    EXPECT_EQ("ERROR_SERVICE_MARKED_FOR_DELETE", ErrorName(ERROR_SERVICE_MARKED_FOR_DELETE));
    // Codes a registration meets that the manager's start and stop never name.
    EXPECT_EQ("ERROR_SERVICE_EXISTS", ErrorName(ERROR_SERVICE_EXISTS));
    EXPECT_EQ("ERROR_FILE_NOT_FOUND", ErrorName(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ("error 99999", ErrorName(99999));
}
