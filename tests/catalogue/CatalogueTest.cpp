#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <thread>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "platform/Security.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"
#include "tests/support/Errors.h"

namespace {

class CatalogueTest : public ::testing::Test {
protected:
    TTempFolder folder;
    std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue{file};
    TIniFile ini{file};

    int Add(const std::string& description)
    {
        return catalogue.AppendEntry(description, "C:\\" + description + ".exe", "-p " + description, "", false);
    }
    std::string Text() { return ReadTextFile(file); }

};

BOOL WINAPI RefuseMove(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

// A file system that keeps security descriptors, as Wine does not: the
// descriptor each file has, and the one each new file was created with.
struct TSecurityRecord {
    std::string descriptor = "O:SYG:BAD:P(A;;FA;;;SY)(A;;FR;;;BA)S:(AU;FA;FA;;;WD)";
    // Without the security privilege an audit list cannot be read.
    bool auditReadable = true;
    DWORD refusal = ERROR_SUCCESS;
    // Each file created to replace another: its name and its descriptor.
    std::vector<std::string> names, created;
    // What another program met that opened the new file at that moment.
    DWORD openedMeanwhile = ERROR_SUCCESS;
} security;

// The descriptor as text, in the form the system writes it.
std::string Sddl(PSECURITY_DESCRIPTOR descriptor)
{
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1,
                                                         OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                             DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION,
                                                         &text, nullptr);
    const std::string sddl = text ? text : "";
    LocalFree(text);
    return sddl;
}

std::string Sddl(const std::string& text)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
    const std::string sddl = Sddl(descriptor);
    LocalFree(descriptor);
    return sddl;
}

DWORD WINAPI FakeGetSecurity(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION asked, PSID*, PSID*, PACL*, PACL*,
                             PSECURITY_DESCRIPTOR* descriptor)
{
    if (security.refusal != ERROR_SUCCESS)
        return security.refusal;
    std::string text = security.descriptor;
    if (asked & SACL_SECURITY_INFORMATION) {
        if (!security.auditReadable)
            return ERROR_PRIVILEGE_NOT_HELD;
    } else {
        text = text.substr(0, text.find("S:"));
    }
    ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, descriptor, nullptr);
    return ERROR_SUCCESS;
}

HANDLE WINAPI WatchedCreate(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes, DWORD how,
                            DWORD flags, HANDLE from)
{
    const HANDLE file = ::CreateFileA(name, access, share, attributes, how, flags, from);
    security.names.push_back(name);
    security.created.push_back(attributes ? Sddl(attributes->lpSecurityDescriptor) : "(none)");
    const TKernelHandle reader(
        ::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      0, nullptr));
    security.openedMeanwhile = reader ? ERROR_SUCCESS : GetLastError();
    return file;
}

// The names in the folder, but for "." and "..".
std::vector<std::string> FolderNames(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const TFindHandle search(FindFirstFileA((folder + "\\*").c_str(), &found));
    do
        if (found.cFileName[0] != '.')
            names.push_back(found.cFileName);
    while (search && FindNextFileA(search.Get(), &found));
    return names;
}

DWORD WINAPI FakeGetObjectSecurity(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* dacl,
                                   PACL*, PSECURITY_DESCRIPTOR* descriptor)
{
    ConvertStringSecurityDescriptorToSecurityDescriptorA(security.descriptor.c_str(), SDDL_REVISION_1, descriptor,
                                                         nullptr);
    BOOL present = FALSE, defaulted = FALSE;
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    // No list at all, as Windows reads it (Wine makes an empty one of it).
    if (security.descriptor.find("NO_ACCESS_CONTROL") != std::string::npos)
        *dacl = nullptr;
    return ERROR_SUCCESS;
}

std::string linkTarget;

DWORD WINAPI LinkedPath(HANDLE, LPSTR buffer, DWORD size, DWORD)
{
    const std::string final = "\\\\?\\" + linkTarget;
    if (final.size() >= size)
        return static_cast<DWORD>(final.size() + 1);
    final.copy(buffer, final.size());
    buffer[final.size()] = 0;
    return static_cast<DWORD>(final.size());
}

} // namespace

