#pragma once
#include <windows.h>

// Service Control Manager calls. Wine's manager never refuses a database
// lock or a connection, so tests produce those refusals through here.
struct TServiceApi {
    SC_HANDLE(WINAPI* OpenSCManagerA)(LPCSTR, LPCSTR, DWORD) = ::OpenSCManagerA;
    SC_LOCK(WINAPI* LockServiceDatabase)(SC_HANDLE) = ::LockServiceDatabase;
    BOOL(WINAPI* UnlockServiceDatabase)(SC_LOCK) = ::UnlockServiceDatabase;
    SC_HANDLE(WINAPI* OpenServiceA)(SC_HANDLE, LPCSTR, DWORD) = ::OpenServiceA;
    BOOL(WINAPI* ControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS) = ::ControlService;
    BOOL(WINAPI* StartServiceA)(SC_HANDLE, DWORD, LPCSTR*) = ::StartServiceA;
    BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE) = ::CloseServiceHandle;
};
TServiceApi& ServiceApi();
