#pragma once
#include <windows.h>

// The one door of every window and dialog of ours. The object arrives with
// the first message that can carry it (WM_NCCREATE for a window: the last
// argument of CreateWindowEx; WM_INITDIALOG for a dialog: its lParam), is
// kept in the window and handles every message from then on, the creation
// messages included. An error that no handler owns goes to the standard
// error box, and the window goes on; a window whose creation failed is not
// created.

class TWindow {
public:
    TWindow() = default;
    virtual ~TWindow();
    TWindow(const TWindow&) = delete;
    TWindow& operator=(const TWindow&) = delete;

    HWND Handle() const { return handle_; }

    // The procedure the classes of these windows are registered with.
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // The object of one of these windows; nullptr for any other window.
    static TWindow* Of(HWND window);

protected:
    // Creates the window, this its object, of a class registered with
    // Procedure; nullptr when it could not be created.
    HWND CreateHandle(DWORD exStyle, const char* windowClass, const char* caption, DWORD style, int x, int y,
                      int width, int height);
    // Every message from WM_NCCREATE to WM_NCDESTROY; what it does not
    // handle goes to DefWindowProcA.
    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    HWND handle_ = nullptr;
};

// A modal dialog whose controls are made in code on WM_INITDIALOG
// (toolkit/window/EmptyDialog.h).
class TDialog {
public:
    TDialog() = default;
    virtual ~TDialog() = default;
    TDialog(const TDialog&) = delete;
    TDialog& operator=(const TDialog&) = delete;

    // Shows the dialog over owner until it ends; what it ended with.
    INT_PTR ShowModal(HWND owner, DWORD exStyle);

protected:
    HWND Handle() const { return handle_; }
    // Every message from WM_INITDIALOG on; a dialog procedure's answer
    // (TRUE for a message it handled).
    virtual INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;

private:
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

    HWND handle_ = nullptr;
};

// Registers a window class of this program the first time it is asked for;
// later calls with its name do nothing.
void RegisterWindowClass(const WNDCLASSA& windowClass);

// The class of the panels that carry controls, registered on first use. A
// panel hands its controls' notifications (commands, list notices, owner
// drawing, control colours) on to the top-level window, which handles every
// control itself; PanelMessage does the same for a panel class that paints
// itself.
const char* PanelClass();
LRESULT PanelMessage(HWND panel, UINT message, WPARAM wParam, LPARAM lParam);