TEST_F(CatalogueTest, AMissingFileIsAnEmptyCatalogue)
{
    EXPECT_EQ(catalogue.Count(), 0);
    EXPECT_TRUE(catalogue.ListEntries().empty());
    EXPECT_EQ(catalogue.FindByDescription("anything"), -1);
    EXPECT_FALSE(FileExists(file));
}

TEST_F(CatalogueTest, AppendWritesTheKeysInOrderAndHandsOutServiceIDs)
{
    EXPECT_EQ(catalogue.AppendEntry("Mail Relay", "C:\\relay.exe", "-v", "C:\\relay.log", true), 1);
    EXPECT_EQ(catalogue.Entry().ServiceID, 1);
    EXPECT_EQ(catalogue.LastCount(), 1);
    EXPECT_FALSE(catalogue.Entry().Installed);
    EXPECT_EQ(Text(), "[Status]\r\nLastServiceID=1\r\nNumServices=1\r\nService_1=Mail Relay\r\n"
                      "[Mail Relay]\r\nProgram=C:\\relay.exe\r\nParameters=-v\r\nLogFile=C:\\relay.log\r\n"
                      "LogToFile=1\r\nInstalled=0\r\nServiceID=1\r\n");

    EXPECT_EQ(Add("Second"), 2);
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
    catalogue.LoadEntry(1);
    const TCatalogueEntry& e = catalogue.Entry();
    EXPECT_EQ(e.Description, "Mail Relay");
    EXPECT_EQ(e.Program, "C:\\relay.exe");
    EXPECT_EQ(e.Parameters, "-v");
    EXPECT_EQ(e.LogFile, "C:\\relay.log");
    EXPECT_TRUE(e.LogToFile);
    EXPECT_FALSE(e.Installed);
    EXPECT_EQ(e.ServiceID, 1);
    EXPECT_EQ(e.StubPath, "");
}

TEST_F(CatalogueTest, ServiceIDsAreNeverReused)
{
    Add("One");
    Add("Two");
    Add("Three");
    catalogue.DeleteEntry(3);
    catalogue.DeleteEntry(1);
    EXPECT_EQ(Add("Four"), 2);
    EXPECT_EQ(catalogue.Entry().ServiceID, 4);
    catalogue.LoadEntry(1);
    EXPECT_EQ(catalogue.Entry().Description, "Two");
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
}

// Twenty entries: a section of more than sixteen keys is looked up through an
// index, which a removed key must not leave pointing at its neighbours.
TEST_F(CatalogueTest, DeletingShiftsTheListAndLeavesTheStaleLastKey)
{
    std::vector<std::string> expected;
    for (char d = 'A'; d <= 'T'; ++d)
        Add(std::string(1, d));
    catalogue.DeleteEntry(2);
    EXPECT_EQ(catalogue.LastCount(), 19);
    EXPECT_EQ(catalogue.Count(), 19);
    for (char d = 'A'; d <= 'T'; ++d)
        if (d != 'B')
            expected.push_back(std::string(1, d));
    for (int n = 1; n <= 19; ++n)
        EXPECT_EQ(ini.ReadString("Status", ServiceKey(n), ""), expected[n - 1]);
    EXPECT_EQ(ini.ReadString("Status", "Service_20", ""), "T");
    EXPECT_EQ(ini.ReadString("B", "Program", "gone"), "gone");
    EXPECT_EQ(Text().find("[B]"), std::string::npos);

    auto rows = catalogue.ListEntries();
    ASSERT_EQ(rows.size(), 19u);
    EXPECT_EQ(rows[1].Index, 2);
    EXPECT_EQ(rows[1].Description, "C");
    EXPECT_EQ(rows[1].Program, "C:\\C.exe");
    EXPECT_EQ(rows[1].Parameters, "-p C");

    // The next append takes the stale key's place.
    Add("U");
    EXPECT_EQ(ini.ReadString("Status", "Service_20", ""), "U");
}

TEST_F(CatalogueTest, DeletingTheLastEntryLeavesNoStaleKey)
{
    Add("A");
    Add("B");
    catalogue.DeleteEntry(2);
    EXPECT_EQ(Text().find("Service_2"), std::string::npos);
    catalogue.DeleteEntry(1);
    EXPECT_EQ(catalogue.Count(), 0);
    EXPECT_EQ(Text().find("Service_1"), std::string::npos);
}

