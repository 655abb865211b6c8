#pragma once
#include <windows.h>
#include <aclapi.h>

// Reading and applying a file's security descriptor. Wine reports a made-up
// descriptor and keeps none that is set, so tests check what is carried from
// one file to the other, and what access an account is given, through here.
struct TSecurityApi {
    DWORD(WINAPI* GetNamedSecurityInfoA)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                         PSECURITY_DESCRIPTOR*) = ::GetNamedSecurityInfoA;
    DWORD(WINAPI* SetNamedSecurityInfoA)(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL,
                                         PACL) = ::SetNamedSecurityInfoA;
    DWORD(WINAPI* SetEntriesInAclA)(ULONG, PEXPLICIT_ACCESS_A, PACL, PACL*) = ::SetEntriesInAclA;
};
inline TSecurityApi& SecurityApi()
{
    static TSecurityApi api;
    return api;
}
