#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "stub/AskToEnd.h"
#include "stub/LivenessListener.h"
#include "stub/Supervisor.h"
#include "platform/Seam.h"
#include "tests/stub/StubTestSupport.h"
#include "tests/support/TempFiles.h"

namespace {

const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);

bool HasLine(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
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

// The files of a log, oldest first; their numbers have as many digits as
// the count of old files.
std::string AllFiles(const std::string& path, unsigned oldFiles)
{
    std::string text;
    const int width = static_cast<int>(std::to_string(oldFiles).size());
    for (unsigned number = oldFiles; number >= 1; --number) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%0*u", width, number);
        text += ReadTextFile(path + suffix);
    }
    return text + ReadTextFile(path);
}

// While refusing: a disk that takes half of the first write and no more.
std::atomic<bool> refusing{false}, refusedOne{false};

BOOL WINAPI FullDiskWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (!refusing || !refusedOne.exchange(true))
        return WriteFile(file, data, refusing ? size / 2 : size, written, overlapped);
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::atomic<HANDLE> deliveringThread{nullptr};

BOOL WINAPI NoteDelivery(DWORD)
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
    deliveringThread = thread;
    return FALSE;
}

BOOL WINAPI EndAsFailure(DWORD)
{
    std::_Exit(1);
}

// The service host has no console of its own; the test process has one,
// and would not be let into the program's console to send Ctrl+C.
class TWithoutConsole : public testing::Environment {
public:
    void SetUp() override { FreeConsole(); }
};
[[maybe_unused]] const auto* withoutConsole = testing::AddGlobalTestEnvironment(new TWithoutConsole);

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

TEST(StubSupervisor, TheRestartPolicyEndsTheServiceWithACodeThatSaysWhy)
{
    TServiceSettings onFailure, capped;
    EXPECT_FALSE(SetSetting(onFailure, TSetting::Restart, "on-failure"));
    EXPECT_FALSE(SetSetting(onFailure, TSetting::SuccessCodes, "3"));
    EXPECT_FALSE(SetSetting(capped, TSetting::MaxRestarts, "2"));
    TRunningSupervisor success(TestProgram, "exit:3", QuickTiming(), nullptr, onFailure);
    TRunningSupervisor failing(TestProgram, "exit:1", QuickTiming(), nullptr, capped);
    ASSERT_TRUE(WaitFor([&] { return success.Ended() && failing.Ended(); }, 10000)) << Joined(failing.Log().Lines());
    EXPECT_EQ(0u, success.ExitCode());
    EXPECT_EQ(1, success.Log().Count(" with pid "));
    EXPECT_EQ(TooManyRestartsExitCode, failing.ExitCode());
    EXPECT_EQ(3, failing.Log().Count(" with pid "));
    EXPECT_TRUE(failing.Log().Has("warning: stopping the service: the program ended with code 1 after 2 restarts "
                                  "since the service started, the most allowed"))
        << Joined(failing.Log().Lines());
    // The record each leaves says why, with the program's last exit code.
    const TServiceEnd gaveUp = failing.Supervisor().End();
    EXPECT_EQ(gaveUp.Reason, TEndReason::GaveUp);
    EXPECT_EQ(gaveUp.CountedStarts, 3u);
    EXPECT_EQ(gaveUp.WindowSeconds, 0u);
    EXPECT_EQ(gaveUp.LastExitCode, 1u);
    EXPECT_EQ(gaveUp.ServiceExitCode, TooManyRestartsExitCode);
    const TServiceEnd ended = success.Supervisor().End();
    EXPECT_EQ(ended.Reason, TEndReason::NotRestarted);
    EXPECT_EQ(ended.LastExitCode, 3u);
    EXPECT_EQ(ended.Starts, 1u);
}

