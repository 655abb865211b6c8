#pragma once
#include <windows.h>

#include <exception>

#include "toolkit/Prompter.h"

// Nothing may unwind through Windows: every callback Windows calls (window
// and dialog procedures, timers) enters our code through one of these doors,
// and an error that no handler owns goes to the standard error box.

// Runs a handler; false when it failed and the box was shown.
template <class F>
bool Guarded(F&& handler)
{
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        Prompter().StandardError(StandardErrorText(error.what()));
        return false;
    } catch (...) {
        Prompter().StandardError(StandardErrorText("Unknown exception"));
        return false;
    }
}

// A plain window procedure behind the door (toolkit/window/Window.h has the
// one for windows with an object); a message whose handling failed returns 0.
template <LRESULT (*Procedure)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK GuardedWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    Guarded([&] { result = Procedure(window, message, wParam, lParam); });
    return result;
}
