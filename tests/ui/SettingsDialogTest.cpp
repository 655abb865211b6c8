#include "tests/ui/ServiceManagerFixture.h"

#include "catalogue/IniDocument.h"
#include "deploy/ServiceConfig.h"
#include "platform/CodePages.h"
#include "platform/Seam.h"
#include "toolkit/Text.h"
#include "ui/SettingsDialog.h"

// The settings dialog of the real window, filled in from inside its modal
// loop.
namespace {

void Type(HWND dialog, TSetting setting, const std::string& text)
{
    HWND control = GetDlgItem(dialog, TSettingsDialog::ControlId(setting));
    char kind[16] = {};
    GetClassNameA(control, kind, sizeof kind);
    if (lstrcmpiA(kind, "ComboBox") == 0)
        SendMessageA(control, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
    else
        SetWindowTextA(control, text.c_str());
}

std::string Shown(HWND dialog, TSetting setting)
{
    return WindowText(GetDlgItem(dialog, TSettingsDialog::ControlId(setting)));
}

void Press(HWND dialog, int button)
{
    SendMessageA(GetDlgItem(dialog, button), BM_CLICK, 0, 0);
}

// Types each text at the keyboard into its box of the dialog, one box after
// the other (each once the keys before are taken), then runs done.
void TypeInto(HWND dialog, std::vector<std::pair<int, std::wstring>> boxes, std::function<void()> done)
{
    if (boxes.empty())
        return WhenModal(std::move(done));
    SetFocus(GetDlgItem(dialog, boxes.front().first));
    TypeAtKeyboard(boxes.front().second);
    boxes.erase(boxes.begin());
    WhenModal([dialog, boxes = std::move(boxes), done = std::move(done)]() mutable {
        TypeInto(dialog, std::move(boxes), std::move(done));
    });
}

} // namespace

TEST_F(ServiceManagerTest, TheSettingsDialogTakesWhatQvTakesRefusesAsItDoesAndThePanelShowsWhatDiffers)
{
    Add("Relay");
    Open();
    Select(RowOf("Relay"));
    PumpMessages();
    const std::vector<std::string> plain = form->MemoLines();
    HMENU services = GetSubMenu(GetMenu(form->Handle()), 1);
    const UINT settingsCommand = GetMenuItemID(services, GetMenuItemCount(services) - 1);

    std::string caption, shownTimeout, shownStart;
    bool stayed = false;
    WhenBoxShown([&](HWND dialog) {
        caption = WindowText(dialog);
        shownTimeout = Shown(dialog, TSetting::StopTimeout);
        shownStart = Shown(dialog, TSetting::StartType);
        Type(dialog, TSetting::StopTimeout, "-3");
        Press(dialog, IDOK);
        stayed = IsWindowVisible(dialog);
        Type(dialog, TSetting::StopTimeout, "30");
        Type(dialog, TSetting::StartType, "manual");
        Type(dialog, TSetting::LogTimestamps, "off");
        Type(dialog, TSetting::Environment, "OPTS= -a \"b c\"\r\nMODE=x=y\r\n");
        Press(dialog, IDOK);
    });
    SendMessageA(form->Handle(), WM_COMMAND, settingsCommand, 0);
    EXPECT_EQ(caption, "Settings of \"Relay\"");
    EXPECT_EQ(shownTimeout, "3");
    EXPECT_EQ(shownStart, "auto");
    EXPECT_TRUE(stayed);
    EXPECT_EQ(prompter.Texts("Error"), "Stop timeout: \"-3\" is not a whole number of seconds from 0 to 3600\n");

    const TServiceSettings stored = ReadServiceSettings(TIniDocument(file), "Relay");
    EXPECT_EQ(stored.StopTimeoutSeconds, 30u);
    EXPECT_EQ(stored.StartType, TStartType::Manual);
    EXPECT_FALSE(stored.LogTimestamps);
    EXPECT_EQ(stored.Environment, (std::vector<std::pair<std::string, std::string>>{{"OPTS", " -a \"b c\""},
                                                                                    {"MODE", "x=y"}}));
    // The Part's lines as before, then one a setting away from its default.
    std::vector<std::string> lines = form->MemoLines();
    ASSERT_GE(lines.size(), plain.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(plain.size())), plain);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(plain.size()), lines.end()),
              (std::vector<std::string>{"                Environment: OPTS= -a \"b c\"",
                                        "                Environment: MODE=x=y",
                                        "                 Start type: manual",
                                        "               Stop timeout: 30 s",
                                        "             Log timestamps: off"}));
}

