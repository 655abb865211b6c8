#include "platform/LateBound.h"

#include "platform/Dialogs.h"
#include "platform/Shell.h"

BOOL WINAPI LoadedGetOpenFileNameA(LPOPENFILENAMEA dialog)
{
    static const auto call = LateBound<decltype(&::GetOpenFileNameA)>("comdlg32.dll", "GetOpenFileNameA");
    return call ? call(dialog) : FALSE;
}

DWORD WINAPI LoadedCommDlgExtendedError()
{
    static const auto call = LateBound<decltype(&::CommDlgExtendedError)>("comdlg32.dll", "CommDlgExtendedError");
    return call ? call() : CDERR_INITIALIZATION;
}

HINSTANCE WINAPI LoadedShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                                     INT show)
{
    static const auto call = LateBound<decltype(&::ShellExecuteA)>("shell32.dll", "ShellExecuteA");
    // Below 32 means failure, as the shell itself reports it.
    return call ? call(window, verb, file, parameters, folder, show) : reinterpret_cast<HINSTANCE>(SE_ERR_DLLNOTFOUND);
}
