#include "stub/StatusServer.h"

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "messaging/StatusPipe.h"
#include "platform/Token.h"
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
    std::shared_ptr<TStubLog> Alarms;
    std::function<std::string()> Answer;
    TLocalMemory Security;
    SECURITY_ATTRIBUTES Attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    TKernelHandle StopEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::vector<TClient> Clients{ClientsAtOnce};
    std::atomic<bool> Serving{false};
    // Said once until it changes.
    bool NameTakenSaid = false;
    bool CreateFailedSaid = false;

    HANDLE NewInstance(DWORD flags)
    {
        return KernelApi().CreateNamedPipeA(Name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | flags,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                            PIPE_UNLIMITED_INSTANCES, PipeBufferBytes, PipeBufferBytes, 0, &Attributes);
    }

    void Serve();
    // Makes the first instance, which makes the name ours; false while
    // another program holds it.
    bool TakeName();
    void Alarm(const std::string& text);
    void Listen(TClient& client);
    void Advance(TClient& client);
    void Expire(TClient& client);
    void Read(TClient& client);
    void Write(TClient& client, std::string answer);
    // Starts I/O on the client's event; false when it failed at once.
    bool Started(TClient& client, BOOL result);
    void Cancel(TClient& client);
    // Makes the instance listen for the next client.
    void Recycle(TClient& client);
    void Renew(TClient& client);
};

std::string StatusPipeAccess(const std::string& hostAccount)
{
    std::string access = "D:P(A;;GA;;;BA)(A;;GA;;;SY)";
    // LocalSystem is in the list already; any other account may only add
    // instances, so the host can always listen again and the account (its
    // program included) can ask nothing.
    if (!hostAccount.empty() && hostAccount != "S-1-5-18")
        access += "(A;;0x4;;;" + hostAccount + ")";
    return access;
}

std::string HostAccount()
{
    TKernelHandle token;
    if (!TokenApi().OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()))
        return "";
    auto information = [&](TOKEN_INFORMATION_CLASS kind) {
        DWORD needed = 0;
        TokenApi().GetTokenInformation(token.Get(), kind, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed);
        if (needed == 0 || !TokenApi().GetTokenInformation(token.Get(), kind, buffer.data(), needed, &needed))
            buffer.clear();
        return buffer;
    };
    auto text = [](PSID sid) {
        TLocalMemory string;
        if (!sid || !ConvertSidToStringSidA(sid, reinterpret_cast<char**>(string.Receive())))
            return std::string();
        return std::string(static_cast<const char*>(string.Get()));
    };
    // A service SID (NT SERVICE\<name>) names this service alone; the
    // token's user may be shared by many services.
    const std::vector<BYTE> groups = information(TokenGroups);
    if (!groups.empty()) {
        const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < list->GroupCount; ++i) {
            const std::string sid = text(list->Groups[i].Sid);
            // S-1-5-80-0 is every service's.
            if (sid.rfind("S-1-5-80-", 0) == 0 && sid != "S-1-5-80-0")
                return sid;
        }
    }
    const std::vector<BYTE> user = information(TokenUser);
    return user.empty() ? "" : text(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

TStatusServer::TStatusServer(int serviceID, std::shared_ptr<TStubLog> log, std::function<std::string()> answer,
                             std::shared_ptr<TStubLog> alarms)
    : shared_(std::make_shared<TShared>())
{
    shared_->Name = StatusPipeName(serviceID);
    shared_->Log = std::move(log);
    shared_->Alarms = std::move(alarms);
    shared_->Answer = std::move(answer);
}

TStatusServer::~TStatusServer()
{
    Stop();
}

void TStatusServer::Start()
{
    TShared& shared = *shared_;
    const std::string access = StatusPipeAccess(HostAccount());
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(access.c_str(), SDDL_REVISION_1,
                                                              shared.Security.Receive(), nullptr)) {
        const DWORD error = GetLastError();
        throw TError("cannot make the status pipe's access list (error " + std::to_string(error) + ")");
    }
    shared.Attributes.lpSecurityDescriptor = shared.Security.Get();
    if (!shared.StopEvent)
        throw TError("cannot make the status pipe's stop event (error " + std::to_string(GetLastError()) + ")");
    // Asked at once, so the pipe is there when the service reports itself
    // running; a name held by another program is tried again on the thread.
    shared.Serving = shared.TakeName();
    thread_ = StartSharedThread<TShared>("the status pipe", shared_, [](TShared& state) { state.Serve(); });
    if (!thread_) {
        const DWORD error = GetLastError();
        shared.Clients[0].Pipe.Close();
        shared.Serving = false;
        throw TError("cannot start the status thread (error " + std::to_string(error) + ")");
    }
}