// An entry's variable takes the place of the host's one of the same name in
// any letter case, as Windows matches names; the host's others stay.
TEST(StubSupervisor, AnEntrysVariableTakesThePlaceOfTheHostsOfTheSameNameInAnyLetterCase)
{
    ASSERT_TRUE(SetEnvironmentVariableA("Qv_Case_Test", "host"));
    const TScopeExit unset([] { SetEnvironmentVariableA("Qv_Case_Test", nullptr); });
    TServiceSettings service;
    ASSERT_FALSE(SetVariable(service, "QV_CASE_TEST", "entry"));
    TRunningSupervisor run(TestProgram, "env:QV_CASE_TEST env:SystemRoot wait", QuickTiming(), nullptr, service);
    ASSERT_TRUE(WaitFor([&] { return run.Log().Has("out: env SystemRoot="); }, 10000)) << Joined(run.Log().Lines());
    run.Stop();
    EXPECT_TRUE(run.Log().Has("out: env QV_CASE_TEST=entry")) << Joined(run.Log().Lines());
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

TEST(StubSupervisor, CtrlCEndsAConsoleProgramAndItsChildAndTheJobEndsOnesThatIgnoreIt)
{
    TRunningSupervisor polite(TestProgram, "pid child wait"), deaf(TestProgram, "nobreak pid child wait");
    std::vector<DWORD> pids;
    for (TRunningSupervisor* run : {&polite, &deaf}) {
        ASSERT_TRUE(WaitFor([&] { return run->Log().Has("out: child pid ") && run->Log().Has("out: pid "); }, 10000));
        for (const char* line : {"out: pid ", "out: child pid "})
            pids.push_back(static_cast<DWORD>(NumberAfter(Joined(run->Log().Lines()), line)));
    }
    polite.AskToStop();
    deaf.AskToStop();
    polite.Stop();
    deaf.Stop();
    for (DWORD pid : pids)
        EXPECT_FALSE(ProcessRunning(pid)) << pid;
    // The one heard it and ended by itself, the other at the grace.
    EXPECT_TRUE(polite.Log().Has("out: got ctrl-c")) << Joined(polite.Log().Lines());
    EXPECT_TRUE(HasLine(polite.Log().Lines(), "info: stopping: asked the program (pid " + std::to_string(pids[0]) +
                                                  ") to end with Ctrl+C"));
    EXPECT_TRUE(polite.Log().Has("info: program exited with code 0"));
    EXPECT_TRUE(deaf.Log().Has("warning: program did not end within 2000 ms; ending it")) << Joined(deaf.Log().Lines());
    EXPECT_FALSE(deaf.Log().Has("restarting"));
    // Both stopped on request; only the deaf one had to be ended.
    EXPECT_EQ(polite.Supervisor().End().Reason, TEndReason::Requested);
    EXPECT_FALSE(polite.Supervisor().End().ProgramKilled);
    EXPECT_EQ(polite.Supervisor().End().LastExitCode, 0u);
    EXPECT_TRUE(deaf.Supervisor().End().ProgramKilled);
    EXPECT_EQ(deaf.Supervisor().End().StopTimeoutSeconds, 2u);
}

TEST(StubSupervisor, TheHostOutlivesTheCtrlCItSends)
{
    // In a process of its own, hearing the event on its own console, since a
    // process the event ends ends quietly. Handlers run newest first: one
    // that notes the delivery, the host's, one that fails the test.
    EXPECT_EXIT(
        {
            FreeConsole();
            AllocConsole();
            SetConsoleCtrlHandler(EndAsFailure, TRUE);
            PrepareConsoleBreaks();
            SetConsoleCtrlHandler(NoteDelivery, TRUE);
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            WaitFor([] { return deliveringThread != nullptr; }, 10000);
            WaitForSingleObject(deliveringThread, 10000);
            std::exit(deliveringThread ? 7 : 2);
        },
        testing::ExitedWithCode(7), "");
}

TEST(StubSupervisor, AWindowedProgramEndsOnItsCloseMessage)
{
    TRunningSupervisor run(TestProgram, "nobreak window out:closed");
    ASSERT_TRUE(WaitFor([&] { return run.Log().Has("out: window open"); }, 10000)) << Joined(run.Log().Lines());
    run.Stop();
    EXPECT_TRUE(run.Log().Has("out: got close")) << Joined(run.Log().Lines());
    EXPECT_TRUE(run.Log().Has(") to end with Ctrl+C and a close message to "));
    EXPECT_TRUE(run.Log().Has("info: program exited with code 0"));
}

TEST(StubSupervisor, AFloodKeepsEveryLineWholeAndInOrderAcrossTheFiles)
{
    TTempFolder folder;
    const std::string path = folder.File("flood.log");
    auto log = std::make_shared<TFileLog>(path, TLogRotation{16 * 1024, 20});
    ASSERT_NO_THROW(log->Open());
    {
        TRunningSupervisor run(TestProgram, "mixed:8000 out:done wait", QuickTiming(), log);
        ASSERT_TRUE(WaitFor([&] { return AllFiles(path, 20).find(" out: done\r") != std::string::npos; }, 20000));
    }
    long long next[] = {0, 1};
    for (const std::string& line : LinesWith(AllFiles(path, 20), "")) {
        ASSERT_TRUE(IsStamped(line)) << line;
        for (int stream : {0, 1})
            if (line.find(stream ? " err: err " : " out: out ") != std::string::npos) {
                EXPECT_EQ(next[stream], NumberAfter(line, stream ? " err: err " : " out: out ")) << line;
                next[stream] += 2;
            }
    }
    EXPECT_EQ(8000, next[0]);
    EXPECT_EQ(8001, next[1]);
    // Many files, none lost, and the newest says what the others hold.
    EXPECT_TRUE(FileExists(path + ".10"));
    std::string current = ReadTextFile(path);
    EXPECT_EQ(static_cast<long long>(AllFiles(path, 20).size() - current.size()), NumberAfter(current, ".20\" hold the "));
    EXPECT_EQ(0, NumberAfter(current, " bytes before this file; "));
}

TEST(StubSupervisor, AFullDiskNeverHoldsTheProgramUpAndTheLogSaysHowMuchWasDropped)
{
    TTempFolder folder;
    const std::string path = folder.File("full.log"), flooded = "qv_flooded_" + std::to_string(GetCurrentProcessId());
    auto log = std::make_shared<TFileLog>(path);
    ASSERT_NO_THROW(log->Open());
    TKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, flooded.c_str()));
    TSeamOverride<decltype(KernelApi().WriteFile)> disk(KernelApi().WriteFile, FullDiskWriteFile);
    refusing = true;
    {
        TRunningSupervisor run(TestProgram, "flood:20000 out:after-flood event:" + flooded + " wait", QuickTiming(), log);
        // 2.6 MB through a pipe that holds 1 MiB: nothing held the program up.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 20000));
        EXPECT_TRUE(run.ProgramRunning());
    }
    refusing = false;
    log->Event(TLogKind::Information, "the disk has room again");
    std::string text = ReadTextFile(path);
    std::vector<std::string> notes = LinesWith(text, " bytes dropped: the log could not be written (error 112)\r");
    ASSERT_EQ(1u, notes.size()) << text;
    // On a line of its own after the one cut short, before what came next.
    EXPECT_EQ("warning: ", notes[0].substr(24, 9));
    EXPECT_NE(std::string::npos, text.find(" the disk has room again\r\n", text.find(notes[0])));
    // The flood ("<stamp> out: flood ...\r\n", 129 bytes a line), the line
    // after it, and little more: half a line, the stop's events.
    EXPECT_GE(NumberAfter(notes[0], "warning: "), 20000 * 129 + 42);
    EXPECT_LE(NumberAfter(notes[0], "warning: "), 20000 * 129 + 42 + 1000);
}

