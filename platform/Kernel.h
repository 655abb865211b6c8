#pragma once
#include <windows.h>

#include <utility>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
    // Puts a rewritten file in place; as root under Wine it is not refused.
    BOOL(WINAPI* MoveFileExA)(LPCSTR, LPCSTR, DWORD) = ::MoveFileExA;
    // Writes the service host's log; a full disk is not to be had on demand.
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;
    // Serves the host's status pipe; Wine keeps no access list on a pipe, so
    // tests judge the one handed over.
    HANDLE(WINAPI* CreateNamedPipeA)(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                     LPSECURITY_ATTRIBUTES) = ::CreateNamedPipeA;
};
inline TKernelApi& KernelApi()
{
    static TKernelApi api;
    return api;
}

// Owns one kernel handle (a process, a thread, a pipe, a mutex, a mailslot)
// and closes it exactly once, on every path. Both null and
// INVALID_HANDLE_VALUE mean "none", since Windows returns either.
class TKernelHandle {
public:
    TKernelHandle() = default;
    explicit TKernelHandle(HANDLE handle) : handle_(handle) {}
    ~TKernelHandle() { Close(); }
    TKernelHandle(TKernelHandle&& other) noexcept : handle_(other.Release()) {}
    TKernelHandle& operator=(TKernelHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = other.Release();
        }
        return *this;
    }
    TKernelHandle(const TKernelHandle&) = delete;
    TKernelHandle& operator=(const TKernelHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }

    // For calls that hand a new handle back through a pointer.
    HANDLE* Receive()
    {
        Close();
        return &handle_;
    }
    // Gives the handle up without closing it.
    HANDLE Release() { return std::exchange(handle_, nullptr); }
    void Close()
    {
        if (*this)
            ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};
