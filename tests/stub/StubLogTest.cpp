#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "stub/Guard.h"
#include "stub/StubLog.h"
#include "tests/stub/StubTestSupport.h"
#include "tests/support/Errors.h"
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

// 2024-03-05 14:07:<second>.<milliseconds>
SYSTEMTIME At(WORD second, WORD milliseconds)
{
    return {2024, 3, 2, 5, 14, 7, second, milliseconds};
}

uint64_t FileBytes(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &file) ? file.nFileSizeLow : 0;
}

// Dates the file's last write at that local time.
void WrittenAt(const std::string& path, SYSTEMTIME time)
{
    FILETIME local, utc;
    ASSERT_TRUE(SystemTimeToFileTime(&time, &local) && LocalFileTimeToFileTime(&local, &utc));
    TKernelHandle file(CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && SetFileTime(file.Get(), nullptr, nullptr, &utc));
}

// Windows says a file deleted while the log holds it is to go; Wine deletes
// it only once every handle is closed, and never says so.
bool deletePending = false;

BOOL WINAPI PendingDelete(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    const BOOL done = ::GetFileInformationByHandleEx(file, kind, info, size);
    if (done && kind == FileStandardInfo)
        static_cast<FILE_STANDARD_INFO*>(info)->DeletePending = deletePending;
    return done;
}

} // namespace

TEST(StubFileLog, OutputBecomesWholeStampedLines)
{
    EXPECT_EQ("2024-03-05 14:07:09.042 started\r\n", LogLine(At(9, 42), "started"));

    TOutputLines lines("out");
    lines.Add(At(1, 0), "a\r\nb", 4);
    lines.Add(At(2, 0), "c\n\n", 3);
    const std::string longLine(TOutputLines::LongestLine + 5, 'y');
    lines.Add(At(3, 0), longLine.data(), longLine.size());
    lines.Add(At(4, 0), "\nlast\r", 6);
    EXPECT_EQ("2024-03-05 14:07:01.000 out: a\r\n"
              "2024-03-05 14:07:02.000 out: bc\r\n"
              "2024-03-05 14:07:02.000 out: \r\n"
              "2024-03-05 14:07:03.000 out: " + std::string(TOutputLines::LongestLine, 'y') + "\r\n"
              "2024-03-05 14:07:04.000 out: yyyyy\r\n",
              lines.Lines());
    lines.Clear();
    lines.Finish(At(5, 0));
    EXPECT_EQ("2024-03-05 14:07:05.000 out: last\r\n", lines.Lines());

    TOutputLines bare("err", false);
    bare.Add(At(6, 0), "plain\r\n", 7);
    EXPECT_EQ("err: plain\r\n", bare.Lines());
}

