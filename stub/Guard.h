#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/Kernel.h"
#include "stub/StubLog.h"

// The one door of every thread the service host runs: whatever the body
// throws is caught, written to the log as "<part> failed: <reason>", and
// handed on to the failure handler, so nothing ends the process unseen.
void RunGuarded(const char* part, TStubLog& log, const std::function<void()>& body) noexcept;

// The stack each thread of the host reserves: none holds much.
inline constexpr DWORD ThreadStackBytes = 64 * 1024;

// What a caught failure leads to; the service host stops its service. None
// by default (the in-process tests).
void SetFailureHandler(void (*handler)(const std::string& failure));

// The text of the exception being handled: a TError's message, what() of any
// standard exception, a fixed text for anything else. Call only in a catch.
std::string CurrentFailure();

// Starts a thread of the host that runs body on state shared with the
// caller, through RunGuarded under the name part (state.Log is its log).
// The state lives until both have let go of it, so a thread that outlives
// the caller's bounded wait never touches freed state. An empty handle when
// the thread could not start; GetLastError tells why.
template <class T>
TKernelHandle StartSharedThread(const char* part, const std::shared_ptr<T>& state, void (*body)(T&))
{
    struct TStart {
        const char* Part;
        std::shared_ptr<T> State;
        void (*Body)(T&);
        static DWORD WINAPI Main(void* parameter)
        {
            std::unique_ptr<TStart> start(static_cast<TStart*>(parameter));
            RunGuarded(start->Part, *start->State->Log, [&] { start->Body(*start->State); });
            return 0;
        }
    };
    auto* start = new TStart{part, state, body};
    HANDLE thread = CreateThread(nullptr, ThreadStackBytes, TStart::Main, start, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    if (!thread) {
        const DWORD error = GetLastError();
        delete start;
        SetLastError(error);
    }
    return TKernelHandle(thread);
}
