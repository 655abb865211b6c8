#include "tests/ui/ServiceManagerFixture.h"

#include "fixtures/StandInHost.h"
#include "fixtures/Watching.h"

// Check selected and check all, through the window, against stand-in hosts.
namespace {

class CheckCommandsTest : public ServiceManagerTest {
protected:
    // The window with its full reply time-out: an answer ends the wait at
    // once, however slowly it comes.
    void OpenQuick()
    {
        Open();
        form->Liveness().Beep = [this](DWORD frequency, DWORD duration) {
            beeps.push_back(std::to_string(frequency) + "Hz " + std::to_string(duration) + "ms");
            return TRUE;
        };
    }
    // The wait for a silent host ends by its time-out as soon as the host
    // has the question, not five seconds later. Kept after the host, it goes
    // first.
    std::unique_ptr<TWhen> TimeOutWhenAsked(TStandInHost& silent)
    {
        return std::make_unique<TWhen>([&silent] { return !silent.Questions().empty(); },
                                       [this] { form->Liveness().CommTimeout().OnTimer(); });
    }
    std::vector<std::string> beeps;
};

} // namespace

TEST_F(CheckCommandsTest, CheckSelectedReportsAnAnsweringServiceAndASilentOne)
{
    Add("Mail Relay", true);
    Add("Print Spool", true);
    OpenQuick();
    TStandInHost relay(1, Saying("I am on:1"));
    TStandInHost spool(2, Silent());
    auto timeOut = TimeOutWhenAsked(spool);
    Select(RowOf("Mail Relay"));
    ClickButton("btnCheckActive");
    EXPECT_EQ(prompter.Texts("Information"), "The service, \"Mail Relay\" IS currently active !\n");
    EXPECT_EQ(relay.Questions(), (std::vector<std::string>{"1|Are you on?"}));
    EXPECT_TRUE(beeps.empty());

    prompter.shown.clear();
    Select(RowOf("Print Spool"));
    ClickButton("btnCheckActive");
    EXPECT_EQ(prompter.Texts("Information"), "The service is currently NOT active !\n");
    EXPECT_EQ(beeps, (std::vector<std::string>{"100Hz 200ms"}));
    EXPECT_EQ(form->Liveness().ActiveService(2).Description, "Print Spool");
}

TEST_F(CheckCommandsTest, AMalformedReplyIsReportedWithItsMessage)
{
    Add("Mail Relay", true);
    OpenQuick();
    TStandInHost relay(1, Saying("I am on:one"));
    Select(0);
    ClickButton("btnCheckActive");
    // The reply ended the wait; its conversion error went to the error box.
    EXPECT_TRUE(PumpUntil([&] { return !prompter.Texts("StandardError").empty(); }, 2000));
    EXPECT_EQ(prompter.Texts("StandardError"), "'one' is not a valid integer value.\n");
    EXPECT_TRUE(prompter.Texts("Information").empty()) << prompter.Texts("Information");
}

TEST_F(CheckCommandsTest, CheckAllListsTheActiveServicesAndAsksOnlyInstalledOnes)
{
    Add("Alpha", true);
    Add("Beta", true);
    Add("Gamma");
    Add("Delta", true);
    OpenQuick();
    TStandInHost alpha(1, Saying("I am on:1"));
    TStandInHost beta(2, Silent());
    auto timeOut = TimeOutWhenAsked(beta);
    TStandInHost gamma(3, Saying("I am on:3"));
    TStandInHost delta(4, Saying("I am on:4"));
    Select(RowOf("Beta"));
    ClickButton("btnCheckAll");
    EXPECT_EQ(form->MemoLines(), (std::vector<std::string>{"", "Currently Active Services:",
                                                           "----------------------------------------", "",
                                                           " > \"Alpha\" is active !", " > \"Delta\" is active !"}));
    EXPECT_TRUE(gamma.Questions().empty());
    EXPECT_EQ(beta.Questions().size(), 1u);
    EXPECT_EQ(beeps.size(), 1u);
    EXPECT_EQ(form->Liveness().ActiveService(3).Description, "Gamma");
    EXPECT_TRUE(prompter.Texts("Information").empty());
    EXPECT_EQ(form->List().Selected(), -1);
    EXPECT_EQ(EnabledButtons(), "btnNewService btnCheckAll");
}

TEST_F(CheckCommandsTest, CheckAllWithNobodyAnsweringSaysNone)
{
    Add("Alpha", true);
    Add("Beta");
    OpenQuick();
    TStandInHost alpha(1, Silent());
    auto timeOut = TimeOutWhenAsked(alpha);
    ClickButton("btnCheckAll");
    EXPECT_EQ(prompter.Texts("Information"), "NONE of these services are currently active !\n");
    EXPECT_EQ(beeps.size(), 1u);
}

TEST_F(CheckCommandsTest, UninstallIsRefusedWhileTheServiceAnswers)
{
    Add("Mail Relay", true);
    OpenQuick();
    TStandInHost relay(1, Saying("I am on:1"));
    Select(0);
    ClickButton("btnUnInstallService");
    EXPECT_EQ(prompter.Texts("Error"), "The service \"Mail Relay\" is Running\r\r"
                                       "To be able to De-install the service you will first have to\r\r"
                                       "Stop the Service in Control Panel's \"Services\" icon !\r\r"
                                       "Please Stop the Service and then try Uninstall again...\n");
    EXPECT_TRUE(TIniFile(file).ReadBool("Mail Relay", InstalledKey, false));
    EXPECT_EQ(form->List().Image(0), 0);

    // Removing it automatically stops at the refusal: the entry stays.
    prompter.AnswerYes();
    form->btnDeleteClick();
    EXPECT_EQ(catalogue.Count(), 1);
    EXPECT_EQ(prompter.Texts("Confirm").find("Are you sure"), std::string::npos);
}

TEST_F(CheckCommandsTest, ClosingTheWindowDuringAWaitEndsCleanly)
{
    Add("Mail Relay", true);
    Open(); // the full 5 s time-out: the close must end the wait long before
    Select(0);
    WhenModal([&] { PostMessageA(form->Handle(), WM_CLOSE, 0, 0); }, 100);
    ClickButton("btnCheckActive");
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(form->Liveness().ServerSlot(), nullptr);
    EXPECT_TRUE(prompter.Texts("Information").empty()) << prompter.Texts("Information");
}
