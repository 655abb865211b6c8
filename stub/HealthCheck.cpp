// winsock2.h before anything that could bring in the older winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <winhttp.h>

#include "stub/HealthCheck.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "platform/Kernel.h"
#include "platform/Owner.h"
#include "stub/ChildHandles.h"
#include "stub/Supervisor.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

// What a check keeps of a command's output: its first line comes early.
constexpr size_t OutputBytes = 4096;
constexpr size_t FirstLineCharacters = 200;
// After a command ended, what it wrote is read for at most this long.
constexpr DWORD DrainMs = 200;
// How long an ended tree, or the HTTP client's closing, may take.
constexpr DWORD EndedTreeMs = 1000;
// A session closes at once unless a called-off request still finishes in
// the client; the host does not wait for that.
constexpr DWORD SessionClosingMs = 100;

ULONGLONG Now()
{
    return GetTickCount64();
}

DWORD Remaining(ULONGLONG deadline)
{
    const ULONGLONG now = Now();
    return deadline > now ? static_cast<DWORD>(deadline - now) : 0;
}

THealthResult Passed(const std::string& result)
{
    return {true, false, result};
}

THealthResult Failed(const std::string& result)
{
    return {false, false, result};
}

THealthResult Cancelled()
{
    return {false, true, "called off"};
}

template <class Function>
void Bind(HMODULE module, Function& function, const char* name)
{
    function = module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

// The sockets of the system, loaded and started at the first TCP check.
struct TSocketsApi {
    decltype(&::WSAStartup) Startup = nullptr;
    decltype(&::socket) Socket = nullptr;
    decltype(&::closesocket) CloseSocket = nullptr;
    decltype(&::connect) Connect = nullptr;
    decltype(&::WSAEventSelect) EventSelect = nullptr;
    decltype(&::WSAEnumNetworkEvents) EnumNetworkEvents = nullptr;
    decltype(&::WSAGetLastError) LastError = nullptr;
    decltype(&::getaddrinfo) GetAddrInfo = nullptr;
    decltype(&::freeaddrinfo) FreeAddrInfo = nullptr;
    bool Ready = false;
};

const TSocketsApi& Sockets()
{
    static const TSocketsApi api = [] {
        TSocketsApi loaded;
        HMODULE module = LoadLibraryA("ws2_32.dll");
        Bind(module, loaded.Startup, "WSAStartup");
        Bind(module, loaded.Socket, "socket");
        Bind(module, loaded.CloseSocket, "closesocket");
        Bind(module, loaded.Connect, "connect");
        Bind(module, loaded.EventSelect, "WSAEventSelect");
        Bind(module, loaded.EnumNetworkEvents, "WSAEnumNetworkEvents");
        Bind(module, loaded.LastError, "WSAGetLastError");
        Bind(module, loaded.GetAddrInfo, "getaddrinfo");
        Bind(module, loaded.FreeAddrInfo, "freeaddrinfo");
        WSADATA data;
        loaded.Ready = loaded.Startup && loaded.Socket && loaded.CloseSocket && loaded.Connect && loaded.EventSelect &&
                       loaded.EnumNetworkEvents && loaded.LastError && loaded.GetAddrInfo && loaded.FreeAddrInfo &&
                       loaded.Startup(MAKEWORD(2, 2), &data) == 0;
        return loaded;
    }();
    return api;
}

// The system's HTTP client, loaded at the first HTTP check.
struct TWinHttpApi {
    decltype(&::WinHttpOpen) Open = nullptr;
    decltype(&::WinHttpConnect) Connect = nullptr;
    decltype(&::WinHttpOpenRequest) OpenRequest = nullptr;
    decltype(&::WinHttpSendRequest) SendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) ReceiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) QueryHeaders = nullptr;
    decltype(&::WinHttpCloseHandle) CloseHandle = nullptr;
    decltype(&::WinHttpSetStatusCallback) SetStatusCallback = nullptr;
    decltype(&::WinHttpSetOption) SetOption = nullptr;
    decltype(&::WinHttpSetTimeouts) SetTimeouts = nullptr;
    bool Ready = false;
};

