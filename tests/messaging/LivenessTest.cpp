#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fixtures/StandInHost.h"
#include "fixtures/Watching.h"
#include "messaging/Liveness.h"
#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "tests/support/ScriptedPrompter.h"
#include "toolkit/Error.h"

namespace {

// Runs an action once from the thread's message loop, after ms.
class TAfter {
public:
    TAfter(unsigned ms, std::function<void()> action) : action_(std::move(action))
    {
        timer_.SetInterval(ms);
        timer_.OnTimer = [this] {
            timer_.SetEnabled(false);
            action_();
        };
        timer_.SetEnabled(true);
    }

private:
    TTimer timer_;
    std::function<void()> action_;
};

// Sets an event when it goes, so that a stand-in host waiting on it never
// keeps a failed test from ending.
struct TOpenAtEnd {
    HANDLE Event;
    ~TOpenAtEnd() { SetEvent(Event); }
};

class LivenessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Reported as the window's box would show it.
        live.ShowActive = [this](const std::string& description) {
            prompter.Information("The service, \"" + description + "\" IS currently active !");
        };
        live.Beep = [this](DWORD frequency, DWORD duration) {
            beeps.push_back(std::to_string(frequency) + "Hz " + std::to_string(duration) + "ms");
            return TRUE;
        };
        live.AppendPanelLine = [this](const std::string& line) { panel.push_back(line); };
        live.OnTimerError = [this](const std::exception& error) {
            timerErrors.push_back((dynamic_cast<const TConvertError*>(&error) ? "convert: " : "other: ") +
                                  std::string(error.what()));
        };
        // The full five-second time-out: a reply ends the wait at once, so
        // it costs nothing where one comes, however late.
        live.Start();
    }
    void TearDown() override
    {
        if (live.ServerSlot())
            live.Shutdown();
    }

    TScriptedPrompter prompter;
    TLiveness live;
    std::vector<std::string> beeps;
    std::vector<std::string> panel;
    std::vector<std::string> timerErrors;
};

const std::string Beep100 = "100Hz 200ms";
constexpr unsigned ShortTimeout = 250;

} // namespace

TEST_F(LivenessTest, StartResetsAndASecondInstanceKeepsTryingForTheServer)
{
    EXPECT_TRUE(live.MailSlotCheck().Enabled());
    EXPECT_EQ(live.MailSlotCheck().Interval(), 500u);
    EXPECT_FALSE(live.CommTimeout().Enabled());
    ASSERT_NE(live.ServerSlot(), nullptr);
    EXPECT_EQ(live.ServerSlot()->SlotName(), "\\\\.\\mailslot\\delphi\\Vantorer");
    EXPECT_EQ(live.ServerSlot()->MsgSize(), 50);

    live.SetActiveService(1000000, "Far", 4);
    EXPECT_EQ(live.ActiveService(1000000).Description, "Far");
    EXPECT_EQ(live.ActiveService(1000000).ListIndex, 4);
    EXPECT_EQ(live.ActiveService(999999).Description, "");
    live.SetCheckMode(TCheckMode::Panel);
    live.SetFound(true);
    EXPECT_THROW(live.SendQuestion(1), TError); // nobody listens; the number is used all the same
    EXPECT_EQ(live.Sequence(), 1);

    TLiveness second;
    EXPECT_EQ(second.CommTimeout().Interval(), 5000u);
    try {
        second.Start();
        ADD_FAILURE() << "a second server of one name was created";
    } catch (const TError& error) {
        EXPECT_EQ(error.Message(), "Could not create a mailslot server");
    }
    EXPECT_TRUE(second.MailSlotCheck().Enabled());
    second.MailSlotCheck().OnTimer(); // still held: ignored
    EXPECT_FALSE(second.ServerSlot()->Active());

    live.Start(); // again: everything back to the start
    EXPECT_EQ(live.Sequence(), 0);
    EXPECT_EQ(live.CheckMode(), TCheckMode::SilentStart);
    EXPECT_FALSE(live.Found());
    EXPECT_EQ(live.ActiveService(1000000).Description, "");

    live.Shutdown();
    EXPECT_EQ(live.ServerSlot(), nullptr);
    live.MailSlotCheck().OnTimer();
    second.MailSlotCheck().OnTimer();
    EXPECT_TRUE(second.ServerSlot()->Active());
}

