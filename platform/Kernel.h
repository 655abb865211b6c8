#pragma once
#include <windows.h>

#include <utility>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
    // Puts a rewritten file in place; as root under Wine it is not refused.
    BOOL(WINAPI* MoveFileExA)(LPCSTR, LPCSTR, DWORD) = ::MoveFileExA;
};
TKernelApi& KernelApi();

// Owns one kernel handle (a started program's process, a mutex) and closes
// it on every path.
class TKernelHandle {
public:
    explicit TKernelHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~TKernelHandle()
    {
        if (handle_)
            ::CloseHandle(handle_);
    }
    TKernelHandle(TKernelHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    TKernelHandle& operator=(TKernelHandle&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HANDLE handle_;
};
