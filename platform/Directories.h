#pragma once
#include <windows.h>

// Where the Windows directory is. Tests point it elsewhere: a directory
// holding a blank, or one whose stub folder cannot be made.
struct TDirectoryApi {
    UINT(WINAPI* GetWindowsDirectoryA)(LPSTR, UINT) = ::GetWindowsDirectoryA;
};
inline TDirectoryApi& DirectoryApi()
{
    static TDirectoryApi api;
    return api;
}
