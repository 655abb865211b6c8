#include "ui/uServiceManager.h"

#include <commctrl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>

#include "catalogue/EntryRules.h"
#include "messaging/Protocol.h"
#include "platform/Owner.h"
#include "platform/Seam.h"
#include "platform/Shell.h"
#include "status/EntryStatus.h"
#include "status/StatusWords.h"
#include "toolkit/window/Application.h"
#include "toolkit/Error.h"
#include "toolkit/Guarded.h"
#include "toolkit/Paths.h"
#include "toolkit/window/Window.h"
#include "toolkit/Prompter.h"
#include "toolkit/Text.h"
#include "ui/About.h"
#include "ui/FormStorage.h"
#include "ui/Glyphs.h"

namespace {

constexpr const char* WindowClass = "TfrmServiceManager";
constexpr const char* SplitterClass = "TQuorvaneSplitter";
constexpr const char* Caption = "Korvalith's Vantorer - NT Service Generator/Moderator";
constexpr UINT WM_CLOSEREQUEST = 4091;
constexpr UINT WM_DISCARDED = 1025;
// Command ids of the speed buttons and the menu items, each from here on.
constexpr int FirstButtonId = 1000;
constexpr int FirstMenuId = 2000;
// Commands added to the menus since keep their ids apart, from here on, so
// the ids the menus always had stay as they were.
constexpr int FirstAddedMenuId = 2100;
// Sent by the splitter while it is dragged, with the new list width.
constexpr UINT WM_SPLITTERMOVED = WM_APP + 1;
constexpr COLORREF PanelBackground = RGB(255, 254, 232);
// The status line under the details panel, and how long it waits for a
// busy host: the window must not stall on one.
constexpr int StatusLineHeight = 18;
constexpr DWORD StatusLineAskMs = 250;

constexpr const char* SecondInstanceText =
    "The application is probable opened for the second time and must close !\r"
    "Please check if there is a second instance of the application open...";

// How a command runs: a handler of the window, given the control that sent it.
using TCommandRun = TfrmServiceManager::TCommandRun;

template <void (TfrmServiceManager::*Handler)()>
void Run(TfrmServiceManager& form, HWND)
{
    (form.*Handler)();
}

// The start and the stop button share one command; the sender's tag says which.
void RunStartStop(TfrmServiceManager& form, HWND sender)
{
    form.btnStopServiceClick(sender);
}

// One speed button and the command it runs. No button's command runs while
// another command waits.
struct TButtonDefinition {
    const char* Name;
    const char* Hint;
    TGlyph Glyph;
    int Tag;
    TCommandRun Click;
    // A wider gap follows: the buttons stand in groups.
    bool EndsGroup;
};

// Left to right on Panel2.
const TButtonDefinition Buttons[] = {
    {"btnNewService", "Add a New Service...", glNew, 0, Run<&TfrmServiceManager::btnNewServiceClick>, false},
    {"btnDelete", "Remove currently selected Service...", glDelete, 0, Run<&TfrmServiceManager::btnDeleteClick>,
     false},
    {"btnEditService", "Edit currently selected Service...", glEdit, 0,
     Run<&TfrmServiceManager::btnEditServiceClick>, true},
    {"btnStopService", "STOP/Suspend currently selected Service ( if at all running )...", glStop,
     TfrmServiceManager::tagStop, RunStartStop, false},
    {"btnStartServiceNow", "Start the selected Service ( if it is not currently running... )", glStart,
     TfrmServiceManager::tagStart, RunStartStop, true},
    {"btnInstallService", "Install the currently selected Service into NT Services ...", glInstall, 0,
     Run<&TfrmServiceManager::btnInstallServiceClick>, false},
    {"btnUnInstallService", "UNINSTALL the currently selected service FROM the NT services base...", glUninstall, 0,
     Run<&TfrmServiceManager::btnUnInstallServiceClick>, true},
    {"btnCheckActive", "Check if the currently selected service is currently active...", glCheck, 0,
     Run<&TfrmServiceManager::btnCheckActiveClick>, false},
    {"btnCheckAll", "List all active services...", glCheckAll, 0, Run<&TfrmServiceManager::btnCheckAllClick>,
     false},
};

const TButtonDefinition* FindButton(const std::string& name)
{
    for (const TButtonDefinition& button : Buttons)
        if (name == button.Name)
            return &button;
    return nullptr;
}

// One command of a menu: the speed button it stands for, whose command it
// runs with the button as sender, or a command of its own, which may run
// while another command waits.
struct TMenuItemDefinition {
    const char* Caption; // "-" for a separator
    const char* Button = nullptr;
    TCommandRun Run = nullptr;
    // A command of its own that acts on an entry waits its turn too.
    bool DuringWait = true;
    // Its id when it is one of the added commands (FirstAddedMenuId on).
    int AddedId = 0;
};

// How the entry runs: the same command in the Services menu and the list's
// context menu.
constexpr const char* SettingsCaption = "Se&ttings...";
const TMenuItemDefinition SettingsItem = {SettingsCaption, nullptr, Run<&TfrmServiceManager::SettingsClick>, false,
                                          FirstAddedMenuId};

// One menu of the menu bar.
struct TMenuDefinition {
    const char* Caption;
    std::vector<TMenuItemDefinition> Items;
};

const TMenuDefinition MenuBar[] = {
    {"&File", {{"&Exit", nullptr, Run<&TfrmServiceManager::Exit1Click>}}},
    {"&Services", {{"&New Service", "btnNewService"}, {"&Edit Service", "btnEditService"}, {"-"},
                   {"&Remove Service", "btnDelete"}, {"-"}, SettingsItem}},
    {"&Manage", {{"&Install Service", "btnInstallService"}, {"&UnInstall Service", "btnUnInstallService"}, {"-"},
                 {"&Start Service", "btnStartServiceNow"}, {"Sto&p Service", "btnStopService"}}},
    {"&Checking", {{"Check if &selected Service is running", "btnCheckActive"},
                   {"&Check if any Service is running", "btnCheckAll"}}},
    {"&Help", {{"&About", nullptr, Run<&TfrmServiceManager::About1Click>}, {"-"},
               {"Quick Guide", nullptr, Run<&TfrmServiceManager::QuickGuide1Click>}}},
};

// The splitter resizes the list while the left button is held on it.
LRESULT SplitterProc(HWND splitter, UINT message, WPARAM wParam, LPARAM lParam)
{
    constexpr const char* Dragging = "QuorvaneDragging";
    switch (message) {
    case WM_LBUTTONDOWN:
        SetPropA(splitter, Dragging, reinterpret_cast<HANDLE>(1));
        SetCapture(splitter);
        return 0;
    case WM_MOUSEMOVE:
        if (GetPropA(splitter, Dragging)) {
            POINT at = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            MapWindowPoints(splitter, GetParent(splitter), &at, 1);
            SendMessageA(GetParent(splitter), WM_SPLITTERMOVED, static_cast<WPARAM>(at.x), 0);
        }
        return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        RemovePropA(splitter, Dragging);
        if (message == WM_LBUTTONUP)
            ReleaseCapture();
        return 0;
    }
    return DefWindowProcA(splitter, message, wParam, lParam);
}

void RegisterClasses()
{
    WNDCLASSA form = {};
    form.style = CS_DBLCLKS;
    form.lpfnWndProc = &TWindow::Procedure;
    form.hInstance = GetModuleHandleA(nullptr);
    form.hIcon = ProgramIcon();
    form.hCursor = LoadCursor(nullptr, IDC_ARROW);
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = WindowClass;
    RegisterWindowClass(form);

    WNDCLASSA splitter = form;
    splitter.style = 0;
    splitter.hIcon = nullptr;
    splitter.lpfnWndProc = GuardedWindowProc<SplitterProc>;
    splitter.hCursor = LoadCursor(nullptr, IDC_SIZEWE);
    splitter.lpszClassName = SplitterClass;
    RegisterWindowClass(splitter);
}

} // namespace

