#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <mutex>

#include "catalogue/HealthTarget.h"
#include "stub/HealthMonitor.h"
#include "stub/Supervisor.h"
#include "tests/stub/StubTestSupport.h"
#include "fixtures/Ports.h"
#include "tests/support/TempFiles.h"

// The health check: a server of our own that answers, fails, hangs or
// refuses as a file tells it, checked by the monitor alone (with checks a
// few milliseconds apart) and by the supervisor (with the settings' seconds).
namespace {

const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);
const std::string TestServer = WindowsPath(HEALTH_TEST_SERVER);

// The server's control file and port, in a folder of their own.
struct TServerPlace {
    TTempFolder Folder;
    std::string Control = Folder.File("control");
    unsigned Port = FreePort();

    void Tell(const std::string& mode) { WriteTextFile(Control, mode); }
    std::string Parameters(const std::string& more = "") const
    {
        return std::to_string(Port) + " \"" + Control + "\"" + (more.empty() ? "" : " " + more);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(Port) + "/health"; }
};

// The server as a process of its own, outside any supervisor.
class TServer : public TServerPlace {
public:
    explicit TServer(const std::string& more = "")
    {
        std::string line = "\"" + TestServer + "\" " + Parameters(more);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (StartProcess(line.data(), FALSE, CREATE_NO_WINDOW, nullptr, &startup, &started)) {
            process_ = TKernelHandle(started.hProcess);
            CloseHandle(started.hThread);
        }
    }
    ~TServer()
    {
        TerminateProcess(process_.Get(), 0);
        WaitForSingleObject(process_.Get(), 5000);
    }

private:
    TKernelHandle process_;
};

THealthPlan Plan(const std::string& check, uint32_t intervalMs = 100, uint32_t timeoutMs = 500, unsigned retries = 2)
{
    THealthPlan plan;
    plan.Target = *ParseHealthTarget(check);
    plan.IntervalMs = intervalMs;
    plan.StartIntervalMs = intervalMs;
    plan.TimeoutMs = timeoutMs;
    plan.Retries = retries;
    return plan;
}

// A monitor whose every report is kept, with the log it writes to.
class TWatched {
public:
    TWatched()
        : log_(std::make_shared<TRecordingLog>()),
          monitor_(log_, [this](const THealthReport& report) {
              std::lock_guard<std::mutex> hold(lock_);
              reports_.push_back(report);
          })
    {
    }
    THealthMonitor& Monitor() { return monitor_; }
    TRecordingLog& Log() { return *log_; }
    THealthReport Last()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return reports_.empty() ? THealthReport{} : reports_.back();
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return reports_.size();
    }
    bool Becomes(const std::string& health, DWORD timeoutMs = 10000)
    {
        return WaitFor([&] { return Last().Health == health; }, timeoutMs);
    }
    bool RestartWanted() { return WaitForSingleObject(monitor_.RestartWanted(), 0) == WAIT_OBJECT_0; }

private:
    std::shared_ptr<TRecordingLog> log_;
    std::mutex lock_;
    std::vector<THealthReport> reports_;
    THealthMonitor monitor_;
};

// The pid a test program wrote to the file, 0 until it has.
DWORD PidIn(const std::string& path)
{
    const std::string text = ReadTextFile(path);
    return text.empty() ? 0 : static_cast<DWORD>(std::stoul(text));
}

} // namespace

