#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "stub/LivenessListener.h"
#include "stub/Supervisor.h"
#include "tests/stub/StubTestSupport.h"

namespace {

const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);

TSupervisorTiming QuickTiming()
{
    TSupervisorTiming timing;
    timing.FirstBackOffMs = 50;
    timing.BackOffCeilingMs = 200;
    timing.SteadyRunMs = 60000;
    timing.GracefulEndMs = 2000;
    timing.DrainMs = 1000;
    return timing;
}

// A supervisor running on its own thread until the test stops it.
class TRunningSupervisor {
public:
    TRunningSupervisor(const std::string& program, const std::string& parameters,
                       TSupervisorTiming timing = QuickTiming())
        : log_(std::make_shared<TRecordingLog>()), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        TStubSettings settings;
        settings.Description = "supervisor test";
        settings.Program = program;
        settings.Parameters = parameters;
        supervisor_ = std::make_unique<TSupervisor>(settings, log_, true, stop_, timing);
        thread_ = std::thread([this] { supervisor_->Run([this] { ++progress_; }); });
    }
    ~TRunningSupervisor()
    {
        Stop();
        CloseHandle(stop_);
    }
    void Stop()
    {
        SetEvent(stop_);
        if (thread_.joinable())
            thread_.join();
    }
    TRecordingLog& Log() { return *log_; }
    int Progress() const { return progress_; }
    bool ProgramRunning() const { return supervisor_->ProgramRunning(); }
    void AskToStop() { SetEvent(stop_); }

private:
    std::shared_ptr<TRecordingLog> log_;
    HANDLE stop_;
    std::unique_ptr<TSupervisor> supervisor_;
    std::thread thread_;
    int progress_ = 0;
};

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