const TWinHttpApi& WinHttp()
{
    static const TWinHttpApi api = [] {
        TWinHttpApi loaded;
        HMODULE module = LoadLibraryA("winhttp.dll");
        Bind(module, loaded.Open, "WinHttpOpen");
        Bind(module, loaded.Connect, "WinHttpConnect");
        Bind(module, loaded.OpenRequest, "WinHttpOpenRequest");
        Bind(module, loaded.SendRequest, "WinHttpSendRequest");
        Bind(module, loaded.ReceiveResponse, "WinHttpReceiveResponse");
        Bind(module, loaded.QueryHeaders, "WinHttpQueryHeaders");
        Bind(module, loaded.CloseHandle, "WinHttpCloseHandle");
        Bind(module, loaded.SetStatusCallback, "WinHttpSetStatusCallback");
        Bind(module, loaded.SetOption, "WinHttpSetOption");
        Bind(module, loaded.SetTimeouts, "WinHttpSetTimeouts");
        loaded.Ready = loaded.Open && loaded.Connect && loaded.OpenRequest && loaded.SendRequest &&
                       loaded.ReceiveResponse && loaded.QueryHeaders && loaded.CloseHandle &&
                       loaded.SetStatusCallback && loaded.SetOption && loaded.SetTimeouts;
        return loaded;
    }();
    return api;
}

void CloseInternet(HINTERNET handle)
{
    WinHttp().CloseHandle(handle);
}
using TInternetHandle = TOwner<TNullKind<HINTERNET, CloseInternet>>;

void CloseSocket(SOCKET socket)
{
    Sockets().CloseSocket(socket);
}
struct TSocketKind {
    using THandle = SOCKET;
    static constexpr SOCKET None = INVALID_SOCKET;
    static bool Valid(SOCKET socket) { return socket != INVALID_SOCKET; }
    static void Close(SOCKET socket) { CloseSocket(socket); }
};
using TSocket = TOwner<TSocketKind>;

std::string ErrorWords(DWORD error)
{
    return SystemMessage(error) + " (error " + std::to_string(error) + ")";
}

std::string SocketWords(int error)
{
    switch (error) {
    case WSAECONNREFUSED: return "connection refused";
    case WSAECONNRESET: return "connection reset";
    case WSAETIMEDOUT: return "the connection timed out";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH: return "the host cannot be reached";
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA: return "the name is not found";
    default: return ErrorWords(static_cast<DWORD>(error));
    }
}

// A lookup of a name, on a thread of its own: the system's resolver cannot
// be called off, so a check that is called off or runs out of time leaves
// it behind, and whichever of the two lets go last frees what it found.
struct TLookup {
    std::mutex Lock;
    std::string Host;
    std::string Port;
    addrinfo* Found = nullptr;
    int Error = 0;
    TKernelHandle Done{CreateEventA(nullptr, TRUE, FALSE, nullptr)};

    ~TLookup()
    {
        if (Found)
            Sockets().FreeAddrInfo(Found);
    }
};

void LookUp(const std::shared_ptr<TLookup>& lookup)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int error = Sockets().GetAddrInfo(lookup->Host.c_str(), lookup->Port.c_str(), &hints, &found);
    std::lock_guard<std::mutex> hold(lookup->Lock);
    lookup->Found = found;
    lookup->Error = error;
    SetEvent(lookup->Done.Get());
}

struct TAddresses {
    std::shared_ptr<TLookup> Lookup;
    addrinfo* First() const { return Lookup ? Lookup->Found : nullptr; }
};

// The host's addresses: an address as it is, a name looked up within the
// time left.
THealthResult Resolve(const THealthTarget& target, HANDLE cancel, ULONGLONG deadline, uint32_t timeoutMs,
                      TAddresses& addresses)
{
    auto lookup = std::make_shared<TLookup>();
    lookup->Host = target.Host;
    lookup->Port = std::to_string(target.Port);
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (Sockets().GetAddrInfo(lookup->Host.c_str(), lookup->Port.c_str(), &hints, &lookup->Found) == 0) {
        addresses.Lookup = lookup;
        return Passed("");
    }
    lookup->Found = nullptr;
    try {
        std::thread([lookup] { LookUp(lookup); }).detach();
    } catch (const std::system_error&) {
        return Failed("cannot look the name up: no thread");
    }
    HANDLE waits[] = {lookup->Done.Get(), cancel};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, Remaining(deadline));
    if (woke != WAIT_OBJECT_0)
        return woke == WAIT_OBJECT_0 + 1 ? Cancelled() : Failed(NoAnswerWords(timeoutMs) + " (looking the name up)");
    std::lock_guard<std::mutex> hold(lookup->Lock);
    if (lookup->Error != 0 || !lookup->Found)
        return Failed(SocketWords(lookup->Error ? lookup->Error : WSAHOST_NOT_FOUND));
    addresses.Lookup = lookup;
    return Passed("");
}

