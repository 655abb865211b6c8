#pragma once
#include <windows.h>

#include <utility>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
};
TKernelApi& KernelApi();

// Owns one kernel handle (a started program's process) and closes it on
// every path.
class TKernelHandle {
public:
    TKernelHandle() = default;
    explicit TKernelHandle(HANDLE handle) : handle_(handle) {}
    ~TKernelHandle() { Reset(); }
    TKernelHandle(TKernelHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    TKernelHandle& operator=(TKernelHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset()
    {
        if (handle_)
            ::CloseHandle(std::exchange(handle_, nullptr));
    }

private:
    HANDLE handle_ = nullptr;
};