TEST_F(ServiceManagerTest, ANamedAccountOfAnInstalledEntryNeedsItsPasswordFromTheContextMenusDialog)
{
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    Add("Mail", true);
    Open();
    Select(RowOf("Mail"));
    PumpMessages();
    // The context menu's one command, chosen by keys.
    WhenModal([&] {
        PostMessageA(form->Handle(), WM_KEYDOWN, VK_DOWN, 0);
        PostMessageA(form->Handle(), WM_KEYDOWN, VK_RETURN, 0);
    });
    bool stayed = false, storedMeanwhile = true, ended = false;
    WhenBoxShown([&](HWND dialog) {
        Type(dialog, TSetting::Account, user);
        Press(dialog, IDOK);
        stayed = IsWindowVisible(dialog);
        storedMeanwhile = ReadServiceSettings(TIniDocument(file), "Mail") != TServiceSettings{};
        SetDlgItemTextA(dialog, TSettingsDialog::PasswordId, "s3cret-pw");
        Press(dialog, IDOK);
        ended = !IsWindowVisible(dialog);
    });
    form->lvServicesContextMenu();
    EXPECT_TRUE(stayed);
    EXPECT_FALSE(storedMeanwhile);
    EXPECT_EQ(prompter.Texts("Error"), PasswordNeededText(user) + "\n");
    // With it the account is stored, the password is not (this entry has no
    // service to hand it to).
    EXPECT_TRUE(ended);
    EXPECT_EQ(ReadServiceSettings(TIniDocument(file), "Mail").Account, user);
    EXPECT_EQ(ReadTextFile(file).find("s3cret"), std::string::npos);
}

// Where Windows cannot pass a character, the box holding it is refused as the
// wizard's are, never stored as "?".
TEST_F(ServiceManagerTest, ASettingThisWindowsCannotPassIsRefusedNotStoredAsQuestionMarks)
{
    Add("Relay");
    Open();
    Select(RowOf("Relay"));
    PumpMessages();
    HMENU services = GetSubMenu(GetMenu(form->Handle()), 1);
    bool stayed = false;
    WhenBoxShown([&](HWND dialog) {
        SetWindowTextW(GetDlgItem(dialog, TSettingsDialog::ControlId(TSetting::Environment)), L"NAME=\u0416\u0443\u043A");
        TSeamOverride<decltype(TCodePageApi::GetACP)> older(CodePageApi().GetACP, []() -> UINT { return 1252; });
        Press(dialog, IDOK);
        stayed = IsWindowVisible(dialog);
        Press(dialog, IDCANCEL);
    });
    SendMessageA(form->Handle(), WM_COMMAND, GetMenuItemID(services, GetMenuItemCount(services) - 1), 0);
    EXPECT_TRUE(stayed);
    EXPECT_NE(prompter.Texts("Error").find("only the characters of code page 1252"), std::string::npos)
        << prompter.Texts("Error");
    EXPECT_TRUE(ReadServiceSettings(TIniDocument(file), "Relay").Environment.empty());
}

// Typed at the keyboard, letters of every script (Windows-1252 lacks all but
// the blanks) reach the settings' boxes and the password boxes as typed, and
// the dialogs take them so.
TEST(SettingsDialog, LettersOfEveryScriptTypedAtTheKeyboardAreTakenAsTyped)
{
    TScriptedPrompter prompter;
    const std::wstring text = L"\u0416\u0443\u043A \u03A9 \u0109 \u6F22", password = L"p\u00E4\u0436\U0001F600";
    TCatalogueEntry entry;
    entry.Description = "Relay";
    TSettingsDialog settings(entry, {});
    std::wstring shownText, shownPassword;
    WhenBoxShown([&](HWND dialog) {
        TypeInto(dialog,
                 {{TSettingsDialog::ControlId(TSetting::ServiceText), text},
                  {TSettingsDialog::ControlId(TSetting::Environment), L"NAME=" + text},
                  {TSettingsDialog::PasswordId, password}},
                 [&, dialog] {
                     shownText = WideText(GetDlgItem(dialog, TSettingsDialog::ControlId(TSetting::ServiceText)));
                     Press(dialog, IDOK);
                 });
    });
    EXPECT_EQ(mrOk, settings.ShowModal(nullptr, 0)) << prompter.Texts("Error");
    EXPECT_EQ(shownText, text);
    EXPECT_EQ(settings.Settings().ServiceText, TextFromWide(text));
    EXPECT_EQ(settings.Settings().Environment,
              (std::vector<std::pair<std::string, std::string>>{{"NAME", TextFromWide(text)}}));
    EXPECT_EQ(settings.Password(), TextFromWide(password));

    TPasswordDialog asked("CORP\\relay");
    WhenBoxShown([&](HWND dialog) { TypeInto(dialog, {{TPasswordDialog::PasswordId, password}}, [dialog] { Press(dialog, IDOK); }); });
    EXPECT_EQ(mrOk, asked.ShowModal(nullptr, 0)) << prompter.Texts("Error");
    EXPECT_EQ(asked.Password(), TextFromWide(password));
}
