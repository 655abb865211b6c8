#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Kernel.h"
#include "stub/StubLog.h"

// Serves the status pipe of one service ID (messaging/StatusPipe.h): only
// administrators and LocalSystem may open it; each client's request gets
// one answer line. One thread serves up to ClientsAtOnce clients together
// with overlapped I/O; further ones wait for a free instance. A client that
// sends too much, the wrong thing or not all of it in time gets an error
// answer; none holds up the others, and the answers never wait for the
// program's supervision.
class TStatusServer {
public:
    static constexpr int ClientsAtOnce = 16;
    // What a client has to finish its request in, and then to take the
    // answer and hang up.
    static constexpr DWORD RequestMs = 1000;
    static constexpr DWORD AnswerMs = 1000;
    // Administrators and LocalSystem, nobody else.
    static constexpr const char* Access = "D:P(A;;GA;;;BA)(A;;GA;;;SY)";

    // answer gives the line for a good request; it runs on the server's
    // thread.
    TStatusServer(int serviceID, std::shared_ptr<TStubLog> log, std::function<std::string()> answer);
    ~TStatusServer();
    TStatusServer(const TStatusServer&) = delete;
    TStatusServer& operator=(const TStatusServer&) = delete;

    // Creates the pipe and starts serving; raises a TError with the reason
    // when the pipe cannot be had.
    void Start();
    // Once this returns the pipe is gone: clients being served are cut off,
    // new ones find no pipe. Safe from any thread, any number of times.
    void Stop() noexcept;

private:
    struct TShared;

    std::shared_ptr<TShared> shared_;
    TKernelHandle thread_;
    std::mutex stopLock_;
};
