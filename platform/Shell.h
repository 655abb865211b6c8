#pragma once
#include <windows.h>
#include <shellapi.h>

// Starting other programs; tests make a launch fail through here.
struct TShellApi {
    UINT(WINAPI* WinExec)(LPCSTR, UINT) = ::WinExec;
    HINSTANCE(WINAPI* ShellExecuteA)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT) = ::ShellExecuteA;
};
TShellApi& ShellApi();
