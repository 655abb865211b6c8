#include <gtest/gtest.h>

#include <windows.h>

#include <thread>

#include "catalogue/StubCopy.h"
#include "deploy/StubNames.h"
#include "messaging/StatusPipe.h"
#include "platform/Kernel.h"
#include "status/EntryStatus.h"
#include "status/StatusWords.h"
#include "tests/support/PipeSquatter.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Paths.h"

// What an entry is doing, told from the facts the Service Control Manager,
// the host's pipe and the host's last record give.
namespace {

const TEntryKey Entry{"QV Status " + std::to_string(GetCurrentProcessId()), 700000 + static_cast<int>(GetCurrentProcessId() % 90000)};

TServiceReport StoppedWith(DWORD specificCode)
{
    TServiceReport report;
    report.State = TServiceState::Stopped;
    report.Win32ExitCode = specificCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    report.SpecificExitCode = specificCode;
    return report;
}

TServiceReport RunningIn(DWORD pid)
{
    TServiceReport report;
    report.State = TServiceState::Running;
    report.ProcessId = pid;
    return report;
}

TServiceEnd GaveUp()
{
    TServiceEnd end;
    end.At = UtcNow();
    end.Reason = TEndReason::GaveUp;
    end.Why = "the program ended with code 3 after 3 restarts within 60 s, the most allowed";
    end.Starts = 4;
    end.CountedStarts = 4;
    end.WindowSeconds = 60;
    end.LastExitCode = 3;
    end.ServiceExitCode = TooManyRestartsExitCode;
    return end;
}

class StatusTest : public ::testing::Test {
protected:
    void TearDown() override { RemoveServiceEnd(StubCopyFile(Entry.Description)); }
    TEntryStatus Stopped(const TServiceEnd& record, DWORD reportedCode)
    {
        CreateDirectoryA(StubFolder().c_str(), nullptr);
        EXPECT_TRUE(WriteServiceEnd(StubCopyFile(Entry.Description), record));
        return AskedStatus(Entry, StoppedWith(reportedCode), 0);
    }
};

} // namespace

TEST_F(StatusTest, AServiceThatGaveUpSaysSoWhereverItIsAsked)
{
    const TServiceEnd gaveUp = GaveUp();
    const TEntryStatus status = Stopped(gaveUp, TooManyRestartsExitCode);
    ASSERT_TRUE(status.LastEnd);
    EXPECT_EQ(*status.LastEnd, gaveUp);
    EXPECT_FALSE(status.HostRuns());
    const std::string words = "gave up after 4 starts in 60 s, last exit code 3";
    EXPECT_EQ(StateWords(Entry.Description, status), "stopped (" + words + ")");
    EXPECT_EQ(InactiveReason(status), "service stopped: " + words);
    const std::string line = StatusLineText(Entry.Description, status);
    EXPECT_EQ(line.rfind("Stopped ", 0), 0u) << line;
    EXPECT_NE(line.find(": " + words), std::string::npos) << line;
    EXPECT_EQ(LastEndJson(status)["reason"], "gave up");
    EXPECT_EQ(LastEndJson(status)["lastExitCode"], 3);

    // A record the service's own exit code contradicts is one an earlier
    // run left: the exit code tells instead.
    const TEntryStatus older = Stopped(GaveUp(), 0);
    EXPECT_FALSE(older.LastEnd);
    EXPECT_EQ(StateWords(Entry.Description, older), "stopped");
    RemoveServiceEnd(StubCopyFile(Entry.Description));
    const TEntryStatus unrecorded = AskedStatus(Entry, StoppedWith(TooManyRestartsExitCode), 0);
    ASSERT_TRUE(unrecorded.LastEnd);
    EXPECT_EQ(StateWords(Entry.Description, unrecorded),
              "stopped (gave up: the program ended more often than its restarts allow)");
    EXPECT_EQ(StatusLineText(Entry.Description, unrecorded),
              "Stopped: gave up: the program ended more often than its restarts allow");
}

