#pragma once
#include <windows.h>

// Owns one kernel handle and closes it exactly once. Both null and
// INVALID_HANDLE_VALUE mean "none", since Windows returns either.
class THandle {
public:
    THandle() = default;
    explicit THandle(HANDLE handle) : handle_(handle) {}
    ~THandle() { Close(); }
    THandle(THandle&& other) noexcept : handle_(other.Release()) {}
    THandle& operator=(THandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = other.Release();
        }
        return *this;
    }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }

    // For calls that hand a new handle back through a pointer.
    HANDLE* Receive()
    {
        Close();
        return &handle_;
    }
    // Gives the handle up without closing it.
    HANDLE Release()
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Close()
    {
        if (*this)
            CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};
