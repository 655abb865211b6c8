#include <gtest/gtest.h>

#include "platform/CodePages.h"
#include "platform/Seam.h"
#include "tests/support/Errors.h"
#include "toolkit/Text.h"

// What cannot pass between programs is refused with the reason, never
// passed on as "?".
TEST(Text, ACharacterThatCannotPassIsRefusedWithTheReason)
{
    EXPECT_EQ(TextFromWide(L"Café Жук 監視😀"), "Café Жук 監視😀");
    EXPECT_EQ(ErrorOf([] { TextFromWide(L"half \xD83D pair"); }),
              "\"half \uFFFD pair\" holds a broken character (half of a UTF-16 surrogate pair)");

    // A Windows before 10 version 1903 keeps the system's code page.
    TSeamOverride<decltype(TCodePageApi::GetACP)> older(CodePageApi().GetACP, []() -> UINT { return 1252; });
    EXPECT_EQ(TextFromWide(L"Café"), "Caf\xE9");
    EXPECT_EQ(ErrorOf([] { TextFromWide(L"Café Жук"); }),
              "\"Caf\xE9 ???\" holds characters that this version of Windows cannot pass between programs: only "
              "Windows 10 version 1903 and later pass every character; here a name, path or parameter may hold only "
              "the characters of code page 1252");
    EXPECT_EQ(LowerCase("\xDC" "BER"), "\xFC" "ber");
}
