#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>
#include <functional>
#include <thread>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "catalogue/StubCopy.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "messaging/StatusPipe.h"
#include "tests/cli/QvRuns.h"
#include "tests/support/PipeSquatter.h"
#include "fixtures/Ports.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"

// What qv says a service and its program are doing, pushed on purpose: a
// service that gave up, a program that had to be ended, a host too busy to
// answer, a pipe another program serves.
namespace {

using nlohmann::json;

class StatusCommandsTest : public TQvServicesTest {
protected:
    // Adds the entry and installs it.
    void Installed(const std::string& name, const std::string& options)
    {
        services.push_back(name);
        Expect("add " + Quoted(name) + " --program " + Quoted(program) + " " + options, 0);
        Accepted("install " + Quoted(name));
    }
    TProgramResult Expect(const std::string& arguments, DWORD code, const std::string& outPart = "")
    {
        TProgramResult run = Qv(arguments);
        EXPECT_EQ(run.ExitCode, code) << arguments << "\nout: " << run.Out << "\nerr: " << run.Err;
        EXPECT_NE((run.Out + run.Err).find(outPart), std::string::npos) << arguments << ": " << run.Out << run.Err;
        return run;
    }
    // Done; Wine refuses the recovery actions that go with a maximum of
    // restarts (exit 6), and keeps the rest.
    void Accepted(const std::string& arguments)
    {
        TProgramResult run = Qv(arguments);
        EXPECT_TRUE(run.ExitCode == 0 || (run.ExitCode == 6 && run.Err.find("the recovery actions") != std::string::npos))
            << arguments << "\nout: " << run.Out << "\nerr: " << run.Err;
    }
    // Adds the entry and installs it with a stand-in for the host as its
    // service, the stand-in's mode after the service's name; the mode comes
    // from the entry's service ID.
    void StandInHost(const std::string& name, const std::function<std::string(int)>& mode)
    {
        services.push_back(name);
        Expect("add " + Quoted(name) + " --program " + Quoted(program), 0);
        const std::string copy = StubCopyFile(name);
        CreateDirectoryA(StubFolder().c_str(), nullptr);
        ASSERT_TRUE(CopyFileA(WindowsPath(TEST_SERVICE).c_str(), copy.c_str(), FALSE));
        ASSERT_TRUE(CreateTestService(name, Quoted(copy) + " " + Quoted(name) + " " + mode(ServiceID(name))));
        TIniFile(CatalogueFileName).WriteString(name, VantorerKey, copy);
        TIniFile(CatalogueFileName).WriteBool(name, InstalledKey, true);
    }
    int ServiceID(const std::string& name) { return json::parse(Qv("show " + Quoted(name) + " --json").Out)["serviceId"]; }
};

} // namespace

TEST_F(StatusCommandsTest, AServiceThatGaveUpOrWhoseProgramEndedForGoodSaysHowEverywhere)
{
    const std::string name = "QV Giving Up";
    TTempFolder folder;
    Installed(name, "--parameters exit:3 --restart-delay 30 --max-restarts 2 --restart-window 60 --log-file " +
                        Quoted(folder.File("up.log")));
    // It keeps exiting: no start is a success, also of a service running
    // already, and a host that runs is not uninstalled while it waits.
    TProgramResult start = Expect("start " + Quoted(name), 10, "started, but its program keeps exiting");
    EXPECT_EQ(start.Out.find("successfully"), std::string::npos) << start.Out;
    Expect("start " + Quoted(name), 10, "started, but its program keeps exiting");
    Expect("uninstall " + Quoted(name), 9, "is Running");
    Expect("stop " + Quoted(name), 0, "The service was successfully stopped !");

    Accepted("set " + Quoted(name) + " --restart-delay 1");
    Expect("start " + Quoted(name), 10);
    ASSERT_TRUE(WaitForServiceState(name, SERVICE_STOPPED));
    const std::string gaveUp = "gave up after 3 starts in 60 s, last exit code 3";
    Expect("status " + Quoted(name), 0, gaveUp);
    Expect("list", 0, "stopped (" + gaveUp + ")");
    Expect("check " + Quoted(name), 7, "NOT active ! (service stopped: " + gaveUp + ")");
    json status = json::parse(Qv("status " + Quoted(name) + " --json").Out);
    EXPECT_EQ(status["lastEnd"]["reason"], "gave up");
    EXPECT_EQ(status["lastEnd"]["lastExitCode"], 3);

    // A success under on-failure ends the service; its exit code is told,
    // and a start that waits for the program says it did not stay up.
    Accepted("set " + Quoted(name) + " --restart on-failure --success-codes 3");
    Expect("start " + Quoted(name), 10, "ended, and its service with it: ");
    ASSERT_TRUE(WaitFor([&] { return ServiceState(name) == SERVICE_STOPPED; }, 15000));
    Expect("start --settle 0 " + Quoted(name), 0);
    ASSERT_TRUE(WaitFor([&] { return ServiceState(name) == SERVICE_STOPPED; }, 15000));
    TProgramResult ended = Expect("status " + Quoted(name), 0, "Last exit:    code 3");
    EXPECT_NE(ended.Out.find("a success, and is restarted only after a failure"), std::string::npos) << ended.Out;
    Expect("check " + Quoted(name), 7, "restarted only after a failure");
}

