#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "deploy/Deploy.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Owner.h"
#include "platform/Seam.h"
#include "platform/Services.h"
#include "tests/support/Programs.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/Text.h"
#include "toolkit/window/Application.h"
#include "ui/uCreateService.h"
#include "ui/uServiceManager.h"

// A user's whole road through the real window, the real service host and
// Wine's Service Control Manager: add "Mail Relay", install, start, ask,
// stop, uninstall, remove.
namespace {

const std::string Description = "Mail Relay";

TfrmCreateService* ShownWizard()
{
    HWND window = FindWindowA(nullptr, "Vantorer - New Service Wizard...");
    return window ? dynamic_cast<TfrmCreateService*>(TWindow::Of(window)) : nullptr;
}

class RoadTest : public ::testing::Test {
protected:
    TSavedCatalogue catalogue;
    TTempFolder folder;
    TScriptedPrompter prompter;
    std::unique_ptr<TfrmServiceManager> form;
    const TSeamOverride<decltype(TServiceApi::StartServiceA)> start{ServiceApi().StartServiceA,
                                                                    StartServiceAgainWhenWineLosesIt};

    void SetUp() override
    {
        Application().RegisterMessages();
        RemoveTestService(Description);
    }
    void TearDown() override
    {
        form.reset();
        RemoveTestService(Description);
        DeleteFileA(StubCopyPath(Description).c_str());
    }
    void Click(const char* button) { form->Click(button); }
    // The status line as its timer shows it, asked for at once.
    bool StatusLineSays(const std::string& start)
    {
        return PumpUntil([&] {
            form->ShowServiceStatus();
            return form->StatusLine().rfind(start, 0) == 0;
        }, 10000);
    }
    bool Shown(const std::string& kind, const std::string& text)
    {
        for (const auto& s : prompter.shown)
            if (s.Kind == kind && s.Text == text)
                return true;
        return false;
    }
};

} // namespace

TEST_F(RoadTest, MailRelayFromNewEntryToRemoval)
{
    const std::string program = TApplication::ExeFolder() + "road_program.exe";
    const std::string log = folder.File("relay.log");

    form = std::make_unique<TfrmServiceManager>();
    form->QuitOnClose = false;
    form->Show();
    // The host answers at once; a silent one need not keep us 5 s.
    form->Liveness().CommTimeout().SetInterval(1500);

    // New entry through the wizard; yes to installing, no to starting yet
    // (the host registers the service in its own time).
    WhenModal([&] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        wizard->SetDescription(Description);
        wizard->SetProgram(program);
        wizard->SetCommandLine("out:hello-from-the-relay wait");
        wizard->SetLogToFile(true);
        wizard->SetLogfile(log);
        wizard->btnFinishClick();
    });
    prompter.AnswerYes();
    prompter.AnswerNo();
    form->btnNewServiceClick();
    ASSERT_EQ(form->List().Captions(), (std::vector<std::string>{Description}));

    const std::string copy = StubCopyPath(Description);
    EXPECT_TRUE(FileExists(copy));
    EXPECT_NE(copy.find("\\Vantorers\\Mail!Relay.exe"), std::string::npos);
    TIniFile ini(CatalogueFileName);
    EXPECT_EQ(ini.ReadString(Description, VantorerKey, ""), copy);
    EXPECT_TRUE(ini.ReadBool(Description, InstalledKey, false));
    ASSERT_TRUE(PumpUntil([&] { return ServiceState(Description) == SERVICE_STOPPED; }, 15000));
    EXPECT_EQ(ServiceBinary(Description), "\"" + copy + "\"");

    EXPECT_EQ(form->StatusLine(), "Stopped");
    Click("btnStartServiceNow");
    EXPECT_TRUE(Shown("Information", "The service was successfully initiated !")) << prompter.Texts("Error");
    ASSERT_TRUE(PumpUntil([&] { return ServiceState(Description) == SERVICE_RUNNING; }, 15000));
    EXPECT_TRUE(StatusLineSays("Running, program up 1 s")) << form->StatusLine();
    EXPECT_TRUE(PumpUntil([&] { return ReadTextFile(log).find("hello-from-the-relay") != std::string::npos; },
                          10000));

    // Check selected: the host may need a moment to open its mailslot.
    const std::string active = "The service, \"" + Description + "\" IS currently active !";
    for (int attempt = 0; attempt < 5 && !Shown("Information", active); ++attempt)
        Click("btnCheckActive");
    EXPECT_TRUE(Shown("Information", active)) << prompter.Texts("Information");

    Click("btnCheckAll");
    std::vector<std::string> lines = form->MemoLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), " > \"Mail Relay\" is active !"), lines.end());

    ListView_SetItemState(form->Control("lvServices"), 0, LVIS_SELECTED, LVIS_SELECTED);
    prompter.shown.clear();
    Click("btnUnInstallService");
    EXPECT_NE(prompter.Texts("Error").find("The service \"Mail Relay\" is Running"), std::string::npos);
    EXPECT_EQ(ServiceState(Description), static_cast<DWORD>(SERVICE_RUNNING));

    prompter.AnswerYes();
    Click("btnStopService");
    EXPECT_TRUE(Shown("Information", "The service was successfully stopped !")) << prompter.Texts("Error");
    ASSERT_TRUE(PumpUntil([&] { return ServiceState(Description) == SERVICE_STOPPED; }, 15000));

    prompter.shown.clear();
    Click("btnUnInstallService");
    EXPECT_TRUE(prompter.Texts("Error").empty()) << prompter.Texts("Error");
    EXPECT_TRUE(PumpUntil([&] { return ServiceState(Description) == 0; }, 15000));
    EXPECT_EQ(form->StatusLine(), "Not installed");
    EXPECT_FALSE(FileExists(copy)); // deleted once its uninstall run was over
    EXPECT_FALSE(ini.ReadBool(Description, InstalledKey, true));
    EXPECT_EQ(form->List().Image(0), 1);

    prompter.AnswerYes();
    form->btnDeleteClick();
    EXPECT_TRUE(form->List().Captions().empty());
    EXPECT_EQ(TCatalogue().Count(), 0);
}

