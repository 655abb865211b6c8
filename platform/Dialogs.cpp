#include "platform/Dialogs.h"

#include "platform/LateBound.h"

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

TDialogApi& DialogApi()
{
    static TDialogApi api;
    return api;
}