TEST(StubFileLog, AtMidnightAndPastItsSizeTheLogMovesAsideIntoFilesThatSortByAgeLosingNoLine)
{
    TTempFolder folder;
    const std::string path = folder.File("daily.log");
    TFileLog log(path, {2048, 12, true});
    SYSTEMTIME now = {2024, 3, 2, 5, 23, 59, 0, 0};
    log.SetClock([&] { return now; });
    ASSERT_NO_THROW(log.Open());
    int line = 0;
    auto write = [&](int count) {
        for (int i = 0; i < count; ++i, ++line)
            log.Output(LogLine(now, "out: day " + std::to_string(now.wDay) + " line " + std::to_string(line)));
    };
    // The first line after midnight starts a file; so does a full one.
    write(3);
    now.wDay = 6, now.wHour = 0;
    write(3);
    now.wDay = 7;
    write(100);
    // The old files by name: "daily.log.01" is the newest.
    auto oldFiles = [&] {
        std::vector<std::string> names;
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path + ".*").c_str(), &found);
        // "daily.log.*" finds "daily.log" too.
        for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileA(search, &found))
            if (folder.File(found.cFileName) != path)
                names.push_back(folder.File(found.cFileName));
        FindClose(search);
        std::sort(names.begin(), names.end());
        return names;
    };
    ASSERT_GE(oldFiles().size(), 4u);
    // A move refused at midnight (a reader holds the oldest file) leaves the
    // live file growing, whole.
    {
        TKernelHandle reader(CreateFileA(oldFiles().back().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
        now.wDay = 8;
        write(2);
    }
    EXPECT_EQ(1u, LinesWith(ReadTextFile(path), "could not be moved to").size());

    std::string all;
    const std::vector<std::string> names = oldFiles();
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        std::set<long long> days;
        for (const std::string& text : LinesWith(ReadTextFile(*name), " out: day "))
            days.insert(NumberAfter(text, " out: day "));
        EXPECT_EQ(1u, days.size()) << *name;
        all += ReadTextFile(*name);
    }
    std::vector<std::string> lines = LinesWith(all + ReadTextFile(path), " out: day ");
    ASSERT_EQ(static_cast<size_t>(line), lines.size());
    for (int i = 0; i < line; ++i)
        EXPECT_EQ(i, NumberAfter(lines[i], " line ")) << lines[i];
    EXPECT_EQ(5, NumberAfter(ReadTextFile(names.back()), " out: day "));
}

TEST(StubFileLog, AnEarlierDaysFileMovesAsideAtTheFirstLineAndAClockSetBackStartsNoSecondFileThatDay)
{
    TTempFolder folder;
    const std::string path = folder.File("daily.log");
    WriteTextFile(path, "yesterday\r\n");
    WrittenAt(path, {2024, 3, 2, 5, 22, 0, 0, 0});
    TFileLog log(path, {0, 3, true});
    SYSTEMTIME now = {2024, 3, 3, 6, 0, 0, 5, 0};
    log.SetClock([&] { return now; });
    ASSERT_NO_THROW(log.Open());
    log.Detail("service starting");
    EXPECT_EQ("yesterday\r\n", ReadTextFile(path + ".1"));
    // Set back across midnight, then on past it again: still the one file.
    now = {2024, 3, 2, 5, 23, 59, 50, 0};
    log.Detail("set back");
    now = {2024, 3, 3, 6, 0, 0, 20, 0};
    log.Detail("on again");
    EXPECT_FALSE(FileExists(path + ".2"));
    // The next day starts the next file.
    now.wDay = 7;
    log.Detail("next day");
    EXPECT_EQ("yesterday\r\n", ReadTextFile(path + ".2"));
    const std::string before = ReadTextFile(path + ".1");
    for (const char* line : {" service starting\r", " set back\r", " on again\r"})
        EXPECT_EQ(1u, LinesWith(before, line).size()) << before;
}