TEST_F(CatalogueTest, BadIndexesAreRefusedWithTheIndex)
{
    Add("A");
    Add("B");
    EXPECT_EQ(ErrorOf([&] { catalogue.LoadEntry(0); }), "Wrong Service index (0");
    EXPECT_EQ(ErrorOf([&] { catalogue.LoadEntry(3); }), "Wrong Service index (3");
    EXPECT_EQ(ErrorOf([&] { catalogue.IsInstalled(-1); }), "Wrong Service index (-1");
    EXPECT_EQ(ErrorOf([&] { catalogue.DeleteEntry(3); }), "Wrong Service index (3");
    EXPECT_EQ(catalogue.Count(), 2);
}

TEST_F(CatalogueTest, MissingKeysReadAsTheirDefaults)
{
    WriteTextFile(file, "[Status]\r\nNumServices=3\r\nService_1=Bare\r\nService_3=C\r\n[Bare]\r\nInstalled=1\r\n");
    catalogue.LoadEntry(1);
    EXPECT_EQ(catalogue.Entry().ServiceID, 1);
    EXPECT_EQ(catalogue.Entry().Program, "Service 1.exe");
    EXPECT_TRUE(catalogue.Entry().Installed);
    EXPECT_TRUE(catalogue.IsInstalled(1));

    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Description, "Service 2");
    EXPECT_EQ(catalogue.Entry().Program, "Service 2.exe");
    EXPECT_FALSE(catalogue.IsInstalled(2));
    auto rows = catalogue.ListEntries();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].Description, "Service 2");
    EXPECT_EQ(rows[1].Program, "Service 2.exe");
}

TEST_F(CatalogueTest, TheCountFollowsTheIntegerRule)
{
    std::string keys;
    for (int n = 1; n <= 30; ++n)
        keys += ServiceKey(n) + "=x\r\n";
    WriteTextFile(file, "[Status]\r\nNumServices=0x1A\r\n" + keys);
    EXPECT_EQ(catalogue.Count(), 26);
    WriteTextFile(file, "[Status]\r\nNumServices= $1A\r\n" + keys);
    EXPECT_EQ(catalogue.Count(), 26);
    WriteTextFile(file, "[Status]\r\nNumServices=many\r\n");
    EXPECT_EQ(catalogue.Count(), 0);
}

TEST_F(CatalogueTest, FindIgnoresLetterCaseAndKeepsTheLastDescriptionRead)
{
    Add("Mail Relay");
    Add("Print Spool");
    EXPECT_EQ(catalogue.FindByDescription("MAIL relay"), 1);
    EXPECT_EQ(catalogue.Entry().Description, "Mail Relay");
    EXPECT_EQ(catalogue.FindByDescription("print spool"), 2);
    EXPECT_EQ(catalogue.FindByDescription("Nothing"), -1);
    EXPECT_EQ(catalogue.Entry().Description, "Print Spool");
}

TEST_F(CatalogueTest, UpdateKeepsServiceIDAndHostPathOfAnUnchangedDescription)
{
    Add("A");
    Add("B");
    ini.WriteString("B", "Vantorer", "C:\\windows\\Vantorers\\B.exe");
    ini.WriteBool("B", "Installed", true);
    catalogue.UpdateEntry(2, "B", "C:\\new.exe", "", "C:\\b.log", true);
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Program, "C:\\new.exe");
    EXPECT_EQ(catalogue.Entry().Parameters, "");
    EXPECT_TRUE(catalogue.Entry().LogToFile);
    EXPECT_FALSE(catalogue.Entry().Installed);
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
    EXPECT_EQ(catalogue.Entry().StubPath, "C:\\windows\\Vantorers\\B.exe");
}

