#pragma once
#include <windows.h>
#include <aclapi.h>

// Reading and applying a file's security descriptor. Wine reports a made-up
// descriptor and keeps none that is set, so tests check what is carried from
// one file to the other, and what access an account is given and taken
// back, through here.
struct TSecurityApi {
    DWORD(WINAPI* GetNamedSecurityInfoA)(LPCSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                         PSECURITY_DESCRIPTOR*) = ::GetNamedSecurityInfoA;
    DWORD(WINAPI* SetNamedSecurityInfoA)(LPSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL,
                                         PACL) = ::SetNamedSecurityInfoA;
    // What an object that exists already (the catalogue's write lock) lets
    // whom do; Wine lets every process of the prefix do everything.
    DWORD(WINAPI* GetSecurityInfo)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                   PSECURITY_DESCRIPTOR*) = ::GetSecurityInfo;
};
inline TSecurityApi& SecurityApi()
{
    static TSecurityApi api;
    return api;
}
