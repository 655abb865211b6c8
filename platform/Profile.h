#pragma once
#include <windows.h>

// Private-profile (INI) calls. Reads go straight to Windows; writes pass
// through here because a refused write cannot be produced under Wine as root.
struct TProfileApi {
    BOOL(WINAPI* WritePrivateProfileStringA)(LPCSTR, LPCSTR, LPCSTR, LPCSTR) = ::WritePrivateProfileStringA;
};
inline TProfileApi& ProfileApi()
{
    static TProfileApi api;
    return api;
}