TEST_F(LivenessTest, RepliesAreReportedByCheckMode)
{
    TStandInHost host(7, Saying("I am on:7"));
    live.SetActiveService(7, "Alpha", 3);

    live.SetCheckMode(TCheckMode::Box);
    EXPECT_TRUE(live.Query(7));
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"Alpha\" IS currently active !\n");
    EXPECT_TRUE(live.Found());

    live.SetCheckMode(TCheckMode::Panel);
    live.SetFound(false);
    EXPECT_TRUE(live.Query(7));
    EXPECT_EQ(panel, std::vector<std::string>{" > \"Alpha\" is active !"});
    EXPECT_TRUE(live.Found());

    live.SetCheckMode(TCheckMode::Quiet);
    live.SetFound(false);
    EXPECT_TRUE(live.Query(7));
    EXPECT_TRUE(live.Found());

    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(panel.size(), 1u);
    EXPECT_TRUE(beeps.empty());
    EXPECT_EQ(host.Questions(), (std::vector<std::string>{"1|Are you on?", "2|Are you on?", "3|Are you on?"}));
    EXPECT_EQ(live.LastReplySequence(), "3");
    EXPECT_FALSE(live.CommTimeout().Enabled());
    EXPECT_FALSE(live.Waiting());
}

TEST_F(LivenessTest, NoAnswerEndsByTimeOutWithTheBeep)
{
    live.CommTimeout().SetInterval(ShortTimeout);
    live.SetCheckMode(TCheckMode::Box);
    EXPECT_FALSE(live.Query(4242)); // no host at all: the send fails quietly
    EXPECT_EQ(beeps, std::vector<std::string>{Beep100});
    EXPECT_EQ(live.Sequence(), 1);

    TStandInHost host(8, Silent());
    EXPECT_FALSE(live.Query(8));
    EXPECT_EQ(beeps.size(), 2u);
    EXPECT_EQ(host.Questions(), std::vector<std::string>{"2|Are you on?"});
    EXPECT_FALSE(live.CommTimeout().Enabled());
    EXPECT_FALSE(live.Found());
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(LivenessTest, EmptyAndMinusOneRepliesDoNotEndTheWait)
{
    live.SetCheckMode(TCheckMode::Box);
    live.SetActiveService(3, "Gamma", 1);
    // Blanks around the fields do not matter.
    SendToManager(" 12 |  I am on:  3 ");
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"Gamma\" IS currently active !\n");
    EXPECT_EQ(live.LastReplySequence(), "12");

    TStandInHost host(9, [](const std::string&) { return std::vector<std::string>{"-1", ""}; });
    // The wait is still on once both have been read; only then the time-out.
    TWhen timeOut([&] { return host.Delivered() == 2 && live.ServerSlot()->MsgCount() == 0; },
                  [&] { live.CommTimeout().OnTimer(); });
    EXPECT_FALSE(live.Query(9));
    EXPECT_EQ(beeps.size(), 1u);
    EXPECT_EQ(live.LastReplySequence(), "12");
    EXPECT_EQ(prompter.shown.size(), 1u);
}

TEST_F(LivenessTest, ARepeatedSequenceStopsTheTickAndLeavesTheRest)
{
    live.SetCheckMode(TCheckMode::Box);
    live.SetActiveService(3, "C", 1);
    live.SetActiveService(4, "D", 2);
    SendToManager("5|I am on:3");
    SendToManager("5|I am on:3");
    SendToManager("6|I am on:4");

    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"C\" IS currently active !\n");
    EXPECT_EQ(live.ServerSlot()->MsgCount(), 1);
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.Texts("Information"),
              "The service, \"C\" IS currently active !\nThe service, \"D\" IS currently active !\n");

    // A host answering twice to one question is reported once.
    TStandInHost host(11, [](const std::string& sequence) {
        return std::vector<std::string>{sequence + "|I am on:11", sequence + "|I am on:11"};
    });
    live.SetActiveService(11, "Twice", 5);
    EXPECT_TRUE(live.Query(11));
    ASSERT_TRUE(WaitFor([&] { return host.Delivered() == 2; }, 5000));
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.shown.size(), 3u);
    EXPECT_EQ(live.ServerSlot()->MsgCount(), 0);
}