TfrmServiceManager::TfrmServiceManager(const std::string& catalogueFile) : catalogue_(catalogueFile)
{
    FormCreate();
}

TfrmServiceManager::~TfrmServiceManager()
{
    if (handle_ && IsWindow(handle_)) {
        QuitOnClose = false;
        DestroyWindow(handle_);
    }
}

void TfrmServiceManager::FormCreate()
{
    RegisterClasses();
    replyMessage_ = RegisterWindowMessageA(YesWhatDoYouWantMessage);
    // The menu and the controls are made on WM_CREATE.
    if (!CreateHandle(0, WindowClass, Caption, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 200, 104, 525, 301))
        throw TError("The main window could not be created");
    Application().MainWindow = handle_;

    formStorage_ = new TFormStorage(this, handle_);
    formStorage_->SetName("FormStorage1");
    formStorage_->IniFileName = catalogue_.FileName();
    formStorage_->IniSection = WindowStatusSection;
    formStorage_->Options = {fpState, fpPosition};
    formStorage_->StoredProps = {"lvServices.Width", "Splitter1.Left"};
    formStorage_->ApplicationWindow = handle_;

    // Another program (qv, a script, another administrator's window) may
    // change the catalogue at any time: the list follows within a second.
    catalogueWatch_.SetName("CatalogueWatch");
    catalogueWatch_.SetInterval(500);
    catalogueWatch_.OnTimer = [this] { FollowCatalogue(); };
    statusWatch_.SetName("StatusWatch");
    statusWatch_.SetInterval(1000);
    statusWatch_.OnTimer = [this] { ShowServiceStatus(); };

    liveness_.ShowActive = [](const std::string& description) {
        Prompter().Information(ActiveText(description));
    };
    liveness_.AppendPanelLine = [this](const std::string& line) { AddMemoLine(line); };
    liveness_.Terminating = [this] { return destroyed_ || Application().Terminated; };
    liveness_.OnTimerError = [](const std::exception& error) { Application().HandleException(error); };
    presence_ = TKernelHandle(CreateMutexA(nullptr, FALSE, ManagerWindowMutex));
    const bool anotherWindow = GetLastError() == ERROR_ALREADY_EXISTS;
    try {
        liveness_.Start();
    } catch (const std::exception&) {
        // Without another window the mailslot is the command line's for a
        // moment; the poll takes it over once it is free.
        if (anotherWindow) {
            Prompter().Error(SecondInstanceText);
            PostMessageA(handle_, WM_CLOSEREQUEST, 0, 0);
        }
    }
}