TEST_F(CatalogueTest, ARenamedEntryTakesItsIdentityAlongAndLeavesNoOldSection)
{
    Add("A");
    Add("Old Name");
    ini.WriteString("Old Name", "Vantorer", "C:\\windows\\Vantorers\\Old!Name.exe");
    catalogue.UpdateEntry(2, "New Name", "C:\\n.exe", "-x", "", false);
    EXPECT_EQ(Text().find("[Old Name]"), std::string::npos);
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Description, "New Name");
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
    EXPECT_EQ(catalogue.Entry().StubPath, "C:\\windows\\Vantorers\\Old!Name.exe");
    EXPECT_EQ(catalogue.Entry().Program, "C:\\n.exe");

    // A change of letter case alone stays in the same section.
    catalogue.UpdateEntry(2, "NEW NAME", "C:\\n.exe", "", "", false);
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Description, "NEW NAME");
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
    EXPECT_EQ(catalogue.Entry().Program, "C:\\n.exe");
}

TEST_F(CatalogueTest, RenamingOntoAnotherEntrysDescriptionIsRefused)
{
    Add("A");
    Add("B");
    std::string before = Text();
    EXPECT_EQ(ErrorOf([&] { catalogue.UpdateEntry(2, "a", "C:\\x.exe", "", "", false); }),
              "A service described \"a\" is in the catalogue already");
    EXPECT_EQ(Text(), before);
}

TEST_F(CatalogueTest, DescriptionsThatCannotWorkAreRefusedBeforeAnythingIsWritten)
{
    Add("Keep");
    std::string before = Text();
    for (const char* bad : {"", "Status", "windowSTATUS", "a]b", "line\r\nbreak", "tab\there", " lead", "trail ",
                            "back\\slash", "what?", "star*", "pipe|", "quote\"", "A!B", "CON", "com1", "NUL.log",
                            "CON.txt", "aux .bak", "COM1.x", "'Relay'", "\"Relay\""}) {
        EXPECT_THROW(catalogue.AppendEntry(bad, "C:\\x.exe", "", "", false), TError) << bad;
        EXPECT_THROW(catalogue.UpdateEntry(1, bad, "C:\\x.exe", "", "", false), TError) << bad;
    }
    EXPECT_EQ(Text(), before);
    EXPECT_TRUE(DescriptionRefusal(std::string(300, 'x')));
    for (const char* good : {"Mail Relay", "a", "Ünïcode-ish name", "[bracket", "Status 2", "x.y", "Console"})
        EXPECT_EQ(DescriptionRefusal(good).Reason(), "") << good;
    // Older entries that only break the newer rules can still be installed.
    for (const char* stored : {"A!B", "'Relay'", "trail "})
        EXPECT_EQ(FileNameRefusal(stored).Reason(), "") << stored;
    for (const char* unsafe : {"..\\..\\x", "C:x", "nul.txt", "lpt9"})
        EXPECT_TRUE(FileNameRefusal(unsafe)) << unsafe;
    EXPECT_EQ(ErrorOf([] { CheckDescription("Status"); }),
              "\"Status\" is a reserved name and cannot describe a service");
}

TEST_F(CatalogueTest, DeletingAHandEditedReservedEntryKeepsTheCatalogue)
{
    WriteTextFile(file, "[Status]\r\nNumServices=2\r\nLastServiceID=2\r\nService_1=status\r\nService_2=B\r\n"
                        "[B]\r\nServiceID=2\r\n");
    catalogue.DeleteEntry(1);
    EXPECT_EQ(catalogue.Count(), 1);
    EXPECT_EQ(ini.ReadString("Status", "Service_1", ""), "B");
    EXPECT_EQ(ini.ReadInteger("Status", "LastServiceID", 0), 2);
}

TEST_F(CatalogueTest, ARefusedWriteLeavesTheFileAsItWas)
{
    Add("A");
    Add("B");
    Add("C");
    const std::string before = Text();
    {
        TSeamOverride refuse(KernelApi().SetFileInformationByHandle, &RefuseMove);
        EXPECT_EQ(ErrorOf([&] { catalogue.DeleteEntry(1); }), "Unable to write to QXServices.ini");
        EXPECT_EQ(catalogue.LastCount(), 3);
        EXPECT_EQ(ErrorOf([&] { Add("D"); }), "Unable to write to QXServices.ini");
        EXPECT_EQ(ErrorOf([&] { catalogue.UpdateEntry(1, "A", "C:\\x.exe", "", "", false); }),
                  "Unable to write to QXServices.ini");
    }
    EXPECT_EQ(Text(), before);
    EXPECT_FALSE(FileExists(file + ".tmp"));

    // A file that cannot be read is never written over.
    HANDLE locked = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(ErrorOf([&] { Add("D"); }), "Unable to write to QXServices.ini");
    CloseHandle(locked);
    EXPECT_EQ(Text(), before);
}

