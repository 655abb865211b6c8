#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "platform/Memory.h"
#include "platform/Seam.h"
#include "toolkit/Secret.h"

namespace {

std::vector<std::string> wiped;

void RecordWipe(void* memory, size_t size)
{
    const char* text = static_cast<char*>(memory);
    wiped.emplace_back(text, strnlen(text, size));
    ::SecureZeroMemory(memory, size);
}

} // namespace

// A secret's every buffer is wiped before it is given back: when it grows,
// is cut, copied, replaced or goes. Wide text that a code page cannot hold
// is refused whole.
TEST(Secret, EveryBufferIsWipedBeforeItIsGivenBack)
{
    TSeamOverride<decltype(TMemoryApi::SecureZeroMemory)> wipe(MemoryApi().SecureZeroMemory, RecordWipe);
    wiped.clear();
    const long buffers = TSecret::Buffers();
    {
        TSecret secret;
        for (char c : std::string("s3cret"))
            secret.Append(c);
        EXPECT_EQ(wiped, (std::vector<std::string>{"s", "s3c"}));
        TSecret copy = secret;
        secret.Resize(2);
        EXPECT_EQ(wiped.back(), "cret");
        secret = std::move(copy);
        EXPECT_EQ(wiped.back(), "s3");
        EXPECT_TRUE(secret == "s3cret");
        EXPECT_STREQ(secret.Chars(), "s3cret");
    }
    EXPECT_EQ(wiped.back(), "s3cret");
    EXPECT_EQ(TSecret::Buffers(), buffers);

    TSecret typed;
    EXPECT_TRUE(SecretFromWide(L"p\u00E4ss", 4, typed));
    EXPECT_TRUE(typed == "p\xC3\xA4ss");
    // Half of a pair passes no code page.
    EXPECT_FALSE(SecretFromWide(L"a\xD800", 2, typed));
    EXPECT_TRUE(typed.Empty());
}
