#include "stub/StatusServer.h"

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "messaging/StatusPipe.h"
#include "stub/Guard.h"
#include "toolkit/Error.h"

namespace {

constexpr DWORD PipeBufferBytes = 4096;
constexpr DWORD ReadBytes = 512;
constexpr DWORD ThreadEndMs = 2000;

// One instance of the pipe and the client it serves.
struct TClient {
    enum TPhase { Idle, Connecting, Reading, Writing, HangingUp };

    TKernelHandle Pipe;
    TKernelHandle Event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED Overlapped = {};
    TPhase Phase = Idle;
    // An I/O is under way on Overlapped and Buffer.
    bool Pending = false;
    ULONGLONG Deadline = 0;
    std::string Received;
    std::string Answer;
    char Buffer[ReadBytes];
};

} // namespace

struct TStatusServer::TShared {
    std::string Name;
    std::shared_ptr<TStubLog> Log;
    std::function<std::string()> Answer;
    TLocalMemory Security;
    SECURITY_ATTRIBUTES Attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    TKernelHandle First;
    TKernelHandle StopEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::vector<TClient> Clients{ClientsAtOnce};
    bool CreateFailed = false;

    HANDLE NewInstance(DWORD flags)
    {
        return KernelApi().CreateNamedPipeA(Name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | flags,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                            PIPE_UNLIMITED_INSTANCES, PipeBufferBytes, PipeBufferBytes, 0, &Attributes);
    }

    void Serve();
    void Listen(TClient& client);
    void Advance(TClient& client);
    void Expire(TClient& client);
    void Read(TClient& client);
    void Write(TClient& client, std::string answer);
    // Starts I/O on the client's event; false when it failed at once.
    bool Started(TClient& client, BOOL result);
    void Cancel(TClient& client);
    void Recycle(TClient& client);
};

TStatusServer::TStatusServer(int serviceID, std::shared_ptr<TStubLog> log, std::function<std::string()> answer)
    : shared_(std::make_shared<TShared>())
{
    shared_->Name = StatusPipeName(serviceID);
    shared_->Log = std::move(log);
    shared_->Answer = std::move(answer);
}

TStatusServer::~TStatusServer()
{
    Stop();
}

void TStatusServer::Start()
{
    TShared& shared = *shared_;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(Access, SDDL_REVISION_1, shared.Security.Receive(),
                                                              nullptr)) {
        const DWORD error = GetLastError();
        throw TError("cannot make the status pipe's access list (error " + std::to_string(error) + ")");
    }
    shared.Attributes.lpSecurityDescriptor = shared.Security.Get();
    // The first instance makes the name ours: a pipe of that name made by
    // someone else is refused, never joined.
    shared.First = TKernelHandle(shared.NewInstance(FILE_FLAG_FIRST_PIPE_INSTANCE));
    if (!shared.First || !shared.StopEvent) {
        const DWORD error = GetLastError();
        shared.First.Close();
        throw TError("cannot create the pipe " + shared.Name + " (error " + std::to_string(error) + ")");
    }
    thread_ = StartSharedThread<TShared>("the status pipe", shared_, [](TShared& state) { state.Serve(); });
    if (!thread_) {
        const DWORD error = GetLastError();
        shared.First.Close();
        throw TError("cannot start the status thread (error " + std::to_string(error) + ")");
    }
}

void TStatusServer::Stop() noexcept
{
    std::lock_guard<std::mutex> once(stopLock_);
    if (!shared_)
        return;
    if (thread_) {
        SetEvent(shared_->StopEvent.Get());
        WaitForSingleObject(thread_.Get(), ThreadEndMs);
        thread_.Close();
        try {
            shared_->Log->Event(TLogKind::Information, "the status pipe is closed");
        } catch (...) {
            // Stopping goes on without the line.
        }
    }
    shared_.reset();
}

void TStatusServer::TShared::Serve()
{
    // Every instance goes with the thread, also when it fails.
    const TScopeExit closing([this] {
        for (TClient& client : Clients) {
            Cancel(client);
            client.Pipe.Close();
        }
    });
    Clients[0].Pipe = std::move(First);
    Listen(Clients[0]);
    for (size_t i = 1; i < Clients.size(); ++i)
        Recycle(Clients[i]);
    std::vector<HANDLE> waits = {StopEvent.Get()};
    for (TClient& client : Clients)
        waits.push_back(client.Event.Get());
    for (;;) {
        ULONGLONG now = GetTickCount64(), next = ~0ull;
        for (TClient& client : Clients)
            if (client.Phase >= TClient::Reading)
                next = std::min(next, client.Deadline);
        DWORD timeout = next == ~0ull ? INFINITE : static_cast<DWORD>(next > now ? next - now : 0);
        DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
        if (woke == WAIT_OBJECT_0)
            return;
        if (woke == WAIT_FAILED) {
            const DWORD error = GetLastError();
            throw TError("cannot wait for status clients (error " + std::to_string(error) + ")");
        }
        // Every finished I/O, not only the first one signalled, so no client
        // waits behind a busy one.
        now = GetTickCount64();
        for (TClient& client : Clients) {
            if (client.Pending && HasOverlappedIoCompleted(&client.Overlapped))
                Advance(client);
            else if (client.Phase >= TClient::Reading && client.Deadline <= now)
                Expire(client);
        }
    }
}