// The test program's "bytes:" step writes these bytes.
std::string Hex(const std::string& bytes)
{
    std::string hex;
    for (unsigned char byte : bytes)
        hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    return hex;
}

TEST(StubSupervisor, ARawLogHoldsTheProgramsOwnBytesAndMovesAsideOnlyWhenItStarts)
{
    TTempFolder folder;
    const std::string path = folder.File("raw.log"), old(1500, 'o');
    WriteTextFile(path, old);
    auto events = std::make_shared<TRecordingLog>();
    auto log = std::make_shared<TFileLog>(path);
    log->SetRawEvents(events);
    log->Configure({1024, 1}, true, true);
    ASSERT_NO_THROW(log->Open());
    TServiceSettings once;
    once.Restart = TRestartPolicy::Never;
    // A lone CR and LF, CR LF, bytes no text has, standard error between,
    // and no line end at the end.
    const std::string out = std::string("a\rb\nc\r\n\0\xff\x80", 10), error = "e\n", last = "no end";
    auto run = [&](const std::string& parameters) {
        TRunningSupervisor program(TestProgram, parameters, QuickTiming(), log, once);
        return WaitFor([&] { return program.Ended(); }, 10000);
    };
    ASSERT_TRUE(run("bytes:" + Hex(out) + " errbytes:" + Hex(error) + " bytes:" + Hex(last)));
    EXPECT_EQ(out + error + last, ReadTextFile(path));
    // The file past its limit moved aside before the program got one.
    EXPECT_EQ(old, ReadTextFile(path + ".1"));
    EXPECT_TRUE(events->Has("info: log continued: \"" + path + ".1\" holds the 1500 bytes before this file"))
        << Joined(events->Lines());
    EXPECT_TRUE(events->Has(" with pid "));
    log->Detail("the host's details stay out of the program's file");
    EXPECT_EQ(out + error + last, ReadTextFile(path));
    EXPECT_TRUE(log->State().Raw);
    EXPECT_TRUE(log->State().Open);
    // Below its limit, the file is the program's again, appended to.
    ASSERT_TRUE(run("bytes:" + Hex(last)));
    EXPECT_EQ(out + error + last + last, ReadTextFile(path));
    EXPECT_EQ(old, ReadTextFile(path + ".1"));
}

