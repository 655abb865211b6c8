#pragma once
#include <windows.h>
#include <shellapi.h>

// Starting other programs; tests make a launch fail, or record it, through here.
struct TShellApi {
    UINT(WINAPI* WinExec)(LPCSTR, UINT) = ::WinExec;
    BOOL(WINAPI* CreateProcessA)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) = ::CreateProcessA;
    HINSTANCE(WINAPI* ShellExecuteA)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) = ::ShellExecuteA;
};
inline TShellApi& ShellApi()
{
    static TShellApi api;
    return api;
}
