#include <gtest/gtest.h>

#include "catalogue/IniFile.h"
#include "platform/Profile.h"
#include "platform/Seam.h"
#include "tests/support/TempFiles.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

BOOL WINAPI RefuseWrite(LPCSTR, LPCSTR, LPCSTR, LPCSTR)
{
    SetLastError(ERROR_WRITE_PROTECT);
    return FALSE;
}

} // namespace

TEST(IntegerRule, ReadsDecimalSignedAndHexadecimalForms)
{
    EXPECT_EQ(StrToIntDef("42", -7), 42);
    EXPECT_EQ(StrToIntDef("+42", -7), 42);
    EXPECT_EQ(StrToIntDef("-42", -7), -42);
    EXPECT_EQ(StrToIntDef("   12", -7), 12);
    EXPECT_EQ(StrToIntDef("0x1A", -7), 26);
    EXPECT_EQ(StrToIntDef("0X1a", -7), 26);
    EXPECT_EQ(StrToIntDef("$1A", -7), 26);
    EXPECT_EQ(StrToIntDef(" $1A", -7), 26);
    EXPECT_EQ(StrToIntDef("-$10", -7), -16);
    EXPECT_EQ(StrToIntDef("007", -7), 7);
    EXPECT_EQ(StrToIntDef("2147483647", -7), 2147483647);
    EXPECT_EQ(StrToIntDef("-2147483648", -7), -2147483647 - 1);
    EXPECT_EQ(StrToIntDef("$FFFFFFFF", -7), -1);
}

TEST(IntegerRule, AnythingElseGivesTheDefault)
{
    for (const char* text : {"", " ", "abc", "12 ", "1 2", "12a", "+", "-", "$", "0x", "0xG1", "$1G", "--1",
                             "2147483648", "-2147483649", "$100000000", "1.5", "\t12", " 0x1A"})
        EXPECT_EQ(StrToIntDef(text, -7), -7) << "text: \"" << text << "\"";
}

TEST(IniFile, ReadsWhatItWroteAndDefaultsForMissingKeys)
{
    TTempFolder folder;
    TIniFile ini(folder.File("QXServices.ini"));
    EXPECT_EQ(ini.ReadString("S", "missing", "fallback"), "fallback");
    EXPECT_EQ(ini.ReadInteger("S", "missing", 9), 9);
    EXPECT_FALSE(ini.ReadBool("S", "missing", false));

    ini.WriteInteger("S", "Number", -12);
    ini.WriteBool("S", "Yes", true);
    ini.WriteBool("S", "No", false);
    ini.WriteString("S", "Text", "C:\\Program Files\\x.exe");
    EXPECT_EQ(ini.ReadInteger("S", "Number", 0), -12);
    EXPECT_TRUE(ini.ReadBool("S", "Yes", false));
    EXPECT_FALSE(ini.ReadBool("S", "No", true));
    EXPECT_EQ(ini.ReadString("S", "Text", ""), "C:\\Program Files\\x.exe");
    EXPECT_EQ(ReadTextFile(ini.FileName()), "[S]\r\nNumber=-12\r\nYes=1\r\nNo=0\r\nText=C:\\Program Files\\x.exe\r\n");

    // Any non-zero integer is true; a value that is not a number is false.
    WriteTextFile(ini.FileName(), "[S]\r\nA=0x10\r\nB=yes\r\nC=-1\r\n");
    EXPECT_TRUE(ini.ReadBool("S", "A", false));
    EXPECT_FALSE(ini.ReadBool("S", "B", false));
    EXPECT_TRUE(ini.ReadBool("S", "C", false));
}

TEST(IniFile, ReadsAtMost1023Characters)
{
    TTempFolder folder;
    TIniFile ini(folder.File("QXServices.ini"));
    ini.WriteString("S", "Long", std::string(1500, 'x'));
    EXPECT_EQ(ini.ReadString("S", "Long", ""), std::string(1023, 'x'));
}

TEST(IniFile, RefusedWritesAndErasesNameTheFile)
{
    TTempFolder folder;
    TIniFile ini(folder.File("QXServices.ini"));
    ini.WriteString("S", "Key", "1");
    TSeamOverride refuse(ProfileApi().WritePrivateProfileStringA, &RefuseWrite);
    for (auto write : {+[](TIniFile& f) { f.WriteString("S", "Key", "2"); },
                       +[](TIniFile& f) { f.WriteInteger("S", "Key", 2); },
                       +[](TIniFile& f) { f.EraseSection("S"); }}) {
        try {
            write(ini);
            ADD_FAILURE() << "the refused write was not reported";
        } catch (const TError& error) {
            EXPECT_EQ(error.Message(), "Unable to write to QXServices.ini");
        }
    }
    EXPECT_NO_THROW(ini.DeleteKey("S", "Key"));
    EXPECT_EQ(ini.ReadString("S", "Key", ""), "1");
}

TEST(IniFile, AWriteIntoAMissingFolderIsRefused)
{
    TTempFolder folder;
    TIniFile ini(folder.File("no such folder\\QXServices.ini"));
    EXPECT_THROW(ini.WriteString("S", "Key", "1"), TError);
}
