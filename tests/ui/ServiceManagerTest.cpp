#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "catalogue/Catalogue.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "platform/Seam.h"
#include "platform/Shell.h"
#include "tests/support/ScriptedPrompter.h"
#include "fixtures/StandInHost.h"
#include "tests/support/TempFiles.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/window/Application.h"
#include "toolkit/window/MessageBoxes.h"
#include "ui/About.h"
#include "ui/uServiceManager.h"
#include "tests/ui/ServiceManagerFixture.h"

namespace {

UINT WINAPI FailLaunch(LPCSTR command, UINT show);
std::string launched;
UINT launchShow = 0;

UINT WINAPI RecordLaunch(LPCSTR command, UINT show)
{
    launched = command;
    launchShow = show;
    return 33;
}

UINT WINAPI FailLaunch(LPCSTR command, UINT)
{
    launched = command;
    return ERROR_FILE_NOT_FOUND;
}

std::string opened;
HINSTANCE WINAPI RecordOpen(HWND, LPCSTR verb, LPCSTR file, LPCSTR, LPCSTR, INT)
{
    opened = std::string(verb) + " " + file;
    return reinterpret_cast<HINSTANCE>(42);
}

} // namespace

TEST_F(ServiceManagerTest, ListsTheCatalogueSortedWithIndexAndInstalledImage)
{
    Add("Mail Relay", true);
    Add("backup Agent");
    Add("Zeta");
    Add("Archive");
    Open();
    EXPECT_EQ(WindowText(form->Handle()), "Korvalith's Vantorer - NT Service Generator/Moderator");
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"Archive", "backup Agent", "Mail Relay", "Zeta"}));
    EXPECT_EQ(form->List().Data(0), 4);
    EXPECT_EQ(form->List().Data(1), 2);
    EXPECT_EQ(form->List().Data(2), 1);
    EXPECT_EQ(form->List().Data(3), 3);
    EXPECT_EQ(form->List().Image(2), 0);
    EXPECT_EQ(form->List().Image(0), 1);
    // Loading a list with rows is a change with no selection.
    EXPECT_EQ(EnabledButtons(), "btnNewService btnCheckAll");
}

TEST_F(ServiceManagerTest, TheDetailsPanelAndButtonsFollowTheSelection)
{
    Add("Mail Relay", true, true);
    Add("Backup Agent");
    Open();
    Select(RowOf("Mail Relay"));
    EXPECT_EQ(form->MemoLines(), (std::vector<std::string>{
                                     "",
                                     "Description: Mail Relay",
                                     "----------------------------------------",
                                     "   Program being Vantorized: C:\\bin\\Mail Relay.exe",
                                     "       Execution parameters: -x",
                                     "         Log information to: C:\\log.txt",
                                     "Currently an Active Service: Yes!",
                                     "                 Service ID: 1",
                                 }));
    EXPECT_EQ(EnabledButtons(),
              "btnNewService btnStopService btnStartServiceNow btnUnInstallService btnCheckActive btnCheckAll");
    char shown[1024] = {};
    GetWindowTextA(form->Control("memDescription"), shown, sizeof shown);
    EXPECT_NE(std::string(shown).find("Description: Mail Relay\r\n"), std::string::npos);

    Select(RowOf("Backup Agent"));
    EXPECT_EQ(form->MemoLines()[5], "         Log information to: NT's Event log");
    EXPECT_EQ(form->MemoLines()[6], "Currently an Active Service: No!");
    EXPECT_EQ(form->MemoLines()[7], "                 Service ID: 2");
    EXPECT_EQ(EnabledButtons(), "btnNewService btnDelete btnEditService btnInstallService btnCheckAll");

    ListView_SetItemState(form->Control("lvServices"), -1, 0, LVIS_SELECTED);
    EXPECT_TRUE(form->MemoLines().empty());
    EXPECT_EQ(EnabledButtons(), "btnNewService btnCheckAll");
}