TEST_F(CatalogueTest, ADamagedCountListsTheEntriesThatExistAndTheNextWriteRepairsIt)
{
    for (const char* count : {"-3", "many", "2147483647", "100001", "9"}) {
        WriteTextFile(file, std::string("[Status]\r\nNumServices=") + count +
                                "\r\nService_1=A\r\nService_2=B\r\nService_3=C\r\n[B]\r\nProgram=b.exe\r\n");
        EXPECT_EQ(catalogue.Count(), 3) << count;
        EXPECT_EQ(catalogue.ListEntries().size(), 3u);
        EXPECT_EQ(catalogue.FindByDescription("nothing"), -1);
        EXPECT_EQ(ErrorOf([&] { catalogue.LoadEntry(4); }), "Wrong Service index (4");
        catalogue.UpdateEntry(2, "B", "C:\\b.exe", "", "", false);
        EXPECT_EQ(ini.ReadInteger("Status", "NumServices", 0), 3) << count;
    }
    // A gap no larger than the keys present is an entry missing its key;
    // one far beyond them is no list at all.
    WriteTextFile(file, "[Status]\r\nNumServices=2147483647\r\nService_1=A\r\nService_2=B\r\nService_4=D\r\n"
                        "Service_99999=Z\r\n");
    EXPECT_EQ(Add("F"), 5);
    EXPECT_EQ(ini.ReadInteger("Status", "NumServices", 0), 5);
    catalogue.DeleteEntry(2);
    EXPECT_EQ(ini.ReadInteger("Status", "NumServices", 0), 4);
    WriteTextFile(file, "[Status]\r\nNumServices=2147483647\r\n");
    EXPECT_TRUE(catalogue.ListEntries().empty());
}

TEST_F(CatalogueTest, ServiceIDsStayPositiveAndNewWhateverLastServiceIDSays)
{
    const std::string entries = "NumServices=2\r\nService_1=A\r\nService_2=B\r\n[A]\r\nServiceID=9\r\n";
    WriteTextFile(file, "[Status]\r\nLastServiceID=-5\r\n" + entries);
    Add("C");
    EXPECT_EQ(catalogue.Entry().ServiceID, 10);
    EXPECT_EQ(ini.ReadInteger("Status", "LastServiceID", 0), 10);

    WriteTextFile(file, "[Status]\r\nLastServiceID=2147483647\r\n" + entries);
    const std::string before = Text();
    EXPECT_EQ(ErrorOf([&] { Add("C"); }),
              "No new entry can be added: every service ID up to 2147483647 has been given out");
    EXPECT_EQ(Text(), before);
}

TEST_F(CatalogueTest, RenamesAndRemovalsKeepSharedSectionsAndTakeNothingFromOrphans)
{
    WriteTextFile(file, "[Status]\r\nNumServices=3\r\nLastServiceID=4\r\nService_1=Shared\r\n"
                        "Service_2=shared\r\nService_3=Bare\r\n[Shared]\r\nServiceID=4\r\nVantorer=C:\\s.exe\r\n"
                        "StopTimeout=30\r\n"
                        "[Orphan]\r\nServiceID=7\r\nVantorer=C:\\o.exe\r\n[Bare]\r\nProgram=C:\\bare.exe\r\n");
    catalogue.UpdateEntry(2, "Renamed", "C:\\r.exe", "", "", false);
    catalogue.LoadEntry(1);
    EXPECT_EQ(catalogue.Entry().ServiceID, 4);
    EXPECT_EQ(catalogue.Entry().StubPath, "C:\\s.exe");
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().ServiceID, 8);
    EXPECT_EQ(catalogue.Entry().StubPath, "");
    // How it runs goes along; the other entry keeps it too.
    EXPECT_EQ(ReadServiceSettings(TIniDocument(file), "Renamed").StopTimeoutSeconds, 30u);
    EXPECT_EQ(ReadServiceSettings(TIniDocument(file), "Shared").StopTimeoutSeconds, 30u);

    catalogue.UpdateEntry(3, "Orphan", "C:\\bare.exe", "", "", false);
    catalogue.LoadEntry(3);
    EXPECT_EQ(catalogue.Entry().ServiceID, 1);
    EXPECT_EQ(catalogue.Entry().StubPath, "");

    Add("Shared copy");
    ini.WriteString("Status", "Service_4", "SHARED");
    catalogue.DeleteEntry(4);
    catalogue.LoadEntry(1);
    EXPECT_EQ(catalogue.Entry().StubPath, "C:\\s.exe");
    EXPECT_EQ(TCatalogueSnapshot(file).FindByStubPath(TFilePath("c:/S.EXE")), 1);
    EXPECT_EQ(TCatalogueSnapshot(file).FindByStubPath(TFilePath("C:\\o.exe")), -1);
}

