#pragma once
#include <windows.h>

// Reading the process's own token. Under Wine every process runs as the
// prefix's administrator, so tests stand in another account through here.
struct TTokenApi {
    BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE) = ::OpenProcessToken;
    BOOL(WINAPI* GetTokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD) = ::GetTokenInformation;
};
inline TTokenApi& TokenApi()
{
    static TTokenApi api;
    return api;
}
