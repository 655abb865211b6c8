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
    BOOL(WINAPI* QueryServiceConfigA)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD) = ::QueryServiceConfigA;
};
inline TServiceApi& ServiceApi()
{
    static TServiceApi api;
    return api;
}

// Owns one Service Control Manager handle (connection or service) and
// closes it, through the seam, on every path.
class TServiceHandle {
public:
    explicit TServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~TServiceHandle()
    {
        if (handle_)
            ServiceApi().CloseServiceHandle(handle_);
    }
    TServiceHandle(const TServiceHandle&) = delete;
    TServiceHandle& operator=(const TServiceHandle&) = delete;

    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};
