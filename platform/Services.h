#pragma once
#include <windows.h>

#include "platform/Owner.h"

// Service Control Manager calls. Wine's manager never refuses a database
// lock or a connection, and keeps or acts on only part of a service's
// configuration, so tests produce those refusals and see what is handed
// over through here.
struct TServiceApi {
    SC_HANDLE(WINAPI* OpenSCManagerA)(LPCSTR, LPCSTR, DWORD) = ::OpenSCManagerA;
    SC_LOCK(WINAPI* LockServiceDatabase)(SC_HANDLE) = ::LockServiceDatabase;
    BOOL(WINAPI* UnlockServiceDatabase)(SC_LOCK) = ::UnlockServiceDatabase;
    SC_HANDLE(WINAPI* OpenServiceA)(SC_HANDLE, LPCSTR, DWORD) = ::OpenServiceA;
    BOOL(WINAPI* ControlService)(SC_HANDLE, DWORD, LPSERVICE_STATUS) = ::ControlService;
    BOOL(WINAPI* StartServiceA)(SC_HANDLE, DWORD, LPCSTR*) = ::StartServiceA;
    BOOL(WINAPI* CloseServiceHandle)(SC_HANDLE) = ::CloseServiceHandle;
    BOOL(WINAPI* QueryServiceConfigA)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) = ::QueryServiceConfigA;
    BOOL(WINAPI* ChangeServiceConfigA)(SC_HANDLE, DWORD, DWORD, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR,
                                       LPCSTR) = ::ChangeServiceConfigA;
    BOOL(WINAPI* ChangeServiceConfig2A)(SC_HANDLE, DWORD, LPVOID) = ::ChangeServiceConfig2A;
    BOOL(WINAPI* QueryServiceConfig2A)(SC_HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) = ::QueryServiceConfig2A;
};
inline TServiceApi& ServiceApi()
{
    static TServiceApi api;
    return api;
}

inline void CloseServiceHandleThroughSeam(SC_HANDLE handle)
{
    ServiceApi().CloseServiceHandle(handle);
}
inline void UnlockServiceDatabaseThroughSeam(SC_LOCK lock)
{
    ServiceApi().UnlockServiceDatabase(lock);
}

// A Service Control Manager handle (a connection or a service), and the
// service database's lock, given back through the seam.
using TServiceHandle = TOwner<TNullKind<SC_HANDLE, CloseServiceHandleThroughSeam>>;
using TServiceLock = TOwner<TNullKind<SC_LOCK, UnlockServiceDatabaseThroughSeam>>;