TEST_F(LivenessTest, AnyNewSequenceEndsTheWaitButOnlyTheExactWordsAreReported)
{
    TStandInHost lower(12, Saying("i AM ON:12"));
    live.SetCheckMode(TCheckMode::Box);
    live.SetActiveService(12, "Lower", 1);
    EXPECT_TRUE(live.Query(12));
    EXPECT_FALSE(live.Found());
    EXPECT_TRUE(prompter.shown.empty());

    TStandInHost garbled(13, Saying("I am on:x13"));
    EXPECT_TRUE(live.Query(13));
    EXPECT_EQ(timerErrors, std::vector<std::string>{"convert: 'x13' is not a valid integer value"});
    EXPECT_TRUE(prompter.shown.empty());
    EXPECT_TRUE(beeps.empty());

    SendToManager("20|I am on:12ab");
    live.MailSlotCheck().OnTimer();
    SendToManager("21|I am on:99999999999");
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(timerErrors, (std::vector<std::string>{"convert: 'x13' is not a valid integer value",
                                                     "convert: '12ab' is not a valid integer value",
                                                     "convert: '99999999999' is not a valid integer value"}));

    // Mode 0 reads and acts on nothing but the sequence.
    live.SetCheckMode(TCheckMode::SilentStart);
    SendToManager("22|I am on:nonsense");
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(live.LastReplySequence(), "22");
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(LivenessTest, ALateReplyIsReportedUnderTheModeSetSince)
{
    // The host answers only once the query has given up.
    TKernelHandle answer(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    TStandInHost host(14, [&](const std::string& sequence) {
        WaitForSingleObject(answer.Get(), INFINITE);
        return std::vector<std::string>{sequence + "|I am on:14"};
    });
    TOpenAtEnd open{answer.Get()};
    live.CommTimeout().SetInterval(ShortTimeout);
    live.SetActiveService(14, "Slow", 2);
    live.SetCheckMode(TCheckMode::Quiet);
    EXPECT_FALSE(live.Query(14));
    EXPECT_EQ(beeps.size(), 1u);

    live.SetCheckMode(TCheckMode::Box);
    SetEvent(answer.Get());
    ASSERT_TRUE(WaitFor([&] { return host.Delivered() == 1; }, 5000));
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"Slow\" IS currently active !\n");
    EXPECT_TRUE(live.Found());
}

TEST_F(LivenessTest, EachMessageIsReadIntoAClearedBufferAndUnknownIDsHaveNoDescription)
{
    live.SetCheckMode(TCheckMode::Box);
    live.SetActiveService(5, "Five", 1);
    SendToManager("1|I am on:123456789");
    SendToManager("2|I am on:5", 11); // no terminator
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.Texts("Information"),
              "The service, \"\" IS currently active !\nThe service, \"Five\" IS currently active !\n");
}

TEST_F(LivenessTest, ATickReadsAFewRepliesAndLeavesTheRestForTheNext)
{
    for (int sequence = 1; sequence <= TLiveness::RepliesPerTick + 3; ++sequence)
        SendToManager(std::to_string(sequence) + "|I am on:1");
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(live.LastReplySequence(), std::to_string(TLiveness::RepliesPerTick));
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(live.LastReplySequence(), std::to_string(TLiveness::RepliesPerTick + 3));
}

TEST_F(LivenessTest, NoTickReadsWhileABoxOfAnEarlierTickIsUp)
{
    live.SetCheckMode(TCheckMode::Box);
    SendToManager("1|I am on:1");
    SendToManager("2|I am on:2");
    std::vector<int> waitingInside;
    int depth = 0, deepest = 0;
    prompter.OnShow = [&](const TScriptedPrompter::Shown&) {
        deepest = std::max(deepest, ++depth);
        live.MailSlotCheck().OnTimer(); // a tick firing inside the modal box
        waitingInside.push_back(live.ServerSlot()->MsgCount());
        --depth;
    };
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.shown.size(), 2u);
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(waitingInside, (std::vector<int>{1, 0}));

    // The same while the error box of a malformed reply is up.
    SendToManager("3|I am on:zz");
    SendToManager("4|I am on:1");
    live.OnTimerError = [&](const std::exception& error) {
        timerErrors.push_back(error.what());
        live.MailSlotCheck().OnTimer();
        waitingInside.push_back(live.ServerSlot()->MsgCount());
    };
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(timerErrors, std::vector<std::string>{"'zz' is not a valid integer value"});
    EXPECT_EQ(waitingInside.back(), 1);
    EXPECT_EQ(prompter.shown.size(), 2u); // the error ended that tick
    live.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.shown.size(), 3u);
}

