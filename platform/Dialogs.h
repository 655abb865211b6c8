#pragma once
#include <windows.h>
#include <commdlg.h>
#include <cderr.h>

// The platform's file dialogs; tests answer them here instead of on screen.
struct TDialogApi {
    BOOL(WINAPI* GetOpenFileNameA)(LPOPENFILENAMEA) = ::GetOpenFileNameA;
    DWORD(WINAPI* CommDlgExtendedError)() = ::CommDlgExtendedError;
};
inline TDialogApi& DialogApi()
{
    static TDialogApi api;
    return api;
}
