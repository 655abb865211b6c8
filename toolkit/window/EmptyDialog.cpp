#include "toolkit/window/EmptyDialog.h"

namespace {

// A dialog template with no controls, no menu, no class and no title.
struct alignas(4) TEmptyTemplate {
    DLGTEMPLATE Header;
    WORD Menu, WindowClass, Title;
};

} // namespace

INT_PTR ShowEmptyDialog(HWND owner, DWORD exStyle, DLGPROC procedure, LPARAM parameter)
{
    TEmptyTemplate dialog = {};
    dialog.Header.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    dialog.Header.dwExtendedStyle = exStyle;
    // Wide: the dialog's own loop then hands typed characters to its boxes
    // whole (toolkit/MessagePump.h).
    return DialogBoxIndirectParamW(GetModuleHandleA(nullptr), &dialog.Header, owner, procedure, parameter);
}

void CenterOnScreen(HWND window, int clientWidth, int clientHeight)
{
    RECT frame = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&frame, GetWindowLongA(window, GWL_STYLE), FALSE, GetWindowLongA(window, GWL_EXSTYLE));
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    SetWindowPos(window, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER);
}
