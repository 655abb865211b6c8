#pragma once
#include <utility>

// Owns one handle of a kind (a process, a service, a registry key, a font)
// and gives it back exactly once, on every path. Movable and releasable, so
// a function can hand a new handle to its caller and still own it until
// then. The kind's traits say what "none" is and how one is given back:
//
//     struct TKind {
//         using THandle = ...;
//         static constexpr THandle None = ...;
//         static bool Valid(THandle handle);
//         static void Close(THandle handle);
//     };
template <class Kind>
class TOwner {
public:
    using THandle = typename Kind::THandle;

    TOwner() = default;
    explicit TOwner(THandle handle) : handle_(handle) {}
    ~TOwner() { Close(); }
    TOwner(TOwner&& other) noexcept : handle_(other.Release()) {}
    TOwner& operator=(TOwner&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = other.Release();
        }
        return *this;
    }
    TOwner(const TOwner&) = delete;
    TOwner& operator=(const TOwner&) = delete;

    THandle Get() const { return handle_; }
    explicit operator bool() const { return Kind::Valid(handle_); }

    // For calls that hand a new handle back through a pointer.
    THandle* Receive()
    {
        Close();
        return &handle_;
    }
    // Gives the handle up without closing it.
    THandle Release() { return std::exchange(handle_, Kind::None); }
    void Close()
    {
        if (*this)
            Kind::Close(handle_);
        handle_ = Kind::None;
    }

private:
    THandle handle_ = Kind::None;
};

// The usual kind: a pointer-like handle, null for none, given back by one
// call. A handle closed through a seam names a function that goes through it.
template <class Handle, auto CloseCall>
struct TNullKind {
    using THandle = Handle;
    static constexpr Handle None = nullptr;
    static bool Valid(Handle handle) { return handle != nullptr; }
    static void Close(Handle handle) { CloseCall(handle); }
};

// Runs a step when the scope ends, however it ends: for what has no owner
// type (a window to enable again, a list to show afresh). The step must not
// raise; RunNow runs it early, once.
template <class Step>
class [[nodiscard]] TScopeExit {
public:
    explicit TScopeExit(Step step) : step_(std::move(step)) {}
    ~TScopeExit()
    {
        if (armed_)
            step_();
    }
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;

    void RunNow()
    {
        if (std::exchange(armed_, false))
            step_();
    }
    // The scope ended as it should: the step is not needed.
    void Dismiss() { armed_ = false; }

private:
    Step step_;
    bool armed_ = true;
};
