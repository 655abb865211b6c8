#include "tests/support/PipeSquatter.h"

TPipeSquatter::TPipeSquatter(const std::string& pipeName, std::string answer)
    : name_(pipeName), answer_(std::move(answer)), thread_([this] { Serve(); })
{
    // Listening before the test asks.
    for (int i = 0; i < 200 && !WaitNamedPipeA(name_.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND; ++i)
        Sleep(5);
}

TPipeSquatter::~TPipeSquatter()
{
    SetEvent(stop_.Get());
    thread_.join();
}

void TPipeSquatter::Serve()
{
    TKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    auto instance = [&] {
        return TKernelHandle(CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                              PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0,
                                              nullptr));
    };
    TKernelHandle pipe = instance();
    while (pipe) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event.Get();
        ResetEvent(event.Get());
        if (!ConnectNamedPipe(pipe.Get(), &overlapped) && GetLastError() == ERROR_IO_PENDING) {
            HANDLE waits[] = {stop_.Get(), event.Get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
                CancelIo(pipe.Get());
                return;
            }
        }
        ++clients_;
        // The next client finds an instance listening while this one is
        // served, as it would find a real server's.
        TKernelHandle client = std::move(pipe);
        pipe = instance();
        // Waits only for what is under way: a call that failed at once
        // signals nothing.
        auto finish = [&](BOOL started) {
            DWORD done = 0;
            return (started || GetLastError() == ERROR_IO_PENDING) &&
                   GetOverlappedResult(client.Get(), &overlapped, &done, TRUE);
        };
        char request[256];
        ResetEvent(event.Get());
        if (!finish(ReadFile(client.Get(), request, sizeof request, nullptr, &overlapped)))
            continue;
        if (answer_.empty()) {
            // Hangs: holds the client until the test ends.
            if (WaitForSingleObject(stop_.Get(), INFINITE) == WAIT_OBJECT_0)
                return;
        }
        ResetEvent(event.Get());
        if (finish(WriteFile(client.Get(), answer_.data(), static_cast<DWORD>(answer_.size()), nullptr, &overlapped)))
            FlushFileBuffers(client.Get());
    }
}