TEST_F(StatusTest, AStopSaysWhetherTheProgramHadToBeEndedAndAnEndedProgramKeepsItsExitCode)
{
    TServiceEnd stop;
    stop.At = UtcNow();
    stop.Reason = TEndReason::Requested;
    stop.LastExitCode = 0;
    EXPECT_EQ(StatusLineText(Entry.Description, Stopped(stop, 0)), "Stopped");
    stop.ProgramKilled = true;
    stop.StopTimeoutSeconds = 5;
    const std::string line = StatusLineText(Entry.Description, Stopped(stop, 0));
    EXPECT_NE(line.find(" on request; the program did not end within 5 s and was ended"), std::string::npos) << line;

    TServiceEnd success;
    success.At = UtcNow();
    success.Reason = TEndReason::NotRestarted;
    success.Why = "the program ended with code 0, a success, and is restarted only after a failure";
    success.LastExitCode = 0;
    const TEntryStatus ended = Stopped(success, 0);
    EXPECT_EQ(StateWords(Entry.Description, ended), "stopped (" + success.Why + ")");
    EXPECT_EQ(LastEndJson(ended)["lastExitCode"], 0);
    TCatalogueEntry entry;
    entry.Description = Entry.Description;
    std::string lines;
    for (const std::string& line : StatusLines(entry, ended))
        lines += line + "\n";
    EXPECT_NE(lines.find("Last exit:    code 0\n"), std::string::npos) << lines;
}

TEST(ServiceEndRecord, ReadsBackWhatWasWrittenAndNothingFromAnythingElse)
{
    TServiceEnd end = GaveUp();
    end.Why = "two\r\nlines";
    const std::optional<TServiceEnd> read = ReadServiceEndText(ServiceEndText(end));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->Why, "two  lines");
    EXPECT_EQ(read->LastExitCode, 3u);
    EXPECT_EQ(read->CountedStarts, 4u);
    end.LastExitCode.reset();
    EXPECT_FALSE(ReadServiceEndText(ServiceEndText(end))->LastExitCode);
    EXPECT_FALSE(ReadServiceEndText(""));
    EXPECT_FALSE(ReadServiceEndText("at=2024-01-01T00:00:00.000Z\nreason=exploded\n"));
    EXPECT_EQ(ReadServiceEndText("at=x\nreason=requested\nlastExitCode=99999999999\n")->LastExitCode, std::nullopt);
    EXPECT_EQ(ServiceEndPath("C:\\Windows\\Vantorers\\Mail!Relay.exe"), "C:\\Windows\\Vantorers\\Mail!Relay.end");
}

