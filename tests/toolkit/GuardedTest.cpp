#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/ScriptedPrompter.h"
#include "tests/support/WindowDriver.h"
#include "toolkit/Error.h"
#include "toolkit/Guarded.h"
#include "toolkit/Timer.h"

namespace {

LRESULT FailingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP)
        throw TError("The handler went wrong");
    if (message == WM_APP + 1)
        return 42;
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

// An error that escapes a handler must never unwind through Windows: it goes
// to the standard error box, and the window or the timer goes on.
TEST(GuardedDoors, WindowProceduresAndTimersReportWhatEscapesAndGoOn)
{
    TScriptedPrompter prompter;
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = GuardedWindowProc<FailingProc>;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "GuardedDoorsTest";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, WM_APP, 0, 0), 0);
    EXPECT_EQ(SendMessageA(window, WM_APP + 1, 0, 0), 42);
    DestroyWindow(window);
    EXPECT_EQ(prompter.Texts("StandardError"), "The handler went wrong.\n");

    prompter.shown.clear();
    int ticks = 0;
    TTimer timer;
    timer.OnTimer = [&] { throw TError("Tick " + std::to_string(++ticks)); };
    timer.SetInterval(10);
    timer.SetEnabled(true);
    EXPECT_TRUE(PumpUntil([&] { return ticks >= 2; }));
    timer.SetEnabled(false);
    EXPECT_EQ(prompter.Texts("StandardError").rfind("Tick 1.\nTick 2.\n", 0), 0u) << prompter.Texts("StandardError");
}
