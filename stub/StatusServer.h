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
//
// The pipe's name must be the host's own: while another program holds it,
// the server says so and keeps trying, and never serves as if it had it.
// An instance that served a client listens for the next one; one that
// cannot be made again is tried again, so the pipe always listens while
// the server runs.
class TStatusServer {
public:
    static constexpr int ClientsAtOnce = 16;
    // What a client has to finish its request in, and then to take the
    // answer and hang up.
    static constexpr DWORD RequestMs = 1000;
    static constexpr DWORD AnswerMs = 1000;
    // How often a name taken by another program, or an instance that could
    // not be made, is tried again.
    static constexpr DWORD RetryMs = 2000;

    // answer gives the line for a good request; it runs on the server's
    // thread. alarms, when given, is told too when the name is taken (the
    // event log, beside a log file).
    TStatusServer(int serviceID, std::shared_ptr<TStubLog> log, std::function<std::string()> answer,
                  std::shared_ptr<TStubLog> alarms = nullptr);
    ~TStatusServer();
    TStatusServer(const TStatusServer&) = delete;
    TStatusServer& operator=(const TStatusServer&) = delete;

    // Starts serving: the pipe is made on the server's thread, as soon as
    // its name can be had. Raises a TError with the reason when the server
    // cannot run at all.
    void Start();
    // Once this returns the pipe is gone: clients being served are cut off,
    // new ones find no pipe. Safe from any thread, any number of times.
    void Stop() noexcept;

    // Whether the pipe's name is the server's now.
    bool Serving() const;

private:
    struct TShared;

    std::shared_ptr<TShared> shared_;
    TKernelHandle thread_;
    std::mutex stopLock_;
};

// The pipe's access list: administrators and LocalSystem may ask; the
// host's own account (a service SID or the token's user, as a string SID)
// may make the pipe's further instances and nothing else.
std::string StatusPipeAccess(const std::string& hostAccount);

// The account the host runs as, as a string SID: its service SID when the
// token carries one, else the token's user; "" when it cannot be read.
std::string HostAccount();