bool TStatusServer::Serving() const
{
    return shared_ && shared_->Serving;
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

void TStatusServer::TShared::Alarm(const std::string& text)
{
    Log->Event(TLogKind::Warning, text);
    if (Alarms)
        Alarms->Event(TLogKind::Warning, text);
}

bool TStatusServer::TShared::TakeName()
{
    // The first instance makes the name ours: a pipe of that name made by
    // someone else is refused, never joined.
    Clients[0].Pipe = TKernelHandle(NewInstance(FILE_FLAG_FIRST_PIPE_INSTANCE));
    if (Clients[0].Pipe) {
        if (NameTakenSaid)
            Log->Event(TLogKind::Information, "the status pipe " + Name + " is served now");
        return true;
    }
    const DWORD error = GetLastError();
    if (!NameTakenSaid)
        Alarm("the status pipe " + Name + " cannot be made" +
              (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY ? ": another program holds its name"
                                                                        : std::string()) +
              " (error " + std::to_string(error) + "); trying again every " + std::to_string(RetryMs / 1000) +
              " s, and status questions are not answered meanwhile");
    NameTakenSaid = true;
    return false;
}

void TStatusServer::TShared::Serve()
{
    // Every instance goes with the thread, also when it fails.
    const TScopeExit closing([this] {
        Serving = false;
        for (TClient& client : Clients) {
            Cancel(client);
            client.Pipe.Close();
        }
    });
    while (!Serving) {
        if (WaitForSingleObject(StopEvent.Get(), RetryMs) != WAIT_TIMEOUT)
            return;
        Serving = TakeName();
    }
    Listen(Clients[0]);
    for (size_t i = 1; i < Clients.size(); ++i)
        Renew(Clients[i]);
    std::vector<HANDLE> waits = {StopEvent.Get()};
    for (TClient& client : Clients)
        waits.push_back(client.Event.Get());
    for (;;) {
        ULONGLONG now = GetTickCount64(), next = ~0ull;
        for (TClient& client : Clients) {
            if (client.Phase >= TClient::Reading || client.Phase == TClient::Idle)
                next = std::min(next, client.Deadline);
        }
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
            else if (client.Phase == TClient::Idle && client.Deadline <= now)
                Renew(client);
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
    // The instance listens again: making a new one could be refused, and the
    // name must never be left without one.
    if (client.Pipe && DisconnectNamedPipe(client.Pipe.Get())) {
        Listen(client);
        return;
    }
    Renew(client);
}

void TStatusServer::TShared::Renew(TClient& client)
{
    TKernelHandle pipe(NewInstance(0));
    if (!pipe) {
        const DWORD error = GetLastError();
        client.Pipe.Close();
        client.Phase = TClient::Idle;
        client.Deadline = GetTickCount64() + RetryMs;
        if (!CreateFailedSaid)
            Log->Event(TLogKind::Warning, "the status pipe serves fewer clients at once: cannot create another "
                                          "instance (error " + std::to_string(error) + "); trying again");
        CreateFailedSaid = true;
        return;
    }
    client.Pipe = std::move(pipe);
    Listen(client);
}
