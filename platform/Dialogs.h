#pragma once
#include <windows.h>
#include <commdlg.h>
#include <cderr.h>

// The platform's file dialogs; tests answer them here instead of on screen.
// Their library is loaded when a dialog is first wanted, not at every start.
BOOL WINAPI LoadedGetOpenFileNameA(LPOPENFILENAMEA dialog);
DWORD WINAPI LoadedCommDlgExtendedError();
struct TDialogApi {
    BOOL(WINAPI* GetOpenFileNameA)(LPOPENFILENAMEA) = LoadedGetOpenFileNameA;
    DWORD(WINAPI* CommDlgExtendedError)() = LoadedCommDlgExtendedError;
};
inline TDialogApi& DialogApi()
{
    static TDialogApi api;
    return api;
}