TEST_F(ServiceManagerTest, AnEmptyCatalogueLeavesEveryButtonEnabledUntilACommandFindsNoSelection)
{
    Open();
    const std::string all = "btnNewService btnDelete btnEditService btnStopService btnStartServiceNow "
                            "btnInstallService btnUnInstallService btnCheckActive btnCheckAll";
    EXPECT_TRUE(form->List().Captions().empty());
    EXPECT_EQ(EnabledButtons(), all);
    ClickButton("btnDelete"); // remove with no selection does nothing
    EXPECT_EQ(EnabledButtons(), all);
    ClickButton("btnCheckActive");
    EXPECT_EQ(EnabledButtons(), "btnNewService btnCheckAll");
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(ServiceManagerTest, ButtonsCarryTheirHintsAndTags)
{
    Open();
    HWND tips = ThreadWindowOfClass(TOOLTIPS_CLASSA, false);
    ASSERT_NE(tips, nullptr);
    auto hint = [&](const char* button) {
        char text[256] = {};
        TOOLINFOA tool = {};
        tool.cbSize = TTTOOLINFOA_V1_SIZE;
        tool.hwnd = form->Handle();
        tool.uId = reinterpret_cast<UINT_PTR>(form->Control(button));
        tool.lpszText = text;
        SendMessageA(tips, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&tool));
        return std::string(text);
    };
    const std::pair<const char*, const char*> hints[] = {
        {"btnNewService", "Add a New Service..."},
        {"btnDelete", "Remove currently selected Service..."},
        {"btnEditService", "Edit currently selected Service..."},
        {"btnStopService", "STOP/Suspend currently selected Service ( if at all running )..."},
        {"btnStartServiceNow", "Start the selected Service ( if it is not currently running... )"},
        {"btnInstallService", "Install the currently selected Service into NT Services ..."},
        {"btnUnInstallService", "UNINSTALL the currently selected service FROM the NT services base..."},
        {"btnCheckActive", "Check if the currently selected service is currently active..."},
        {"btnCheckAll", "List all active services..."},
    };
    ASSERT_EQ(std::size(hints), std::size(AllButtons));
    for (const auto& [button, text] : hints) {
        EXPECT_EQ(hint(button), text);
        // Only the stop button (1) and the start button (2) carry a tag: the
        // command they share tells stop from start by it.
        const int tag = std::string(button) == "btnStopService"       ? 1
                        : std::string(button) == "btnStartServiceNow" ? 2
                                                                      : 0;
        ASSERT_NE(form->Controls().Find(button), nullptr) << button;
        EXPECT_EQ(form->Controls().Find(button)->Tag, tag) << button;
        EXPECT_EQ(form->Controls().Find(button)->GetInteger("Tag"), tag) << button;
    }

    // A disabled button gets no mouse messages: the panel under it shows its hint.
    HWND panel = form->Control("Panel2");
    EnableWindow(form->Control("btnEditService"), FALSE);
    RECT bounds;
    GetWindowRect(form->Control("btnEditService"), &bounds);
    MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&bounds), 2);
    char text[256] = {};
    TTHITTESTINFOA hit = {};
    hit.hwnd = panel;
    hit.pt = {bounds.left + 5, bounds.top + 5};
    hit.ti.cbSize = TTTOOLINFOA_V1_SIZE;
    hit.ti.lpszText = text;
    EXPECT_TRUE(SendMessageA(tips, TTM_HITTESTA, 0, reinterpret_cast<LPARAM>(&hit)));
    EXPECT_EQ(std::string(text), "Edit currently selected Service...");
}

TEST_F(ServiceManagerTest, RemovingAskFirstAndReloadsTheList)
{
    Add("One");
    Add("Two");
    Add("Three");
    Open();
    Select(RowOf("Two"));
    prompter.AnswerNo();
    ClickButton("btnDelete");
    EXPECT_EQ(prompter.Texts("Confirm"), "Are you sure you want to remove this service: Two\n");
    EXPECT_EQ(catalogue.Count(), 3);

    prompter.AnswerYes();
    ClickButton("btnDelete");
    EXPECT_EQ(catalogue.Count(), 2);
    EXPECT_EQ(form->List().Captions(), (std::vector<std::string>{"One", "Three"}));
    EXPECT_EQ(form->List().Data(RowOf("Three")), 2);
    EXPECT_EQ(EnabledButtons(), "btnNewService btnCheckAll");
}

TEST_F(ServiceManagerTest, RemovingAnInstalledEntryAsksToUninstallFirst)
{
    Add("Installed", true);
    Open();
    Select(0);
    prompter.AnswerNo();
    form->btnDeleteClick(); // the menu runs it whatever the button's state
    EXPECT_EQ(prompter.Texts("Confirm"),
              "You can not remove a service when it is in [Installed] state (Button: \"i\").\r\r"
              "You need to [Deinstall] the service first (Button: \"d\")\r\r"
              "Do you want to do this automatically ?\n");
    EXPECT_EQ(catalogue.Count(), 1);
}

