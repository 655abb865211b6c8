#pragma once
#include <windows.h>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
};
TKernelApi& KernelApi();

// Owns one kernel handle (a started program's process) and closes it on
// every path.
class TKernelHandle {
public:
    explicit TKernelHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~TKernelHandle()
    {
        if (handle_)
            ::CloseHandle(handle_);
    }
    TKernelHandle(const TKernelHandle&) = delete;
    TKernelHandle& operator=(const TKernelHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HANDLE handle_;
};
