#include "ui/uCreateService.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/EntryRules.h"
#include "platform/Dialogs.h"
#include "platform/Owner.h"
#include "toolkit/window/Application.h"
#include "toolkit/Guarded.h"
#include "toolkit/Prompter.h"
#include "toolkit/Text.h"
#include "toolkit/Error.h"
#include "ui/Glyphs.h"

namespace {

constexpr const char* WizardClass = "TfrmCreateService";
constexpr const char* BevelPanelClass = "TfrmCreateService.BevelPanel";
constexpr const char* PictureClass = "TfrmCreateService.Picture";

constexpr const char* Caption = "Vantorer - New Service Wizard...";
constexpr int WizardWidth = 489;
constexpr int WizardHeight = 312;
constexpr int LeftPanelWidth = 143;
constexpr int ButtonStripHeight = 37;


// The filters hold one entry each: shown text, pattern, and the closing pair of NULs.
constexpr const char ExeFilter[] = "Programs (*.exe)\0*.exe\0";
constexpr const char LogFilter[] = "Logfiles (*.log)\0*.log\0";

constexpr COLORREF EditColor = RGB(255, 254, 232);
constexpr COLORREF WarnColor = RGB(255, 221, 221);
constexpr COLORREF DoneColor = RGB(225, 255, 225);

enum ControlId {
    idCancel = IDCANCEL,
    idPrev = 100,
    idNext,
    idFinish,
    idBrowseProgram,
    idBrowseLogfile,
    idLogToFile,
    idEdit,
};

TFont MakeFont(int points, bool bold)
{
    return TFont(CreateFontA(-MulDiv(points, ScreenPixelsPerInch(), 72), 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                             FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             DEFAULT_PITCH | FF_SWISS, "Tahoma"));
}

LRESULT BevelPanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        Paint(window, [](HDC dc, RECT client) { DrawEdge(dc, &client, BDR_RAISEDINNER, BF_RECT); });
        return 0;
    }
    return PanelMessage(window, message, wParam, lParam);
}

LRESULT PictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        Paint(window, [](HDC dc, RECT client) { PaintWizardPicture(dc, client.right, client.bottom); });
        return 0;
    }
    if (message == WM_ERASEBKGND)
        return 1;
    return DefWindowProcA(window, message, wParam, lParam);
}

void RegisterClasses()
{
    WNDCLASSA windowClass = {};
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    const std::pair<const char*, WNDPROC> classes[] = {{WizardClass, &TWindow::Procedure},
                                                       {BevelPanelClass, GuardedWindowProc<BevelPanelProc>}};
    for (const auto& [name, procedure] : classes) {
        windowClass.lpszClassName = name;
        windowClass.lpfnWndProc = procedure;
        RegisterWindowClass(windowClass);
    }
    windowClass.lpszClassName = PictureClass;
    windowClass.lpfnWndProc = GuardedWindowProc<PictureProc>;
    windowClass.hbrBackground = nullptr;
    RegisterWindowClass(windowClass);
}

// Push buttons and check boxes alike.
bool IsButton(HWND window)
{
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    return window && lstrcmpiA(className, "Button") == 0;
}

