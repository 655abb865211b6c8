#include "toolkit/window/Window.h"

#include "toolkit/Guarded.h"
#include "toolkit/window/EmptyDialog.h"

TWindow::~TWindow()
{
    // Messages of a window outliving its object go nowhere.
    if (handle_ && IsWindow(handle_) && GetWindowLongPtrA(handle_, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this))
        SetWindowLongPtrA(handle_, GWLP_USERDATA, 0);
}

HWND TWindow::CreateHandle(DWORD exStyle, const char* windowClass, const char* caption, DWORD style, int x, int y,
                           int width, int height)
{
    HWND window = CreateWindowExA(exStyle, windowClass, caption, style, x, y, width, height, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), this);
    if (!window)
        handle_ = nullptr;
    return window;
}

TWindow* TWindow::Of(HWND window)
{
    if (!window || GetWindowLongPtrA(window, GWLP_WNDPROC) != reinterpret_cast<LONG_PTR>(&TWindow::Procedure))
        return nullptr;
    return reinterpret_cast<TWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT TWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(handle_, message, wParam, lParam);
}

LRESULT CALLBACK TWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* arriving = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        arriving->handle_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(arriving));
    }
    auto* self = reinterpret_cast<TWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    LRESULT result = 0;
    const bool handled = Guarded([&] { result = self->HandleMessage(message, wParam, lParam); });
    if (message == WM_NCDESTROY)
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    if (!handled && message == WM_NCCREATE)
        return FALSE;
    if (!handled && message == WM_CREATE)
        return -1;
    return result;
}

INT_PTR TDialog::ShowModal(HWND owner, DWORD exStyle)
{
    return ShowEmptyDialog(owner, exStyle, &TDialog::Procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK TDialog::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        reinterpret_cast<TDialog*>(lParam)->handle_ = dialog;
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    }
    auto* self = reinterpret_cast<TDialog*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (!self)
        return FALSE;
    INT_PTR result = FALSE;
    Guarded([&] { result = self->HandleMessage(message, wParam, lParam); });
    return result;
}

void RegisterWindowClass(const WNDCLASSA& windowClass)
{
    WNDCLASSA registered = {};
    if (!GetClassInfoA(windowClass.hInstance, windowClass.lpszClassName, &registered))
        RegisterClassA(&windowClass);
}

LRESULT PanelMessage(HWND panel, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
        return SendMessageA(GetAncestor(panel, GA_ROOT), message, wParam, lParam);
    default:
        return DefWindowProcA(panel, message, wParam, lParam);
    }
}

const char* PanelClass()
{
    constexpr const char* Name = "TQuorvanePanel";
    WNDCLASSA panel = {};
    panel.lpfnWndProc = GuardedWindowProc<PanelMessage>;
    panel.hInstance = GetModuleHandleA(nullptr);
    panel.hCursor = LoadCursor(nullptr, IDC_ARROW);
    panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    panel.lpszClassName = Name;
    RegisterWindowClass(panel);
    return Name;
}
