#pragma once
#include <windows.h>

// Dialogs built in code rather than from a resource template. (The file
// dialog the wizard opens goes through the seam in platform/Dialogs.h.)

// Shows a modal dialog that starts empty: its procedure creates and lays out
// the controls on WM_INITDIALOG (lParam carries parameter).
INT_PTR ShowEmptyDialog(HWND owner, DWORD exStyle, DLGPROC procedure, LPARAM parameter);

// Sizes a window to the given client area and centres it on the screen.
void CenterOnScreen(HWND window, int clientWidth, int clientHeight);
