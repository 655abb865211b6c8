#include "tests/ui/ServiceManagerFixture.h"

#include "ui/uCreateService.h"

// The new-entry and edit-entry commands, with the real wizard answered from
// inside its modal loop.
namespace {

TfrmCreateService* ShownWizard()
{
    HWND window = FindWindowA(nullptr, "Vantorer - New Service Wizard...");
    return window && IsWindowVisible(window)
               ? dynamic_cast<TfrmCreateService*>(TWindow::Of(window))
               : nullptr;
}

// Fills the wizard and finishes it, next time it is shown.
void FinishWith(const std::string& description, const std::string& program, const std::string& commandLine = "")
{
    WhenModal([=] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        wizard->SetDescription(description);
        wizard->SetProgram(program);
        wizard->SetCommandLine(commandLine);
        wizard->btnFinishClick();
    });
}

void CancelNext(std::string* description = nullptr)
{
    WhenModal([=] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        if (description)
            *description = wizard->Description();
        wizard->btnCancelClick();
    });
}

class EntryCommandsTest : public ServiceManagerTest {
protected:
    std::string program = TApplication::ExeFolder() + "ui_tests.exe";
    const std::string duplicate = "A Service with this description already exists in the NT Service base !\r\r"
                                  "Please provide a different description...";
};

} // namespace

TEST_F(EntryCommandsTest, NewEntryIsAppendedSelectedAndOfferedForInstall)
{
    Add("Zeta");
    Open();
    FinishWith("Alpha", program, "\"C:\\Web App\\server.js\"");
    prompter.AnswerNo();
    ClickButton("btnNewService");
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Alpha", "Zeta"}));
    EXPECT_EQ(form->List().Selected(), 0);
    EXPECT_EQ(form->List().Data(0), 2);
    EXPECT_EQ(form->List().Image(0), 1);
    EXPECT_EQ(prompter.Texts("Confirm"), "Would you like to Add the service into NT's Service Database ?\n");
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Program, program);
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
    EXPECT_EQ(form->MemoLines()[1], "Description: Alpha");
    EXPECT_EQ(form->MemoLines()[4], "       Execution parameters: \"C:\\Web App\\server.js\"");
}

TEST_F(EntryCommandsTest, ADuplicateDescriptionBringsTheWizardBackWithTheInput)
{
    Add("Mail Relay");
    Open();
    std::string shownAgain;
    WhenModal([&] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        wizard->SetDescription("MAIL RELAY");
        wizard->SetProgram(program);
        CancelNext(&shownAgain);
        wizard->btnFinishClick();
    });
    ClickButton("btnNewService");
    EXPECT_EQ(prompter.Texts("Error"), duplicate + "\n");
    EXPECT_EQ(shownAgain, "MAIL RELAY");
    EXPECT_EQ(catalogue.Count(), 1);
    EXPECT_EQ(form->List().Captions().size(), 1u);
}

TEST_F(EntryCommandsTest, EditRewritesTheRowAndRefusesInstalledOrDuplicateEntries)
{
    Add("Alpha");
    Add("Beta");
    Add("Installed", true);
    Open();

    // The menu runs the command although the button is disabled.
    Select(RowOf("Installed"));
    form->btnEditServiceClick();
    EXPECT_EQ(prompter.Texts("Information"),
              "You can not edit a service when it is in [Installed] state (Button: \"i\").\r\r"
              "Please [Deinstall] the service first (Button: \"d\")\n");

    // Renaming onto another entry's description is refused, the wizard
    // comes back, and cancelling it changes nothing.
    prompter.shown.clear();
    Select(RowOf("Beta"));
    std::string shownAgain;
    WhenModal([&] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        EXPECT_EQ(wizard->Description(), "Beta");
        EXPECT_EQ(wizard->CommandLine(), "-x");
        wizard->SetDescription("alpha");
        wizard->SetProgram(program);
        CancelNext(&shownAgain);
        wizard->btnFinishClick();
    });
    form->btnEditServiceClick();
    EXPECT_EQ(prompter.Texts("Error"), duplicate + "\n");
    EXPECT_EQ(shownAgain, "alpha");
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Alpha", "Beta", "Installed"}));

    // A rename that works moves the row into its sorted place, keeping its
    // list index and service ID.
    Select(RowOf("Beta"));
    FinishWith("Aardvark", program);
    form->btnEditServiceClick();
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Aardvark", "Alpha", "Installed"}));
    EXPECT_EQ(form->List().Data(0), 2);
    EXPECT_EQ(form->MemoLines()[1], "Description: Aardvark"); // the panel follows the edit
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Description, "Aardvark");
    EXPECT_EQ(catalogue.Entry().ServiceID, 2);
}

// The entry a command was for changed before it could act: the command says
// so and acts on nothing, and the list shows what is there now.
TEST_F(EntryCommandsTest, CommandsWhoseEntryChangedMeanwhileSaySoAndActOnNothing)
{
    Add("Alpha");
    Add("Beta");
    Open();
    // Remove, while its question is up.
    auto removeWhile = [&](const std::string& description, std::function<void()> elsewhere) {
        prompter.shown.clear();
        Select(RowOf(description));
        prompter.OnShow = [&](const TScriptedPrompter::Shown& shown) {
            if (shown.Kind == "Confirm")
                elsewhere();
        };
        prompter.AnswerYes();
        form->btnDeleteClick();
        prompter.OnShow = nullptr;
        return prompter.Texts("Information");
    };
    EXPECT_EQ(removeWhile("Alpha", [&] { TIniFile(file).WriteBool("Alpha", InstalledKey, true); }),
              "The service \"Alpha\" was installed by another program meanwhile. Nothing was done.\n");
    EXPECT_EQ(form->List().Image(RowOf("Alpha")), 0);
    EXPECT_EQ(removeWhile("Beta", [&] { TCatalogue(file).UpdateEntry(2, "Bravo", program, "", "", false); }),
              "The service \"Beta\" was renamed \"Bravo\" by another program meanwhile. Nothing was done.\n");
    EXPECT_EQ(catalogue.Count(), 2);
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Alpha", "Bravo"}));

    // Edit, while its wizard is up.
    auto editWhile = [&](std::function<void()> elsewhere) {
        prompter.shown.clear();
        Select(RowOf("Bravo"));
        WhenModal([&] {
            elsewhere();
            ShownWizard()->SetDescription("Gamma");
            ShownWizard()->SetProgram(program);
            ShownWizard()->btnFinishClick();
        });
        form->btnEditServiceClick();
        return prompter.Texts("Information");
    };
    EXPECT_EQ(editWhile([&] { TCatalogue(file).UpdateEntry(2, "Bravo", program, "-o", "", false); }),
              "The service \"Bravo\" was changed by another program meanwhile. Nothing was done.\n");
    catalogue.LoadEntry(2);
    EXPECT_EQ(catalogue.Entry().Description + " " + catalogue.Entry().Parameters, "Bravo -o");
    EXPECT_EQ(editWhile([&] { TIniFile(file).WriteBool("Bravo", InstalledKey, true); }),
              "The service \"Bravo\" was installed by another program meanwhile. Nothing was done.\n");
    EXPECT_EQ(catalogue.FindByDescription("Gamma"), -1);
}
