#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <functional>
#include <sstream>
#include <utility>

#include "platform/Kernel.h"
#include "platform/Seam.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TempFiles.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/Error.h"
#include "toolkit/window/Published.h"
#include "ui/FormStorage.h"

namespace {

const char* const TestWindowClass = "TFormStorageTestWindow";
// The test window as designed: its bounds, its list's width and its
// splitter's place.
constexpr struct {
    int Left = 200, Top = 104, Width = 525, Height = 301, ListWidth = 240, SplitterLeft = 243;
} Designed;

// Stands for the main window's list and splitter: named components that
// publish their left edge and width.
class TTestControl : public TComponent, public TPublishedIntegers {
public:
    TTestControl(TComponent* owner, const char* name, int left, int width)
        : TComponent(owner), left_(left), width_(width)
    {
        SetName(name);
    }
    std::vector<std::string> IntegerProperties() const override { return {"Left", "Width"}; }
    int GetInteger(const std::string& name) const override { return name == "Left" ? left_ : width_; }
    void SetInteger(const std::string& name, int value) override { (name == "Left" ? left_ : width_) = value; }

private:
    int left_;
    int width_;
};

using TStorageFactory = std::function<TFormStorage*(TComponent*, HWND)>;

// A plain top-level window wired to its storage the way the main window is:
// restore before showing, save after the close-query, save on destroy.
class TTestForm : public TComponent {
public:
    explicit TTestForm(const std::string& iniFile, DWORD style = WS_OVERLAPPEDWINDOW,
                       const TStorageFactory& make = nullptr)
    {
        static bool registered = false;
        if (!registered) {
            WNDCLASSA windowClass = {};
            windowClass.lpfnWndProc = WindowProc;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = TestWindowClass;
            RegisterClassA(&windowClass);
            registered = true;
        }
        window = CreateWindowExA(0, TestWindowClass, "Form storage test", style, Designed.Left, Designed.Top,
                                 Designed.Width, Designed.Height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        list = new TTestControl(this, "lvServices", 0, Designed.ListWidth);
        splitter = new TTestControl(this, "Splitter1", Designed.SplitterLeft, 3);
        storage = make ? make(this, window) : new TFormStorage(this, window);
        storage->IniFileName = iniFile;
        storage->IniSection = "WindowStatus";
        storage->StoredProps = {"lvServices.Width", "Splitter1.Left"};
    }
    ~TTestForm() override
    {
        if (IsWindow(window))
            DestroyWindow(window);
    }

    void Show()
    {
        storage->FormShow();
        ShowWindow(window, storage->ShowCommand());
        UpdateWindow(window);
    }
    void Close() { SendMessageA(window, WM_CLOSE, 0, 0); }

    bool CanClose = true;
    HWND window = nullptr;
    TTestControl* list = nullptr;
    TTestControl* splitter = nullptr;
    TFormStorage* storage = nullptr;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto* form = reinterpret_cast<TTestForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (form && message == WM_CLOSE) {
            form->storage->FormCloseQuery(form->CanClose);
            if (form->CanClose)
                DestroyWindow(window);
            return 0;
        }
        if (form && message == WM_DESTROY) {
            form->storage->FormDestroy();
            return 0;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
};

using TKeys = std::vector<std::pair<std::string, std::string>>;

// The section's keys and values in file order.
TKeys SectionKeys(const std::string& path)
{
    TKeys keys;
    std::istringstream text(ReadTextFile(path));
    std::string line;
    bool inSection = false;
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inSection = line == "[WindowStatus]";
            continue;
        }
        std::string::size_type equals = line.find('=');
        if (inSection && equals != std::string::npos)
            keys.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    return keys;
}

std::string Value(const TKeys& keys, const std::string& key)
{
    for (const auto& [name, value] : keys)
        if (name == key)
            return value;
    return "(missing)";
}

void WriteLayout(const std::string& path, const std::string& lines)
{
    WriteTextFile(path, "[WindowStatus]\r\n" + lines);
}

// A form shown over a file of its own that holds the given layout lines.
struct TShownLayout {
    TShownLayout(const std::string& lines, DWORD style = WS_OVERLAPPEDWINDOW)
        : file(folder.File("QXServices.ini")), form((WriteLayout(file, lines), file), style)
    {
        form.Show();
    }
    TTempFolder folder;
    std::string file;
    TTestForm form;
};

WINDOWPLACEMENT PlacementOf(HWND window)
{
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    GetWindowPlacement(window, &placement);
    return placement;
}

std::string RectText(const RECT& r)
{
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

std::string NormalRect(HWND window)
{
    return RectText(PlacementOf(window).rcNormalPosition);
}

const std::string DesignedRect = "200,104,725,405";

// A catalogue of its own for every test.
class FormStorage : public ::testing::Test {
protected:
    TTempFolder folder;
    const std::string ini = folder.File("QXServices.ini");
};

std::string ScreenKey(const char* key)
{
    return std::string(key) + "(" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "x" +
           std::to_string(GetSystemMetrics(SM_CYSCREEN)) + ")";
}

int ScreenPixelsPerInch()
{
    HDC screen = GetDC(nullptr);
    int value = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return value;
}

} // namespace

TEST_F(FormStorage, FirstStartKeepsTheDesignedLayoutAndWritesTheTenKeysOnClose)
{
    TTestForm form(ini);
    form.Show();
    EXPECT_TRUE(form.storage->Restored());
    EXPECT_EQ(NormalRect(form.window), DesignedRect);
    EXPECT_EQ(PlacementOf(form.window).showCmd, static_cast<UINT>(SW_SHOWNORMAL));
    EXPECT_EQ(form.list->GetInteger("Width"), Designed.ListWidth);
    EXPECT_EQ(form.splitter->GetInteger("Left"), Designed.SplitterLeft);

    form.Close();
    EXPECT_FALSE(IsWindow(form.window));
    TKeys keys = SectionKeys(ini);
    std::vector<std::string> names;
    for (const auto& key : keys)
        names.push_back(key.first);
    EXPECT_EQ(names, (std::vector<std::string>{"Flags", "ShowCmd", "PixelsPerInch", ScreenKey("MinMaxPos"),
                                               "MinMaxPos", ScreenKey("NormPos"), "NormPos", "Visible",
                                               "lvServices_Width", "Splitter1_Left"}));
    EXPECT_EQ(Value(keys, "Flags"), "0");
    EXPECT_EQ(Value(keys, "ShowCmd"), "1");
    EXPECT_EQ(Value(keys, "PixelsPerInch"), std::to_string(ScreenPixelsPerInch()));
    std::string minMax = Value(keys, "MinMaxPos");
    int a, b, c, d;
    char end;
    EXPECT_EQ(sscanf(minMax.c_str(), "%d,%d,%d,%d%c", &a, &b, &c, &d, &end), 4) << minMax;
    EXPECT_EQ(Value(keys, ScreenKey("MinMaxPos")), minMax);
    EXPECT_EQ(Value(keys, ScreenKey("NormPos")), DesignedRect);
    EXPECT_EQ(Value(keys, "NormPos"), DesignedRect);
    EXPECT_EQ(Value(keys, "Visible"), "0");
    EXPECT_EQ(Value(keys, "lvServices_Width"), std::to_string(Designed.ListWidth));
    EXPECT_EQ(Value(keys, "Splitter1_Left"), std::to_string(Designed.SplitterLeft));
}

TEST_F(FormStorage, WritesNothingUnlessShownAndActive)
{
    {
        TTestForm form(ini);
        form.Close();
        EXPECT_FALSE(form.storage->Restored());
    }
    {
        TTestForm form(ini);
        form.storage->Active = false;
        WriteLayout(ini, "NormPos=100,50,700,450\r\n");
        form.Show();
        EXPECT_EQ(NormalRect(form.window), DesignedRect);
        form.Close();
        EXPECT_EQ(SectionKeys(ini).size(), 1u);
        DeleteFileA(ini.c_str());
    }
    EXPECT_FALSE(FileExists(ini));
}

TEST_F(FormStorage, SavedLayoutComesBackAtTheNextStart)
{
    {
        TTestForm form(ini);
        form.Show();
        SetWindowPos(form.window, nullptr, -30, 80, 600, 400, SWP_NOZORDER | SWP_NOACTIVATE);
        form.list->SetInteger("Width", 310);
        form.splitter->SetInteger("Left", 313);
        ShowWindow(form.window, SW_MAXIMIZE);
        form.Close();
    }
    EXPECT_EQ(Value(SectionKeys(ini), "ShowCmd"), "3");
    EXPECT_EQ(Value(SectionKeys(ini), "NormPos"), "-30,80,570,480");

    TTestForm form(ini);
    form.Show();
    WINDOWPLACEMENT placement = PlacementOf(form.window);
    EXPECT_EQ(placement.showCmd, static_cast<UINT>(SW_SHOWMAXIMIZED));
    EXPECT_TRUE(IsZoomed(form.window));
    EXPECT_EQ(RectText(placement.rcNormalPosition), "-30,80,570,480");
    EXPECT_EQ(form.list->GetInteger("Width"), 310);
    EXPECT_EQ(form.splitter->GetInteger("Left"), 313);

    // Back to normal, the window takes its stored rectangle again.
    ShowWindow(form.window, SW_RESTORE);
    RECT bounds;
    GetWindowRect(form.window, &bounds);
    EXPECT_EQ(RectText(bounds), "-30,80,570,480");
}

TEST_F(FormStorage, KeysOfAnotherScreenSizeGiveWayToThePlainOnes)
{
    {
        WriteLayout(ini, "NormPos(1x1)=10,10,300,300\r\nMinMaxPos(1x1)=1,1,1,1\r\nNormPos=150,60,650,460\r\n");
        TTestForm form(ini);
        form.Show();
        EXPECT_EQ(NormalRect(form.window), "150,60,650,460");
        form.Close();
        TKeys keys = SectionKeys(ini);
        EXPECT_EQ(Value(keys, "NormPos(1x1)"), "10,10,300,300");
        EXPECT_EQ(Value(keys, ScreenKey("NormPos")), "150,60,650,460");
    }
    {
        // This screen's own copy wins over the plain one.
        WriteLayout(ini, ScreenKey("NormPos") + "=130,70,630,470\r\nNormPos=150,60,650,460\r\n");
        TTestForm form(ini);
        form.Show();
        EXPECT_EQ(NormalRect(form.window), "130,70,630,470");
    }
}

TEST_F(FormStorage, DifferentPixelsPerInchSkipsPositionButKeepsStateAndProperties)
{
    WriteLayout(ini, "ShowCmd=3\r\nPixelsPerInch=" + std::to_string(ScreenPixelsPerInch() + 24) +
                         "\r\nNormPos=100,50,700,450\r\nlvServices_Width=222\r\nSplitter1_Left=225\r\n");
    TTestForm form(ini);
    form.Show();
    EXPECT_EQ(NormalRect(form.window), DesignedRect);
    EXPECT_EQ(PlacementOf(form.window).showCmd, static_cast<UINT>(SW_SHOWMAXIMIZED));
    EXPECT_EQ(form.list->GetInteger("Width"), 222);
    EXPECT_EQ(form.splitter->GetInteger("Left"), 225);
}

TEST_F(FormStorage, PositionWordsSplitAtBlanksAndCommasWithDefaults)
{
    const std::pair<const char*, std::string> cases[] = {
        {"10,20", "10,20,725,405"},  // right and bottom: current left + width, top + height
        {"10 , 20 , 500 , 400", "10,20,500,400"},
        {",, 10,,20   500,400", "10,20,500,400"},
        {"10,x,500,400", "10,104,500,400"},
        {"300,20,300,400", DesignedRect},  // no width: the window stays
        {"300,20,100,400", DesignedRect},
    };
    for (const auto& [stored, expected] : cases) {
        SCOPED_TRACE(stored);
        TShownLayout shown(std::string("NormPos=") + stored + "\r\n");
        EXPECT_EQ(NormalRect(shown.form.window), expected);
    }
}

TEST_F(FormStorage, FixedBorderKeepsItsDesignedSize)
{
    TShownLayout shown("NormPos=100,50,300,200\r\n", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU);
    EXPECT_EQ(NormalRect(shown.form.window), "100,50,625,351");
}

TEST_F(FormStorage, ShowCommandsPickTheState)
{
    // A stored minimized state shows the form normal and then minimizes the
    // application through the posted SC_MINIMIZE.
    const std::pair<const char*, UINT> cases[] = {
        {"ShowCmd=3\r\n", SW_SHOWMAXIMIZED}, {"ShowCmd=1\r\n", SW_SHOWNORMAL},    {"ShowCmd=9\r\n", SW_SHOWNORMAL},
        {"ShowCmd=0\r\n", SW_SHOWNORMAL},    {"ShowCmd=4\r\n", SW_SHOWNORMAL},    {"ShowCmd=8\r\n", SW_SHOWNORMAL},
        {"", SW_SHOWNORMAL},                 {"ShowCmd=2\r\n", SW_SHOWMINIMIZED}, {"ShowCmd=6\r\n", SW_SHOWMINIMIZED},
        {"ShowCmd=7\r\n", SW_SHOWMINIMIZED},
    };
    for (const auto& [stored, expected] : cases) {
        SCOPED_TRACE(stored);
        TShownLayout shown(stored);
        HWND window = shown.form.window;
        EXPECT_NE(shown.form.storage->ShowCommand(), SW_SHOWMINIMIZED);
        EXPECT_TRUE(PumpUntil([&] { return PlacementOf(window).showCmd == expected; })) << PlacementOf(window).showCmd;
    }
}

TEST_F(FormStorage, MinimizedApplicationSavesShowCommandTwo)
{
    TTestForm application(folder.File("unused.ini"));
    TTestForm form(ini);
    form.storage->ApplicationWindow = application.window;
    form.Show();
    ShowWindow(application.window, SW_SHOWMINNOACTIVE);
    ASSERT_TRUE(IsIconic(application.window));
    ASSERT_EQ(PlacementOf(form.window).showCmd, static_cast<UINT>(SW_SHOWNORMAL));
    form.Close();
    EXPECT_EQ(Value(SectionKeys(ini), "ShowCmd"), "2");
}

TEST_F(FormStorage, StoredListWidthEmptyOrLettersGivesZeroAndMissingLeavesIt)
{
    const std::pair<const char*, int> cases[] = {
        {"lvServices_Width=\r\n", 0},
        {"lvServices_Width=abc\r\n", 0},
        {"lvServices_Width=12px\r\n", 0},
        {"lvServices_Width=$40\r\n", 64},
        {"Splitter1_Left=5\r\n", Designed.ListWidth},
    };
    for (const auto& [stored, expected] : cases) {
        SCOPED_TRACE(stored);
        TShownLayout shown(stored);
        EXPECT_EQ(shown.form.list->GetInteger("Width"), expected);
    }
}

TEST_F(FormStorage, StoredPropsResolveByNameIgnoringCaseAndSkipTheRest)
{
    WriteLayout(ini, "lvServices_Width=150\r\nSplitter1_Left=153\r\n");
    TTestForm form(ini);
    new TComponent(&form);  // unnamed, publishes nothing
    TComponent* plain = new TComponent(&form);
    plain->SetName("btnClose");
    form.storage->StoredProps = {" LVSERVICES . width ", "nodot", "Missing.Width", "Splitter1.Height",
                                 ".Left",                "btnClose.Left", "splitter1.LEFT"};
    form.Show();
    EXPECT_EQ(form.list->GetInteger("Width"), 150);
    EXPECT_EQ(form.splitter->GetInteger("Left"), 153);

    form.list->SetInteger("Width", 160);
    form.Close();
    TKeys keys = SectionKeys(ini);
    EXPECT_EQ(keys.size(), 10u);  // no key for the entries skipped
    EXPECT_EQ(Value(keys, "lvServices_Width"), "160");
    EXPECT_EQ(Value(keys, "Splitter1_Left"), "153");
}

TEST_F(FormStorage, VisibleIsOneOnlyWhenTheSaveRunsOnDestroy)
{
    {
        // Refused close: nothing saved until the window is destroyed.
        TTestForm form(ini);
        form.CanClose = false;
        form.Show();
        form.Close();
        EXPECT_TRUE(IsWindow(form.window));
        EXPECT_FALSE(FileExists(ini));
        DestroyWindow(form.window);
        EXPECT_TRUE(form.storage->Saved());
        EXPECT_EQ(Value(SectionKeys(ini), "Visible"), "1");
    }
    {
        // A completed save on close is not repeated on destroy.
        TTestForm form(ini);
        form.Show();
        EXPECT_FALSE(form.storage->Saved());
        form.Close();
        EXPECT_EQ(Value(SectionKeys(ini), "Visible"), "0");
    }
}

namespace {

// Counts the rewrites of the file put in place, refusing them on demand.
int moves = 0;
bool refuseMoves = false;

BOOL WINAPI CountMoves(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information, DWORD size)
{
    ++moves;
    if (refuseMoves)
        return SetLastError(ERROR_ACCESS_DENIED), FALSE;
    return ::SetFileInformationByHandle(file, kind, information, size);
}

// Fails one read, as a broken file would.
class TFailingStorage : public TFormStorage {
public:
    using TFormStorage::TFormStorage;
    std::string ReadString(const std::string& section, const std::string& ident,
                           const std::string& defaultValue) override
    {
        if (ident == "ShowCmd")
            throw TError("Unable to read QXServices.ini");
        return TFormStorage::ReadString(section, ident, defaultValue);
    }
};

} // namespace

TEST_F(FormStorage, RefusedWriteShowsTheBoxAndTheSaveRunsAgainOnDestroy)
{
    WriteLayout(ini, "NormPos=100,50,700,450\r\n");
    TScriptedPrompter prompter;
    TTestForm form(ini);
    form.Show();
    const std::string before = ReadTextFile(ini);
    // A save is one write of the whole file; refused, it leaves the file as
    // it was, never part written.
    TSeamOverride count(KernelApi().SetFileInformationByHandle, &CountMoves);
    moves = 0;
    refuseMoves = true;
    form.storage->FormCloseQuery(true);
    refuseMoves = false;
    EXPECT_EQ(moves, 1);
    EXPECT_EQ(prompter.Texts("StandardError"), "Unable to write to QXServices.ini.\n");
    EXPECT_FALSE(form.storage->Saved());
    EXPECT_EQ(ReadTextFile(ini), before);

    // The window goes on closing; this time the file takes the write.
    moves = 0;
    DestroyWindow(form.window);
    EXPECT_EQ(moves, 1);
    TKeys keys = SectionKeys(ini);
    EXPECT_EQ(keys.size(), 10u);
    EXPECT_EQ(Value(keys, "Visible"), "1");
    EXPECT_TRUE(form.storage->Saved());
    EXPECT_EQ(prompter.shown.size(), 1u);
}

TEST_F(FormStorage, RestoreFailureShowsTheBoxAndSkipsTheRest)
{
    WriteLayout(ini, "ShowCmd=3\r\nNormPos=100,50,700,450\r\nlvServices_Width=99\r\n");
    TScriptedPrompter prompter;
    TTestForm form(ini, WS_OVERLAPPEDWINDOW,
                   [](TComponent* owner, HWND window) { return new TFailingStorage(owner, window); });
    form.Show();
    EXPECT_EQ(prompter.Texts("StandardError"), "Unable to read QXServices.ini.\n");
    EXPECT_TRUE(IsWindowVisible(form.window));
    EXPECT_EQ(NormalRect(form.window), "100,50,700,450");  // applied before the failing read
    EXPECT_EQ(PlacementOf(form.window).showCmd, static_cast<UINT>(SW_SHOWNORMAL));
    EXPECT_EQ(form.list->GetInteger("Width"), Designed.ListWidth);
    EXPECT_FALSE(form.storage->Restored());

    // Never restored, so closing leaves the file as it was.
    std::string before = ReadTextFile(ini);
    form.Close();
    EXPECT_EQ(ReadTextFile(ini), before);
}