TEST(HealthMonitor, AnHttpCheckCountsFailuresInARowAndOnlyTheRestartActionAsksForARestart)
{
    TServer server;
    TWatched watched;
    const std::string what = "GET " + server.Url();
    watched.Monitor().Begin(Plan(server.Url()));
    EXPECT_EQ(watched.Last().Health, HealthStarting);
    ASSERT_TRUE(watched.Becomes(HealthHealthy)) << Joined(watched.Log().Lines());
    EXPECT_EQ(watched.Last().Result, "HTTP 200");
    EXPECT_EQ(watched.Last().Retries, 2u);
    EXPECT_FALSE(watched.Last().CheckedAt.empty());
    EXPECT_TRUE(watched.Log().Has("info: health: healthy: " + what + " passed (HTTP 200)"));

    server.Tell("500");
    ASSERT_TRUE(WaitFor([&] { return watched.RestartWanted(); }, 10000)) << Joined(watched.Log().Lines());
    EXPECT_EQ(watched.Last().Health, HealthUnhealthy);
    EXPECT_EQ(watched.Last().Failures, 2u);
    EXPECT_EQ(watched.Last().Result, "HTTP 500");
    EXPECT_TRUE(watched.Log().Has("warning: health: " + what + " failed: HTTP 500 (1 of 2)"));
    EXPECT_TRUE(watched.Log().Has("warning: health: " + what + " failed: HTTP 500 (2 of 2)"));
    EXPECT_TRUE(watched.Log().Has("warning: health: unhealthy after 2 failures; restarting the program"));
    watched.Monitor().End();
    EXPECT_FALSE(watched.RestartWanted());

    // Only reported: the failures go on counting, the log tells the verdict
    // once, and no restart is asked for.
    THealthPlan reported = Plan(server.Url());
    reported.Action = THealthAction::None;
    watched.Monitor().Begin(reported);
    EXPECT_EQ(watched.Last().Health, HealthStarting);
    EXPECT_EQ(watched.Last().Failures, 0u);
    ASSERT_TRUE(WaitFor([&] { return watched.Last().Failures >= 4; }, 10000)) << Joined(watched.Log().Lines());
    EXPECT_FALSE(watched.RestartWanted());
    EXPECT_EQ(watched.Last().Health, HealthUnhealthy);
    EXPECT_TRUE(watched.Log().Has("health: unhealthy after 2 failures; the program is left running (health action none)"));
    EXPECT_EQ(watched.Log().Count(" failed: HTTP 500 ("), 4);

    server.Tell("200");
    ASSERT_TRUE(watched.Becomes(HealthHealthy));
    EXPECT_TRUE(watched.Log().Has("info: health: healthy again: " + what + " passed (HTTP 200)"));
    // A 3xx is an answer too, not followed anywhere.
    server.Tell("302");
    ASSERT_TRUE(WaitFor([&] { return watched.Last().Result == "HTTP 302"; }, 10000));
    EXPECT_EQ(watched.Last().Health, HealthHealthy);
    EXPECT_EQ(watched.Last().Failures, 0u);
    // A server that takes the connection and never answers.
    server.Tell("hang");
    ASSERT_TRUE(watched.Becomes(HealthUnhealthy)) << Joined(watched.Log().Lines());
    EXPECT_EQ(watched.Last().Result, "no answer in 500 ms");
    EXPECT_TRUE(watched.Log().Has(" failed: no answer in 500 ms (2 of 2)"));
    watched.Monitor().End();
    EXPECT_FALSE(watched.RestartWanted());

    // HTTPS to a server that speaks no TLS is no answer of its.
    server.Tell("200");
    TKernelHandle cancel(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    THealthProbe probe;
    const THealthResult secure =
        probe.Run(Plan("https://127.0.0.1:" + std::to_string(server.Port) + "/health", 100, 3000), cancel.Get());
    EXPECT_FALSE(secure.Passed);
    EXPECT_EQ(secure.Result, "the secure connection failed");
}

TEST(HealthMonitor, FailuresInTheStartPeriodDoNotCountAndATcpCheckNeedsOnlyAConnection)
{
    TServer late("refuse-for:1500");
    TWatched watched;
    THealthPlan plan = Plan("tcp://127.0.0.1:" + std::to_string(late.Port), 100, 500, 1);
    plan.StartPeriodMs = 60000;
    watched.Monitor().Begin(plan);
    ASSERT_TRUE(WaitFor([&] { return watched.Last().Result == "connection refused"; }, 10000));
    EXPECT_EQ(watched.Last().Health, HealthStarting);
    EXPECT_EQ(watched.Last().Failures, 0u);
    ASSERT_TRUE(watched.Becomes(HealthHealthy)) << Joined(watched.Log().Lines());
    EXPECT_EQ(watched.Last().Result, "connected");
    EXPECT_FALSE(watched.Log().Has("failed"));
    EXPECT_FALSE(watched.RestartWanted());
    // Once it passed, a failure counts, start period or not.
    late.Tell("refuse");
    ASSERT_TRUE(watched.Becomes(HealthUnhealthy)) << Joined(watched.Log().Lines());
    EXPECT_TRUE(watched.RestartWanted());

    // Past the start period (none here), the first refusal counts.
    TWatched closed;
    closed.Monitor().Begin(Plan("tcp://:" + std::to_string(FreePort()), 100, 500, 1));
    ASSERT_TRUE(closed.Becomes(HealthUnhealthy));
    EXPECT_EQ(closed.Last().Result, "connection refused");
    EXPECT_TRUE(closed.RestartWanted());
    EXPECT_TRUE(closed.Log().Has("warning: health: connect to 127.0.0.1:"));
    // A name is looked up first, within the check's time.
    TKernelHandle cancel(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    THealthProbe probe;
    EXPECT_EQ(probe.Run(Plan("tcp://localhost:" + std::to_string(late.Port)), cancel.Get()).Result, "connection refused");
    late.Tell("200");
    EXPECT_TRUE(WaitFor([&] {
        return probe.Run(Plan("tcp://localhost:" + std::to_string(late.Port)), cancel.Get()).Passed;
    }, 5000));
}

TEST(HealthMonitor, ACommandPassesOnExitCodeZeroAndOneThatOverrunsIsEndedWithItsTree)
{
    TTempFolder folder;
    TServiceSettings service;
    ASSERT_FALSE(SetVariable(service, "QV_HEALTH_TEST", "entry"));
    ASSERT_FALSE(SetSetting(service, TSetting::WorkingFolder, folder.Path()));
    TStubSettings settings;
    settings.Program = TestProgram;
    settings.Service = service;
    auto plan = [&](const std::string& steps, uint32_t timeoutMs = 10000) {
        settings.Service.HealthCheck = "cmd:\"" + TestProgram + "\" " + steps;
        THealthPlan made = *HealthPlanOf(settings);
        made.TimeoutMs = timeoutMs;
        return made;
    };
    TKernelHandle cancel(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    THealthProbe probe;
    // Its first line of output is told, in the entry's folder and
    // environment.
    THealthResult result = probe.Run(plan("out:db-down out:second exit:1"), cancel.Get());
    EXPECT_FALSE(result.Passed);
    EXPECT_EQ(result.Result, "exit code 1: db-down");
    result = probe.Run(plan("env:QV_HEALTH_TEST"), cancel.Get());
    EXPECT_TRUE(result.Passed);
    EXPECT_EQ(result.Result, "exit code 0: env QV_HEALTH_TEST=entry");
    result = probe.Run(plan("cwd exit:3"), cancel.Get());
    EXPECT_EQ(result.Result, "exit code 3: cwd " + folder.Path());
    result = probe.Run(plan("exit:0"), cancel.Get());
    EXPECT_TRUE(result.Passed);
    EXPECT_EQ(result.Result, "exit code 0");

    const std::string own = folder.File("own.pid"), child = folder.File("child.pid");
    result = probe.Run(plan("pidto:\"" + own + "\" childpidto:\"" + child + "\" child wait", 1500), cancel.Get());
    EXPECT_FALSE(result.Passed);
    EXPECT_EQ(result.Result, "did not end within 1 s; ended with its tree");
    ASSERT_NE(PidIn(own), 0u);
    ASSERT_NE(PidIn(child), 0u);
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(PidIn(own)) && !ProcessRunning(PidIn(child)); }, 5000));

    // One that cannot be run at all fails with the system's reason.
    settings.Service.HealthCheck = "cmd:C:\\no such folder\\check.exe";
    result = probe.Run(*HealthPlanOf(settings), cancel.Get());
    EXPECT_FALSE(result.Passed);
    EXPECT_EQ(result.Result.rfind("cannot run the command: ", 0), 0u) << result.Result;
}

