#pragma once
#include <windows.h>

#include "platform/Owner.h"

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
    BOOL(WINAPI* QueryServiceConfigA)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) = ::QueryServiceConfigA;
};
inline TServiceApi& ServiceApi()
{
    static TServiceApi api;
    return api;
}

// A Service Control Manager handle (a connection or a service), closed
// through the seam.
struct TServiceHandleKind {
    using THandle = SC_HANDLE;
    static constexpr SC_HANDLE None = nullptr;
    static bool Valid(SC_HANDLE handle) { return handle != nullptr; }
    static void Close(SC_HANDLE handle) { ServiceApi().CloseServiceHandle(handle); }
};
using TServiceHandle = TOwner<TServiceHandleKind>;

// The service database's lock, released through the seam.
struct TServiceLockKind {
    using THandle = SC_LOCK;
    static constexpr SC_LOCK None = nullptr;
    static bool Valid(SC_LOCK lock) { return lock != nullptr; }
    static void Close(SC_LOCK lock) { ServiceApi().UnlockServiceDatabase(lock); }
};
using TServiceLock = TOwner<TServiceLockKind>;
