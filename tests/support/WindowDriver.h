#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "toolkit/MessagePump.h"
#include "toolkit/window/Control.h"

// Runs window messages until the condition holds or the time is up (false).
bool PumpUntil(const std::function<bool()>& condition, DWORD milliseconds = 5000);

// Runs action from inside whatever modal loop starts next (a thread timer
// fires there), once, after delay milliseconds. When the test has failed by
// then, the modal loops of the thread end (a quit is posted): nobody would
// answer the box or the wizard the action was to drive.
void WhenModal(std::function<void()> action, UINT delay = 50);
// Runs action on the next dialog box of this thread once it is on the
// screen. A dialog box shows only when its loop first finds no message
// waiting, which can be after a timer is due: until the box shows, the timer
// fires again. A box that never shows fails the test within ten seconds and
// the modal loops end.
void WhenBoxShown(std::function<void(HWND box)> action);

// A top-level window of this thread of the given class, or nullptr.
HWND ThreadWindowOfClass(const std::string& windowClass, bool visibleOnly);
// The visible dialog box of this thread on top, or nullptr.
HWND ActiveDialog();
// Texts of a window's direct children, in creation order.
std::vector<std::string> ChildTexts(HWND window);
HWND ChildWithText(HWND window, const std::string& text);
// Presses a key in a window as a user's keystroke would arrive.
void PressKey(HWND window, WORD key);
// Types the text at the keyboard, a character a key (as an input method or
// a keyboard of any layout delivers it), into whatever has the focus once
// the thread's loop takes the keys.
void TypeAtKeyboard(const std::wstring& text);
// A window's text as Windows holds it, read wide.
std::wstring WideText(HWND window);
