#pragma once
#include <windows.h>
#include <shellapi.h>

// The shell's library is loaded when a link is first opened.
HINSTANCE WINAPI LoadedShellExecuteA(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);

// Starting other programs; tests make a launch fail, or record it, through here.
struct TShellApi {
    UINT(WINAPI* WinExec)(LPCSTR, UINT) = ::WinExec;
    BOOL(WINAPI* CreateProcessA)(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                 LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) = ::CreateProcessA;
    HINSTANCE(WINAPI* ShellExecuteA)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) = LoadedShellExecuteA;
};
inline TShellApi& ShellApi()
{
    static TShellApi api;
    return api;
}