TEST_F(ServiceManagerTest, ASecondInstanceIsRefusedAndCloses)
{
    TKernelHandle firstWindow(CreateMutexA(nullptr, FALSE, ManagerWindowMutex));
    TMailSlot first;
    first.SetAlias(ManagerSlotAlias);
    first.SetActive(true);
    Add("Listed");
    Open();
    EXPECT_EQ(prompter.Texts("Error"),
              "The application is probable opened for the second time and must close !\r"
              "Please check if there is a second instance of the application open...\n");
    // The window was shown with its list before the posted close arrives.
    EXPECT_TRUE(PumpUntil([&] { return form->Closed(); }));
    EXPECT_TRUE(first.Active());
    EXPECT_EQ(first.MsgCount(), 0);
}

TEST_F(ServiceManagerTest, AMailslotHeldByTheCommandLineAloneIsTakenOverOnceFree)
{
    auto commandLine = std::make_unique<TMailSlot>();
    commandLine->SetAlias(ManagerSlotAlias);
    commandLine->SetActive(true);
    Open();
    EXPECT_EQ(prompter.Texts("Error"), "");
    EXPECT_FALSE(form->Liveness().ServerSlot()->Active());
    commandLine.reset();
    EXPECT_TRUE(PumpUntil([&] { return form->Liveness().ServerSlot()->Active(); }));
    EXPECT_FALSE(form->Closed());
}

TEST_F(ServiceManagerTest, ClosingDisposesOfTheMailslotAndHandlesItsOwnMessages)
{
    Open();
    TMailSlot probe;
    probe.SetAlias(ManagerSlotAlias);
    EXPECT_THROW(probe.SetActive(true), std::exception);
    EXPECT_EQ(SendMessageA(form->Handle(), 1025, 0, 0), 0);
    EXPECT_FALSE(form->Closed());
    PostMessageA(form->Handle(), 4091, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return form->Closed(); }));
    EXPECT_NO_THROW(probe.SetActive(true));
}

TEST_F(ServiceManagerTest, TheQuickGuideOpensInNotepadOrSaysWhereItIs)
{
    Open();
    {
        TSeamOverride launch(ShellApi().WinExec, &RecordLaunch);
        form->QuickGuide1Click();
    }
    EXPECT_EQ(launched, "Notepad.exe \"" + TApplication::ExeFolder() + "Quick Guide.txt\"");
    EXPECT_EQ(launchShow, static_cast<UINT>(SW_SHOW));
    EXPECT_TRUE(prompter.shown.empty());

    TSeamOverride fail(ShellApi().WinExec, &FailLaunch);
    form->QuickGuide1Click();
    EXPECT_EQ(prompter.Texts("Error"), "The Quick Guide document could not be opened !\r\r"
                                       "Pleaase try and locate it manually. It's name is: \"Quick Guide.txt\"\n");
}

TEST_F(ServiceManagerTest, TheMenuCarriesEveryCommand)
{
    Open();
    HMENU bar = GetMenu(form->Handle());
    ASSERT_EQ(GetMenuItemCount(bar), 5);
    auto captions = [](HMENU menu) {
        std::string all;
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            char text[128] = {};
            GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
            all += std::string(all.empty() ? "" : "|") + (text[0] ? text : "-");
        }
        return all;
    };
    EXPECT_EQ(captions(bar), "&File|&Services|&Manage|&Checking|&Help");
    EXPECT_EQ(captions(GetSubMenu(bar, 1)), "&New Service|&Edit Service|-|&Remove Service|-|Se&ttings...");
    EXPECT_EQ(captions(GetSubMenu(bar, 2)),
              "&Install Service|&UnInstall Service|-|&Start Service|Sto&p Service");
    EXPECT_EQ(captions(GetSubMenu(bar, 3)),
              "Check if &selected Service is running|&Check if any Service is running");
    EXPECT_EQ(captions(GetSubMenu(bar, 4)), "&About|-|Quick Guide");
    // Commands added since leave the ids the menus always had as they were.
    EXPECT_EQ(GetMenuItemID(GetSubMenu(bar, 2), 0), 2004u);
    EXPECT_EQ(GetMenuItemID(GetSubMenu(bar, 4), 0), 2010u);

    // File, Exit closes the window.
    SendMessageA(form->Handle(), WM_COMMAND, GetMenuItemID(GetSubMenu(bar, 0), 0), 0);
    EXPECT_TRUE(form->Closed());
}