TEST(ServiceEndRecord, AHostThatMayWriteOnlyItsRecordRewritesItInPlace)
{
    // No new file can be made beside the record: as for a host running as
    // an account that was given the record alone.
    TTempFolder folder;
    const std::string copy = folder.File("Relay.exe"), record = ServiceEndPath(copy);
    ASSERT_TRUE(CreateDirectoryA((record + ".new").c_str(), nullptr));
    EXPECT_FALSE(WriteServiceEnd(copy, GaveUp())) << "no record there to rewrite";
    WriteTextFile(record, "");
    EXPECT_FALSE(ReadServiceEnd(copy)) << "an empty record is none";
    ASSERT_TRUE(WriteServiceEnd(copy, GaveUp()));
    ASSERT_TRUE(ReadServiceEnd(copy));
    EXPECT_EQ(ReadServiceEnd(copy)->Reason, TEndReason::GaveUp);
    // A record that may not be deleted is emptied.
    TKernelHandle held(CreateFileA(record.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    RemoveServiceEnd(copy);
    held.Close();
    EXPECT_TRUE(FileExists(record));
    EXPECT_FALSE(ReadServiceEnd(copy));
    RemoveServiceEnd(copy);
    EXPECT_FALSE(FileExists(record));
}

TEST(EntryStatus, AnAnswerFromAnotherProcessThanTheServicesIsNeverBelieved)
{
    // The forged answer names a log the client must never open.
    const std::string forged = StatusAnswer([] {
        TProgramStatus status;
        status.State = TProgramState::BackingOff;
        status.LastExitCode = 77;
        status.LogFile = "C:\\forged.log";
        return status;
    }());
    TPipeSquatter squatter(StatusPipeName(Entry.ServiceID), forged);
    // The service's process is another one than the pipe's server.
    const TEntryStatus status = AskedStatus(Entry, RunningIn(GetCurrentProcessId() + 4), 2000);
    ASSERT_TRUE(status.Program);
    EXPECT_EQ(status.Program->Outcome, TStatusOutcome::Impostor);
    EXPECT_EQ(status.Program->ServerPid, GetCurrentProcessId());
    EXPECT_TRUE(status.NotKnown());
    EXPECT_FALSE(status.Answer());
    EXPECT_TRUE(ProgramJson(status).is_null());
    const std::string refused = "the status pipe of \"" + Entry.Description + "\" is served by another program (process " +
                                std::to_string(GetCurrentProcessId()) + "); its answer was not used";
    EXPECT_EQ(StateWords(Entry.Description, status), "running (the program's state is not known: " + refused + ")");
    EXPECT_EQ(StatusLineText(Entry.Description, status), "Running, program not known: " + refused);
    TCatalogueEntry entry;
    entry.Description = Entry.Description;
    entry.LogToFile = true;
    entry.LogFile = "C:\\Relay\\relay.log";
    std::string lines;
    for (const std::string& line : StatusLines(entry, status))
        lines += line + "\n";
    EXPECT_EQ(lines.find("77"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("forged"), std::string::npos) << lines;
    EXPECT_NE(lines.find("Log:          C:\\Relay\\relay.log"), std::string::npos) << lines;
    // Asked by nobody else: the squatter had nothing but connections.
    EXPECT_GE(squatter.Clients(), 1);

    // The same pipe, were it the service's own, is believed.
    const TEntryStatus own = AskedStatus(Entry, RunningIn(GetCurrentProcessId()), 2000);
    ASSERT_TRUE(own.Answer());
    EXPECT_EQ(own.Answer()->LastExitCode, 77u);
}

TEST(EntryStatus, AHostThatDoesNotAnswerInTimeLeavesTheProgramNotKnownRatherThanDead)
{
    TPipeSquatter hung(StatusPipeName(Entry.ServiceID), "");
    const TEntryStatus status = AskedStatus(Entry, RunningIn(GetCurrentProcessId()), 1500);
    ASSERT_TRUE(status.Program);
    EXPECT_EQ(status.Program->Outcome, TStatusOutcome::NoAnswer);
    EXPECT_TRUE(status.NotKnown());
    EXPECT_FALSE(status.ProgramRuns());
    EXPECT_FALSE(status.NeedsMailslot());
    EXPECT_EQ(StateWords(Entry.Description, status),
              "running (the program's state is not known: the service host did not answer in time)");
    // Its host runs: it is not uninstalled, whatever its program does.
    EXPECT_TRUE(TooAliveToUninstall(status));
    TServiceReport backingOff = RunningIn(GetCurrentProcessId());
    backingOff.State = TServiceState::StopPending;
    EXPECT_TRUE(TooAliveToUninstall(TEntryStatus{backingOff, std::nullopt, std::nullopt}));
    EXPECT_FALSE(TooAliveToUninstall(TEntryStatus{StoppedWith(0), std::nullopt, std::nullopt}));
}

TEST(EntryStatus, AHostThatHangsUpAsItsPipeGoesIsAskedAgainAndFoundGone)
{
    // The host takes the question, then closes its pipe as its service
    // stops: no instance is left.
    std::thread going([] {
        TKernelHandle pipe(CreateNamedPipeA(StatusPipeName(Entry.ServiceID).c_str(), PIPE_ACCESS_DUPLEX,
                                            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
        char question[64];
        DWORD read = 0;
        if (ConnectNamedPipe(pipe.Get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
            ReadFile(pipe.Get(), question, sizeof question, &read, nullptr);
    });
    for (int i = 0; i < 200 && !WaitNamedPipeA(StatusPipeName(Entry.ServiceID).c_str(), 0) &&
                    GetLastError() == ERROR_FILE_NOT_FOUND;
         ++i)
        Sleep(5);
    const TEntryStatus status = AskedStatus(Entry, RunningIn(GetCurrentProcessId()), 2000);
    going.join();
    ASSERT_TRUE(status.Program);
    EXPECT_EQ(status.Program->Outcome, TStatusOutcome::NoHost) << status.Program->Failure;
}

TEST(EntryStatus, TheLogLineSaysWhatTheHostSaysOfItsFile)
{
    TCatalogueEntry entry;
    entry.Description = Entry.Description;
    entry.LogToFile = true;
    entry.LogFile = "C:\\Relay\\relay.log";
    TEntryStatus status{RunningIn(4), TStatusReply{}, std::nullopt};
    status.Program->Outcome = TStatusOutcome::Answered;
    TProgramStatus& program = status.Program->Status;
    program.State = TProgramState::Running;
    program.LogFileOpen = true;
    auto logLine = [&] {
        for (const std::string& line : StatusLines(entry, status))
            if (line.rfind("Log:", 0) == 0)
                return line;
        return std::string();
    };
    EXPECT_EQ(logLine(), "Log:          C:\\Relay\\relay.log");
    program.LogFolderMissing = true;
    program.LogDroppedBytes = 420;
    EXPECT_EQ(logLine(), "Log:          C:\\Relay\\relay.log (log folder missing: 420 bytes dropped so far; the file is "
                         "made again once its folder is back)");
    program.LogFolderMissing = false;
    program.LogDroppedBytes = 0;
    program.LogRaw = true;
    EXPECT_NE(logLine().find("(raw: the program writes it itself"), std::string::npos) << logLine();
    program.LogFileOpen = false;
    EXPECT_NE(logLine().find("(cannot be opened: the event log is used)"), std::string::npos) << logLine();
}

// Health is told beside what the program does, once it has a check; the
// program of an entry without one is told as before.
TEST(EntryStatus, AProgramsHealthIsToldBesideItWhereverItIsAsked)
{
    TCatalogueEntry entry;
    entry.Description = Entry.Description;
    TEntryStatus status{RunningIn(4), TStatusReply{}, std::nullopt};
    status.Program->Outcome = TStatusOutcome::Answered;
    TProgramStatus& program = status.Program->Status;
    program.State = TProgramState::Running;
    program.UpMs = 2 * 3600 * 1000;
    auto healthLine = [&] {
        for (const std::string& line : StatusLines(entry, status))
            if (line.rfind("Health:", 0) == 0)
                return line;
        return std::string();
    };
    EXPECT_EQ(StatusLineText(Entry.Description, status), "Running, program up 2 h");
    EXPECT_EQ(StateWords(Entry.Description, status), "running");
    EXPECT_EQ(healthLine(), "");

    program.Health = "starting";
    program.HealthRetries = 3;
    EXPECT_EQ(StateWords(Entry.Description, status), "running, not checked yet");
    EXPECT_EQ(healthLine(), "Health:       starting (no verdict yet); not checked yet");
    program.HealthResult = "connection refused";
    program.HealthCheckedAt = "2024-03-05T14:07:09.042Z";
    EXPECT_EQ(StateWords(Entry.Description, status), "running, not healthy yet: connection refused");

    program.Health = "healthy";
    program.HealthResult = "HTTP 200";
    EXPECT_EQ(StatusLineText(Entry.Description, status), "Running, program up 2 h, healthy");
    EXPECT_EQ(StateWords(Entry.Description, status), "running, healthy");
    EXPECT_EQ(healthLine(), "Health:       healthy; last check " + LocalTime(program.HealthCheckedAt) + ": HTTP 200");
    EXPECT_EQ(StatusLines(entry, status)[2].rfind("Program:      running, up 2 h", 0), 0u) << StatusLines(entry, status)[2];
    program.HealthFailures = 1;
    program.HealthResult = "no answer in 10 s";
    EXPECT_EQ(healthLine(), "Health:       healthy (failures: 1 of 3); last check " +
                                LocalTime(program.HealthCheckedAt) + ": no answer in 10 s");

    // Being restarted for it: the service runs on, the program restarts.
    program.Health = "unhealthy";
    program.HealthFailures = 3;
    program.HealthResult = "connection refused";
    program.State = TProgramState::Stopping;
    EXPECT_EQ(StatusLineText(Entry.Description, status),
              "Running, program unhealthy: connection refused (3 of 3), restarting");
    EXPECT_EQ(StateWords(Entry.Description, status), "restarting (unhealthy: connection refused (3 of 3))");
    EXPECT_EQ(InactiveReason(status), "program restarting: unhealthy: connection refused (3 of 3)");
    EXPECT_NE(healthLine(), "");
    program.State = TProgramState::BackingOff;
    program.NextStartInMs = 4000;
    program.LastExitCode = 0;
    EXPECT_EQ(StatusLineText(Entry.Description, status),
              "Running, program unhealthy: connection refused (3 of 3), restarting in 4 s");
    EXPECT_EQ(StateWords(Entry.Description, status),
              "restarting (unhealthy: connection refused (3 of 3), exit code 0, next try in 4 s)");
    // A service that stops is stopping, whatever its program's health.
    status.Service.State = TServiceState::StopPending;
    program.State = TProgramState::Stopping;
    EXPECT_FALSE(RestartingUnhealthy(status));
    EXPECT_EQ(StateWords(Entry.Description, status), "stopping");

    // Only reported: it runs, unhealthy; a check says it is active still.
    status.Service.State = TServiceState::Running;
    program.State = TProgramState::Running;
    program.HealthFailures = 5;
    EXPECT_TRUE(status.ProgramRuns());
    EXPECT_EQ(StatusLineText(Entry.Description, status),
              "Running, program up 2 h, unhealthy: connection refused (5 in a row)");
    EXPECT_EQ(StateWords(Entry.Description, status), "running, unhealthy: connection refused (5 in a row)");
    EXPECT_EQ(HealthWords(program), "unhealthy: connection refused (5 in a row)");
}
