#pragma once
#include <windows.h>

// Writing to a console. A test cannot read back what a console shows under
// Wine, so it stands in for one through here.
struct TConsoleApi {
    BOOL(WINAPI* GetConsoleMode)(HANDLE, LPDWORD) = ::GetConsoleMode;
    BOOL(WINAPI* WriteConsoleW)(HANDLE, const VOID*, DWORD, LPDWORD, LPVOID) = ::WriteConsoleW;
};
inline TConsoleApi& ConsoleApi()
{
    static TConsoleApi api;
    return api;
}