TEST_F(ServiceManagerTest, TheAboutBoxShowsTheProgramAndOpensContactLines)
{
    Open();
    TSeamOverride open(ShellApi().ShellExecuteA, &RecordOpen);
    std::vector<std::string> texts;
    std::string caption;
    WhenBoxShown([&](HWND about) {
        caption = WindowText(about);
        texts = ChildTexts(about);
        HWND web = nullptr;
        for (HWND child = GetWindow(about, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            if (WindowText(child).rfind("http:", 0) == 0)
                web = child;
        ASSERT_NE(web, nullptr);
        SendMessageA(about, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(web), STN_CLICKED), reinterpret_cast<LPARAM>(web));
        PostMessageA(about, WM_COMMAND, IDOK, 0);
    });
    form->About1Click();
    EXPECT_EQ(caption, "About Quorvane");
    auto has = [&](const std::string& text) { return std::find(texts.begin(), texts.end(), text) != texts.end(); };
    EXPECT_TRUE(has("Korvalith's \"Quorvane\""));
    EXPECT_TRUE(has("Version 1.02"));
    EXPECT_TRUE(has("OK"));
    EXPECT_EQ(opened.rfind("open http:", 0), 0u) << opened;

    const std::pair<const char*, const char*> targets[] = {
        {"http://example.org", "http://example.org"},
        {"Visit HTTP://EXAMPLE.ORG", "Visit HTTP://EXAMPLE.ORG"},
        {"https://example.org", "https://example.org"},
        {"sales@example.org", "mailto:sales@example.org"}};
    for (const auto& [line, target] : targets)
        EXPECT_EQ(ContactTarget(line), target);
}

TEST_F(ServiceManagerTest, TheAboutBoxGivesBackItsFontsHoweverItEnds)
{
    Open();
    HGDIOBJ font = nullptr;
    WhenBoxShown([&](HWND about) {
        font = reinterpret_cast<HGDIOBJ>(SendDlgItemMessageA(about, IDOK, WM_GETFONT, 0, 0));
        PostQuitMessage(0); // the program ends while the box is up
    });
    form->About1Click();
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(GetObjectType(font), 0u) << "the font is still there";
}

TEST(MessageBoxes, KindsCaptionsButtonsAndEscape)
{
    Application().Title = "Korvalith's Quorvane";
    struct Seen {
        std::string Caption;
        std::vector<std::string> Texts;
    } seen;
    auto look = [&](WORD key) {
        WhenBoxShown([&seen, key](HWND box) {
            seen.Caption = WindowText(box);
            seen.Texts = ChildTexts(box);
            PressKey(GetFocus(), key);
        });
    };
    auto has = [&](const std::string& text) {
        return std::find(seen.Texts.begin(), seen.Texts.end(), text) != seen.Texts.end();
    };

    look(VK_ESCAPE);
    EXPECT_FALSE(WindowPrompter().Confirm("Sure ?"));
    EXPECT_EQ(seen.Caption, "Confirm");
    EXPECT_TRUE(has("&Yes") && has("&No") && has("Sure ?"));

    look(VK_RETURN); // "&Yes" is the default button
    EXPECT_TRUE(WindowPrompter().Confirm("Sure ?"));

    look(VK_ESCAPE);
    WindowPrompter().Information("Done !");
    EXPECT_EQ(seen.Caption, "Information");
    EXPECT_TRUE(has("OK") && !has("&No"));

    look(VK_RETURN);
    WindowPrompter().Error("Broken\rtwice");
    EXPECT_EQ(seen.Caption, "Error");
    EXPECT_TRUE(has("Broken\r\ntwice"));

    look(VK_RETURN);
    WindowPrompter().StandardError(StandardErrorText("Wrong Service index (0"));
    EXPECT_EQ(seen.Caption, "Korvalith's Quorvane");
    EXPECT_TRUE(has("Wrong Service index (0."));

    // A full stop where the last character sorts after ".".
    for (const char* kept : {"ends with a dot.", "ends with dots...", "ends with !", ""})
        EXPECT_EQ(StandardErrorText(kept), kept);
    EXPECT_EQ(StandardErrorText("(3"), "(3.");
}

TEST_F(ServiceManagerTest, TheLayoutTheUserLeftComesBack)
{
    Open();
    SetWindowPos(form->Handle(), nullptr, 150, 120, 700, 420, SWP_NOZORDER);
    // Drag the splitter to x = 260.
    HWND splitter = form->Control("Splitter1");
    RECT bounds;
    GetWindowRect(splitter, &bounds);
    POINT at = {260, bounds.top + 10};
    ScreenToClient(form->Handle(), &at);
    SendMessageA(splitter, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 10));
    POINT local = {260, 10};
    MapWindowPoints(form->Handle(), splitter, &local, 1);
    SendMessageA(splitter, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(local.x, local.y));
    SendMessageA(splitter, WM_LBUTTONUP, 0, MAKELPARAM(local.x, local.y));
    form->Close();
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger(WindowStatusSection, "lvServices_Width", 0), 260);
    EXPECT_EQ(ini.ReadInteger(WindowStatusSection, "Splitter1_Left", 0), 260);
    EXPECT_EQ(ini.ReadString(WindowStatusSection, "Visible", ""), "0");
    form.reset();

    Open();
    RECT window;
    GetWindowRect(form->Handle(), &window);
    EXPECT_EQ(window.right - window.left, 700);
    EXPECT_EQ(window.bottom - window.top, 420);
    RECT list;
    GetWindowRect(form->Control("lvServices"), &list);
    EXPECT_EQ(list.right - list.left, 260);
}

