#include <gtest/gtest.h>

#include <cstring>

#include "catalogue/Catalogue.h"
#include "platform/Profile.h"
#include "platform/Seam.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Error.h"
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

// Refuses erasing a whole section and nothing else.
BOOL WINAPI RefuseErase(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    if (!key && !value)
        return FALSE;
    return ::WritePrivateProfileStringA(section, key, value, file);
}

BOOL WINAPI RefuseAll(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    return FALSE;
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

TEST_F(CatalogueTest, DeletingShiftsTheListAndLeavesTheStaleLastKey)
{
    for (const char* d : {"A", "B", "C", "D", "E"})
        Add(d);
    catalogue.DeleteEntry(2);
    EXPECT_EQ(catalogue.LastCount(), 4);
    EXPECT_EQ(catalogue.Count(), 4);
    std::vector<std::string> expected = {"A", "C", "D", "E"};
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(ini.ReadString("Status", ServiceKey(n), ""), expected[n - 1]);
    EXPECT_EQ(ini.ReadString("Status", "Service_5", ""), "E");
    EXPECT_EQ(ini.ReadString("B", "Program", "gone"), "gone");
    EXPECT_EQ(Text().find("[B]"), std::string::npos);

    auto rows = catalogue.ListEntries();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[1].Index, 2);
    EXPECT_EQ(rows[1].Description, "C");
    EXPECT_EQ(rows[1].Program, "C:\\C.exe");
    EXPECT_EQ(rows[1].Parameters, "-p C");

    // The next append takes the stale key's place.
    Add("F");
    EXPECT_EQ(ini.ReadString("Status", "Service_5", ""), "F");
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
    WriteTextFile(file, "[Status]\r\nNumServices=2\r\nService_1=Bare\r\n[Bare]\r\nInstalled=1\r\n");
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
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].Description, "Service 2");
    EXPECT_EQ(rows[1].Program, "Service 2.exe");
}

TEST_F(CatalogueTest, TheCountFollowsTheIntegerRule)
{
    WriteTextFile(file, "[Status]\r\nNumServices=0x1A\r\n");
    EXPECT_EQ(catalogue.Count(), 26);
    WriteTextFile(file, "[Status]\r\nNumServices= $1A\r\n");
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
    EXPECT_NE(DescriptionFault(std::string(300, 'x')), "");
    for (const char* good : {"Mail Relay", "a", "Ünïcode-ish name", "[bracket", "Status 2", "x.y", "Console"})
        EXPECT_EQ(DescriptionFault(good), "") << good;
    // Older entries that only break the newer rules can still be installed.
    for (const char* stored : {"A!B", "'Relay'", "trail "})
        EXPECT_EQ(FileNameFault(stored), "") << stored;
    for (const char* unsafe : {"..\\..\\x", "C:x", "nul.txt", "lpt9"})
        EXPECT_NE(FileNameFault(unsafe), "") << unsafe;
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

TEST_F(CatalogueTest, TheCountIsWrittenAlsoWhenDeletingFails)
{
    Add("A");
    Add("B");
    Add("C");
    {
        TSeamOverride refuse(ProfileApi().WritePrivateProfileStringA, &RefuseErase);
        EXPECT_EQ(ErrorOf([&] { catalogue.DeleteEntry(1); }), "Unable to write to QXServices.ini");
    }
    EXPECT_EQ(catalogue.Count(), 2);
    EXPECT_EQ(catalogue.LastCount(), 2);

    // With every write refused, the count write fails too, and the first
    // failure is the one reported.
    TSeamOverride refuse(ProfileApi().WritePrivateProfileStringA, &RefuseAll);
    EXPECT_EQ(ErrorOf([&] { catalogue.DeleteEntry(1); }), "Unable to write to QXServices.ini");
    EXPECT_EQ(ErrorOf([&] { Add("D"); }), "Unable to write to QXServices.ini");
}