TEST_F(LivenessTest, ClosingDuringAWaitEndsItAndNothingTouchesTheMailslotAfterwards)
{
    TStandInHost host(15, Silent());
    HCURSOR during = nullptr;
    {
        TAfter close(50, [&] {
            during = GetCursor();
            live.Shutdown();
        });
        EXPECT_FALSE(live.Query(15));
    }
    EXPECT_TRUE(beeps.empty());
    EXPECT_EQ(during, LoadCursor(nullptr, IDC_WAIT));
    EXPECT_NE(GetCursor(), during);
    EXPECT_EQ(live.ServerSlot(), nullptr);
    EXPECT_FALSE(live.CommTimeout().Enabled());
    live.MailSlotCheck().OnTimer();
    EXPECT_FALSE(live.Query(15)); // a command after closing ends at once
    EXPECT_TRUE(beeps.empty());

    // Closed from inside a report box: the rest of the tick stays away.
    TLiveness other;
    other.ShowActive = live.ShowActive;
    other.Start();
    other.SetCheckMode(TCheckMode::Box);
    SendToManager("1|I am on:1");
    SendToManager("2|I am on:2");
    prompter.OnShow = [&](const TScriptedPrompter::Shown&) { other.Shutdown(); };
    other.MailSlotCheck().OnTimer();
    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_EQ(other.ServerSlot(), nullptr);
}

TEST_F(LivenessTest, TheProgramEndingDuringAWaitEndsIt)
{
    TStandInHost host(16, Silent());
    {
        TAfter quit(50, [] { PostQuitMessage(3); });
        EXPECT_FALSE(live.Query(16));
    }
    EXPECT_TRUE(beeps.empty());
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)); // left for the main loop
    EXPECT_EQ(message.wParam, 3u);

    bool ending = false;
    live.Terminating = [&] { return ending; };
    live.Start();
    TAfter end(50, [&] { ending = true; });
    EXPECT_FALSE(live.Query(16));
    EXPECT_TRUE(beeps.empty());
}

TEST_F(LivenessTest, AnotherQueryStartedDuringAWaitEndsBothCleanly)
{
    TStandInHost silent(17, Silent());
    TStandInHost answering(18, Saying("I am on:18"));
    live.SetCheckMode(TCheckMode::Quiet);
    bool inner = false;
    {
        TAfter command(30, [&] { inner = live.Query(18); });
        EXPECT_TRUE(live.Query(17)); // the inner reply is a new sequence
    }
    EXPECT_TRUE(inner);
    EXPECT_FALSE(live.Waiting());
    EXPECT_FALSE(live.CommTimeout().Enabled());
    EXPECT_NE(GetCursor(), LoadCursor(nullptr, IDC_WAIT));
}

TEST_F(LivenessTest, WindowMessageReplies)
{
    live.SetActiveService(30, "Msg", 1);
    live.ReplyMessage(30); // mode 0
    live.SetCheckMode(TCheckMode::Quiet);
    live.ReplyMessage(30);
    EXPECT_FALSE(live.Found());
    EXPECT_TRUE(prompter.shown.empty());

    live.SetCheckMode(TCheckMode::Box);
    live.ReplyMessage(30);
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"Msg\" IS currently active !\n");
    EXPECT_TRUE(live.Found());
    live.SetCheckMode(TCheckMode::Panel);
    live.SetFound(false);
    live.ReplyMessage(30);
    EXPECT_EQ(panel, std::vector<std::string>{" > Msg"});
    EXPECT_TRUE(live.Found());
}

TEST_F(LivenessTest, WhenAnswersMustMatchOnlyTheAnswerToTheQuestionAskedEndsTheWait)
{
    live.SetCheckMode(TCheckMode::Quiet);
    live.SetAnswersMustMatch(true);
    // A late answer of another service, one of this service to the question
    // before, and one naming another ID.
    TStandInHost host(4, [](const std::string& sequence) {
        return std::vector<std::string>{"77|I am on:3", std::to_string(std::stoi(sequence) - 1) + "|I am on:4",
                                        sequence + "|I am on:5"};
    });
    TWhen timeOut([&] { return host.Delivered() == 3 && live.ServerSlot()->MsgCount() == 0; },
                  [&] { live.CommTimeout().OnTimer(); });
    EXPECT_FALSE(live.Query(4));

    TStandInHost answering(6, Saying("I am on:6"));
    EXPECT_TRUE(live.Query(6));
}