bool IsPushButton(HWND window)
{
    if (!IsButton(window))
        return false;
    LONG type = GetWindowLongA(window, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The control's keyboard accelerator: the letter after "&" in its caption.
char Accelerator(HWND window)
{
    char text[64] = {};
    GetWindowTextA(window, text, sizeof text);
    for (const char* p = text; p[0] && p[1]; ++p) {
        if (p[0] != '&')
            continue;
        if (p[1] != '&')
            return Upper(p[1]);
        ++p;
    }
    return 0;
}

std::string MemoText(std::initializer_list<const char*> lines)
{
    std::string text;
    bool first = true;
    for (const char* line : lines) {
        if (!first)
            text += "\r\n";
        text += line;
        first = false;
    }
    return text;
}

} // namespace

TfrmCreateService::TfrmCreateService()
{
    RegisterClasses();
    font_ = MakeFont(8, false);
    boldFont_ = MakeFont(8, true);
    titleFont_ = MakeFont(12, true);
    memoFont_ = MakeFont(10, false);
    editBrush_ = TBrush(CreateSolidBrush(EditColor));
    warnBrush_ = TBrush(CreateSolidBrush(WarnColor));
    doneBrush_ = TBrush(CreateSolidBrush(DoneColor));

    // A fixed size in pixels, whatever the screen's density.
    // The controls are made on WM_CREATE.
    if (!CreateHandle(WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT, WizardClass, Caption,
                      WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, 0, 0, WizardWidth, WizardHeight))
        throw TError("The service wizard could not be created");
}

TfrmCreateService::~TfrmCreateService()
{
    if (handle_)
        DestroyWindow(handle_);
}

HWND TfrmCreateService::Add(const std::string& name, const char* windowClass, const char* text, DWORD style,
                            DWORD exStyle, HWND parent, int x, int y, int width, int height, int id)
{
    return controls_.Add(name, CreateChild(parent, windowClass, text, style, exStyle, id, {x, y, width, height},
                                           font_.Get()))
        .Handle();
}

void TfrmCreateService::CreateControls()
{
    RECT client;
    GetClientRect(handle_, &client);
    const int width = client.right;
    const int height = client.bottom;

    HWND left = Add("pnlLeft", BevelPanelClass, "", WS_VISIBLE | WS_CLIPCHILDREN, 0, handle_, 0, 0, LeftPanelWidth,
                    height);
    Add("imgWizard", PictureClass, "", WS_VISIBLE, WS_EX_CLIENTEDGE, left, 5, 5, LeftPanelWidth - 10, height - 10);

    const int right = width - LeftPanelWidth;
    const int pagesHeight = height - ButtonStripHeight;
    Add("pcWizard", PanelClass(), "", WS_VISIBLE | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, handle_, LeftPanelWidth, 0,
        right, pagesHeight);
    for (int number = 1; number <= 4; ++number)
        CreatePage(number, right - 2, pagesHeight - 2);

    HWND strip = Add("pnlButtons", BevelPanelClass, "", WS_VISIBLE | WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, handle_,
                     LeftPanelWidth, pagesHeight, right, ButtonStripHeight);
    constexpr int buttonWidth = 80;
    constexpr int buttonHeight = 25;
    const int top = (ButtonStripHeight - buttonHeight) / 2;
    const DWORD push = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    Add("btnCancel", "BUTTON", "Cancel", push, 0, strip, 8, top, buttonWidth, buttonHeight, idCancel);
    int x = right - 8 - 3 * buttonWidth - 8;
    HWND prev = Add("btnPrev", "BUTTON", "<< &Previous", push | WS_DISABLED, 0, strip, x, top, buttonWidth,
                    buttonHeight, idPrev);
    HWND next = Add("btnNext", "BUTTON", "&Next >>", push, 0, strip, x + buttonWidth + 4, top, buttonWidth,
                    buttonHeight, idNext);
    Add("btnFinish", "BUTTON", "&Finish!", push | WS_DISABLED, 0, strip, right - 8 - buttonWidth, top, buttonWidth,
        buttonHeight, idFinish);
    controls_.Of(prev)->Tag = tagBackward;
    controls_.Of(next)->Tag = tagForward;
    MakeDefault(next);
}

void TfrmCreateService::CreatePage(int number, int width, int height)
{
    const std::string n = std::to_string(number);
    HWND page = Add("tabNr" + n, PanelClass(), "", WS_CLIPCHILDREN, WS_EX_CLIENTEDGE | WS_EX_CONTROLPARENT,
                    Control("pcWizard"), 1, 1, width, height);
    RECT client;
    GetClientRect(page, &client);
    const int w = client.right;
    const int h = client.bottom;

    HWND title = Add("lblTitle" + n, "STATIC", "Service generation Wizard...", WS_VISIBLE | SS_LEFT, 0, page, 8, 6,
                     w - 16, 22);
    SendMessageA(title, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_.Get()), FALSE);
    Add("imgPage" + n, PictureClass, "", WS_VISIBLE, 0, page, 8, h - 22, 16, 16);
    Add("lblPage" + n, "STATIC", ("Page " + n + "/4").c_str(), WS_VISIBLE | SS_LEFT, 0, page, 30, h - 20, 80, 14);

    // The information memos: fixed text, never read, never focused.
    auto memo = [&](const char* name, const std::string& text, int memoHeight) {
        // Drawn line by line, centred and never wrapped (see DrawMemo).
        Add(name, "STATIC", text.c_str(), WS_VISIBLE | SS_OWNERDRAW, WS_EX_CLIENTEDGE, page, 0, 32, w, memoHeight);
    };
    const DWORD edit = WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL;
    const DWORD label = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
    auto browse = [&](const char* name, int y, int id) {
        HWND button = Add(name, "BUTTON", "...", WS_VISIBLE | BS_PUSHBUTTON | BS_FLAT, 0, page, w - 8 - 23, y, 23,
                          21, id);
        SendMessageA(button, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_.Get()), FALSE);
        return button;
    };

    switch (number) {
    case 1:
        memo("memYoureAboutTo",
             MemoText({"", "You are about to create a new Service to be ", "executed on this computer !",
                       "Please provide the information needed to create ", "the service on the next 2 pages ."}),
             104);
        Add("lblDescription", "STATIC", "Description:", label, 0, page, 8, 155, 76, 14);
        Add("edtDescription", "EDIT", "", edit, WS_EX_CLIENTEDGE, page, 86, 152, w - 94, 21, idEdit);
        break;
    case 2:
        memo("Memo1",
             MemoText({"", "NOTE: \"Program to execute\" is any EXE program ",
                       "that you want to have working as a background NT ", "Service."}),
             84);
        Add("lblProgram", "STATIC", "Program to execute as service:", label, 0, page, 8, 124, w - 16, 14);
        Add("edtProgram", "EDIT", "", edit, WS_EX_CLIENTEDGE, page, 8, 140, w - 16 - 27, 21, idEdit);
        browse("SpeedButton1", 140, idBrowseProgram);
        Add("lblCommnandLine", "STATIC", "Commandline parameters:", label, 0, page, 8, 168, w - 16, 14);
        Add("edtCommandLine", "EDIT", "", edit, WS_EX_CLIENTEDGE, page, 8, 184, w - 16, 21, idEdit);
        break;
    case 3:
        memo("Memo3",
             MemoText({"", "NOTE: If the \"Log To File\" option is not checked, all ",
                       "logging is automatically made to NT's Event log ", "where it can be viewed with the System's Event ",
                       "Viewer."}),
             104);
        Add("cbxLogToFile", "BUTTON", "Log information to a specified file...",
            WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, page, 8, 142, w - 16, 18, idLogToFile);
        Add("Label5", "STATIC", "Logfile:", label, 0, page, 8, 166, w - 16, 14);
        Add("edtLogfile", "EDIT", "", edit | WS_DISABLED, WS_EX_CLIENTEDGE, page, 8, 182, w - 16 - 27, 21, idEdit);
        EnableWindow(browse("SpeedButton2", 182, idBrowseLogfile), FALSE);
        break;
    default:
        memo("Memo2",
             MemoText({"", "!!! DONE !!!", "Service generation has been created !",
                       "Click [Finish] to finalize the generation..."}),
             h - 32 - 30);
        break;
    }
}