void TfrmServiceManager::CreateMenu()
{
    HMENU bar = ::CreateMenu();
    int id = FirstMenuId;
    for (const TMenuDefinition& menu : MenuBar) {
        HMENU popup = CreatePopupMenu();
        for (const TMenuItemDefinition& item : menu.Items) {
            if (std::string(item.Caption) == "-") {
                AppendMenuA(popup, MF_SEPARATOR, 0, nullptr);
                continue;
            }
            const TButtonDefinition* button = item.Button ? FindButton(item.Button) : nullptr;
            const int itemId = item.AddedId ? item.AddedId : id++;
            commands_[itemId] =
                button ? TCommand{button->Click, false, button->Name} : TCommand{item.Run, item.DuringWait, nullptr};
            AppendMenuA(popup, MF_STRING, itemId, item.Caption);
        }
        AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), menu.Caption);
    }
    SetMenu(handle_, bar);
}

void TfrmServiceManager::CreateControls()
{
    auto add = [&](const std::string& name, HWND handle) { return controls_.Add(name, handle).Handle(); };
    auto child = [&](DWORD exStyle, const char* cls, const char* text, DWORD style, HWND parent, int id) {
        return CreateChild(parent, cls, text, WS_VISIBLE | style, exStyle, id);
    };

    HWND panel2 = add("Panel2", child(0, PanelClass(), "", WS_CLIPCHILDREN, handle_, 900));
    tooltips_ = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, 0, 0, 0, 0,
                                handle_, nullptr, GetModuleHandleA(nullptr), nullptr);
    int id = FirstButtonId;
    int left = 3;
    for (const TButtonDefinition& entry : Buttons) {
        const int buttonId = id++;
        HWND button = add(entry.Name, child(0, "BUTTON", "", BS_PUSHBUTTON | BS_ICON | BS_FLAT, panel2, buttonId));
        controls_.Find(entry.Name)->Tag = entry.Tag;
        commands_[buttonId] = {entry.Click, false, entry.Name};
        SendMessageA(button, BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(ButtonGlyph(entry.Glyph)));
        MoveWindow(button, left, 3, 25, 25, FALSE);
        const RECT bounds = {left, 3, left + 25, 28};
        left += entry.EndsGroup ? 33 : 26;
        TOOLINFOA tool = {};
        tool.cbSize = TTTOOLINFOA_V1_SIZE;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = handle_;
        tool.uId = reinterpret_cast<UINT_PTR>(button);
        tool.lpszText = const_cast<char*>(entry.Hint);
        SendMessageA(tooltips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
        // A disabled button gets no mouse messages: the panel under it does,
        // so the panel carries the same hint over the button's place.
        TOOLINFOA under = tool;
        under.uFlags = TTF_SUBCLASS;
        under.hwnd = panel2;
        under.uId = static_cast<UINT_PTR>(buttonId);
        under.rect = bounds;
        SendMessageA(tooltips_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&under));
    }

    HWND list = add("lvServices",
                    child(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                          LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_SORTASCENDING | WS_TABSTOP, handle_,
                          901));
    list_.SetHandle(list);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    ListView_SetImageList(list, ServiceListImages(), LVSIL_SMALL);
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.cx = 190;
    column.pszText = const_cast<char*>("Service name");
    SendMessageA(list, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&column));

    add("Splitter1", child(0, SplitterClass, "", 0, handle_, 902));

    HWND memo = add("memDescription",
                    child(WS_EX_CLIENTEDGE, "EDIT", "",
                          ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_NOHIDESEL | WS_HSCROLL |
                              WS_VSCROLL,
                          handle_, 903));
    memoFont_ = TFont(CreateFontA(-13, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New"));
    memoBrush_ = TBrush(CreateSolidBrush(PanelBackground));
    SendMessageA(memo, WM_SETFONT, reinterpret_cast<WPARAM>(memoFont_.Get()), FALSE);
    SendMessageA(memo, EM_SETLIMITTEXT, 0, 0);

    add("Panel1", child(0, PanelClass(), "", 0, handle_, 904));
    HWND status = add("lblStatus", child(0, "STATIC", "", SS_LEFTNOWORDWRAP | SS_NOPREFIX, handle_, 905));
    SendMessageA(status, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);

    // The list's width and the splitter's position are one and the same
    // layout value; the window-state store sets them by name.
    auto listWidth = [this](const std::string& property, int value) {
        if (property == "Width" || property == "Left") {
            listWidth_ = value;
            LayOut();
        }
    };
    controls_.Find("lvServices")->OnSetInteger = listWidth;
    controls_.Find("Splitter1")->OnSetInteger = listWidth;
    // What is stored is the width the user chose, not what a minimized or
    // narrow window happens to show.
    controls_.Find("lvServices")->OnGetInteger = [this](const std::string& property) {
        return property == "Width" ? std::optional<int>(listWidth_) : std::nullopt;
    };
    controls_.Find("Splitter1")->OnGetInteger = [this](const std::string& property) {
        return property == "Left" ? std::optional<int>(listWidth_) : std::nullopt;
    };
    LayOut();
}

void TfrmServiceManager::LayOut()
{
    RECT client;
    GetClientRect(handle_, &client);
    const int width = client.right, height = client.bottom;
    const int top = 31, bottom = height - 6;
    const int list = std::max(0, std::min(listWidth_, width - 3));
    MoveWindow(Control("Panel2"), 0, 0, width, top, TRUE);
    MoveWindow(Control("lvServices"), 0, top, list, std::max(0, bottom - top), TRUE);
    MoveWindow(Control("Splitter1"), list, top, 3, std::max(0, bottom - top), TRUE);
    const int details = std::max(0, bottom - top - StatusLineHeight);
    MoveWindow(Control("memDescription"), list + 3, top, std::max(0, width - list - 3), details, TRUE);
    MoveWindow(Control("lblStatus"), list + 5, top + details + 2, std::max(0, width - list - 5),
               StatusLineHeight - 2, TRUE);
    MoveWindow(Control("Panel1"), 0, bottom, width, 6, TRUE);
}

void TfrmServiceManager::SplitterDrag(int x)
{
    RECT client;
    GetClientRect(handle_, &client);
    listWidth_ = std::max(30, std::min(x, static_cast<int>(client.right) - 33));
    LayOut();
}

HWND TfrmServiceManager::Control(const std::string& name) const
{
    return controls_.Handle(name);
}

LRESULT TfrmServiceManager::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSEREQUEST) {
        Close();
        return 0;
    }
    if (message == WM_DISCARDED)
        return 0;
    if (message != 0 && message == replyMessage_) {
        liveness_.ReplyMessage(static_cast<int>(wParam));
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        CreateMenu();
        CreateControls();
        return 0;
    case WM_SIZE:
        LayOut();
        return 0;
    case WM_SPLITTERMOVED:
        SplitterDrag(static_cast<int>(wParam));
        return 0;
    case WM_COMMAND: {
        auto found = commands_.find(LOWORD(wParam));
        if (found != commands_.end() && (lParam == 0 || HIWORD(wParam) == BN_CLICKED)) {
            const TCommand& command = found->second;
            HWND sender = reinterpret_cast<HWND>(lParam);
            Command(command, sender || !command.Button ? sender : Control(command.Button));
        }
        return 0;
    }
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->hwndFrom == list_.Handle()) {
            if (header->code == LVN_ITEMCHANGED) {
                const NMLISTVIEW* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
                if ((change->uChanged & LVIF_STATE) && ((change->uOldState ^ change->uNewState) & LVIS_SELECTED))
                    lvServicesChange();
            } else if (header->code == NM_DBLCLK) {
                Command({Run<&TfrmServiceManager::btnEditServiceClick>, false, "btnEditService"}, nullptr);
            } else if (header->code == NM_RCLICK) {
                lvServicesContextMenu();
            }
        }
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        if (reinterpret_cast<HWND>(lParam) == Control("memDescription")) {
            SetBkColor(reinterpret_cast<HDC>(wParam), PanelBackground);
            return reinterpret_cast<LRESULT>(memoBrush_.Get());
        }
        break;
    case WM_SETCURSOR:
        // The hourglass stays while a command waits.
        if (Busy()) {
            SetCursor(LoadCursor(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_ACTIVATE:
        statusWatch_.SetEnabled(LOWORD(wParam) != WA_INACTIVE && !destroyed_);
        if (LOWORD(wParam) != WA_INACTIVE) {
            FollowCatalogue();
            ShowServiceStatus();
        }
        break;
    case WM_CLOSE:
        FormCloseQuery();
        return 0;
    case WM_DESTROY:
        FormDestroy();
        return 0;
    }
    return DefWindowProcA(handle_, message, wParam, lParam);
}

void TfrmServiceManager::Command(const TCommand& command, HWND sender)
{
    Guarded([&] {
        // While a command waits the window paints, moves and closes, but no
        // other command may change the catalogue or act on an entry under it.
        if (Busy() && !command.DuringWait) {
            MessageBeep(MB_OK);
            return;
        }
        command.Run(*this, sender);
    });
}

void TfrmServiceManager::Click(const std::string& button)
{
    if (const TButtonDefinition* found = FindButton(button))
        found->Click(*this, Control(button));
}

void TfrmServiceManager::Show()
{
    formStorage_->FormShow();
    Guarded([&] { FormShow(); });
    // The restored show state (normal or maximized) is applied by showing.
    ShowWindow(handle_, formStorage_->ShowCommand());
    UpdateWindow(handle_);
}

void TfrmServiceManager::Close()
{
    if (handle_ && IsWindow(handle_))
        SendMessageA(handle_, WM_CLOSE, 0, 0);
}

void TfrmServiceManager::FormShow()
{
    LoadList();
    catalogueWatch_.SetEnabled(true);
}

void TfrmServiceManager::FormCloseQuery()
{
    formStorage_->FormCloseQuery(true);
    DestroyWindow(handle_);
}

void TfrmServiceManager::FormDestroy()
{
    formStorage_->FormDestroy();
    if (Application().MainWindow == handle_)
        Application().MainWindow = nullptr;
    destroyed_ = true;
    closed_ = true;
    catalogueWatch_.SetEnabled(false);
    statusWatch_.SetEnabled(false);
    Guarded([&] { liveness_.Shutdown(); });
    if (QuitOnClose) {
        Application().Terminated = true;
        PostQuitMessage(0);
    }
}

void TfrmServiceManager::Exit1Click()
{
    Close();
}

void TfrmServiceManager::LoadList()
{
    bool hadRows = list_.Count() > 0;
    FillList();
    // Filling or emptying the list is a change of the list.
    if (hadRows || list_.Count() > 0)
        lvServicesChange();
}

void TfrmServiceManager::FillList()
{
    const TScopedValue<bool> listing(listing_, true);
    // Taken before the read: a change made after it shows at the next look.
    listedStamp_ = TIniDocument::Stamp(catalogue_.FileName());
    list_.Fill(catalogue_.ListEntries());
}

void TfrmServiceManager::FollowCatalogue(bool always)
{
    // A command that waits finds its entry again by itself afterwards; the
    // list follows at the next look.
    if (destroyed_ || Busy() || listing_ ||
        (!always && TIniDocument::Stamp(catalogue_.FileName()) == listedStamp_))
        return;
    const int selected = list_.Selected();
    const TEntryKey key = selected >= 0 ? list_.Key(selected) : TEntryKey{};
    FillList();
    const int row = selected >= 0 ? list_.RowOf(key) : -1;
    // Selecting the row shows its entry as it is now; a selected entry that
    // is gone leaves no selection. Without one, the panel keeps what it
    // shows (the answers of a check of all services).
    if (row >= 0)
        list_.Select(row);
    else if (selected >= 0)
        lvServicesChange();
}

bool TfrmServiceManager::ChangedMeanwhile(TEntryOutcome outcome, const TEntryKey& key)
{
    if (outcome == TEntryOutcome::Done)
        return false;
    Prompter().Information(MeanwhileText(outcome, key.Description, catalogue_.Entry().Description));
    if (!destroyed_)
        FollowCatalogue(true);
    return true;
}

std::optional<TCatalogueEntry> TfrmServiceManager::LoadSelected()
{
    const int row = list_.Selected();
    if (row < 0) {
        NoSelectionState();
        return std::nullopt;
    }
    const TEntryKey key = list_.Key(row);
    if (ChangedMeanwhile(catalogue_.LoadEntry(key), key))
        return std::nullopt;
    return catalogue_.Entry();
}

void TfrmServiceManager::SetMemoLines(std::vector<std::string> lines)
{
    memoLines_ = std::move(lines);
    std::string text;
    for (size_t i = 0; i < memoLines_.size(); ++i)
        text += (i ? "\r\n" : "") + memoLines_[i];
    SetWindowTextA(Control("memDescription"), text.c_str());
}

void TfrmServiceManager::AddMemoLine(const std::string& line)
{
    // Appended in place: a flood of replies must not rewrite the panel each time.
    HWND memo = Control("memDescription");
    const std::string text = (memoLines_.empty() ? "" : "\r\n") + line;
    memoLines_.push_back(line);
    const int end = GetWindowTextLengthA(memo);
    SendMessageA(memo, EM_SETSEL, end, end);
    SendMessageA(memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TfrmServiceManager::SetButtonEnabled(const char* name, bool enabled)
{
    EnableWindow(Control(name), enabled);
}

bool TfrmServiceManager::ButtonEnabled(const char* name) const
{
    return IsWindowEnabled(Control(name));
}

void TfrmServiceManager::NoSelectionState()
{
    SetButtonEnabled("btnInstallService", false);
    SetButtonEnabled("btnUnInstallService", false);
    SetButtonEnabled("btnStopService", false);
    SetButtonEnabled("btnStartServiceNow", ButtonEnabled("btnStopService"));
    SetButtonEnabled("btnDelete", false);
    SetButtonEnabled("btnEditService", false);
    SetButtonEnabled("btnCheckActive", false);
    SetButtonEnabled("btnNewService", true);
}

void TfrmServiceManager::lvServicesChange()
{
    SetMemoLines({});
    ShowServiceStatus();
    const int row = list_.Selected();
    if (row < 0) {
        NoSelectionState();
        return;
    }
    // A row whose entry another program moved or removed since it was
    // listed: the list follows first, and shows that entry or none.
    if (catalogue_.LoadEntry(list_.Key(row)) != TEntryOutcome::Done) {
        FollowCatalogue();
        return;
    }
    const TCatalogueEntry& entry = catalogue_.Entry();
    std::vector<std::string> lines = {
        "",
        "Description: " + entry.Description,
        Dashes,
        "   Program being Vantorized: " + entry.Program,
        "       Execution parameters: " + entry.Parameters,
        "         Log information to: " + (entry.LogToFile ? entry.LogFile : std::string("NT's Event log")),
        entry.Installed ? "Currently an Active Service: Yes!" : "Currently an Active Service: No!",
        "                 Service ID: " + std::to_string(entry.ServiceID),
    };
    // Then a line for each setting away from its default: an entry without
    // settings shows as it always did.
    for (const auto& [label, value] : SettingLines(catalogue_.ServiceSettings(), entry.Program, false))
        lines.push_back(std::string(std::max<int>(0, 27 - static_cast<int>(label.size())), ' ') + label + ": " + value);
    SetMemoLines(std::move(lines));
    SetButtonEnabled("btnDelete", !entry.Installed);
    SetButtonEnabled("btnEditService", !entry.Installed);
    SetButtonEnabled("btnInstallService", !entry.Installed);
    SetButtonEnabled("btnCheckActive", entry.Installed);
    SetButtonEnabled("btnUnInstallService", entry.Installed);
    SetButtonEnabled("btnStopService", entry.Installed);
    SetButtonEnabled("btnStartServiceNow", ButtonEnabled("btnStopService"));
}

void TfrmServiceManager::ShowServiceStatus()
{
    const int row = destroyed_ ? -1 : list_.Selected();
    std::string text;
    if (row >= 0) {
        try {
            const TEntryKey key = list_.Key(row);
            text = StatusLineText(key.Description, ReportedStatusOf(key, StatusLineAskMs));
        } catch (const TError& error) {
            text = error.Message();
        }
    }
    // Unchanged text is not set again: the line would flicker every second.
    if (text != StatusLine())
        SetWindowTextA(Control("lblStatus"), text.c_str());
}

std::string TfrmServiceManager::StatusLine() const
{
    char text[512] = {};
    GetWindowTextA(Control("lblStatus"), text, sizeof text);
    return text;
}

void TfrmServiceManager::lvServicesContextMenu()
{
    if (list_.Selected() < 0)
        return;
    HMENU menu = CreatePopupMenu();
    const TScopeExit destroy([menu] { DestroyMenu(menu); });
    constexpr UINT SettingsId = 1;
    AppendMenuA(menu, MF_STRING, SettingsId, SettingsItem.Caption);
    POINT at;
    GetCursorPos(&at);
    if (TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, handle_, nullptr) == SettingsId)
        Command({SettingsItem.Run, SettingsItem.DuringWait, nullptr}, nullptr);
}

void TfrmServiceManager::QuickGuide1Click()
{
    const std::string command = "Notepad.exe \"" + TApplication::ExeFolder() + "Quick Guide.txt\"";
    if (ShellApi().WinExec(command.c_str(), SW_SHOW) < 32)
        Prompter().Error("The Quick Guide document could not be opened !\r\r"
                         "Pleaase try and locate it manually. It's name is: \"Quick Guide.txt\"");
}

void TfrmServiceManager::About1Click()
{
    ShowAboutBox(handle_);
}