TEST_F(StatusCommandsTest, AStartWhoseHostEndsItsServiceBeforeAnsweringIsNoSuccess)
{
    // The host has no pipe yet when first asked, and ends its service a
    // moment later: that is how a host that gave up looks, not an older one.
    const std::string name = "QV Ending Host";
    StandInHost(name, [](int) { return "give-up 1500"; });
    Expect("start " + Quoted(name), 10,
           "started, but its program ended, and its service with it: gave up: the program ended more often than "
           "its restarts allow");
}

TEST_F(StatusCommandsTest, AStopSaysWhenTheProgramHadToBeEnded)
{
    const std::string name = "QV Deaf";
    Installed(name, "--parameters \"nobreak wait\" --stop-timeout 1");
    Expect("start " + Quoted(name), 0, "The service was successfully initiated !");
    Expect("stop " + Quoted(name), 0, "The service was stopped; the program did not end within 1 s and was ended.");
    Expect("status " + Quoted(name), 0, "stopped on request; the program did not end within 1 s and was ended");
}

TEST_F(StatusCommandsTest, AHostTooBusyToAnswerLeavesTheProgramNotKnownNeverNotActive)
{
    const std::string name = "QV Hung " + std::to_string(GetCurrentProcessId());
    // A host copy that takes every question and answers none.
    StandInHost(name, [](int id) { return "hang-status " + std::to_string(id); });
    Expect("start --settle 0 " + Quoted(name), 0);
    const std::string late = "the service host did not answer in time";
    Expect("check " + Quoted(name), 12, "Whether the service \"" + name + "\" is active is not known: " + late);
    json checked = json::parse(Qv("check " + Quoted(name) + " --json").Out);
    EXPECT_TRUE(checked["active"].is_null());
    EXPECT_EQ(checked["programNotKnown"], late);
    Expect("status " + Quoted(name), 0, "Program:      not known: " + late);
    Expect("list", 0, "running (the program's state is not known: " + late + ")");
}

TEST_F(StatusCommandsTest, AStartBelievesOnlyItsOwnHostAndNeverOpensAFileAnAnswerNames)
{
    const std::string name = "QV Squatted";
    TTempFolder folder;
    Installed(name, "--parameters wait --log-file " + Quoted(folder.File("own.log")));
    // Before the service starts, another program serves its pipe's name and
    // answers that the program keeps failing, its log a pipe of its own.
    TPipeSquatter trap("\\\\.\\pipe\\QV trap " + std::to_string(GetCurrentProcessId()), "caught\n");
    TProgramStatus forged;
    forged.Description = name;
    forged.State = TProgramState::BackingOff;
    forged.LastExitCode = 77;
    forged.Starts = 5;
    forged.LogFile = "\\\\.\\pipe\\QV trap " + std::to_string(GetCurrentProcessId());
    forged.LogFileOpen = true;
    TPipeSquatter squatter(StatusPipeName(ServiceID(name)), StatusAnswer(forged));
    // Under Wine the host serves the name beside the squatter, and a client
    // meets either: none of the squatter's answer may show.
    for (const char* command : {"start", "status", "check", "list"}) {
        TProgramResult run = Qv(std::string(command) + " " + (std::string(command) == "list" ? "" : Quoted(name)));
        EXPECT_TRUE(run.ExitCode == 0 || run.ExitCode == 12) << command << ": " << run.Out << run.Err;
        EXPECT_EQ((run.Out + run.Err).find("77"), std::string::npos) << command << ": " << run.Out << run.Err;
        EXPECT_EQ((run.Out + run.Err).find("QV trap"), std::string::npos) << command << ": " << run.Out << run.Err;
    }
    EXPECT_GT(squatter.Clients(), 0) << "the squatter was never met: the test proves nothing";
    EXPECT_EQ(trap.Clients(), 0) << "a path from a forged answer was opened";
}