TEST(StubSupervisor, TellsWhatTheProgramsProcessesUseAndAddsUpItsRunsWithoutGoingDown)
{
    {
        TRunningSupervisor run(TestProgram, "alloc:64 child burn:1500 wait");
        ASSERT_TRUE(WaitFor([&] { return run.Log().Has("burned") && run.Log().Has("child pid"); }, 20000))
            << Joined(run.Log().Lines());
        const TProgramResources used = run.Supervisor().Resources();
        // The program, its child and whatever the system runs for their
        // console in the job.
        EXPECT_GE(used.Processes, 2u);
        EXPECT_EQ(used.Processes, used.PeakProcesses);
        EXPECT_GE(used.CpuUserMs + used.CpuKernelMs, 1500u);
        // The program's 64 MiB and what the processes need besides.
        EXPECT_GE(used.PrivateBytes, 64u << 20);
        EXPECT_LT(used.PrivateBytes, 200u << 20);
        EXPECT_GE(used.WorkingSetBytes, 64u << 20);
        EXPECT_GE(used.PeakPrivateBytes, used.PrivateBytes);
        EXPECT_GE(used.PeakWorkingSetBytes, used.WorkingSetBytes);
        // The child ends: one process fewer, the most at once stays.
        const std::vector<std::string> lines = run.Log().Lines();
        const auto child = std::find_if(lines.begin(), lines.end(),
                                        [](const std::string& line) { return line.find("child pid ") != std::string::npos; });
        ASSERT_NE(child, lines.end());
        TKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                          std::stoul(child->substr(child->find("child pid ") + 10))));
        ASSERT_TRUE(TerminateProcess(process.Get(), 1));
        WaitForSingleObject(process.Get(), 5000);
        ASSERT_TRUE(WaitFor([&] { return run.Supervisor().Resources().Processes == used.Processes - 1; }, 5000));
        EXPECT_EQ(used.Processes, run.Supervisor().Resources().PeakProcesses);
        EXPECT_LT(run.Supervisor().Resources().PrivateBytes, used.PrivateBytes);
    }
    // A program that keeps ending: the processor time of every run counts,
    // asked as often as a busy dashboard would, and the most processes at
    // once is the most seen, not the runs' added up.
    TRunningSupervisor run(TestProgram, "burn:400 exit:3");
    TProgramResources last;
    unsigned most = 0;
    while (run.Supervisor().Status().Starts < 4 && run.Log().Count("program exited") < 8) {
        const TProgramResources now = run.Supervisor().Resources();
        ASSERT_GE(now.CpuUserMs, last.CpuUserMs);
        ASSERT_GE(now.CpuKernelMs, last.CpuKernelMs);
        most = std::max(most, now.Processes);
        last = now;
        Sleep(50);
    }
    const TProgramResources after = run.Supervisor().Resources();
    // Three runs ended, each of about 400 ms: far more than one run's.
    EXPECT_GE(after.CpuUserMs + after.CpuKernelMs, 900u);
    EXPECT_GE(most, 1u);
    EXPECT_EQ(std::max(most, after.Processes), after.PeakProcesses);
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

    // Once the program is there, it runs, and the old failure is told no more.
    TTempFolder folder;
    const std::string late = folder.File("late.exe");
    TRunningSupervisor waiting(late, "wait");
    ASSERT_TRUE(WaitFor([&] { return !waiting.Supervisor().Status().StartFailure.empty(); }, 5000));
    ASSERT_TRUE(CopyFileA(TestProgram.c_str(), late.c_str(), FALSE));
    ASSERT_TRUE(WaitFor([&] { return waiting.Supervisor().Status().State == TProgramState::Running; }, 10000));
    EXPECT_EQ(waiting.Supervisor().Status().StartFailure, "");
    waiting.Stop();
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
        ASSERT_NO_THROW(listener.Start());

        // Only one host may hold a service ID.
        TLivenessListener twin(id, log, [] { return true; });
        EXPECT_THROW(twin.Start(), TError);

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