HWND TfrmCreateService::Control(const std::string& name) const
{
    return controls_.Handle(name);
}

int TfrmCreateService::Tag(HWND control) const
{
    return controls_.TagOf(control);
}

std::string TfrmCreateService::Text(const char* name) const
{
    return WindowText(Control(name));
}

void TfrmCreateService::SetText(const char* name, const std::string& text)
{
    SetWindowTextA(Control(name), text.c_str());
}

std::string TfrmCreateService::Description() const { return Text("edtDescription"); }
void TfrmCreateService::SetDescription(const std::string& text)
{
    SetText("edtDescription", text);
    edited_ = text;
}
std::string TfrmCreateService::Program() const { return Text("edtProgram"); }
void TfrmCreateService::SetProgram(const std::string& text) { SetText("edtProgram", text); }
std::string TfrmCreateService::CommandLine() const { return Text("edtCommandLine"); }
void TfrmCreateService::SetCommandLine(const std::string& text) { SetText("edtCommandLine", text); }
std::string TfrmCreateService::Logfile() const { return Text("edtLogfile"); }
void TfrmCreateService::SetLogfile(const std::string& text) { SetText("edtLogfile", text); }

bool TfrmCreateService::LogToFile() const
{
    return SendMessageA(Control("cbxLogToFile"), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void TfrmCreateService::SetLogToFile(bool value)
{
    SendMessageA(Control("cbxLogToFile"), BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
    cbxLogToFileClick();
}

void TfrmCreateService::MakeDefault(HWND button)
{
    if (defaultButton_ == button)
        return;
    if (defaultButton_)
        SendMessageA(defaultButton_, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendMessageA(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    defaultButton_ = button;
}

namespace {

HWND FirstTabStop(HWND parent)
{
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if ((GetWindowLongA(child, GWL_STYLE) & WS_TABSTOP) && IsWindowVisible(child) && IsWindowEnabled(child))
            return child;
    return nullptr;
}

} // namespace

void TfrmCreateService::ShowPage(int number)
{
    HWND old = page_ ? Control("tabNr" + std::to_string(page_)) : nullptr;
    HWND page = Control("tabNr" + std::to_string(number));
    // Typing must never go to a control the user cannot see.
    bool focusOnOldPage = old && IsChild(old, GetFocus());
    ShowWindow(page, SW_SHOW);
    for (int other = 1; other <= 4; ++other)
        if (other != number)
            ShowWindow(Control("tabNr" + std::to_string(other)), SW_HIDE);
    page_ = number;
    if (focusOnOldPage) {
        HWND first = FirstTabStop(page);
        SetFocus(first ? first : defaultButton_);
    }
}

void TfrmCreateService::FormShow()
{
    ShowPage(1);
}

void TfrmCreateService::Fail(const char* edit, const std::string& message)
{
    HWND control = Control(edit);
    SetFocus(control);
    SendMessageA(control, EM_SETSEL, 0, -1);
    Prompter().StandardError(StandardErrorText(message));
}

bool TfrmCreateService::CheckPage(int number)
{
    // The page at fault is shown, so the focus lands where the user can see it.
    auto fail = [&](const char* edit, const std::string& message) {
        if (page_ != number)
            ShowPage(number);
        Fail(edit, message);
        return false;
    };
    // The description becomes a section, a service name and a file name.
    const char* edits[] = {"", "edtDescription", "edtProgram", "edtLogfile"};
    auto page = [](TEntryCheck check) {
        return check == TEntryCheck::Description ? 1 : check == TEntryCheck::Program ? 2 : 3;
    };
    const TEntrySettings settings{Description(), Program(), CommandLine(), Logfile(), LogToFile()};
    std::vector<TEntryRefusal> refusals = EntryRefusals(settings);
    if (number == 3 && std::none_of(refusals.begin(), refusals.end(),
                                    [&](const TEntryRefusal& refused) { return page(refused.Check) == 3; })) {
        const TCatalogueSnapshot catalogue;
        const int edited = edited_.empty() ? 0 : catalogue.FindDescription(edited_);
        if (std::optional<TEntryRefusal> shared = SharedLogRefusal(catalogue, settings, std::max(edited, 0)))
            refusals.push_back(*shared);
    }
    for (const TEntryRefusal& refused : refusals)
        if (page(refused.Check) == number)
            return fail(edits[number], refused.Text);
    return true;
}

void TfrmCreateService::btnNextClick(HWND sender)
{
    if (Tag(sender) != tagForward) {
        ShowPage(page_ <= 1 ? 4 : page_ - 1);
        return;
    }
    if (!CheckPage(page_))
        return;
    ShowPage(page_ % 4 + 1);
    HWND prev = Control("btnPrev");
    if (!IsWindowEnabled(prev))
        EnableWindow(prev, TRUE);
    if (page_ == 4) {
        HWND finish = Control("btnFinish");
        MakeDefault(finish);
        EnableWindow(finish, TRUE);
    }
}

void TfrmCreateService::btnFinishClick()
{
    // Pages can be revisited and changed once Finish is enabled; nothing that
    // would fail a forward move may reach the caller.
    for (int number = 1; number <= 3; ++number)
        if (!CheckPage(number))
            return;
    modalResult_ = mrOk;
}

void TfrmCreateService::btnCancelClick()
{
    modalResult_ = mrCancel;
}

void TfrmCreateService::cbxLogToFileClick()
{
    BOOL on = LogToFile();
    EnableWindow(Control("edtLogfile"), on);
    EnableWindow(Control("SpeedButton2"), on);
}

void TfrmCreateService::Browse(const char* edit, const char* title, const char* filter, const char* defaultExt,
                               DWORD flags)
{
    std::string current = Text(edit);
    std::vector<char> file(std::max<size_t>(current.size() + 1, 4 * MAX_PATH), '\0');
    current.copy(file.data(), current.size());

    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = handle_;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrTitle = title;
    dialog.lpstrDefExt = defaultExt;
    dialog.Flags = flags;
    BOOL chosen = DialogApi().GetOpenFileNameA(&dialog);
    // A text the dialog cannot take as a file name would keep it from
    // opening at all; open it empty instead.
    if (!chosen && file[0] && DialogApi().CommDlgExtendedError() == FNERR_INVALIDFILENAME) {
        std::fill(file.begin(), file.end(), '\0');
        chosen = DialogApi().GetOpenFileNameA(&dialog);
    }
    // No file name holds "?": one in the path is a character this Windows
    // could not pass.
    if (chosen && std::strchr(file.data(), '?'))
        throw TError(UnpassableText(file.data()));
    if (chosen)
        SetText(edit, file.data());
}

void TfrmCreateService::SpeedButton1Click()
{
    Browse("edtProgram", "Browse for Program to Vantorize", ExeFilter, "exe",
           OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER | OFN_NOCHANGEDIR);
}

void TfrmCreateService::SpeedButton2Click()
{
    Browse("edtLogfile", "Browse for file to log to...", LogFilter, "log",
           OFN_PATHMUSTEXIST | OFN_EXPLORER | OFN_NOCHANGEDIR);
}

void TfrmCreateService::Command(int id, HWND sender)
{
    // A disabled button cannot be pressed, whatever sends the click.
    if (sender && !IsWindowEnabled(sender))
        return;
    switch (id) {
    case idCancel:
        btnCancelClick();
        break;
    case idPrev:
    case idNext:
        btnNextClick(sender);
        break;
    case idFinish:
        btnFinishClick();
        break;
    case idBrowseProgram:
        SpeedButton1Click();
        break;
    case idBrowseLogfile:
        SpeedButton2Click();
        break;
    case idLogToFile:
        cbxLogToFileClick();
        break;
    default:
        break;
    }
}

HBRUSH TfrmCreateService::ControlColor(HDC dc, HWND control)
{
    struct Colour {
        const char* name;
        COLORREF colour;
        HBRUSH brush;
    };
    HBRUSH edit = editBrush_.Get(), warn = warnBrush_.Get(), done = doneBrush_.Get();
    const Colour colours[] = {{"edtDescription", EditColor, edit}, {"edtProgram", EditColor, edit},
                              {"edtCommandLine", EditColor, edit}, {"edtLogfile", EditColor, edit},
                              {"Memo1", EditColor, edit},          {"Memo3", EditColor, edit},
                              {"memYoureAboutTo", WarnColor, warn}, {"Memo2", DoneColor, done}};
    for (const Colour& c : colours) {
        if (Control(c.name) == control) {
            SetBkColor(dc, c.colour);
            return c.brush;
        }
    }
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    return GetSysColorBrush(COLOR_BTNFACE);
}

void TfrmCreateService::DrawMemo(const DRAWITEMSTRUCT& item)
{
    HDC dc = item.hDC;
    RECT area = item.rcItem;
    FillRect(dc, &area, ControlColor(dc, item.hwndItem));
    std::string text(GetWindowTextLengthA(item.hwndItem) + 1, '\0');
    text.resize(GetWindowTextA(item.hwndItem, text.data(), static_cast<int>(text.size())));
    TSelection font(dc, memoFont_.Get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    area.top += 2;
    DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &area, DT_CENTER | DT_NOPREFIX);
}

LRESULT TfrmCreateService::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls();
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            Command(LOWORD(wParam), reinterpret_cast<HWND>(lParam));
        return 0;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return reinterpret_cast<LRESULT>(ControlColor(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam)));
    case WM_DRAWITEM:
        DrawMemo(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_CLOSE:
        modalResult_ = mrCancel;
        return 0;
    case WM_ACTIVATE:
        // Like a dialog, keep the focused control across a message box.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(handle_, focus))
                savedFocus_ = focus;
        } else if (savedFocus_ && IsWindow(savedFocus_) && IsWindowVisible(savedFocus_) &&
                   IsWindowEnabled(savedFocus_)) {
            SetFocus(savedFocus_);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(handle_, message, wParam, lParam);
}

bool TfrmCreateService::PreTranslate(const MSG& message)
{
    if (message.hwnd != handle_ && !IsChild(handle_, message.hwnd))
        return false;
    auto press = [&](HWND button) {
        if (button && IsWindowVisible(button) && IsWindowEnabled(button))
            Command(GetDlgCtrlID(button), button);
    };
    if (message.message == WM_KEYDOWN) {
        HWND focus = GetFocus();
        switch (message.wParam) {
        case VK_RETURN:
            press(focus && IsPushButton(focus) ? focus : defaultButton_);
            return true;
        case VK_ESCAPE:
            press(Control("btnCancel"));
            return true;
        case VK_TAB: {
            HWND next = GetNextDlgTabItem(handle_, focus, (GetKeyState(VK_SHIFT) & 0x8000) != 0);
            if (next) {
                SetFocus(next);
                SendMessageA(next, EM_SETSEL, 0, -1);
            }
            return true;
        }
        default:
            return false;
        }
    }
    // As in a dialog: Alt with the letter anywhere, the bare letter where
    // typing has nowhere else to go (a button or the check box).
    // The keys are ASCII letters; a character beyond them (UTF-16 here)
    // presses none.
    if ((message.message == WM_SYSCHAR || (message.message == WM_CHAR && IsButton(GetFocus()))) &&
        message.wParam < 0x80) {
        char key = Upper(static_cast<char>(message.wParam));
        for (const char* name : {"btnPrev", "btnNext", "btnFinish"}) {
            HWND button = Control(name);
            if (Accelerator(button) == key && IsWindowVisible(button) && IsWindowEnabled(button)) {
                press(button);
                return true;
            }
        }
    }
    return false;
}

int TfrmCreateService::ShowModal(HWND owner)
{
    FormShow();
    modalResult_ = mrNone;
    savedFocus_ = nullptr;
    SetWindowLongPtrA(handle_, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));

    RECT area;
    if (!owner || !GetWindowRect(owner, &area))
        SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    SetWindowPos(handle_, nullptr, area.left + (area.right - area.left - WizardWidth) / 2,
                 area.top + (area.bottom - area.top - WizardHeight) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);

    // The owner comes back even if the loop is left by a failure.
    const bool lockOwner = owner && IsWindowEnabled(owner);
    if (lockOwner)
        EnableWindow(owner, FALSE);
    TScopeExit unlockOwner([&] {
        if (lockOwner)
            EnableWindow(owner, TRUE);
    });

    // Boxes shown while the wizard is up belong to it.
    Application().BeginModal(handle_);
    const TScopeExit endModal([this] { Application().EndModal(handle_); });

    ShowWindow(handle_, SW_SHOW);
    SetForegroundWindow(handle_);
    if (HWND first = GetNextDlgTabItem(handle_, nullptr, FALSE))
        SetFocus(first);

    while (modalResult_ == mrNone) {
        MSG message;
        // Wide, so a typed character reaches its box whole
        // (toolkit/MessagePump.h).
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            // The program is ending: leave as if cancelled, and let the
            // outer loop see the quit too.
            if (got == 0)
                PostQuitMessage(static_cast<int>(message.wParam));
            modalResult_ = mrCancel;
            break;
        }
        // A key whose handling failed is not handled again.
        bool handled = true;
        Guarded([&] { handled = PreTranslate(message); });
        if (!handled) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    int result = modalResult_;
    // The owner first, so that it takes the activation back.
    unlockOwner.RunNow();
    ShowWindow(handle_, SW_HIDE);
    return result;
}