TEST_F(CatalogueTest, WritersTakeTurnsAndLineBreaksNeverReachTheFile)
{
    // The window and the command line, or two scripts, changing the file at
    // once: no change may be lost to another's write of what it read.
    auto appendSome = [this](const std::string& prefix, std::string& failures) {
        TCatalogue own(file);
        for (int n = 0; n < 15; ++n) {
            std::string error =
                ErrorOf([&] { own.AppendEntry(prefix + std::to_string(n), "C:\\x.exe", "", "", false); });
            if (error != "(no error)")
                failures += error;
        }
    };
    std::string theirs, mine;
    std::thread other(appendSome, "Other ", std::ref(theirs));
    appendSome("Mine ", mine);
    other.join();
    EXPECT_EQ(theirs + mine, "");
    EXPECT_EQ(catalogue.Count(), 30);
    EXPECT_NE(catalogue.FindByDescription("Other 14"), -1);
    EXPECT_NE(catalogue.FindByDescription("Mine 14"), -1);

    // One that cannot wait its turn says the catalogue is busy, not broken.
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr), release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        const TIniWriteLock held(file);
        SetEvent(taken);
        WaitForSingleObject(release, INFINITE);
    });
    WaitForSingleObject(taken, INFINITE);
    // The holder is named.
    char self[MAX_PATH];
    const std::string program = FileNameOf(std::string(self, GetModuleFileNameA(nullptr, self, MAX_PATH)));
    EXPECT_EQ(ErrorOf([&] { TIniWriteLock(file, 50); }),
              "The catalogue QXServices.ini is busy: \"" + program + "\" (process " +
                  std::to_string(GetCurrentProcessId()) + ") is changing it. Please try again in a moment");
    SetEvent(release);
    holder.join();
    CloseHandle(taken);
    CloseHandle(release);

    const std::string before = Text();
    const std::string forged = "-a\r\n[Mine 1]\r\nServiceID=99";
    EXPECT_EQ(ErrorOf([&] { catalogue.AppendEntry("Forged", "C:\\x.exe", forged, "", false); }),
              "A program, its parameters and its log file cannot hold line breaks");
    EXPECT_THROW(catalogue.UpdateEntry(1, "Mine 0", "C:\\x.exe", "", "C:\\a.log\nInstalled=1", true), TError);
    EXPECT_EQ(Text(), before);
}

// Only administrators may take the write lock, or a lesser program could
// hold it and block every change: a lock made first with a guard that lets
// others in is refused at once, and nothing is written.
TEST_F(CatalogueTest, AWriteLockThatOthersMayTakeIsRefused)
{
    const std::string refused = "The catalogue QXServices.ini cannot be changed: its write lock was made by a "
                                "program that lets others than administrators take it";
    {
        // Made first with no guard at all, as any program may.
        const TKernelHandle squatted(CreateMutexA(nullptr, FALSE, TIniWriteLock::Name(file).c_str()));
        ASSERT_TRUE(squatted);
        EXPECT_EQ(ErrorOf([&] { Add("A"); }).find(refused), 0u);
        EXPECT_FALSE(FileExists(file));
    }
    // Ours admits administrators alone: taken again, in the same thread too.
    const TIniWriteLock mine(file);
    EXPECT_EQ(Add("A"), 1);
    // Owned by a lesser user, who may change its list; or letting everyone
    // wait for it, which takes it.
    for (const char* guard : {"O:S-1-5-21-1-2-3-1001D:P(A;;GA;;;BA)(A;;GA;;;SY)", "O:BAD:NO_ACCESS_CONTROL",
                              "O:BAD:P(A;;GA;;;BA)(A;;GA;;;SY)(A;;0x100000;;;WD)"}) {
        security.descriptor = guard;
        TSeamOverride get(SecurityApi().GetSecurityInfo, &FakeGetObjectSecurity);
        EXPECT_EQ(ErrorOf([&] { TIniWriteLock(file, 50); }).find(refused), 0u) << guard;
    }
}

