#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Dialogs.h"
#include "platform/Seam.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TempFiles.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/Text.h"
#include "toolkit/Error.h"
#include "ui/uCreateService.h"

namespace {

using Step = std::function<void()>;

constexpr const char* DescriptionMissing = "\"Description\" must be provided...";
constexpr const char* ProgramMissing = "\"Program to execute\" must be provided...";
constexpr const char* ProgramIncorrect = "Provided \"Program to execute\" is incorrect...";
constexpr const char* LogfileMissing = "If the program is to log to a file, it needs to know the file to log to...";

// Runs test steps one at a time from inside the wizard's own modal loop.
// When the steps are used up and the wizard is still open, it closes it by
// the close box, so a broken test ends instead of hanging.
class TModalDriver {
public:
    TModalDriver(HWND wizard, std::vector<Step> steps) : wizard_(wizard), steps_(std::move(steps))
    {
        static const char* className = [] {
            WNDCLASSA windowClass = {};
            windowClass.lpfnWndProc = Proc;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = "CreateServiceTestDriver";
            RegisterClassA(&windowClass);
            return "CreateServiceTestDriver";
        }();
        window_ = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                                  nullptr);
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        PostMessageA(window_, WM_APP, 0, 0);
    }
    ~TModalDriver() { DestroyWindow(window_); }

