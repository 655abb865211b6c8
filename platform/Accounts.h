#pragma once
#include <windows.h>
#include <ntsecapi.h>

// Finding an account and giving it the right to log on as a service. Wine
// finds only its own user and keeps no rights, so tests see through here
// what is asked for and make it fail.
struct TAccountsApi {
    BOOL(WINAPI* LookupAccountNameA)(LPCSTR, LPCSTR, PSID, LPDWORD, LPSTR, LPDWORD,
                                     PSID_NAME_USE) = ::LookupAccountNameA;
    NTSTATUS(NTAPI* LsaOpenPolicy)(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK,
                                   PLSA_HANDLE) = ::LsaOpenPolicy;
    NTSTATUS(NTAPI* LsaEnumerateAccountRights)(LSA_HANDLE, PSID, PLSA_UNICODE_STRING*,
                                               PULONG) = ::LsaEnumerateAccountRights;
    NTSTATUS(NTAPI* LsaAddAccountRights)(LSA_HANDLE, PSID, PLSA_UNICODE_STRING, ULONG) = ::LsaAddAccountRights;
    NTSTATUS(NTAPI* LsaFreeMemory)(PVOID) = ::LsaFreeMemory;
    NTSTATUS(NTAPI* LsaClose)(LSA_HANDLE) = ::LsaClose;
};
inline TAccountsApi& AccountsApi()
{
    static TAccountsApi api;
    return api;
}