// An administrator who restricted the catalogue (its parameters may hold
// secrets) keeps it so at every moment: the next file is created with the
// old one's owner, access list, audit list and attributes, shared with no
// one until it has taken the old one's place, under a name no one foresees.
TEST_F(CatalogueTest, ASaveKeepsTheFilesGuardFromTheMomentItsNextFileExists)
{
    Add("A");
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    // Another program holds the name an older Quorvane wrote to.
    const TKernelHandle squatter(
        CreateFileA((file + ".tmp").c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(squatter);
    TSeamOverride get(SecurityApi().GetNamedSecurityInfoA, &FakeGetSecurity);
    TSeamOverride create(KernelApi().CreateFileA, &WatchedCreate);
    security = TSecurityRecord();
    Add("B");
    EXPECT_EQ(security.created, (std::vector<std::string>{Sddl(security.descriptor)}));
    EXPECT_EQ(security.openedMeanwhile, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(GetFileAttributesA(file.c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_NE(Text().find("Service_2=B"), std::string::npos);

    // Without the security privilege there is no audit list to carry; a list
    // that inherits from the folder goes on inheriting.
    security.auditReadable = false;
    security.descriptor = "O:BAG:SYD:(A;;FA;;;BA)";
    catalogue.DeleteEntry(2);
    EXPECT_EQ(security.created.back(), Sddl(security.descriptor));
    ASSERT_EQ(security.names.size(), 2u);
    EXPECT_NE(security.names[0], security.names[1]);
    for (const std::string& name : security.names)
        EXPECT_TRUE(name.starts_with(file + ".") && name != file + ".tmp") << name;

    // What cannot be carried over is not written at all; a file that cannot
    // be put in place is not left beside it.
    const std::string before = Text();
    security.refusal = ERROR_ACCESS_DENIED;
    EXPECT_EQ(ErrorOf([&] { Add("C"); }), "Unable to write to QXServices.ini");
    security.refusal = ERROR_SUCCESS;
    {
        TSeamOverride refuse(KernelApi().SetFileInformationByHandle, &RefuseMove);
        EXPECT_EQ(ErrorOf([&] { Add("C"); }), "Unable to write to QXServices.ini");
    }
    EXPECT_EQ(Text(), before);
    EXPECT_EQ(FolderNames(folder.Path()), (std::vector<std::string>{"QXServices.ini", "QXServices.ini.tmp"}));
}

// A catalogue that is a symbolic link stays one: the file it leads to takes
// the new text (the link stands here as a file of its own, since Wine makes
// no link).
TEST_F(CatalogueTest, ACatalogueThatIsALinkStaysOne)
{
    Add("A");
    linkTarget = folder.File("shared.ini");
    ASSERT_TRUE(CopyFileA(file.c_str(), linkTarget.c_str(), FALSE));
    const std::string link = Text();
    {
        TSeamOverride final(KernelApi().GetFinalPathNameByHandleA, &LinkedPath);
        Add("B");
    }
    EXPECT_EQ(Text(), link);
    EXPECT_NE(ReadTextFile(linkTarget).find("Service_2=B"), std::string::npos);
    EXPECT_EQ(FolderNames(folder.Path()), (std::vector<std::string>{"QXServices.ini", "shared.ini"}));
}

namespace {

std::string Repeated(const std::string& text, size_t count)
{
    std::string repeated;
    while (count-- > 0)
        repeated += text;
    return repeated;
}

std::wstring ProfileValue(const wchar_t* section, const wchar_t* key, const std::string& file)
{
    wchar_t value[256] = {};
    GetPrivateProfileStringW(section, key, L"", value, 256, WideFromText(file).c_str());
    return value;
}

} // namespace

TEST_F(CatalogueTest, TheFileKeepsItsFormUntilAWriteNeedsACharacterBeyondIt)
{
    ASSERT_EQ(SystemCodePage(), 1252u);
    WriteTextFile(file, "; by hand\r\n[Status]\r\nNumServices=1\r\nLastServiceID=1\r\nService_1=Caf\xE9\r\n"
                        "[Caf\xE9]\r\nProgram=C:\\caf\xE9.exe\r\nServiceID=1\r\n");
    Add("Déjà vu");
    EXPECT_EQ(Text(), "; by hand\r\n[Status]\r\nNumServices=2\r\nLastServiceID=2\r\nService_1=Caf\xE9\r\n"
                      "Service_2=D\xE9j\xE0 vu\r\n[Caf\xE9]\r\nProgram=C:\\caf\xE9.exe\r\nServiceID=1\r\n"
                      "[D\xE9j\xE0 vu]\r\nProgram=C:\\D\xE9j\xE0 vu.exe\r\nParameters=-p D\xE9j\xE0 vu\r\n"
                      "LogFile=\r\nLogToFile=0\r\nInstalled=0\r\nServiceID=2\r\n");

    // Cyrillic and CJK: the profile functions' Unicode form, kept from then on.
    Add("Жук 監視😀");
    EXPECT_EQ(Text().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(ProfileValue(L"Жук 監視😀", L"Parameters", file), L"-p Жук 監視😀");
    EXPECT_EQ(ProfileValue(L"Café", L"Program", file), L"C:\\café.exe");
    catalogue.DeleteEntry(3);
    EXPECT_EQ(Text().substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(TCatalogueSnapshot(file).Description(2), "Déjà vu");

    // UTF-8 with a mark holds every character already.
    WriteTextFile(file, "\xEF\xBB\xBF[Status]\r\nNumServices=0\r\n");
    Add("Жук");
    EXPECT_EQ(Text().substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(Text().find("\r\nService_1=Жук\r\n[Жук]\r\n"), std::string::npos);
}

// Windows counts a name in UTF-16 units, the file a value in bytes.
TEST_F(CatalogueTest, LengthsAreCountedAsWindowsAndTheFileCountThem)
{
    size_t limit = 0;
    while (!DescriptionRefusal(std::string(limit + 1, 'x')))
        ++limit;
    EXPECT_EQ(DescriptionRefusal(Repeated("ж", limit)).Reason(), "");
    EXPECT_TRUE(DescriptionRefusal(Repeated("ж", limit + 1)));
    EXPECT_EQ(DescriptionRefusal(Repeated("😀", limit / 2)).Reason(), "");
    EXPECT_EQ(DescriptionRefusal(Repeated("😀", limit / 2 + 1)).Reason(),
              "A service description can be at most " + std::to_string(limit) +
                  " characters long (an emoji, or another character beyond the first 65,536, counts as two)");

    const std::string fits = Repeated("é", 511) + "x";
    catalogue.AppendEntry("Long", "C:\\x.exe", fits, "", false);
    EXPECT_EQ(TCatalogueSnapshot(file).Entry(1).Parameters, fits);
    EXPECT_EQ(ErrorOf([&] { catalogue.AppendEntry("Longer", "C:\\x.exe", fits + "é", "", false); }),
              "The parameter line takes 1025 bytes: the catalogue keeps at most 1023 bytes of it (1023, or 1022 for "
              "one that begins or ends with a blank or a quote; a character beyond ASCII takes 2 to 4)");

    // A value kept in the system's code page by an earlier version reads
    // whole, as it always did, though UTF-8 takes twice its bytes.
    WriteTextFile(file, "[Status]\r\nNumServices=1\r\nService_1=Old\r\n[Old]\r\nProgram=C:\\x.exe\r\nParameters=" +
                            std::string(1000, '\xE9') + "\r\n");
    EXPECT_EQ(TCatalogueSnapshot(file).Entry(1).Parameters, Repeated("é", 1000));
}
