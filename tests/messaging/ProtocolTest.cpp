#include <gtest/gtest.h>

#include <cstring>

#include "messaging/Protocol.h"

// The wire as the service host reads questions and writes replies.
namespace {

std::optional<std::string> Question(const std::string& text, int serviceID = 7)
{
    char slot[50] = {};
    std::memcpy(slot, text.data(), text.size() < 50 ? text.size() : 50);
    return QuestionSequence(slot, sizeof slot, serviceID);
}

} // namespace

TEST(HostWire, QuestionsAreRecognised)
{
    EXPECT_EQ("7", Question("7|Are you on?").value_or("none"));
    EXPECT_EQ("12", Question(" 12 | Are you on? ").value_or("none"));
    EXPECT_EQ("-1", Question("-1|Are you on?").value_or("none"));
    // Echoed as text: no 32-bit bound.
    EXPECT_EQ("99999999999", Question("99999999999|Are you on?").value_or("none"));
    // What follows the terminator has no meaning.
    char slot[50] = "3|Are you on?";
    std::memcpy(slot + 20, "garbage", 7);
    EXPECT_EQ("3", QuestionSequence(slot, sizeof slot, 7).value_or("none"));
}

TEST(HostWire, AnythingElseIsNoQuestion)
{
    EXPECT_FALSE(Question(""));
    EXPECT_FALSE(Question("hello"));
    EXPECT_FALSE(Question("|Are you on?"));
    EXPECT_FALSE(Question("x1|Are you on?"));
    EXPECT_FALSE(Question("+1|Are you on?"));
    EXPECT_FALSE(Question("7|are you on?"));
    EXPECT_FALSE(Question("7|Are you on?!"));
    EXPECT_FALSE(Question("7|I am on:7"));
    // Larger than a slot.
    std::string big(51, 'x');
    std::memcpy(big.data(), "1|Are you on?", 14);
    EXPECT_FALSE(QuestionSequence(big.data(), big.size(), 7));
    // A reply to this one would not fit in a slot.
    EXPECT_FALSE(Question(std::string(36, '9') + "|Are you on?", 1234567));
    EXPECT_TRUE(Question(std::string(30, '9') + "|Are you on?", 1234567));
}

TEST(HostWire, ReplyFillsOneSlot)
{
    std::string slot = ReplySlot("41", 7);
    ASSERT_EQ(50u, slot.size());
    EXPECT_STREQ("41|I am on:7", slot.c_str());
    EXPECT_EQ(std::string(50 - 12, '\0'), slot.substr(12));
}

// The manager's rules differ: a "+" is taken, the ID must fit 32 bits.
TEST(ManagerWire, RepliesAreReadAsTheManagerReadsThem)
{
    EXPECT_FALSE(ReadReply(""));
    EXPECT_FALSE(ReadReply("-1"));
    const TReply reply = ReadReply(" 12 |  I am on:  +3 ").value_or(TReply{"none", ""});
    EXPECT_EQ(reply.Sequence, "12");
    EXPECT_EQ(reply.Body, "I am on:  +3");
    EXPECT_EQ(ReplyServiceID(reply.Body), 3);
    EXPECT_EQ(ReadReply("I am on:4").value_or(TReply{"none", ""}).Sequence, "");

    EXPECT_FALSE(ReplyServiceID("i am on:5"));
    EXPECT_THROW(ReplyServiceID("I am on:99999999999"), TConvertError);
    try {
        ReplyServiceID("I am on: 5x ");
        ADD_FAILURE() << "no error";
    } catch (const TConvertError& error) {
        EXPECT_EQ(error.Message(), "'5x' is not a valid integer value");
    }
}
