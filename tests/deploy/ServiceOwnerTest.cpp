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
