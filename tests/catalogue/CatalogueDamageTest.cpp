#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <set>

#include "catalogue/Catalogue.h"
#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "stub/StubSettings.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Text.h"

namespace {

const std::string Sound = "; hand-edited\r\n[Status]\r\nNumServices=3\r\nLastServiceID=3\r\nService_1=Alpha\r\n"
                          "Service_2=Beta\r\nService_3=Gamma\r\n[Alpha]\r\nProgram=C:\\a.exe\r\nServiceID=1\r\n"
                          "Vantorer=C:\\windows\\Vantorers\\Alpha.exe\r\nInstalled=1\r\n[Beta]\r\nProgram=\"C:\\b.exe\"\r\n"
                          "ServiceID=2\r\n[Gamma]\r\nServiceID=3\r\nLogToFile=1\r\n[WindowStatus]\r\nFlags=0\r\n";

// One to three kinds of damage done to a sound catalogue, or noise.
std::string Damaged(std::mt19937& random)
{
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    static const char* const numbers[] = {"2147483647", "-1", "-2147483648", "99999", "100001", "many", "",
                                          "0x7FFFFFFF", "$FFFFFFFF", " 3", "3 ", "0"};
    static const char* const pieces[] = {"\r\n", "\r", "\n", "[", "]", "=", "\"", "'", ";", "\x1A", "\xFF\xFE",
                                         "[Status]", "Service_", "NumServices=", "Service_100000=x",
                                         "LastServiceID=", "ServiceID=", "Vantorer=", "[Alpha]", "\t "};
    std::string text = Sound;
    for (size_t kinds = 1 + pick(3); kinds > 0; --kinds) {
        size_t at = pick(text.size() + 1);
        switch (pick(8)) {
        case 0:
            text.resize(at);
            break;
        case 1:
            for (const char* key : {"NumServices=", "LastServiceID=", "ServiceID="})
                if (size_t found = text.find(key); found != std::string::npos)
                    text.replace(found + strlen(key), text.find('\r', found) - found - strlen(key),
                                 numbers[pick(std::size(numbers))]);
            break;
        case 2:
            text.insert(at, std::string(pieces[pick(std::size(pieces))]));
            break;
        case 3:
            text.insert(at, text.substr(pick(text.size() + 1), pick(80)));
            break;
        case 4:
            text.erase(at, pick(60));
            break;
        case 5:
            text.insert(at, std::string(1 + pick(3), '\0'));
            break;
        case 6:
            for (size_t n = pick(40); n > 0 && !text.empty(); --n)
                text[pick(text.size())] = static_cast<char>(random());
            break;
        default:
            text = std::string(pick(300), '\0');
            for (char& c : text)
                c = static_cast<char>(random());
        }
    }
    if (pick(2000) == 0)
        text.insert(pick(text.size() + 1), "Program=" + std::string(1 << 20, 'L') + "\r\n");
    return text;
}

} // namespace

BOOL WINAPI NoteMove(LPCSTR, LPCSTR, DWORD)
{
    ADD_FAILURE() << "a read wrote the catalogue";
    return FALSE;
}

TEST(CatalogueDamage, DamagedFilesNeverCrashFloodOrGetWritten)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    // Every write of the catalogue ends in this call; a read must never get there.
    TSeamOverride noWrites(KernelApi().MoveFileExA, &NoteMove);
    HANDLE damaged = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, 0, nullptr);
    std::mt19937 random(20240611);
    for (int round = 0; round < 10000; ++round) {
        const std::string text = Damaged(random);
        DWORD written = 0;
        SetFilePointer(damaged, 0, nullptr, FILE_BEGIN);
        ASSERT_TRUE(WriteFile(damaged, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
        SetEndOfFile(damaged);
        size_t keys = 0;
        for (size_t at = text.find('_'); at != std::string::npos; at = text.find('_', at + 1))
            ++keys;

        TCatalogue catalogue(file);
        std::vector<TCatalogueRow> rows = catalogue.ListEntries();
        ASSERT_LE(rows.size(), 2 * keys) << round;
        int index = static_cast<int>(random() % (rows.size() + 2));
        try {
            catalogue.LoadEntry(index);
        } catch (const TError&) {
            ASSERT_TRUE(index < 1 || index > catalogue.LastCount()) << round;
        }
        catalogue.FindByDescription(rows.empty() ? "Beta" : rows.back().Description);
        try {
            LoadSettings(rows.empty() ? "Alpha" : rows.front().Description, "C:\\windows\\Vantorers\\Alpha.exe",
                         file);
        } catch (const TError&) {
        }
    }
    CloseHandle(damaged);
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(folder.File("*.tmp").c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE);
    FindClose(search);
}

// The writer the next test kills: appends, edits and removes until then.
TEST(CatalogueDamage, DISABLED_Writer)
{
    const char* file = std::getenv("QUORVANE_CATALOGUE_UNDER_TEST");
    ASSERT_NE(file, nullptr);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QuorvaneCatalogueWriterReady");
    TCatalogue catalogue(file);
    std::mt19937 random(GetCurrentProcessId());
    for (int step = 0; step < 20000; ++step) {
        int count = catalogue.Count(), action = static_cast<int>(random() % 3);
        std::string name = "Entry " + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(step);
        if (count < 5 || (action == 0 && count < 30))
            catalogue.AppendEntry(name, "C:\\" + name + ".exe", "-p", "", false);
        else if (action == 1)
            catalogue.UpdateEntry(1 + static_cast<int>(random() % count), name, "C:\\x.exe", "", "", true);
        else
            catalogue.DeleteEntry(1 + static_cast<int>(random() % count));
        SetEvent(ready);
    }
}

TEST(CatalogueDamage, AWriterKilledAtAnyMomentLeavesAWholeCatalogue)
{
    TTempFolder folder;
    const std::string file = folder.File("QXServices.ini");
    SetEnvironmentVariableA("QUORVANE_CATALOGUE_UNDER_TEST", file.c_str());
    std::string command = "\"";
    command += ExecutablePath() + "\" --gtest_also_run_disabled_tests --gtest_filter=CatalogueDamage.DISABLED_Writer";
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QuorvaneCatalogueWriterReady");
    std::mt19937 random(1234);
    for (int kill = 0; kill < 50; ++kill) {
        ResetEvent(ready);
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION writer = {};
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                                   nullptr, &startup, &writer));
        HANDLE waits[] = {ready, writer.hProcess};
        EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, 60000), WAIT_OBJECT_0);
        Sleep(random() % 30);
        TerminateProcess(writer.hProcess, 1);
        WaitForSingleObject(writer.hProcess, INFINITE);
        CloseHandle(writer.hProcess);
        CloseHandle(writer.hThread);

        const TCatalogueSnapshot snapshot(file);
        const TIniDocument& ini = snapshot.Document();
        ASSERT_EQ(ini.ReadInteger("Status", "NumServices", -1), snapshot.Count()) << kill;
        std::set<std::string> listed;
        for (int n = 1; n <= snapshot.Count(); ++n) {
            ASSERT_TRUE(ini.HasKey("Status", ServiceKey(n))) << kill;
            ASSERT_TRUE(ini.HasSection(snapshot.Description(n))) << kill << " " << snapshot.Description(n);
            ASSERT_TRUE(listed.insert(LowerCase(snapshot.Description(n))).second) << kill;
        }
    }
    CloseHandle(ready);
}