bool TStatusServer::TShared::Started(TClient& client, BOOL result)
{
    client.Pending = result || GetLastError() == ERROR_IO_PENDING;
    return client.Pending;
}

void TStatusServer::TShared::Listen(TClient& client)
{
    client.Phase = TClient::Connecting;
    client.Received.clear();
    client.Overlapped = {};
    client.Overlapped.hEvent = client.Event.Get();
    ResetEvent(client.Event.Get());
    const BOOL connected = ConnectNamedPipe(client.Pipe.Get(), &client.Overlapped);
    const DWORD error = connected ? ERROR_SUCCESS : GetLastError();
    if (connected || error == ERROR_IO_PENDING) {
        client.Pending = true;
    } else if (error == ERROR_PIPE_CONNECTED) {
        // The client came between the instance and the call.
        client.Pending = false;
        Read(client);
    } else {
        // Came and went already.
        client.Pending = false;
        Recycle(client);
    }
}

void TStatusServer::TShared::Read(TClient& client)
{
    if (client.Phase == TClient::Connecting) {
        client.Phase = TClient::Reading;
        client.Deadline = GetTickCount64() + RequestMs;
    }
    ResetEvent(client.Event.Get());
    if (!Started(client, ReadFile(client.Pipe.Get(), client.Buffer, ReadBytes, nullptr, &client.Overlapped)))
        Recycle(client);
}

void TStatusServer::TShared::Write(TClient& client, std::string answer)
{
    client.Phase = TClient::Writing;
    client.Deadline = GetTickCount64() + AnswerMs;
    client.Answer = std::move(answer);
    ResetEvent(client.Event.Get());
    if (!Started(client, WriteFile(client.Pipe.Get(), client.Answer.data(), static_cast<DWORD>(client.Answer.size()),
                                   nullptr, &client.Overlapped)))
        Recycle(client);
}

void TStatusServer::TShared::Advance(TClient& client)
{
    DWORD bytes = 0;
    const bool done = GetOverlappedResult(client.Pipe.Get(), &client.Overlapped, &bytes, FALSE);
    const DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return;
    client.Pending = false;
    switch (client.Phase) {
    case TClient::Connecting:
        if (done || error == ERROR_PIPE_CONNECTED)
            Read(client);
        else
            Recycle(client);
        return;
    case TClient::Reading: {
        if (!done) {
            Recycle(client);
            return;
        }
        client.Received.append(client.Buffer, bytes);
        const std::optional<TRefusal> refusal = StatusRequestRefusal(client.Received);
        if (!refusal)
            Read(client);
        else
            Write(client, *refusal ? StatusErrorAnswer(refusal->Reason()) : Answer());
        return;
    }
    case TClient::Writing:
        // The client hangs up once it has the answer: closing before that
        // could cost it the answer.
        if (done) {
            client.Phase = TClient::HangingUp;
            ResetEvent(client.Event.Get());
            if (Started(client, ReadFile(client.Pipe.Get(), client.Buffer, ReadBytes, nullptr, &client.Overlapped)))
                return;
        }
        Recycle(client);
        return;
    default:
        Recycle(client);
    }
}

void TStatusServer::TShared::Expire(TClient& client)
{
    Cancel(client);
    if (client.Phase == TClient::Reading)
        Write(client, StatusErrorAnswer("the request did not arrive whole within " + std::to_string(RequestMs) +
                                        " ms"));
    else
        Recycle(client);
}

void TStatusServer::TShared::Cancel(TClient& client)
{
    if (client.Pending) {
        DWORD bytes = 0;
        CancelIo(client.Pipe.Get());
        GetOverlappedResult(client.Pipe.Get(), &client.Overlapped, &bytes, TRUE);
        client.Pending = false;
    }
    // An idle client's event must not keep waking the thread.
    ResetEvent(client.Event.Get());
}

void TStatusServer::TShared::Recycle(TClient& client)
{
    Cancel(client);
    client.Pipe = TKernelHandle(NewInstance(0));
    if (!client.Pipe) {
        const DWORD error = GetLastError();
        client.Phase = TClient::Idle;
        if (!CreateFailed)
            Log->Event(TLogKind::Warning, "the status pipe serves fewer clients at once: cannot create another "
                                          "instance (error " + std::to_string(error) + ")");
        CreateFailed = true;
        return;
    }
    Listen(client);
}