TEST(HealthMonitor, TheEndOfARunCallsItsCheckOffAtOnceAndNothingOfItCounts)
{
    TTempFolder folder;
    const std::string own = folder.File("own.pid"), child = folder.File("child.pid");
    TWatched watched;
    THealthPlan plan = Plan("cmd:\"" + TestProgram + "\" pidto:\"" + own + "\" childpidto:\"" + child + "\" child wait",
                            100, 3600 * 1000, 1);
    watched.Monitor().Begin(plan);
    ASSERT_TRUE(WaitFor([&] { return PidIn(own) != 0 && PidIn(child) != 0; }, 10000));
    const size_t reports = watched.Count();
    watched.Monitor().End();
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(PidIn(own)) && !ProcessRunning(PidIn(child)); }, 5000));
    Sleep(300);
    EXPECT_EQ(watched.Count(), reports);
    EXPECT_EQ(watched.Last().Health, HealthStarting);
    EXPECT_TRUE(watched.Last().CheckedAt.empty());
}

// The supervisor with the entry's settings, in seconds, and the server as
// its program.
TEST(HealthSupervisor, AProgramThatHangsIsRestartedAfterItsRetriesAsAFailureWhileOneOnlyReportedOrStartingRunsOn)
{
    auto settings = [](const std::string& check, std::initializer_list<std::pair<TSetting, std::string>> more) {
        TServiceSettings service;
        EXPECT_FALSE(SetSetting(service, TSetting::HealthCheck, check));
        EXPECT_FALSE(SetSetting(service, TSetting::HealthInterval, "1"));
        EXPECT_FALSE(SetSetting(service, TSetting::HealthTimeout, "1"));
        for (const auto& [setting, value] : more)
            EXPECT_FALSE(SetSetting(service, setting, value)) << value;
        return service;
    };
    // Hangs once it was healthy; each restart counts against the maximum.
    TServerPlace hanging, slow, failing;
    TRunningSupervisor hung(TestServer, hanging.Parameters(), QuickTiming(), nullptr,
                            settings(hanging.Url(), {{TSetting::HealthRetries, "2"}, {TSetting::MaxRestarts, "1"}}));
    // Refuses connections during its start period.
    TRunningSupervisor starting(TestServer, slow.Parameters("refuse-for:2500"), QuickTiming(), nullptr,
                                settings("tcp://:" + std::to_string(slow.Port),
                                         {{TSetting::HealthRetries, "1"}, {TSetting::HealthStartPeriod, "30"}}));
    // Fails, and is only reported.
    failing.Tell("500");
    TRunningSupervisor reported(TestServer, failing.Parameters(), QuickTiming(), nullptr,
                                settings(failing.Url(), {{TSetting::HealthRetries, "1"}, {TSetting::HealthAction, "none"}}));
    // No check: as before checks existed.
    TRunningSupervisor plain(TestProgram, "wait");

    ASSERT_TRUE(WaitFor([&] { return hung.Supervisor().Status().Health == HealthHealthy; }, 15000))
        << Joined(hung.Log().Lines());
    EXPECT_EQ(hung.Supervisor().Status().HealthResult, "HTTP 200");
    hanging.Tell("hang");
    ASSERT_TRUE(WaitFor([&] { return hung.Ended(); }, 30000)) << Joined(hung.Log().Lines());
    EXPECT_EQ(hung.ExitCode(), TooManyRestartsExitCode);
    EXPECT_EQ(hung.Log().Count("warning: health: unhealthy after 2 failures; restarting the program"), 2)
        << Joined(hung.Log().Lines());
    EXPECT_TRUE(hung.Log().Has(" failed: no answer in 1 s (2 of 2)"));
    // Stopped the polite way: the server heard Ctrl+C.
    EXPECT_EQ(hung.Log().Count("out: got ctrl-c"), 2);
    EXPECT_TRUE(hung.Log().Has("warning: stopping the service: the program was unhealthy and was stopped (exit code 0) "
                               "after 1 restarts since the service started, the most allowed"))
        << Joined(hung.Log().Lines());
    const TServiceEnd gaveUp = hung.Supervisor().End();
    EXPECT_EQ(gaveUp.Reason, TEndReason::GaveUp);
    EXPECT_EQ(gaveUp.CountedStarts, 2u);
    EXPECT_EQ(hung.Supervisor().Status().Starts, 2u);

    ASSERT_TRUE(WaitFor([&] { return starting.Supervisor().Status().Health == HealthHealthy; }, 15000))
        << Joined(starting.Log().Lines());
    EXPECT_EQ(starting.Supervisor().Status().Starts, 1u);
    EXPECT_EQ(starting.Supervisor().Status().HealthFailures, 0u);
    EXPECT_FALSE(starting.Log().Has("failed"));

    ASSERT_TRUE(WaitFor([&] { return reported.Supervisor().Status().HealthFailures >= 3; }, 15000))
        << Joined(reported.Log().Lines());
    const TProgramStatus status = reported.Supervisor().Status();
    EXPECT_EQ(status.Health, HealthUnhealthy);
    EXPECT_EQ(status.HealthResult, "HTTP 500");
    EXPECT_EQ(status.HealthRetries, 1u);
    EXPECT_EQ(status.State, TProgramState::Running);
    EXPECT_EQ(status.Starts, 1u);
    EXPECT_TRUE(reported.Log().Has("the program is left running (health action none)"));
    EXPECT_FALSE(reported.Log().Has("restarting"));

    EXPECT_EQ(plain.Supervisor().Status().Health, "");
    EXPECT_EQ(plain.Supervisor().Status().HealthRetries, 0u);
    EXPECT_FALSE(plain.Log().Has("health: "));
}

