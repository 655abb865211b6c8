#include <gtest/gtest.h>

#include <windows.h>

#include <future>
#include <string>

#include "catalogue/Catalogue.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Error.h"

// A batch of catalogue changes: every operation inside it finds what the
// ones before it did, as it would in the file; the file is written once,
// at the commit, and the lock is held from the read to the write.
namespace {

class CatalogueBatchTest : public ::testing::Test {
protected:
    TTempFolder folder;
    std::string file = folder.File("QXServices.ini");
    TCatalogue catalogue{file};

    TEntrySettings Settings(const std::string& description)
    {
        return {description, "C:\\" + description + ".exe", "-p", "", false};
    }
    // What another program reading the file finds now.
    int CountElsewhere()
    {
        return std::async(std::launch::async, [this] { return TCatalogueSnapshot(file).Count(); }).get();
    }
};

} // namespace

TEST_F(CatalogueBatchTest, OperationsSeeEachOtherAndTheFileIsWrittenOnceAtTheCommit)
{
    for (const char* name : {"One", "Two", "Three"})
        ASSERT_EQ(catalogue.AddEntry(Settings(name)), TEntryOutcome::Done);
    const int two = catalogue.LoadEntry(TEntryKey{"Two"}) == TEntryOutcome::Done ? catalogue.Entry().ServiceID : 0;
    const std::string before = ReadTextFile(file);
    {
        TCatalogueBatch batch(file);
        ASSERT_EQ(catalogue.AddEntry(Settings("Four")), TEntryOutcome::Done);
        EXPECT_EQ(catalogue.EntryIndex(), 4);
        EXPECT_EQ(catalogue.AddEntry(Settings("FOUR")), TEntryOutcome::Duplicate);
        EXPECT_EQ(catalogue.ChangeEntry({"Two", two}, Settings("Two"), Settings("Deux")), TEntryOutcome::Done);
        EXPECT_EQ(catalogue.LoadEntry(TEntryKey{"Two", two}), TEntryOutcome::Renamed);
        EXPECT_EQ(catalogue.Entry().Description, "Deux");
        EXPECT_EQ(catalogue.RemoveEntry(TEntryKey{"One"}), TEntryOutcome::Done);
        EXPECT_EQ(catalogue.LoadEntry(TEntryKey{"four"}), TEntryOutcome::Done);
        EXPECT_EQ(catalogue.EntryIndex(), 3);
        ASSERT_EQ(catalogue.AddEntry(Settings("Five")), TEntryOutcome::Done);
        EXPECT_EQ(catalogue.Entry().ServiceID, 5) << "no service ID is handed out twice";
        EXPECT_EQ(TCatalogueSnapshot(file).Count(), 4);
        // Nothing reached the file yet, and no other writer gets in.
        EXPECT_EQ(ReadTextFile(file), before);
        EXPECT_EQ(CountElsewhere(), 3);
        EXPECT_THROW(std::async(std::launch::async, [this] { TIniWriteLock(file, 50); }).get(), TError);
        batch.Commit();
    }
    const TCatalogueSnapshot written(file);
    ASSERT_EQ(written.Count(), 4);
    EXPECT_EQ(written.Description(1), "Deux");
    EXPECT_EQ(written.Entry(1).ServiceID, two);
    EXPECT_EQ(written.Description(2), "Three");
    EXPECT_EQ(written.Description(4), "Five");
    EXPECT_EQ(written.Document().ReadInteger(StatusSection, LastServiceIDKey, 0), 5);
    EXPECT_FALSE(written.Document().HasSection("One"));

    // A batch closed without its commit leaves the file as it was.
    const std::string committed = ReadTextFile(file);
    {
        TCatalogueBatch batch(file);
        ASSERT_EQ(catalogue.AddEntry(Settings("Six")), TEntryOutcome::Done);
    }
    EXPECT_EQ(ReadTextFile(file), committed);
    EXPECT_EQ(TCatalogueSnapshot(file).Count(), 4);
    EXPECT_EQ(catalogue.LoadEntry(TEntryKey{"Six"}), TEntryOutcome::Gone);
}