TEST_F(StatusCommandsTest, AStartWaitsForTheFirstPassingCheckAndEveryoneSaysTheProgramsHealth)
{
    const std::string name = "QV Health";
    TTempFolder folder;
    const std::string port = std::to_string(FreePort());
    const std::string url = "http://127.0.0.1:" + port + "/health";
    services.push_back(name);
    // The server reads its control file from its working folder.
    Expect("add " + Quoted(name) + " --program " + Quoted(WindowsPath(HEALTH_TEST_SERVER)) + " --parameters \"" + port +
               " control\" --working-dir " + Quoted(folder.Path()) + " --health-check " + url +
               " --health-interval 1 --health-timeout 1 --health-retries 2 --health-action none",
           0);
    Accepted("install " + Quoted(name));
    Expect("show " + Quoted(name), 0, "Health check:" + std::string(11, ' ') + url);
    Expect("start " + Quoted(name), 0, "The service was successfully initiated !");
    Expect("check " + Quoted(name), 0, "IS currently active ! (program healthy)");
    EXPECT_EQ(json::parse(Qv("check " + Quoted(name) + " --json").Out)["health"], "healthy");
    Expect("list", 0, "running, healthy");
    Expect("status " + Quoted(name), 0, "Health:       healthy; last check ");

    // Failing and only reported: still active, and unhealthy.
    WriteTextFile(folder.File("control"), "500");
    ASSERT_TRUE(WaitFor([&] {
        return json::parse(Qv("status " + Quoted(name) + " --json").Out)["program"]["health"] == "unhealthy";
    }, 20000, 200));
    Expect("check " + Quoted(name), 0, "IS currently active ! (program unhealthy: HTTP 500 (");
    Expect("list", 0, "running, unhealthy: HTTP 500 (");
    const json program = json::parse(Qv("status " + Quoted(name) + " --json").Out)["program"];
    EXPECT_EQ(program["healthResult"], "HTTP 500");
    EXPECT_EQ(program["healthRetries"], 2);
    EXPECT_GE(program["healthFailures"].get<int>(), 2);

    // A start whose program never passes its check says so, with its own
    // exit code and the last check's result.
    Expect("stop " + Quoted(name), 0);
    Expect("start " + Quoted(name), 13, "started, but its program ");
    Expect("start " + Quoted(name), 13, "HTTP 500");
    Expect("stop " + Quoted(name), 0);
    Accepted("set " + Quoted(name) + " --health-retries 5");
    Expect("start " + Quoted(name), 13, "started, but its program did not pass its health check within 2 s: HTTP 500");
    Expect("stop " + Quoted(name), 0);
    // The start period gives a slow program its time: the start waits for
    // it.
    Accepted("set " + Quoted(name) + " --health-start-period 6");
    std::thread ready([&] {
        Sleep(4000);
        WriteTextFile(folder.File("control"), "200");
    });
    Expect("start " + Quoted(name), 0, "The service was successfully initiated !");
    ready.join();
    Expect("stop " + Quoted(name), 0);
}

TEST_F(StatusCommandsTest, TheListAlignsItsColumnsByTheCharactersAConsoleShows)
{
    for (const std::string name : {"Caf\xC3\xA9 \xCE\xA9mega \xD0\x96uk", "Plain"}) {
        services.push_back(name);
        Expect("add " + Quoted(name) + " --program " + Quoted(program), 0);
    }
    const std::string out = Expect("list", 0).Out;
    // The ID column starts at the same character in every line.
    std::vector<size_t> columns;
    size_t lineStart = 0;
    for (size_t end = out.find('\n'); end != std::string::npos; lineStart = end + 1, end = out.find('\n', lineStart)) {
        const std::string line = out.substr(lineStart, end - lineStart);
        const size_t id = line.find_first_not_of(' ', line.find("  "));
        size_t characters = 0;
        for (size_t i = 0; i < id; ++i)
            characters += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
        columns.push_back(characters);
    }
    ASSERT_EQ(columns.size(), 3u) << out;
    EXPECT_EQ(columns[0], columns[1]) << out;
    EXPECT_EQ(columns[0], columns[2]) << out;
}
