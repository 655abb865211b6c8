#include <gtest/gtest.h>

#include <windows.h>

#include "deploy/ServiceOwner.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Text.h"

TEST(ServiceOwner, ABinaryPathRunsAFileWhateverItsSpelling)
{
    TTempFolder folder;
    const std::string copy = folder.Path() + "\\Mail!Relay.exe";
    WriteTextFile(copy, "host");
    const std::string other = folder.Path() + "\\Other.exe";
    WriteTextFile(other, "other");
    char shortForm[MAX_PATH] = {};
    GetShortPathNameA(copy.c_str(), shortForm, sizeof shortForm);

    for (const std::string& registered :
         {"\"" + copy + "\"", copy, "\"" + copy + "\" -k run", copy + " -k run", LowerCase(copy),
          std::string(shortForm), "  \"" + UpperCase(copy) + "\""})
        EXPECT_TRUE(BinaryPathRuns(registered, copy)) << registered;
    for (const std::string& registered :
         {"\"" + other + "\"", other + " " + copy, "\"" + copy, std::string(), std::string("\"\""), copy + ".bak"})
        EXPECT_FALSE(BinaryPathRuns(registered, copy)) << registered;
}

// An unquoted binary path with blanks runs what Windows finds first, shortest
// leading part first: a file placed at such a part takes the service over.
TEST(ServiceOwner, AnUnquotedPathRunsItsShortestExistingLeadingPart)
{
    TTempFolder folder;
    CreateDirectoryA(folder.File("Vantorers").c_str(), nullptr);
    const std::string copy = folder.File("Vantorers\\Evil.exe");
    WriteTextFile(copy, "host");
    const std::string registered = folder.File("Tools dir\\..\\Vantorers\\Evil.exe");
    EXPECT_EQ(ServiceProgram(registered), registered);
    EXPECT_TRUE(BinaryPathRuns(registered, copy));
    EXPECT_TRUE(BinaryPathRuns("\\\\?\\" + copy + " -x", copy));
    std::string quoted = "\"\\\\?\\";
    quoted += UpperCase(copy);
    EXPECT_TRUE(BinaryPathRuns(quoted + "\"", copy));

    WriteTextFile(folder.File("Tools.exe"), "someone else's");
    EXPECT_EQ(ServiceProgram(registered), folder.File("Tools.exe"));
    EXPECT_FALSE(BinaryPathRuns(registered, copy));
    // Quoted, the path is taken as written; ".exe" is added as Windows adds it.
    EXPECT_TRUE(BinaryPathRuns('"' + registered + '"', copy));
    EXPECT_EQ(ServiceProgram('"' + folder.File("Tools") + "\" -x"), folder.File("Tools.exe"));
}