THealthResult TcpCheck(const THealthPlan& plan, HANDLE cancel, ULONGLONG deadline)
{
    const TSocketsApi& api = Sockets();
    if (!api.Ready)
        return Failed("the system's sockets cannot be used");
    TAddresses addresses;
    THealthResult resolved = Resolve(plan.Target, cancel, deadline, plan.TimeoutMs, addresses);
    if (!addresses.First())
        return resolved;
    std::string failure = "the name has no address";
    for (const addrinfo* address = addresses.First(); address; address = address->ai_next) {
        TSocket socket(api.Socket(address->ai_family, SOCK_STREAM, IPPROTO_TCP));
        if (!socket) {
            failure = "cannot make a socket: " + SocketWords(api.LastError());
            continue;
        }
        // The connection is made in the background while the check waits
        // for it, for a call-off and for its time.
        TKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!event || api.EventSelect(socket.Get(), event.Get(), FD_CONNECT) != 0) {
            failure = "cannot wait for a connection: " + SocketWords(api.LastError());
            continue;
        }
        if (api.Connect(socket.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0)
            return Passed("connected");
        if (const int error = api.LastError(); error != WSAEWOULDBLOCK) {
            failure = SocketWords(error);
            continue;
        }
        HANDLE waits[] = {event.Get(), cancel};
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, Remaining(deadline));
        if (woke == WAIT_OBJECT_0 + 1)
            return Cancelled();
        if (woke != WAIT_OBJECT_0)
            return Failed(NoAnswerWords(plan.TimeoutMs));
        WSANETWORKEVENTS events = {};
        if (api.EnumNetworkEvents(socket.Get(), event.Get(), &events) != 0) {
            failure = SocketWords(api.LastError());
            continue;
        }
        if ((events.lNetworkEvents & FD_CONNECT) && events.iErrorCode[FD_CONNECT_BIT] == 0)
            return Passed("connected");
        failure = SocketWords(events.iErrorCode[FD_CONNECT_BIT]);
    }
    return Failed(failure);
}

std::string HttpErrorWords(DWORD error, uint32_t timeoutMs)
{
    switch (error) {
    case ERROR_WINHTTP_TIMEOUT: return NoAnswerWords(timeoutMs);
    case ERROR_WINHTTP_CANNOT_CONNECT: return "cannot connect";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "the connection was reset";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "the name is not found";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "not an HTTP answer";
    case ERROR_WINHTTP_SECURE_FAILURE: return "the server's certificate is not trusted";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return "the secure connection failed";
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return "the server asks for a client certificate";
    default: return "HTTP client error " + std::to_string(error);
    }
}

} // namespace

// The HTTP client's session, kept from check to check, and what its
// completions say. The client calls back on threads of its own, also after
// a request or the session was closed: whatever it may still reach lives on
// (the exchange is let go only once the session's close is confirmed).
struct THealthProbe::THttp {
    struct TExchange {
        std::mutex Lock;
        HINTERNET Session = nullptr;
        // The request whose completions count; none between checks.
        HINTERNET Request = nullptr;
        DWORD Status = 0;
        DWORD Error = 0;
        TKernelHandle Completed{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
        TKernelHandle SessionClosed{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    };

    static void CALLBACK Callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information, DWORD)
    {
        auto* exchange = reinterpret_cast<TExchange*>(context);
        if (!exchange)
            return;
        std::lock_guard<std::mutex> hold(exchange->Lock);
        if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
            if (handle == exchange->Session)
                SetEvent(exchange->SessionClosed.Get());
            return;
        }
        if (handle != exchange->Request)
            return;
        if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
            exchange->Error = static_cast<WINHTTP_ASYNC_RESULT*>(information)->dwError;
        else if (status != WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE &&
                 status != WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE)
            return;
        exchange->Status = status;
        SetEvent(exchange->Completed.Get());
    }

