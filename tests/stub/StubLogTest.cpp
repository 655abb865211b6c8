#include <gtest/gtest.h>

#include "platform/Seam.h"
#include "stub/Guard.h"
#include "stub/StubLog.h"
#include "tests/stub/StubTestSupport.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Error.h"

namespace {

struct TReported {
    WORD Type;
    DWORD ID;
    std::string Text;
};
std::vector<TReported> reported;
std::string registeredSource;

HANDLE WINAPI FakeRegister(LPCSTR, LPCSTR source)
{
    registeredSource = source;
    return reinterpret_cast<HANDLE>(0x1234);
}

BOOL WINAPI FakeReport(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCSTR* strings, LPVOID)
{
    reported.push_back({type, id, count > 0 ? strings[0] : ""});
    return TRUE;
}

BOOL WINAPI FakeDeregister(HANDLE)
{
    return TRUE;
}

} // namespace

TEST(StubFileLog, LinesCarryATimestamp)
{
    SYSTEMTIME time = {};
    time.wYear = 2024;
    time.wMonth = 3;
    time.wDay = 5;
    time.wHour = 14;
    time.wMinute = 7;
    time.wSecond = 9;
    time.wMilliseconds = 42;
    EXPECT_EQ("2024-03-05 14:07:09.042 started\r\n", LogLine(time, "started"));
}

TEST(StubFileLog, AppendsAndRotatesToOneBackup)
{
    TTempFolder folder;
    std::string path = folder.File("service.log");
    WriteTextFile(path, "earlier line\r\n");
    {
        TFileLog log(path, 400);
        std::string reason;
        ASSERT_TRUE(log.Open(reason)) << reason;
        log.Event(TLogKind::Information, "started");
        log.Output("out", "hello");
        log.Event(TLogKind::Warning, "odd");
        std::string text = ReadTextFile(path);
        EXPECT_EQ(0u, text.find("earlier line\r\n"));
        EXPECT_EQ(1u, LinesWith(text, " started\r").size());
        EXPECT_EQ(1u, LinesWith(text, " out: hello\r").size());
        EXPECT_EQ(1u, LinesWith(text, " warning: odd\r").size());
        EXPECT_FALSE(FileExists(path + ".1"));

        for (int i = 0; i < 40; ++i)
            log.Detail("line " + std::to_string(i));
    }
    std::string current = ReadTextFile(path);
    std::string backup = ReadTextFile(path + ".1");
    EXPECT_LE(current.size(), 400u);
    EXPECT_LE(backup.size(), 400u);
    EXPECT_FALSE(backup.empty());
    // The newest line is in the file, the lines just before it in the backup.
    EXPECT_EQ(1u, LinesWith(current, " line 39\r").size());
    EXPECT_TRUE(LinesWith(current + backup, "earlier line").empty());
    long long firstKept = NumberAfter(backup, " line ");
    EXPECT_GT(firstKept, 0);
}

TEST(StubFileLog, AMoveThatFailsKeepsEveryLineAndIsTriedOneLimitLater)
{
    TTempFolder folder;
    std::string path = folder.File("service.log");
    // A folder where the backup goes refuses the move.
    ASSERT_TRUE(CreateDirectoryA((path + ".1").c_str(), nullptr));
    TFileLog log(path, 400);
    std::string reason;
    ASSERT_TRUE(log.Open(reason)) << reason;
    for (int i = 0; i < 15; ++i)
        log.Detail("line " + std::to_string(i));
    std::string text = ReadTextFile(path);
    EXPECT_EQ(1u, LinesWith(text, " line 0\r").size());
    EXPECT_EQ(1u, LinesWith(text, " line 14\r").size());
    EXPECT_EQ(1u, LinesWith(text, "could not be moved").size()) << text;

    ASSERT_TRUE(RemoveDirectoryA((path + ".1").c_str()));
    for (int i = 15; i < 27; ++i)
        log.Detail("line " + std::to_string(i));
    std::string backup = ReadTextFile(path + ".1");
    EXPECT_EQ(1u, LinesWith(backup, " line 0\r").size()) << backup;
    EXPECT_EQ(1u, LinesWith(ReadTextFile(path), " line 26\r").size());
}

TEST(StubFileLog, UnopenableFileIsReported)
{
    TTempFolder folder;
    TFileLog log(folder.File("no such folder\\service.log"));
    std::string reason;
    EXPECT_FALSE(log.Open(reason));
    EXPECT_NE(std::string::npos, reason.find("no such folder"));
    log.Event(TLogKind::Information, "goes nowhere, harmlessly");
}

TEST(StubEventLog, LifecycleGoesToReportEventWithTheMessageNumbers)
{
    reported.clear();
    TSeamOverride<decltype(EventLogApi().RegisterEventSourceA)> registerSource(EventLogApi().RegisterEventSourceA,
                                                                                 FakeRegister);
    TSeamOverride<decltype(EventLogApi().ReportEventA)> report(EventLogApi().ReportEventA, FakeReport);
    TSeamOverride<decltype(EventLogApi().DeregisterEventSource)> deregister(EventLogApi().DeregisterEventSource,
                                                                            FakeDeregister);
    {
        TEventLog log("Mail Relay");
        log.Event(TLogKind::Information, "started");
        log.Event(TLogKind::Warning, "program exited with code 3");
        log.Event(TLogKind::Error, "cannot start");
        log.Output("out", "program output stays out of the event log");
        log.Detail("so do details");
    }
    EXPECT_EQ("Mail Relay", registeredSource);
    ASSERT_EQ(3u, reported.size());
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, reported[0].Type);
    EXPECT_EQ(InformationMessageID, reported[0].ID);
    EXPECT_EQ("started", reported[0].Text);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, reported[1].Type);
    EXPECT_EQ(WarningMessageID, reported[1].ID);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, reported[2].Type);
    EXPECT_EQ(ErrorMessageID, reported[2].ID);
    EXPECT_EQ("cannot start", reported[2].Text);
}

TEST(StubGuard, AThreadsFailureIsLoggedAndHandedOn)
{
    static std::string handed;
    SetFailureHandler([](const std::string& failure) { handed = failure; });
    TRecordingLog log;
    RunGuarded("the reader", log, [] { throw TError("pipe gone"); });
    EXPECT_EQ("error: the reader failed: pipe gone", log.Lines().at(0));
    EXPECT_EQ("the reader failed: pipe gone", handed);
    RunGuarded("the listener", log, [] { throw 42; });
    EXPECT_EQ("the listener failed: an exception of unknown kind", handed);
    SetFailureHandler(nullptr);
}