TEST(HealthSupervisor, AStopDuringACheckEndsAtOnceAndTakesTheChecksTreeWithIt)
{
    TTempFolder folder;
    const std::string own = folder.File("own.pid"), child = folder.File("child.pid");
    TServiceSettings service;
    ASSERT_FALSE(SetSetting(service, TSetting::HealthCheck,
                            "cmd:\"" + TestProgram + "\" pidto:\"" + own + "\" childpidto:\"" + child + "\" child wait"));
    ASSERT_FALSE(SetSetting(service, TSetting::HealthInterval, "1"));
    ASSERT_FALSE(SetSetting(service, TSetting::HealthTimeout, "3600"));
    TRunningSupervisor run(TestProgram, "wait", QuickTiming(), nullptr, service);
    ASSERT_TRUE(WaitFor([&] { return PidIn(own) != 0 && PidIn(child) != 0; }, 10000)) << Joined(run.Log().Lines());
    run.AskToStop();
    // An hour's check does not hold the stop up.
    ASSERT_TRUE(WaitFor([&] { return run.Ended(); }, 10000)) << Joined(run.Log().Lines());
    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(PidIn(own)) && !ProcessRunning(PidIn(child)); }, 5000));
    EXPECT_EQ(run.Supervisor().End().Reason, TEndReason::Requested);
}
