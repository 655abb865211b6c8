#include "tests/support/WindowDriver.h"

#include <gtest/gtest.h>

#include <map>


bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        PumpMessages();
    }
    return true;
}

namespace {

std::map<UINT_PTR, std::function<void()>>& Pending()
{
    static std::map<UINT_PTR, std::function<void()>> pending;
    return pending;
}

// The box, or the wizard, a test's steps drive: nobody else answers it.
HWND ModalWindow()
{
    if (HWND box = ActiveDialog())
        return box;
    return ThreadWindowOfClass("TfrmCreateService", true);
}

// How long what the last step posted may take before a modal window it left
// open counts as left open for good.
constexpr UINT LeftOpenMs = 2000;

struct TWatch {
    UINT_PTR Timer = 0;
    HWND Window = nullptr;
    const ::testing::TestInfo* Test = nullptr;
};

TWatch& Watch()
{
    static TWatch watch;
    return watch;
}

void CALLBACK LookWhetherLeftOpen(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    TWatch& watch = Watch();
    if (watch.Timer != id)
        return;
    watch.Timer = 0;
    // Another test's window, or steps still to come, are not this watch's.
    if (watch.Test != ::testing::UnitTest::GetInstance()->current_test_info() || !Pending().empty())
        return;
    if (IsWindow(watch.Window) && IsWindowVisible(watch.Window) && ModalWindow() == watch.Window) {
        ADD_FAILURE() << "\"" << WindowText(watch.Window) << "\" stayed open after the test's last step";
        PostQuitMessage(0);
    }
}

// After a test's last step, a modal window still up would wait for ever for
// a step that never comes: a little later (what the step posted taken by
// then), one still up fails the test and the modal loops end, at once
// rather than at the test run's time-out.
void WatchForLeftOpen()
{
    TWatch& watch = Watch();
    if (watch.Timer)
        KillTimer(nullptr, watch.Timer);
    watch = {};
    if (HWND open = ModalWindow())
        watch = {SetTimer(nullptr, 0, LeftOpenMs, LookWhetherLeftOpen), open,
                 ::testing::UnitTest::GetInstance()->current_test_info()};
}

void CALLBACK Fire(HWND, UINT, UINT_PTR id, DWORD)
{
    KillTimer(nullptr, id);
    auto found = Pending().find(id);
    if (found == Pending().end())
        return;
    std::function<void()> action = std::move(found->second);
    Pending().erase(found);
    action();
    if (::testing::Test::HasFailure())
        PostQuitMessage(0);
    else if (Pending().empty())
        WatchForLeftOpen();
}

// How often a box that has not shown yet is looked for, and for how long.
constexpr UINT BoxLookMs = 10;
constexpr DWORD BoxShowsWithinMs = 10000;

void LookForBox(std::function<void(HWND)> action, DWORD since)
{
    WhenModal(
        [action = std::move(action), since]() mutable {
            if (HWND box = ActiveDialog())
                return action(box);
            if (GetTickCount() - since < BoxShowsWithinMs)
                return LookForBox(std::move(action), since);
            ADD_FAILURE() << "no dialog box showed within " << BoxShowsWithinMs << " ms";
        },
        BoxLookMs);
}

} // namespace

void WhenModal(std::function<void()> action, UINT delay)
{
    UINT_PTR id = SetTimer(nullptr, 0, delay, Fire);
    Pending()[id] = std::move(action);
}

void WhenBoxShown(std::function<void(HWND box)> action)
{
    LookForBox(std::move(action), GetTickCount());
}

HWND ThreadWindowOfClass(const std::string& windowClass, bool visibleOnly)
{
    struct TSearch {
        const std::string& Class;
        bool VisibleOnly;
        HWND Found;
    } search{windowClass, visibleOnly, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM parameter) -> BOOL {
            auto* search = reinterpret_cast<TSearch*>(parameter);
            char cls[64] = {};
            GetClassNameA(window, cls, sizeof cls);
            if (search->Class == cls && (!search->VisibleOnly || IsWindowVisible(window))) {
                search->Found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND ActiveDialog()
{
    return ThreadWindowOfClass("#32770", true);
}

std::vector<std::string> ChildTexts(HWND window)
{
    std::vector<std::string> texts;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        texts.push_back(WindowText(child));
    return texts;
}

HWND ChildWithText(HWND window, const std::string& text)
{
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (WindowText(child) == text)
            return child;
    return nullptr;
}

void PressKey(HWND window, WORD key)
{
    PostMessageA(window, WM_KEYDOWN, key, 1);
    PostMessageA(window, WM_KEYUP, key, 0xC0000001);
}

void TypeAtKeyboard(const std::wstring& text)
{
    std::vector<INPUT> keys;
    for (wchar_t unit : text)
        for (DWORD up : {DWORD(0), DWORD(KEYEVENTF_KEYUP)}) {
            INPUT key = {};
            key.type = INPUT_KEYBOARD;
            key.ki.wScan = unit;
            key.ki.dwFlags = KEYEVENTF_UNICODE | up;
            keys.push_back(key);
        }
    const UINT sent = SendInput(static_cast<UINT>(keys.size()), keys.data(), sizeof(INPUT));
    EXPECT_EQ(sent, keys.size()) << "error " << GetLastError();
}

std::wstring WideText(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}