TEST(StubFileLog, ALogFileDeletedOrItsFolderRemovedCountsWhatIsLostAndIsMadeAgainSayingSo)
{
    TTempFolder folder;
    const std::string logs = folder.File("logs"), path = logs + "\\service.log";
    ASSERT_TRUE(CreateDirectoryA(logs.c_str(), nullptr));
    TFileLog log(path);
    ASSERT_NO_THROW(log.Open());
    auto write = [&](const std::string& text) {
        const std::string line = LogLine(At(9, 0), "out: " + text);
        log.Output(line);
        return line.size();
    };
    auto waitForCheck = [] { Sleep(TFileLog::PathCheckMs + 50); };
    write("first");

    // Deleted: what went in since the log last found it in place is gone.
    waitForCheck();
    ASSERT_TRUE(log.State().Open);
    ASSERT_TRUE(MoveFileExA(path.c_str(), (path + ".deleted").c_str(), 0));
    TSeamOverride<decltype(KernelApi().GetFileInformationByHandleEx)> pending(
        KernelApi().GetFileInformationByHandleEx, PendingDelete);
    deletePending = true;
    const size_t lost = write("lost 1") + write("lost 2");
    waitForCheck();
    write("after the delete");
    deletePending = false;
    std::vector<std::string> made = LinesWith(ReadTextFile(path), "");
    ASSERT_EQ(2u, made.size()) << ReadTextFile(path);
    EXPECT_EQ(" warning: " + std::to_string(lost) + " bytes dropped: the log file was deleted\r", made[0].substr(23));
    EXPECT_NE(std::string::npos, made[1].find(" out: after the delete\r"));

    // The folder moved away, as into the recycle bin, and made again.
    ASSERT_TRUE(MoveFileExA(logs.c_str(), (logs + ".bin").c_str(), 0));
    waitForCheck();
    const size_t dropped = write("dropped 1") + write("dropped 2");
    const TLogState missing = log.State();
    EXPECT_FALSE(missing.Open);
    EXPECT_TRUE(missing.FolderMissing);
    EXPECT_EQ(dropped, missing.DroppedBytes);
    ASSERT_TRUE(CreateDirectoryA(logs.c_str(), nullptr));
    const TLogState back = log.State();
    EXPECT_TRUE(back.Open);
    EXPECT_FALSE(back.FolderMissing);
    EXPECT_EQ(0u, back.DroppedBytes);
    // The count since the host started stays once the file says it.
    EXPECT_EQ(lost + dropped, missing.DroppedTotalBytes);
    EXPECT_EQ(lost + dropped, back.DroppedTotalBytes);
    made = LinesWith(ReadTextFile(path), "");
    ASSERT_EQ(1u, made.size());
    EXPECT_EQ(" warning: " + std::to_string(dropped) + " bytes dropped: the log could not be written (error 3)\r",
              made[0].substr(23));
}

TEST(StubFileLog, RotationKeepsWholeLinesAndTellsWhatTheOldFilesHoldAndWhatWentBefore)
{
    TTempFolder folder;
    std::string path = folder.File("service.log");
    WriteTextFile(path, "earlier line\r\n");
    TFileLog log(path, {600, 1});
    ASSERT_NO_THROW(log.Open());
    log.Event(TLogKind::Warning, "odd");
    EXPECT_EQ(1u, LinesWith(ReadTextFile(path), " warning: odd\r").size());
    uint64_t deleted = 0;
    for (int i = 0; i < 60; ++i) {
        uint64_t before = FileBytes(path), old = FileBytes(path + ".1");
        log.Output(LogLine(At(9, 0), "out: line " + std::to_string(i) + std::string(i % 7 * 5, '.')));
        if (FileBytes(path) < before)
            deleted += old;
    }
    std::string current = ReadTextFile(path), backup = ReadTextFile(path + ".1");
    EXPECT_LE(current.size(), 600u);
    EXPECT_LE(backup.size(), 600u);
    // The newest lines, whole and in order, the oldest gone.
    std::vector<std::string> kept = LinesWith(backup + current, " out: line ");
    long long first = 60 - static_cast<long long>(kept.size());
    EXPECT_GT(first, 0);
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(first + static_cast<long long>(i), NumberAfter(kept[i], " out: line ")) << kept[i];
    for (const std::string& file : {current, backup})
        for (const std::string& line : LinesWith(file, ""))
            EXPECT_TRUE(IsStamped(line)) << line;
    EXPECT_TRUE(LinesWith(current + backup, "earlier line").empty());
    EXPECT_EQ(static_cast<long long>(backup.size()), NumberAfter(current, ".1\" holds the "));
    EXPECT_EQ(static_cast<long long>(deleted), NumberAfter(current, " bytes before this file; "));
    EXPECT_GT(deleted, 0u);
    EXPECT_EQ(deleted, log.State().DeletedBytes);
}