TEST_F(ServiceManagerTest, TheListWidthKeptIsTheUsersWhenClosedNarrowOrMinimized)
{
    TIniFile ini(file);
    auto closeAndRead = [&] {
        form->Close();
        form.reset();
        return std::to_string(ini.ReadInteger(WindowStatusSection, "lvServices_Width", -1)) + " " +
               std::to_string(ini.ReadInteger(WindowStatusSection, "Splitter1_Left", -1)) + " " +
               ini.ReadString(WindowStatusSection, "ShowCmd", "");
    };
    Open();
    SetWindowPos(form->Handle(), nullptr, 100, 100, 150, 300, SWP_NOZORDER); // narrower than the list
    EXPECT_EQ(closeAndRead(), "202 202 1");
    Open();
    SetWindowPos(form->Handle(), nullptr, 100, 100, 600, 300, SWP_NOZORDER);
    ShowWindow(form->Handle(), SW_MINIMIZE);
    EXPECT_EQ(closeAndRead(), "202 202 2");

    Open(); // minimized, and once restored it shows its list
    EXPECT_TRUE(IsIconic(form->Handle()));
    ShowWindow(form->Handle(), SW_RESTORE);
    RECT list;
    GetWindowRect(form->Control("lvServices"), &list);
    EXPECT_EQ(list.right - list.left, 202);
}

TEST_F(ServiceManagerTest, BoxesBelongToTheWindowWhateverWindowIsActive)
{
    Open();
    HWND other = CreateWindowExA(0, "STATIC", "Another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetPrompter(&WindowPrompter());
    std::vector<HWND> owners; // each box's owner, and whether that owner took input
    auto nextBox = [&] {
        SetForegroundWindow(other);
        WhenBoxShown([&](HWND box) {
            owners.push_back(GetWindow(box, GW_OWNER));
            owners.push_back(IsWindowEnabled(owners.back()) ? owners.back() : nullptr);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        });
    };
    nextBox();
    TSeamOverride fail(ShellApi().WinExec, &FailLaunch);
    form->QuickGuide1Click();

    // While the wizard is up, boxes belong to it: here a host's reply.
    HWND wizard = nullptr;
    form->Liveness().SetCheckMode(TCheckMode::Box);
    WhenModal([&] {
        wizard = FindWindowA(nullptr, "Vantorer - New Service Wizard...");
        nextBox();
        SendMessageA(form->Handle(), RegisterWindowMessageA(YesWhatDoYouWantMessage), 1, 0);
        PostMessageA(wizard, WM_CLOSE, 0, 0);
    });
    form->btnNewServiceClick();
    EXPECT_EQ(owners, (std::vector<HWND>{form->Handle(), nullptr, wizard, nullptr}));
    SetPrompter(&prompter);
    DestroyWindow(other);
}

TEST_F(ServiceManagerTest, AFloodOfRepliesKeepsOneBoxOpenAtATime)
{
    Open();
    TLiveness& liveness = form->Liveness();
    liveness.SetCheckMode(TCheckMode::Box);
    int depth = 0, deepest = 0;
    prompter.OnShow = [&](const TScriptedPrompter::Shown&) {
        deepest = std::max(deepest, ++depth);
        PumpMessages(); // what the box's own loop runs while it waits
        liveness.MailSlotCheck().OnTimer();
        --depth;
    };
    for (int reply = 1; reply <= 200; ++reply) {
        PostMessageA(form->Handle(), RegisterWindowMessageA(YesWhatDoYouWantMessage), 1, 0);
        if (reply <= 20)
            SendToManager(std::to_string(reply) + "|I am on:1");
    }
    PumpMessages();
    liveness.MailSlotCheck().OnTimer();
    liveness.MailSlotCheck().OnTimer();
    EXPECT_EQ(deepest, 1);
    EXPECT_EQ(prompter.shown.size(), 21u); // one for the burst, one for each mailslot reply
    EXPECT_EQ(liveness.ServerSlot()->MsgCount(), 0);
}