TEST_F(RoadTest, TheStatusLineTellsWhatTheSelectedServiceAndItsProgramDo)
{
    TCatalogue().AppendEntry(Description, TApplication::ExeFolder() + "road_program.exe", "exit:3", "", false);
    form = std::make_unique<TfrmServiceManager>();
    form->QuitOnClose = false;
    form->Show();
    ListView_SetItemState(form->Control("lvServices"), 0, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_EQ(form->StatusLine(), "Not installed");
    prompter.AnswerYes(); // to starting it
    Click("btnInstallService");
    EXPECT_TRUE(StatusLineSays("Running, program restarting in ")) << form->StatusLine();
    EXPECT_NE(form->StatusLine().find(" s, exit code 3"), std::string::npos) << form->StatusLine();
    // Its program cannot answer while it waits to start again, but its host
    // runs: the window refuses to uninstall it, as qv does.
    prompter.shown.clear();
    Click("btnUnInstallService");
    EXPECT_EQ(prompter.Texts("Error"), RunningServiceText(Description) + "\n");
    EXPECT_EQ(ServiceState(Description), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(TIniFile(CatalogueFileName).ReadBool(Description, InstalledKey, false));
    // Refreshed only while the window is the active one.
    SendMessageA(form->Handle(), WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_FALSE(form->StatusWatch().Enabled());
    SendMessageA(form->Handle(), WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_TRUE(form->StatusWatch().Enabled());
    ListView_SetItemState(form->Control("lvServices"), 0, 0, LVIS_SELECTED);
    EXPECT_EQ(form->StatusLine(), "");
}

// Typed in the wizard in accented Latin, Cyrillic, and CJK with an emoji, and
// run by the real host: the list shows the name, the program gets its path,
// arguments, folder and log file whole.
TEST_F(RoadTest, EveryScriptTypedInTheWizardReachesTheProgram)
{
    const std::wstring typed = L"Café Журнал 日誌😀";
    const std::string name = TextFromWide(typed);
    const TScopeExit removed([&] { RemoveTestServiceAndCopy(name); });
    const std::string place = folder.File("Dossier été Папка 文件夹😀");
    ASSERT_TRUE(CreateDirectoryA(place.c_str(), nullptr));
    const std::string program = place + "\\prögram Ж 中😀.exe", log = place + "\\journal Лог 日志😀.log";
    ASSERT_TRUE(CopyFileA((TApplication::ExeFolder() + "road_program.exe").c_str(), program.c_str(), FALSE));

    form = std::make_unique<TfrmServiceManager>();
    form->QuitOnClose = false;
    form->Show();
    WhenModal([&] {
        TfrmCreateService* wizard = ShownWizard();
        ASSERT_NE(wizard, nullptr);
        SetWindowTextW(wizard->Control("edtDescription"), typed.c_str());
        SetWindowTextW(wizard->Control("edtProgram"), WideFromText(program).c_str());
        SetWindowTextW(wizard->Control("edtCommandLine"), L"where \"déjà vu\" Жук 漢字😀 wait");
        wizard->SetLogToFile(true);
        SetWindowTextW(wizard->Control("edtLogfile"), WideFromText(log).c_str());
        wizard->btnFinishClick();
    });
    prompter.AnswerYes();
    prompter.AnswerNo();
    form->btnNewServiceClick();
    wchar_t caption[256] = {};
    LVITEMW item = {};
    item.pszText = caption;
    item.cchTextMax = 256;
    SendMessageW(form->Control("lvServices"), LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(caption, typed);

    ASSERT_TRUE(PumpUntil([&] { return ServiceState(name) == SERVICE_STOPPED; }, 15000));
    Click("btnStartServiceNow");
    std::string written;
    EXPECT_TRUE(PumpUntil([&] { return (written = ReadTextFile(log)).find("arg wait") != std::string::npos; },
                          10000)) << prompter.Texts("Error");
    EXPECT_EQ(LoggedOutput(written), "path " + program + "\r\nfolder " + place + "\r\narg where\r\narg déjà vu\r\n"
                                     "arg Жук\r\narg 漢字😀\r\narg wait\r\n");
}