    THttp()
    {
        const TWinHttpApi& api = WinHttp();
        if (!api.Ready)
            return;
        Exchange = new TExchange;
        Session = api.Open(L"Quorvane health check", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        if (!Session)
            return;
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(Exchange);
        {
            std::lock_guard<std::mutex> hold(Exchange->Lock);
            Exchange->Session = Session;
        }
        api.SetOption(Session, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
        if (api.SetStatusCallback(Session, Callback,
                                  WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                  0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            api.CloseHandle(Session);
            Session = nullptr;
        }
    }

    ~THttp()
    {
        if (Session) {
            ResetEvent(Exchange->SessionClosed.Get());
            WinHttp().CloseHandle(Session);
            // A request the client still finishes would call back into a
            // freed exchange: it is kept unless the close is confirmed.
            if (WaitForSingleObject(Exchange->SessionClosed.Get(), SessionClosingMs) != WAIT_OBJECT_0)
                return;
        }
        delete Exchange;
    }

    THealthResult Get(const THealthPlan& plan, HANDLE cancel, ULONGLONG deadline)
    {
        const TWinHttpApi& api = WinHttp();
        if (!Session)
            return Failed("the system's HTTP client cannot be used");
        const THealthTarget& target = plan.Target;
        TInternetHandle connection(api.Connect(Session, WideFromText(target.Host).c_str(),
                                               static_cast<INTERNET_PORT>(target.Port), 0));
        if (!connection)
            return Failed(HttpErrorWords(GetLastError(), plan.TimeoutMs));
        TInternetHandle request(api.OpenRequest(connection.Get(), L"GET", WideFromText(target.Path).c_str(), nullptr,
                                                WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                target.Secure ? WINHTTP_FLAG_SECURE : 0));
        if (!request)
            return Failed(HttpErrorWords(GetLastError(), plan.TimeoutMs));
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(Exchange);
        api.SetOption(request.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
        // A redirect is an answer: 3xx is healthy, and the check never
        // leaves the host it names.
        DWORD redirects = WINHTTP_DISABLE_REDIRECTS;
        api.SetOption(request.Get(), WINHTTP_OPTION_DISABLE_FEATURE, &redirects, sizeof redirects);
        const int timeout = static_cast<int>(plan.TimeoutMs);
        api.SetTimeouts(request.Get(), timeout, timeout, timeout, timeout);
        {
            std::lock_guard<std::mutex> hold(Exchange->Lock);
            Exchange->Request = request.Get();
            Exchange->Status = 0;
            Exchange->Error = 0;
            ResetEvent(Exchange->Completed.Get());
        }
        // Whatever comes for this request after the check is not its any more.
        const TScopeExit forget([this] {
            std::lock_guard<std::mutex> hold(Exchange->Lock);
            Exchange->Request = nullptr;
        });
        if (!api.SendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, context))
            return Failed(HttpErrorWords(GetLastError(), plan.TimeoutMs));
        for (;;) {
            HANDLE waits[] = {Exchange->Completed.Get(), cancel};
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, Remaining(deadline));
            if (woke == WAIT_OBJECT_0 + 1)
                return Cancelled();
            if (woke != WAIT_OBJECT_0)
                return Failed(NoAnswerWords(plan.TimeoutMs));
            DWORD status = 0, error = 0;
            {
                std::lock_guard<std::mutex> hold(Exchange->Lock);
                status = Exchange->Status;
                error = Exchange->Error;
            }
            if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
                return Failed(HttpErrorWords(error, plan.TimeoutMs));
            if (status == WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE) {
                if (!api.ReceiveResponse(request.Get(), nullptr))
                    return Failed(HttpErrorWords(GetLastError(), plan.TimeoutMs));
                continue;
            }
            DWORD code = 0, size = sizeof code;
            if (!api.QueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                  WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
                return Failed("the answer has no status");
            const std::string result = "HTTP " + std::to_string(code);
            return code >= 200 && code < 400 ? Passed(result) : Failed(result);
        }
    }

    TExchange* Exchange = nullptr;
    HINTERNET Session = nullptr;
};

namespace {

// Each command's output pipe has a name no other takes.
std::atomic<unsigned> pipeCount{0};

// The command's output comes through a pipe read in the background, so a
// command that writes much is never held up and the check still waits for
// its end, its call-off and its time together.
class TOutputPipe {
public:
    bool Open()
    {
        const std::string name = "\\\\.\\pipe\\Quorvane.Health." + std::to_string(GetCurrentProcessId()) + "." +
                                 std::to_string(++pipeCount);
        server_ = TKernelHandle(CreateNamedPipeA(name.c_str(),
                                                 PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                     PIPE_REJECT_REMOTE_CLIENTS,
                                                 1, 0, static_cast<DWORD>(OutputBytes), 0, nullptr));
        if (!server_)
            return false;
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        client_ = TKernelHandle(CreateFileA(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
        overlapped_.hEvent = event_.Get();
        return client_ && event_;
    }
    ~TOutputPipe() { StopReading(); }
    TOutputPipe() = default;
    TOutputPipe(const TOutputPipe&) = delete;
    TOutputPipe& operator=(const TOutputPipe&) = delete;

    // The command's end; ours is closed once it has it.
    HANDLE Client() const { return client_.Get(); }
    void CloseClient() { client_.Close(); }

    // Reads what is there, and leaves a read waiting for more (Event). False
    // once every writer has closed its end.
    bool Read()
    {
        while (open_ && !reading_) {
            ResetEvent(event_.Get());
            DWORD read = 0;
            if (ReadFile(server_.Get(), buffer_, sizeof buffer_, nullptr, &overlapped_)) {
                if (GetOverlappedResult(server_.Get(), &overlapped_, &read, FALSE))
                    Take(read);
                continue;
            }
            if (GetLastError() == ERROR_IO_PENDING)
                reading_ = true;
            else
                open_ = false;
        }
        return open_;
    }
    // The waiting read completed.
    void Completed()
    {
        DWORD read = 0;
        reading_ = false;
        if (GetOverlappedResult(server_.Get(), &overlapped_, &read, FALSE))
            Take(read);
        else
            open_ = false;
    }
    void StopReading()
    {
        if (!reading_)
            return;
        DWORD read = 0;
        CancelIoEx(server_.Get(), &overlapped_);
        GetOverlappedResult(server_.Get(), &overlapped_, &read, TRUE);
        reading_ = false;
    }
    HANDLE Event() const { return event_.Get(); }
    bool Reading() const { return reading_; }
    const std::string& Output() const { return output_; }

private:
    void Take(DWORD read)
    {
        output_.append(buffer_, std::min<size_t>(read, OutputBytes - output_.size()));
    }

    TKernelHandle server_, client_;
    TKernelHandle event_{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped_ = {};
    char buffer_[1024];
    std::string output_;
    bool open_ = true;
    bool reading_ = false;
};

THealthResult CommandCheck(const THealthPlan& plan, HANDLE cancel, ULONGLONG deadline)
{
    TKernelHandle job(CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return Failed("cannot make a job for the command: " + ErrorWords(GetLastError()));
    TOutputPipe output;
    if (!output.Open())
        return Failed("cannot make a pipe for the command's output: " + ErrorWords(GetLastError()));
    TKernelHandle input(OpenInheritableNul(GENERIC_READ));
    STARTUPINFOA startup = HiddenStartup(input.Get(), output.Client(), output.Client());
    std::vector<char> line(plan.Target.Command.begin(), plan.Target.Command.end());
    line.push_back('\0');
    std::vector<char> environment;
    if (!plan.Environment.empty())
        environment = EnvironmentBlock(plan.Environment);
    PROCESS_INFORMATION started = {};
    // Suspended until it is in its job, so nothing it starts escapes it.
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                        environment.empty() ? nullptr : environment.data(),
                        plan.Folder.empty() ? nullptr : plan.Folder.c_str(), &startup, &started)) {
        const DWORD error = GetLastError();
        return Failed("cannot run the command: " + ErrorWords(error));
    }
    TKernelHandle process(started.hProcess), thread(started.hThread);
    const bool inJob = AssignProcessToJobObject(job.Get(), process.Get()) != FALSE;
    ResumeThread(thread.Get());
    output.CloseClient();
    input.Close();
    // The whole tree ends: the job's, or the command alone when it could not
    // be put in one.
    auto endTree = [&] {
        if (inJob)
            TerminateJobObject(job.Get(), 1);
        else
            TerminateProcess(process.Get(), 1);
        WaitForSingleObject(process.Get(), EndedTreeMs);
    };

    bool exited = false;
    ULONGLONG drained = 0;
    for (;;) {
        const bool open = output.Read();
        if (exited && (!open || Now() >= drained))
            break;
        HANDLE waits[3] = {cancel};
        DWORD count = 1;
        const DWORD processAt = exited ? MAXDWORD : count;
        if (!exited)
            waits[count++] = process.Get();
        const DWORD readAt = output.Reading() ? count : MAXDWORD;
        if (output.Reading())
            waits[count++] = output.Event();
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, Remaining(exited ? drained : deadline));
        if (woke == WAIT_OBJECT_0) {
            endTree();
            return Cancelled();
        }
        if (woke == WAIT_OBJECT_0 + processAt) {
            exited = true;
            // What the tree still holds of the pipe goes with it; what it
            // wrote stays to be read.
            if (inJob)
                TerminateJobObject(job.Get(), 1);
            drained = Now() + DrainMs;
        } else if (woke == WAIT_OBJECT_0 + readAt) {
            output.Completed();
        } else if (woke == WAIT_FAILED) {
            const DWORD error = GetLastError();
            endTree();
            return Failed("cannot wait for the command: " + ErrorWords(error));
        } else if (!exited) {
            endTree();
            return Failed("did not end within " + DurationText(plan.TimeoutMs) + "; ended with its tree");
        } else {
            break;
        }
    }
    output.StopReading();
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    const std::string first = FirstLineOf(output.Output());
    const std::string result = "exit code " + std::to_string(code) + (first.empty() ? "" : ": " + first);
    return code == 0 ? Passed(result) : Failed(result);
}

} // namespace

std::optional<THealthPlan> HealthPlanOf(const TStubSettings& settings)
{
    const TServiceSettings& service = settings.Service;
    if (service.HealthCheck.empty())
        return std::nullopt;
    std::optional<THealthTarget> target = ParseHealthTarget(service.HealthCheck);
    if (!target)
        return std::nullopt;
    THealthPlan plan;
    plan.Target = *target;
    plan.IntervalMs = service.HealthIntervalSeconds * 1000;
    plan.TimeoutMs = service.HealthTimeoutSeconds * 1000;
    plan.Retries = service.HealthRetries;
    plan.StartPeriodMs = service.HealthStartPeriodSeconds * 1000;
    plan.Action = service.HealthAction;
    plan.Folder = service.WorkingFolder.empty() ? FolderOf(settings.Program) : service.WorkingFolder;
    plan.Environment = service.Environment;
    return plan;
}

std::string NoAnswerWords(uint32_t timeoutMs)
{
    return "no answer in " + (timeoutMs % 1000 == 0 ? std::to_string(timeoutMs / 1000) + " s"
                                                     : std::to_string(timeoutMs) + " ms");
}

std::string FirstLineOf(const std::string& output)
{
    size_t start = output.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return "";
    const std::string line = output.substr(start, output.find_first_of("\r\n", start) - start);
    // Valid UTF-8 as it is; anything else is a console program's OEM text.
    const UINT codePage =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(), static_cast<int>(line.size()), nullptr, 0) > 0
            ? CP_UTF8
            : CP_OEMCP;
    std::wstring wide(line.size(), L'\0');
    wide.resize(static_cast<size_t>(MultiByteToWideChar(codePage, 0, line.data(), static_cast<int>(line.size()),
                                                        wide.data(), static_cast<int>(wide.size()))));
    if (wide.size() > FirstLineCharacters)
        wide.resize(FirstLineCharacters);
    for (wchar_t& c : wide)
        if (c < L' ')
            c = L' ';
    while (!wide.empty() && wide.back() == L' ')
        wide.pop_back();
    std::string text(wide.size() * 4 + 1, '\0');
    text.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                        text.data(), static_cast<int>(text.size()), nullptr, nullptr)));
    return text;
}

THealthProbe::THealthProbe() = default;

THealthProbe::~THealthProbe() = default;

THealthResult THealthProbe::Run(const THealthPlan& plan, HANDLE cancel)
{
    const ULONGLONG deadline = Now() + plan.TimeoutMs;
    switch (plan.Target.Kind) {
    case THealthKind::Tcp:
        return TcpCheck(plan, cancel, deadline);
    case THealthKind::Http:
        if (!http_)
            http_ = std::make_unique<THttp>();
        return http_->Get(plan, cancel, deadline);
    default:
        return CommandCheck(plan, cancel, deadline);
    }
}