    bool ForcedClose() const { return forced_; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_APP || message == WM_TIMER) {
            KillTimer(window, 1);
            reinterpret_cast<TModalDriver*>(GetWindowLongPtrA(window, GWLP_USERDATA))->Next();
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

    void Next()
    {
        // Keys typed at the keyboard are taken after every posted message:
        // the next step waits for them behind a timer, which comes last.
        if (HIWORD(GetQueueStatus(QS_INPUT)) != 0) {
            SetTimer(window_, 1, USER_TIMER_MINIMUM, nullptr);
            return;
        }
        if (next_ < steps_.size()) {
            steps_[next_++]();
            PostMessageA(window_, WM_APP, 0, 0);
        } else if (IsWindowVisible(wizard_)) {
            forced_ = true;
            PostMessageA(wizard_, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
    }

    HWND wizard_;
    HWND window_ = nullptr;
    std::vector<Step> steps_;
    size_t next_ = 0;
    bool forced_ = false;
};

int RunModal(TfrmCreateService& wizard, std::vector<Step> steps, HWND owner = nullptr)
{
    TModalDriver driver(wizard.Handle(), std::move(steps));
    int result = wizard.ShowModal(owner);
    EXPECT_FALSE(driver.ForcedClose()) << "the steps left the wizard open";
    return result;
}

void Click(TfrmCreateService& wizard, const char* name)
{
    SendMessageA(wizard.Control(name), BM_CLICK, 0, 0);
}

// A key press as the keyboard delivers it: posted to the focused control.
void PressKey(WPARAM key)
{
    PostMessageA(GetFocus(), WM_KEYDOWN, key, 0);
}

bool Enabled(TfrmCreateService& wizard, const char* name)
{
    return IsWindowEnabled(wizard.Control(name)) != FALSE;
}

bool LooksDefault(HWND button)
{
    return (GetWindowLongA(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

// The default button as the wizard reports it and as the screen shows it.
void ExpectDefault(TfrmCreateService& wizard, const char* name)
{
    EXPECT_EQ(wizard.Control(name), wizard.DefaultButton()) << name;
    EXPECT_TRUE(LooksDefault(wizard.Control(name))) << name;
    const char* other = std::string(name) == "btnNext" ? "btnFinish" : "btnNext";
    EXPECT_FALSE(LooksDefault(wizard.Control(other))) << other;
}

// What the open-file dialog was given, and what it answers.
struct TDialogScript {
    struct Call {
        HWND Owner;
        std::string Title, Filter, DefaultExt, InitialFile;
        DWORD Flags;
    };
    std::vector<Call> calls;
    std::deque<std::optional<std::string>> answers; // nullopt: the user cancels
    std::deque<DWORD> errors;                       // for unanswered calls; 0 is a plain cancel
    DWORD lastError = 0;
    bool raise = false;
};
TDialogScript* script = nullptr;

std::string DoubleNulList(const char* list)
{
    std::string text;
    while (list && *list) {
        text += list;
        text += '\0';
        list += std::strlen(list) + 1;
    }
    return text;
}

BOOL WINAPI ScriptedOpen(LPOPENFILENAMEA dialog)
{
    if (script->raise)
        throw TError("The dialog went wrong");
    script->calls.push_back({dialog->hwndOwner, dialog->lpstrTitle ? dialog->lpstrTitle : "",
                             DoubleNulList(dialog->lpstrFilter), dialog->lpstrDefExt ? dialog->lpstrDefExt : "",
                             dialog->lpstrFile, dialog->Flags});
    std::optional<std::string> answer = script->answers.empty() ? std::nullopt : script->answers.front();
    if (!script->answers.empty())
        script->answers.pop_front();
    if (!answer) {
        script->lastError = script->errors.empty() ? 0 : script->errors.front();
        if (!script->errors.empty())
            script->errors.pop_front();
        return FALSE;
    }
    lstrcpynA(dialog->lpstrFile, answer->c_str(), static_cast<int>(dialog->nMaxFile));
    return TRUE;
}

DWORD WINAPI ScriptedError()
{
    return script->lastError;
}

class CreateServiceWizard : public ::testing::Test {
protected:
    CreateServiceWizard()
    {
        WriteTextFile(program, "MZ");
        script = &dialogs;
    }
    ~CreateServiceWizard() override { script = nullptr; }

    // Fields that pass every page.
    void FillValid(TfrmCreateService& wizard)
    {
        wizard.SetDescription("Backup Agent");
        wizard.SetProgram(program);
        wizard.SetCommandLine("  -quiet  ");
    }
    void ExpectRefused(TfrmCreateService& wizard, int page, const char* edit, const std::string& message)
    {
        EXPECT_EQ(page, wizard.CurrentPage());
        EXPECT_EQ(wizard.Control(edit), GetFocus());
        ASSERT_FALSE(prompter.shown.empty());
        EXPECT_EQ("StandardError", prompter.shown.back().Kind);
        EXPECT_EQ(message, prompter.shown.back().Text);
    }

    TScriptedPrompter prompter;
    TTempFolder folder;
    std::string program = folder.File("agent.exe");
    std::string log = folder.File("agent.log");
    TDialogScript dialogs;
    TSeamOverride<decltype(TDialogApi::GetOpenFileNameA)> open{DialogApi().GetOpenFileNameA, ScriptedOpen};
    TSeamOverride<decltype(TDialogApi::CommDlgExtendedError)> error{DialogApi().CommDlgExtendedError, ScriptedError};
};

TEST_F(CreateServiceWizard, CreateServiceStartsHiddenInItsCreationState)
{
    TfrmCreateService wizard;
    char caption[64] = {};
    GetWindowTextA(wizard.Handle(), caption, sizeof caption);
    EXPECT_STREQ("Vantorer - New Service Wizard...", caption);
    RECT frame, left;
    GetWindowRect(wizard.Handle(), &frame);
    GetWindowRect(wizard.Control("pnlLeft"), &left);
    EXPECT_EQ(489, frame.right - frame.left);
    EXPECT_EQ(312, frame.bottom - frame.top);
    EXPECT_EQ(143, left.right - left.left);
    EXPECT_FALSE(IsWindowVisible(wizard.Handle()));

    EXPECT_EQ(0, wizard.CurrentPage());
    EXPECT_FALSE(Enabled(wizard, "btnPrev"));
    EXPECT_FALSE(Enabled(wizard, "btnFinish"));
    ExpectDefault(wizard, "btnNext");
    EXPECT_FALSE(wizard.LogToFile());
    EXPECT_FALSE(Enabled(wizard, "edtLogfile"));
    EXPECT_FALSE(Enabled(wizard, "SpeedButton2"));
}

TEST_F(CreateServiceWizard, CreateServiceDescriptionPageRefusesBlankAndUnusableDescriptions)
{
    TfrmCreateService wizard;
    const std::vector<std::string> refused = {"status",          "WindowStatus", "Mail]Relay",
                                              "Backup!Agent",    "Backup: Agent", "Line\r\nBreak",
                                              " Leading blank",  "CON",          "lpt1",
                                              std::string(300, 'x')};
    int result = RunModal(wizard, {[&] {
        EXPECT_EQ(1, wizard.CurrentPage());
        wizard.SetDescription(" \t \t ");
        Click(wizard, "btnNext");
        ExpectRefused(wizard, 1, "edtDescription", DescriptionMissing);
        EXPECT_FALSE(Enabled(wizard, "btnPrev"));

        for (const std::string& description : refused) {
            SCOPED_TRACE(description);
            std::string fault = DescriptionRefusal(description).Reason();
            ASSERT_NE("", fault);
            wizard.SetDescription(description);
            Click(wizard, "btnNext");
            ExpectRefused(wizard, 1, "edtDescription", StandardErrorText(fault));
        }
        size_t boxes = prompter.shown.size();
        wizard.SetDescription("Backup Agent (nightly) #2");
        Click(wizard, "btnNext");
        EXPECT_EQ(2, wizard.CurrentPage());
        EXPECT_EQ(boxes, prompter.shown.size());
        EXPECT_TRUE(Enabled(wizard, "btnPrev"));
        EXPECT_FALSE(Enabled(wizard, "btnFinish"));
        Click(wizard, "btnCancel");
    }});
    EXPECT_EQ(2, result);
}

TEST_F(CreateServiceWizard, CreateServiceProgramPageWantsAnExistingFileAsTyped)
{
    std::string notes = folder.File("notes.dat");
    WriteTextFile(notes, "not a program, but a file");
    TfrmCreateService wizard;
    wizard.SetDescription("Backup Agent");
    int result = RunModal(wizard, {[&] {
        Click(wizard, "btnNext");
        ASSERT_EQ(2, wizard.CurrentPage());
        for (const char* blank : {"", "  \t"}) {
            wizard.SetProgram(blank);
            Click(wizard, "btnNext");
            ExpectRefused(wizard, 2, "edtProgram", ProgramMissing);
        }
        for (const std::string& wrong :
             {folder.Path(), folder.File("missing.exe"), " " + program, program + "\\"}) {
            SCOPED_TRACE(wrong);
            wizard.SetProgram(wrong);
            Click(wizard, "btnNext");
            ExpectRefused(wizard, 2, "edtProgram", ProgramIncorrect);
        }
        // Going back runs no check.
        size_t boxes = prompter.shown.size();
        Click(wizard, "btnPrev");
        EXPECT_EQ(1, wizard.CurrentPage());
        Click(wizard, "btnNext");
        EXPECT_EQ(boxes, prompter.shown.size());

        wizard.SetProgram(notes);
        Click(wizard, "btnNext");
        EXPECT_EQ(3, wizard.CurrentPage());
        EXPECT_EQ(boxes, prompter.shown.size());
        Click(wizard, "btnCancel");
    }});
    EXPECT_EQ(2, result);
}

// The log page makes the entry checks qv and apply make: a file when
// logging to one, in a folder that exists, that no other entry logs to.
TEST_F(CreateServiceWizard, CreateServiceLogPageNeedsAFileOnlyWhenLoggingToOne)
{
    const TSavedCatalogue saved;
    std::string missingFolder = folder.File("not yet");
    std::string later = folder.File("written.log");
    std::string taken = folder.File("taken.log");
    ASSERT_EQ(TEntryOutcome::Done, TCatalogue().AddEntry({"Other Agent", program, "", taken, true}));
    TfrmCreateService wizard;
    FillValid(wizard);
    int result = RunModal(wizard, {[&] {
        Click(wizard, "btnNext");
        Click(wizard, "btnNext");
        ASSERT_EQ(3, wizard.CurrentPage());
        Click(wizard, "btnNext");
        EXPECT_EQ(4, wizard.CurrentPage()) << "no log file is needed for the event log";
        Click(wizard, "btnPrev");

        Click(wizard, "cbxLogToFile");
        ASSERT_TRUE(wizard.LogToFile());
        for (const char* blank : {"", " \t "}) {
            wizard.SetLogfile(blank);
            Click(wizard, "btnNext");
            ExpectRefused(wizard, 3, "edtLogfile", LogfileMissing);
        }
        wizard.SetLogfile(missingFolder + "\\written.log");
        Click(wizard, "btnNext");
        ExpectRefused(wizard, 3, "edtLogfile",
                      "The folder \"" + missingFolder + "\" of the log file does not exist: the service could not log there.");
        wizard.SetLogfile(taken);
        Click(wizard, "btnNext");
        ExpectRefused(wizard, 3, "edtLogfile",
                      "The log file \"" + taken + "\" is the log file of the service \"Other Agent\" already: "
                      "two services cannot log to one file.");
        wizard.SetLogfile(later);
        Click(wizard, "btnNext");
        EXPECT_EQ(4, wizard.CurrentPage());
        Click(wizard, "btnFinish");
    }});
    EXPECT_EQ(1, result);
    EXPECT_EQ("Backup Agent", wizard.Description());
    EXPECT_EQ(program, wizard.Program());
    EXPECT_EQ("  -quiet  ", wizard.CommandLine());
    EXPECT_EQ(later, wizard.Logfile());
    EXPECT_TRUE(wizard.LogToFile());
}

TEST_F(CreateServiceWizard, CreateServiceFinishStaysEnabledAndDefaultOnEveryPage)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    wizard.SetLogToFile(true);
    wizard.SetLogfile(log);
    auto toPage3 = [&] {
        for (int page = 2; page <= 4; ++page) {
            Click(wizard, "btnNext");
            EXPECT_EQ(page, wizard.CurrentPage());
        }
        EXPECT_TRUE(Enabled(wizard, "btnPrev"));
        ExpectDefault(wizard, "btnFinish");
        EXPECT_TRUE(Enabled(wizard, "btnFinish"));

        Click(wizard, "btnNext");
        EXPECT_EQ(1, wizard.CurrentPage());
        EXPECT_TRUE(Enabled(wizard, "btnFinish"));
        ExpectDefault(wizard, "btnFinish");
        Click(wizard, "btnPrev");
        EXPECT_EQ(4, wizard.CurrentPage());
        Click(wizard, "btnPrev");
        EXPECT_EQ(3, wizard.CurrentPage());
        ExpectDefault(wizard, "btnFinish");
        SetFocus(wizard.Control("edtLogfile"));
        PressKey(VK_RETURN);
    };
    int result = RunModal(wizard, {toPage3, [&] { ADD_FAILURE() << "Enter in the log-file edit did not finish"; }});
    EXPECT_EQ(1, result);
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(CreateServiceWizard, CreateServiceKeyboardEnterNextsEscapeCancels)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    int result = RunModal(wizard, {[&] {
                                       SetFocus(wizard.Control("edtDescription"));
                                       PressKey(VK_RETURN);
                                   },
                                   [&] {
                                       EXPECT_EQ(2, wizard.CurrentPage());
                                       // The focus follows onto the new page.
                                       EXPECT_EQ(wizard.Control("edtProgram"), GetFocus());
                                       wizard.SetProgram("");
                                       PressKey(VK_RETURN);
                                   },
                                   [&] {
                                       ExpectRefused(wizard, 2, "edtProgram", ProgramMissing);
                                       PressKey(VK_ESCAPE);
                                   }});
    EXPECT_EQ(2, result);
}

TEST_F(CreateServiceWizard, CreateServiceAccessKeysWorkBareOnAButtonAndWithAltAnywhere)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    std::vector<int> pages;
    auto type = [&](const char* control, UINT message, char key) {
        return [&wizard, &pages, control, message, key] {
            pages.push_back(wizard.CurrentPage());
            SetFocus(wizard.Control(control));
            PostMessageA(GetFocus(), message, static_cast<WPARAM>(key), 0);
        };
    };
    RunModal(wizard, {type("btnNext", WM_CHAR, 'n'), type("edtCommandLine", WM_CHAR, 'n'),
                      type("edtCommandLine", WM_SYSCHAR, 'N'), type("cbxLogToFile", WM_CHAR, 'p'),
                      type("btnCancel", WM_CHAR, 'f'), [&] {
                          pages.push_back(wizard.CurrentPage());
                          Click(wizard, "btnCancel");
                      }});
    // A bare letter in an edit is typing; a disabled button has no key.
    EXPECT_EQ(pages, (std::vector<int>{1, 2, 2, 3, 2, 2}));
    EXPECT_NE(wizard.CommandLine().find('n'), std::string::npos);
}

// Typed at the keyboard, letters of every script reach each box as typed,
// and the wizard takes them (Windows-1252 lacks all but the blanks).
TEST_F(CreateServiceWizard, CreateServiceTakesLettersOfEveryScriptTypedAtTheKeyboard)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    wizard.SetDescription("");
    wizard.SetCommandLine("");
    const std::wstring description = L"\u0416\u0443\u043A \u03A9 \u0109 \u6F22";
    const std::wstring parameters = L" -n \u0416 \U0001F600";
    std::vector<Step> steps = {[&] { SetFocus(wizard.Control("edtDescription")); },
                               [&] { TypeAtKeyboard(description); },
                               // "\u014E" would be "N" cut to a byte: no key of a button.
                               [&] { SetFocus(wizard.Control("btnCancel")); },
                               [&] { TypeAtKeyboard(L"\u014E"); },
                               [&] { EXPECT_EQ(1, wizard.CurrentPage()); },
                               [&] { Click(wizard, "btnNext"); },
                               [&] { SetFocus(wizard.Control("edtCommandLine")); },
                               [&] { TypeAtKeyboard(parameters); },
                               [&] { Click(wizard, "btnNext"); },
                               [&] { Click(wizard, "btnNext"); },
                               [&] { Click(wizard, "btnFinish"); }};
    EXPECT_EQ(mrOk, RunModal(wizard, steps)) << prompter.Texts("StandardError");
    EXPECT_EQ(WideText(wizard.Control("edtDescription")), description);
    EXPECT_EQ(wizard.Description(), TextFromWide(description));
    EXPECT_EQ(wizard.CommandLine(), TextFromWide(parameters));
}

TEST_F(CreateServiceWizard, CreateServiceCloseBoxCancelsAndShowingAgainKeepsTheInput)
{
    HWND owner = CreateWindowExA(0, "STATIC", "owner", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    TfrmCreateService wizard;
    FillValid(wizard);
    EXPECT_EQ(2, RunModal(wizard, {[&] {
                              EXPECT_FALSE(IsWindowEnabled(owner));
                              PostMessageA(wizard.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);
                          }},
                          owner));
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindowVisible(wizard.Handle()));

    EXPECT_EQ(1, RunModal(wizard, {[&] {
                              for (int i = 0; i < 3; ++i)
                                  Click(wizard, "btnNext");
                              Click(wizard, "btnFinish");
                          }},
                          owner));
    // As after a refused duplicate: page 1, the input in place, Finish ready.
    wizard.SetDescription("Backup Agent 2");
    EXPECT_EQ(1, RunModal(wizard, {[&] {
                              EXPECT_EQ(1, wizard.CurrentPage());
                              EXPECT_EQ(program, wizard.Program());
                              EXPECT_TRUE(Enabled(wizard, "btnPrev"));
                              ExpectDefault(wizard, "btnFinish");
                              SetFocus(wizard.Control("edtDescription"));
                              PressKey(VK_RETURN);
                          }},
                          owner));
    EXPECT_EQ("Backup Agent 2", wizard.Description());
    DestroyWindow(owner);
}

TEST_F(CreateServiceWizard, CreateServiceFinishRefusesPagesChangedAfterwards)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    wizard.SetLogToFile(true);
    wizard.SetLogfile(log);
    int result = RunModal(wizard, {[&] {
        for (int i = 0; i < 4; ++i)
            Click(wizard, "btnNext");
        ASSERT_EQ(1, wizard.CurrentPage());
        wizard.SetDescription("  ");
        Click(wizard, "btnFinish");
        ExpectRefused(wizard, 1, "edtDescription", DescriptionMissing);

        wizard.SetDescription("Backup Agent");
        wizard.SetProgram(folder.Path());
        Click(wizard, "btnFinish");
        ExpectRefused(wizard, 2, "edtProgram", ProgramIncorrect);
        EXPECT_FALSE(IsWindowVisible(wizard.Control("tabNr1")));

        // Still logging to a file, the log file emptied, then back a page.
        wizard.SetProgram(program);
        Click(wizard, "btnNext");
        ASSERT_EQ(3, wizard.CurrentPage());
        wizard.SetLogfile("");
        Click(wizard, "btnPrev");
        Click(wizard, "btnFinish");
        ExpectRefused(wizard, 3, "edtLogfile", LogfileMissing);

        wizard.SetLogfile(log);
        Click(wizard, "btnFinish");
    }});
    EXPECT_EQ(1, result);
    EXPECT_EQ(log, wizard.Logfile());
}

TEST_F(CreateServiceWizard, CreateServiceLogToFileToggleKeepsTheText)
{
    TfrmCreateService wizard;
    FillValid(wizard);
    wizard.SetLogfile("C:\\logs\\agent.log");
    wizard.SetLogToFile(true); // as an edit of an entry that logs to a file
    EXPECT_TRUE(Enabled(wizard, "edtLogfile"));
    EXPECT_TRUE(Enabled(wizard, "SpeedButton2"));
    int result = RunModal(wizard, {[&] {
        Click(wizard, "btnNext");
        Click(wizard, "btnNext");
        Click(wizard, "cbxLogToFile");
        EXPECT_FALSE(wizard.LogToFile());
        EXPECT_FALSE(Enabled(wizard, "edtLogfile"));
        EXPECT_FALSE(Enabled(wizard, "SpeedButton2"));
        EXPECT_EQ("C:\\logs\\agent.log", wizard.Logfile());
        Click(wizard, "cbxLogToFile");
        EXPECT_TRUE(Enabled(wizard, "edtLogfile"));
        EXPECT_TRUE(Enabled(wizard, "SpeedButton2"));
        Click(wizard, "cbxLogToFile");
        Click(wizard, "btnNext");
        Click(wizard, "btnFinish");
    }});
    EXPECT_EQ(1, result);
    EXPECT_FALSE(wizard.LogToFile());
    EXPECT_EQ("C:\\logs\\agent.log", wizard.Logfile()) << "handed over even when not logging to a file";
}

TEST_F(CreateServiceWizard, CreateServiceBrowseDialogsReplaceOnConfirmAndKeepOnCancel)
{
    TfrmCreateService wizard;
    wizard.SetDescription("Backup Agent");
    wizard.SetProgram("C:\\old\\tool.exe");
    wizard.SetLogfile("C:\\logs\\old.log");
    wizard.SetLogToFile(true);
    dialogs.answers = {std::nullopt, "C:\\new\\agent.exe", "C:\\logs\\new.log"};
    RunModal(wizard, {[&] {
        Click(wizard, "btnNext");
        Click(wizard, "SpeedButton1");
        EXPECT_EQ("C:\\old\\tool.exe", wizard.Program());
        Click(wizard, "SpeedButton1");
        EXPECT_EQ("C:\\new\\agent.exe", wizard.Program());
        wizard.SetProgram(program);
        Click(wizard, "btnNext");
        Click(wizard, "SpeedButton2");
        EXPECT_EQ("C:\\logs\\new.log", wizard.Logfile());
        Click(wizard, "btnCancel");
    }});
    ASSERT_EQ(3u, dialogs.calls.size());
    const TDialogScript::Call& exe = dialogs.calls[0];
    EXPECT_EQ(wizard.Handle(), exe.Owner);
    EXPECT_EQ("Browse for Program to Vantorize", exe.Title);
    EXPECT_EQ(std::string("Programs (*.exe)") + '\0' + "*.exe" + '\0', exe.Filter);
    EXPECT_EQ("exe", exe.DefaultExt);
    EXPECT_EQ("C:\\old\\tool.exe", exe.InitialFile);
    EXPECT_EQ(DWORD(OFN_HIDEREADONLY | OFN_FILEMUSTEXIST),
              exe.Flags & (OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT));
    const TDialogScript::Call& log = dialogs.calls[2];
    EXPECT_EQ("Browse for file to log to...", log.Title);
    EXPECT_EQ(std::string("Logfiles (*.log)") + '\0' + "*.log" + '\0', log.Filter);
    EXPECT_EQ("log", log.DefaultExt);
    EXPECT_EQ("C:\\logs\\old.log", log.InitialFile);
    EXPECT_EQ(DWORD(OFN_PATHMUSTEXIST), log.Flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_ALLOWMULTISELECT));
}

TEST_F(CreateServiceWizard, CreateServiceBrowseOpensEmptyWhenTheTextIsNoFileName)
{
    TfrmCreateService wizard;
    wizard.SetProgram("\"C:\\tools\\a|b\"");
    dialogs.answers = {std::nullopt, "C:\\tools\\agent.exe"};
    dialogs.errors = {FNERR_INVALIDFILENAME};
    Click(wizard, "SpeedButton1");
    ASSERT_EQ(2u, dialogs.calls.size());
    EXPECT_EQ("", dialogs.calls[1].InitialFile);
    EXPECT_EQ("C:\\tools\\agent.exe", wizard.Program());
}

TEST_F(CreateServiceWizard, CreateServiceHandlerFailureGoesToTheStandardErrorBox)
{
    TfrmCreateService wizard;
    wizard.SetDescription("Backup Agent");
    dialogs.raise = true;
    int result = RunModal(wizard, {[&] {
        Click(wizard, "btnNext");
        Click(wizard, "SpeedButton1");
        ASSERT_EQ(1u, prompter.shown.size());
        EXPECT_EQ("The dialog went wrong.", prompter.shown[0].Text);
        EXPECT_TRUE(IsWindowVisible(wizard.Handle()));
        Click(wizard, "btnCancel");
    }});
    EXPECT_EQ(2, result);
}

} // namespace