void Send(int serviceID, const std::string& bytes)
{
    TKernelHandle slot(CreateFileA(LocalMailslotName(ServiceSlotAlias(serviceID)).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(slot);
    DWORD written = 0;
    WriteFile(slot.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string Slot(const std::string& text)
{
    std::string slot = text;
    slot.resize(50, '\0');
    return slot;
}

// The next reply in the server, or "" when none comes within a few seconds.
std::string NextReply(TMailSlot& server)
{
    if (!WaitFor([&] { return server.MsgCount() > 0; }, 5000))
        return "";
    char buffer[51] = {};
    server.ReadMsg(buffer, 50);
    return buffer;
}

std::unique_ptr<TMailSlot> ReplyServer(const std::string& alias)
{
    auto server = std::make_unique<TMailSlot>();
    server->SetMsgSize(50);
    server->SetAlias(alias);
    server->SetActive(true);
    return server;
}

} // namespace

TEST(StubSupervisor, LogsOutputAndRestartsWithGrowingWaits)
{
    TRunningSupervisor run(TestProgram, "out:hello err:oops crash");
    ASSERT_TRUE(WaitFor([&] { return run.Log().Count("restarting in") >= 4; }, 10000)) << Joined(run.Log().Lines());
    run.Stop();
    std::vector<std::string> lines = run.Log().Lines();
    std::vector<std::string> waits;
    for (const std::string& line : lines)
        if (line.find("restarting in") != std::string::npos)
            waits.push_back(line);
    ASSERT_GE(waits.size(), 4u);
    EXPECT_EQ("info: restarting in 0 ms", waits[0]);
    EXPECT_EQ("info: restarting in 50 ms", waits[1]);
    EXPECT_EQ("info: restarting in 100 ms", waits[2]);
    EXPECT_EQ("info: restarting in 200 ms", waits[3]);
    // Whole lines, without the carriage return the program wrote.
    EXPECT_TRUE(HasLine(lines, "out: hello")) << Joined(lines);
    EXPECT_TRUE(HasLine(lines, "err: oops"));
    EXPECT_TRUE(run.Log().Has("warning: program exited with code 3221225477"));
    EXPECT_TRUE(run.Log().Has("started \"" + TestProgram + "\" out:hello err:oops crash with pid "));
    // Nothing starts once the stop was seen.
    EXPECT_NE(std::string::npos, lines.back().find("stopping"));
}

TEST(StubSupervisor, ARunLongerThanASteadyOneStartsTheWaitsAfresh)
{
    TSupervisorTiming timing = QuickTiming();
    timing.SteadyRunMs = 300;
    TRunningSupervisor run(TestProgram, "sleep:400 exit:3", timing);
    ASSERT_TRUE(WaitFor([&] { return run.Log().Count("restarting in") >= 3; }, 10000)) << Joined(run.Log().Lines());
    run.Stop();
    EXPECT_EQ(run.Log().Count("restarting in"), run.Log().Count("info: restarting in 0 ms")) << Joined(run.Log().Lines());
}

TEST(StubSupervisor, TheProgramCountsAsRunningOnlyWhileItsProcessRuns)
{
    TSupervisorTiming timing = QuickTiming();
    timing.FirstBackOffMs = timing.BackOffCeilingMs = 60000;
    TRunningSupervisor quitter(TestProgram, "exit:3", timing);
    ASSERT_TRUE(WaitFor([&] { return quitter.Log().Has("restarting in 60000 ms"); }, 10000));
    EXPECT_FALSE(quitter.ProgramRunning());

    TRunningSupervisor waiter(TestProgram, "wait");
    EXPECT_TRUE(WaitFor([&] { return waiter.ProgramRunning(); }, 10000));
    // Not any more once a stop is asked for, though the program still runs
    // for the graceful wait.
    waiter.AskToStop();
    EXPECT_TRUE(WaitFor([&] { return !waiter.ProgramRunning(); }, 1000));
}

TEST(StubSupervisor, StopEndsTheProgramAndItsChild)
{
    TRunningSupervisor run(TestProgram, "pid child wait");
    ASSERT_TRUE(WaitFor([&] { return run.Log().Has("child pid ") && run.Log().Has("out: pid "); }, 10000))
        << Joined(run.Log().Lines());
    std::string text = Joined(run.Log().Lines());
    DWORD program = static_cast<DWORD>(NumberAfter(text, "out: pid "));
    DWORD child = static_cast<DWORD>(NumberAfter(text, "child pid "));
    ASSERT_TRUE(ProcessRunning(program));
    ASSERT_TRUE(ProcessRunning(child));
    run.Stop();
    EXPECT_FALSE(ProcessRunning(program));
    EXPECT_TRUE(WaitFor([&] { return !ProcessRunning(child); }, 3000));
    EXPECT_GE(run.Progress(), 1);
    EXPECT_TRUE(run.Log().Has("stopping: asking the program"));
    EXPECT_FALSE(run.Log().Has("restarting"));
}

TEST(StubSupervisor, ProgramThatCannotStartIsRetriedWithBackOff)
{
    TRunningSupervisor run("C:\\no such folder\\missing.exe", "");
    ASSERT_TRUE(WaitFor([&] { return run.Log().Count("restarting in") >= 3; }, 5000)) << Joined(run.Log().Lines());
    run.Stop();
    EXPECT_TRUE(run.Log().Has("error: cannot start \"C:\\no such folder\\missing.exe\": "));
    EXPECT_TRUE(run.Log().Has("restarting in 100 ms"));
    EXPECT_FALSE(run.Log().Has("with pid"));

    TRunningSupervisor empty("", "");
    ASSERT_TRUE(WaitFor([&] { return empty.Log().Has("restarting in 50 ms"); }, 5000));
    empty.Stop();
    EXPECT_TRUE(empty.Log().Has("no program is set"));
}

TEST(StubLivenessListener, AnswersQuestionsAndShrugsOffJunk)
{
    const int id = 900000 + static_cast<int>(GetCurrentProcessId() % 90000);
    const std::string alias = "qvtest_reply_" + std::to_string(GetCurrentProcessId());
    auto log = std::make_shared<TRecordingLog>();
    auto replies = ReplyServer(alias);
    std::atomic<bool> on{true};
    {
        TLivenessListener listener(id, log, [&] { return on.load(); });
        listener.SetReplyAlias(alias);
        std::string reason;
        ASSERT_TRUE(listener.Start(reason)) << reason;

        // Only one host may hold a service ID.
        TLivenessListener twin(id, log, [] { return true; });
        EXPECT_FALSE(twin.Start(reason));

        Send(id, Slot("hello"));
        Send(id, std::string(1000, 'x'));
        Send(id, Slot("x|Are you on?"));
        Send(id, Slot("5|Are you on?"));
        EXPECT_EQ("5|I am on:" + std::to_string(id), NextReply(*replies));
        Send(id, Slot("6|Are you on?"));
        EXPECT_EQ("6|I am on:" + std::to_string(id), NextReply(*replies));
        EXPECT_EQ(0, replies->MsgCount());
        EXPECT_EQ(3, log->Count("detail: ignored a message"));

        // No manager listening: noted, and the next question is answered.
        CloseAndFree(replies);
        Send(id, Slot("7|Are you on?"));
        ASSERT_TRUE(WaitFor([&] { return log->Has("could not answer question 7"); }, 5000));
        replies = ReplyServer(alias);
        Send(id, Slot("8|Are you on?"));
        EXPECT_EQ("8|I am on:" + std::to_string(id), NextReply(*replies));

        // Not while the program is not running.
        on = false;
        Send(id, Slot("9|Are you on?"));
        ASSERT_TRUE(WaitFor([&] { return log->Has("question 9 not answered"); }, 5000));
        EXPECT_EQ(0, replies->MsgCount());

        // Stopped, it holds the mailslot no more.
        listener.Stop();
        TMailSlot again;
        again.SetAlias("Service" + std::to_string(id));
        EXPECT_NO_THROW(again.SetActive(true));
    }
}