TEST(StubFileLog, OldFilesNamedForAnotherKeptCountAreRenamedOrDeletedInTheirTurn)
{
    TTempFolder folder;
    std::string path = folder.File("service.log");
    // Kept nine, now ten: ".1" to ".9" become ".01" to ".09"; kept more
    // before, ".12" is past the count. A longer number is no old file.
    for (const char* number : {"1", "2", "9", "12", "2024"})
        WriteTextFile(path + "." + number, number);
    TFileLog log(path, {100, 10});
    ASSERT_NO_THROW(log.Open());
    log.Output(LogLine(At(9, 0), "out: " + std::string(120, 'x')));
    log.Output(LogLine(At(9, 0), "out: next"));
    for (const char* gone : {"1", "2", "9", "12"})
        EXPECT_FALSE(FileExists(path + "." + gone)) << gone;
    EXPECT_EQ("1", ReadTextFile(path + ".02"));
    EXPECT_EQ("2", ReadTextFile(path + ".03"));
    EXPECT_EQ("9", ReadTextFile(path + ".10"));
    EXPECT_EQ("2024", ReadTextFile(path + ".2024"));
    EXPECT_EQ(2, NumberAfter(ReadTextFile(path), " bytes before this file; "));

    // A log keeping the one old file every log kept before touches nothing else.
    const std::string plain = folder.File("plain.log");
    WriteTextFile(plain + ".2", "kept");
    TFileLog once(plain, {100, 1});
    ASSERT_NO_THROW(once.Open());
    once.Output(LogLine(At(9, 0), "out: " + std::string(120, 'x')));
    once.Output(LogLine(At(9, 0), "out: next"));
    EXPECT_TRUE(FileExists(plain + ".1"));
    EXPECT_EQ("kept", ReadTextFile(plain + ".2"));
}

TEST(StubFileLog, AMoveThatFailsKeepsEveryLineAndIsTriedOneLimitLater)
{
    TTempFolder folder;
    std::string path = folder.File("service.log");
    // A folder where the backup goes refuses the move.
    ASSERT_TRUE(CreateDirectoryA((path + ".1").c_str(), nullptr));
    TFileLog log(path, {400, 1});
    ASSERT_NO_THROW(log.Open());
    for (int i = 0; i < 15; ++i)
        log.Detail("line " + std::to_string(i));
    std::string text = ReadTextFile(path);
    EXPECT_EQ(1u, LinesWith(text, " line 0\r").size());
    EXPECT_EQ(1u, LinesWith(text, " line 14\r").size());
    EXPECT_EQ(1u, LinesWith(text, "could not be moved").size()) << text;

    ASSERT_TRUE(RemoveDirectoryA((path + ".1").c_str()));
    int i = 15;
    while (!FileExists(path + ".1") && i < 100)
        log.Detail("line " + std::to_string(i++));
    std::string backup = ReadTextFile(path + ".1");
    EXPECT_EQ(1u, LinesWith(backup, " line 0\r").size()) << backup;
    EXPECT_EQ(1u, LinesWith(ReadTextFile(path), " line " + std::to_string(i - 1) + "\r").size());
    EXPECT_GE(i, 20) << "moved before the file had grown by another limit";

    // Lines longer than the limit, the move refused: written all the same.
    std::string other = folder.File("other.log");
    ASSERT_TRUE(CreateDirectoryA((other + ".1").c_str(), nullptr));
    TFileLog small(other, {100, 1});
    ASSERT_NO_THROW(small.Open());
    for (int j = 0; j < 2; ++j)
        small.Detail(std::string(200, 'z'));
    EXPECT_EQ(2u, LinesWith(ReadTextFile(other), std::string(200, 'z')).size());
}

TEST(StubFileLog, UnopenableFileIsReported)
{
    TTempFolder folder;
    TFileLog log(folder.File("no such folder\\service.log"));
    EXPECT_NE(std::string::npos, ErrorOf([&] { log.Open(); }).find("no such folder"));
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
        log.Output(LogLine(At(1, 0), "out: program output stays out of the event log"));
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
