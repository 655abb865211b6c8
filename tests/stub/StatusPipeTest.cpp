#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "messaging/StatusClient.h"
#include "platform/Seam.h"
#include "platform/Token.h"
#include "stub/StatusServer.h"
#include "tests/stub/StubTestSupport.h"

namespace {

const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);

int TestID()
{
    return 800000 + static_cast<int>(GetCurrentProcessId() % 90000);
}

// Asks the server this test process runs.
TStatusReply AskOwn(int serviceID, DWORD timeoutMs = StatusTimeoutMs)
{
    return AskStatus({serviceID, GetCurrentProcessId()}, timeoutMs);
}

// Sends bytes as one client and returns the answer line.
std::string Exchange(int serviceID, const std::string& bytes)
{
    TKernelHandle pipe(CreateFileA(StatusPipeName(serviceID).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
        const DWORD error = GetLastError();
        return "(no pipe: error " + std::to_string(error) + ")";
    }
    DWORD done = 0;
    WriteFile(pipe.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    std::string answer;
    char buffer[256];
    while (answer.find('\n') == std::string::npos && ReadFile(pipe.Get(), buffer, sizeof buffer, &done, nullptr))
        answer.append(buffer, done);
    return answer;
}

TProgramStatus Sample()
{
    TProgramStatus status;
    status.Description = "Caf\u00E9 \"Relay\" \\ \t1";
    status.ServiceID = 7;
    status.State = TProgramState::BackingOff;
    status.LastExitCode = 3221225477u;
    status.NextStartInMs = 8000;
    status.LogFile = "C:\\Relay\\relay.log";
    status.Health = "unhealthy";
    status.HealthFailures = 3;
    status.HealthResult = "connection refused";
    status.HostVersion = "1.02";
    status.LogDroppedTotalBytes = 5000000000ull;
    status.LogDeletedBytes = 123;
    status.Resources = TProgramResources{61234, 5678, 3, 5, 48ull << 20, 40ull << 20, 64ull << 20, 6000000000ull};
    return status;
}

std::string AclOf(const std::string& sddl)
{
    return sddl.substr(sddl.find("D:"));
}

std::string handedAccess;

HANDLE WINAPI RecordingCreateNamedPipe(LPCSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                       DWORD timeout, LPSECURITY_ATTRIBUTES attributes)
{
    TLocalMemory sddl;
    if (attributes && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                          attributes->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                          reinterpret_cast<char**>(sddl.Receive()), nullptr))
        handedAccess = static_cast<const char*>(sddl.Get());
    return CreateNamedPipeA(name, open, mode, instances, out, in, timeout, attributes);
}

// Whether a client with that token may open a pipe guarded so.
bool Admitted(const std::string& sddl, HANDLE token)
{
    TLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(("O:BAG:SY" + AclOf(sddl)).c_str(), SDDL_REVISION_1,
                                                              descriptor.Receive(), nullptr))
        return false;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD wanted = GENERIC_READ | GENERIC_WRITE, granted = 0, privilegesSize = sizeof(PRIVILEGE_SET);
    MapGenericMask(&wanted, &mapping);
    PRIVILEGE_SET privileges;
    BOOL admitted = FALSE;
    AccessCheck(descriptor.Get(), token, wanted, &mapping, &privileges, &privilegesSize, &granted, &admitted);
    return admitted;
}

} // namespace

TEST(StubStatusPipe, TellsEachStateOfACrashLoopAndOfAStop)
{
    const int id = TestID();
    auto loop = std::make_unique<TRunningSupervisor>(TestProgram, "pid sleep:100 exit:3");
    std::atomic<TSupervisor*> asked{&loop->Supervisor()};
    TStatusServer server(id, std::make_shared<TRecordingLog>(), [&] { return StatusAnswer(asked.load()->Status()); });
    ASSERT_NO_THROW(server.Start());

    std::set<std::string> seen;
    std::set<unsigned long> pids;
    unsigned starts = 0;
    auto askUntil = [&](const std::function<bool()>& done) {
        return WaitFor([&] {
            TStatusReply reply = AskOwn(id);
            EXPECT_EQ(TStatusOutcome::Answered, reply.Outcome) << reply.Failure;
            const TProgramStatus& status = reply.Status;
            seen.insert(ProgramStateName(status.State));
            EXPECT_GE(status.Starts, starts);
            starts = status.Starts;
            const bool hasProcess = status.State == TProgramState::Running || status.State == TProgramState::Stopping;
            EXPECT_EQ(hasProcess, status.Pid != 0) << ProgramStateName(status.State);
            if (hasProcess)
                pids.insert(status.Pid);
            if (status.State == TProgramState::BackingOff) {
                EXPECT_EQ(3u, status.LastExitCode.value_or(0));
                EXPECT_LE(status.NextStartInMs, 200u);
                EXPECT_EQ(24u, status.NextStartAt.size()) << status.NextStartAt;
            }
            return done();
        }, 20000, 1);
    };
    EXPECT_TRUE(askUntil([&] { return seen.size() == 3 && starts >= 3; })) << starts;
    EXPECT_TRUE(seen.count("starting") && seen.count("running") && seen.count("backing off"));
    EXPECT_EQ("supervisor test", AskOwn(id).Status.Description);
    // Every pid told is one the program wrote (its output all logged once
    // the supervisor has ended).
    loop->Stop();
    for (unsigned long pid : pids)
        EXPECT_TRUE(loop->Log().Has("out: pid " + std::to_string(pid))) << pid;

    // A program that ignores Ctrl+C keeps the stop going for the grace.
    TSupervisorTiming timing = QuickTiming();
    timing.GracefulEndMs = 1000;
    TRunningSupervisor deaf(TestProgram, "nobreak pid wait", timing);
    asked = &deaf.Supervisor();
    loop.reset();
    ASSERT_TRUE(WaitFor([&] { return deaf.Log().Has("out: pid "); }, 10000));
    seen.clear();
    pids.clear();
    starts = 0;
    deaf.AskToStop();
    EXPECT_TRUE(askUntil([&] { return seen.count("stopping") > 0; }));
    EXPECT_EQ(std::set<std::string>{"stopping"}, seen);
    std::string lines;
    for (const std::string& line : deaf.Log().Lines())
        lines += line + "\n";
    EXPECT_EQ(std::set<unsigned long>{static_cast<unsigned long>(NumberAfter(lines, "out: pid "))}, pids) << lines;
    deaf.Stop();
    EXPECT_EQ(TProgramState::Stopped, AskOwn(id).Status.State);
    server.Stop();
    EXPECT_EQ(TStatusOutcome::NoHost, AskOwn(id).Outcome);
}

TEST(StubStatusPipe, AnswersBadRequestsWithAnErrorAndServesFiftyClientsAtOnce)
{
    const int id = TestID();
    auto log = std::make_shared<TRecordingLog>();
    TStatusServer server(id, log, [] { return StatusAnswer(Sample()); });
    ASSERT_NO_THROW(server.Start());
    const TProgramStatus sample = Sample();

    EXPECT_NE(std::string::npos, Exchange(id, "hello\n").find("{\"version\":1,\"error\":\"unknown request \\\"hello\\\""));
    EXPECT_NE(std::string::npos, Exchange(id, std::string(5000, 'x')).find("longer than 1024 bytes"));
    // Half a request: the others are served meanwhile, and it gets its error.
    std::string half;
    std::thread halfSent([&] { half = Exchange(id, "sta"); });
    std::vector<TStatusReply> replies(50);
    std::vector<std::thread> clients;
    for (TStatusReply& reply : replies)
        clients.emplace_back([&reply, id] { reply = AskOwn(id, 5000); });
    // One that hangs up at once.
    TKernelHandle(CreateFileA(StatusPipeName(id).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    for (std::thread& client : clients)
        client.join();
    for (const TStatusReply& reply : replies) {
        ASSERT_EQ(TStatusOutcome::Answered, reply.Outcome) << reply.Failure;
        EXPECT_EQ(sample.Description, reply.Status.Description);
        EXPECT_EQ(sample.LastExitCode, reply.Status.LastExitCode);
        EXPECT_EQ(sample.LogFile, reply.Status.LogFile);
        EXPECT_EQ(8000u, reply.Status.NextStartInMs);
        EXPECT_EQ(sample.Health, reply.Status.Health);
        EXPECT_EQ(3u, reply.Status.HealthFailures);
        EXPECT_EQ(sample.HealthResult, reply.Status.HealthResult);
        EXPECT_EQ(sample.LogDroppedTotalBytes, reply.Status.LogDroppedTotalBytes);
        EXPECT_EQ(sample.LogDeletedBytes, reply.Status.LogDeletedBytes);
        EXPECT_EQ(sample.Resources, reply.Status.Resources);
        EXPECT_EQ(sample.HostVersion, reply.Status.HostVersion);
    }
    halfSent.join();
    EXPECT_NE(std::string::npos, half.find("\"error\":\"the request did not arrive whole within 1000 ms\"")) << half;
    EXPECT_EQ(TStatusOutcome::Answered, AskOwn(id).Outcome);
    EXPECT_EQ(TStatusOutcome::NoHost, AskOwn(id + 1).Outcome);
}

TEST(StubStatusPipe, AdmitsOnlyAdministratorsAndLocalSystem)
{
    // Wine keeps no access list on a pipe: judged here is the one handed to
    // Windows, by Windows' own access check.
    TSeamOverride<decltype(KernelApi().CreateNamedPipeA)> seam(KernelApi().CreateNamedPipeA, RecordingCreateNamedPipe);
    TStatusServer server(TestID(), std::make_shared<TRecordingLog>(), [] { return std::string("{}\n"); });
    ASSERT_NO_THROW(server.Start());
    ASSERT_FALSE(handedAccess.empty());

    TKernelHandle process, administrator, restricted, user;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.Receive()));
    DuplicateToken(process.Get(), SecurityImpersonation, administrator.Receive());
    // The same user with Administrators only ever denying.
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size);
    SID_AND_ATTRIBUTES administrators = {sid, 0};
    ASSERT_TRUE(
        CreateRestrictedToken(process.Get(), 0, 1, &administrators, 0, nullptr, 0, nullptr, restricted.Receive()));
    DuplicateToken(restricted.Get(), SecurityImpersonation, user.Receive());
    EXPECT_TRUE(Admitted(handedAccess, administrator.Get())) << handedAccess;
    EXPECT_FALSE(Admitted(handedAccess, user.Get())) << handedAccess;
    EXPECT_TRUE(Admitted("D:(A;;GA;;;WD)", user.Get())) << "the check itself can admit";
    // LocalSystem is the only other one that may ask; the host's own account
    // may only make instances.
    EXPECT_EQ("D:P(A;;GA;;;BA)(A;;GA;;;SY)(A;;LC;;;" + HostAccount() + ")", AclOf(handedAccess));
}

namespace {

// The name another program holds, until the test lets it go.
std::atomic<bool> nameTaken{false};

HANDLE WINAPI TakenCreateNamedPipe(LPCSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                   DWORD timeout, LPSECURITY_ATTRIBUTES attributes)
{
    if (nameTaken && (open & FILE_FLAG_FIRST_PIPE_INSTANCE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateNamedPipeA(name, open, mode, instances, out, in, timeout, attributes);
}

// The host runs as LocalService: its token says so.
BYTE localService[SECURITY_MAX_SID_SIZE];

BOOL WINAPI LocalServiceToken(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information, DWORD size,
                              PDWORD needed)
{
    DWORD sidSize = sizeof localService;
    CreateWellKnownSid(WinLocalServiceSid, nullptr, localService, &sidSize);
    if (kind != TokenUser && kind != TokenGroups)
        return GetTokenInformation(token, kind, information, size, needed);
    *needed = kind == TokenGroups ? sizeof(TOKEN_GROUPS) : sizeof(TOKEN_USER) + sidSize;
    if (size < *needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (kind == TokenGroups) {
        static_cast<TOKEN_GROUPS*>(information)->GroupCount = 0;
        return TRUE;
    }
    auto* user = static_cast<TOKEN_USER*>(information);
    BYTE* sid = static_cast<BYTE*>(information) + sizeof(TOKEN_USER);
    CopySid(sidSize, sid, localService);
    user->User = {sid, 0};
    return TRUE;
}

// Windows' rule, which Wine does not keep: a further instance may be made
// only by an account the pipe's access list lets make one.
std::vector<BYTE> firstInstanceCopy;

bool LetsLocalServiceMakeInstances()
{
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(firstInstanceCopy.data(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&ace->SidStart, localService) && (ace->Mask & (FILE_CREATE_PIPE_INSTANCE | GENERIC_ALL)))
            return true;
    }
    return false;
}

HANDLE WINAPI AccessKeepingCreateNamedPipe(LPCSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                           DWORD timeout, LPSECURITY_ATTRIBUTES attributes)
{
    if (open & FILE_FLAG_FIRST_PIPE_INSTANCE) {
        DWORD size = 0;
        MakeSelfRelativeSD(attributes->lpSecurityDescriptor, nullptr, &size);
        firstInstanceCopy.resize(size);
        MakeSelfRelativeSD(attributes->lpSecurityDescriptor, firstInstanceCopy.data(), &size);
    } else if (!LetsLocalServiceMakeInstances()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateNamedPipeA(name, open, mode, instances, out, in, timeout, attributes);
}

} // namespace

TEST(StubStatusPipe, ANameAnotherProgramHoldsIsSaidAndTriedAgainNeverServedAsIfItWereOurs)
{
    const int id = TestID();
    nameTaken = true;
    TSeamOverride<decltype(KernelApi().CreateNamedPipeA)> seam(KernelApi().CreateNamedPipeA, TakenCreateNamedPipe);
    auto log = std::make_shared<TRecordingLog>(), alarms = std::make_shared<TRecordingLog>();
    TStatusServer server(id, log, [] { return StatusAnswer(Sample()); }, alarms);
    ASSERT_NO_THROW(server.Start());
    EXPECT_FALSE(server.Serving());
    EXPECT_EQ(TStatusOutcome::NoHost, AskOwn(id).Outcome);
    const std::string said = "the status pipe " + StatusPipeName(id) + " cannot be made: another program holds its name";
    EXPECT_TRUE(log->Has(said)) << Joined(log->Lines());
    EXPECT_TRUE(alarms->Has(said)) << "the event log is told too";
    // Said once, tried again until the name is free.
    Sleep(TStatusServer::RetryMs + 500);
    EXPECT_EQ(1, log->Count("cannot be made"));
    nameTaken = false;
    ASSERT_TRUE(WaitFor([&] { return server.Serving(); }, 2 * TStatusServer::RetryMs + 1000));
    EXPECT_EQ(TStatusOutcome::Answered, AskOwn(id).Outcome);
    EXPECT_TRUE(log->Has("the status pipe " + StatusPipeName(id) + " is served now"));
}

TEST(StubStatusPipe, AHostRunningAsAnotherAccountServesClientAfterClientAndManyAtOnce)
{
    const int id = TestID();
    TSeamOverride<decltype(TokenApi().GetTokenInformation)> token(TokenApi().GetTokenInformation, LocalServiceToken);
    TSeamOverride<decltype(KernelApi().CreateNamedPipeA)> seam(KernelApi().CreateNamedPipeA,
                                                               AccessKeepingCreateNamedPipe);
    auto log = std::make_shared<TRecordingLog>();
    TStatusServer server(id, log, [] { return StatusAnswer(Sample()); });
    ASSERT_NO_THROW(server.Start());
    for (int client = 0; client < 20; ++client)
        ASSERT_EQ(TStatusOutcome::Answered, AskOwn(id).Outcome) << "client " << client << ": " << Joined(log->Lines());
    // Every instance could be made: as many clients at once as it serves.
    std::vector<TKernelHandle> held;
    for (int client = 0; client < TStatusServer::ClientsAtOnce; ++client) {
        // An instance the last client left may still be on its way back.
        WaitFor([&] {
            held.emplace_back(CreateFileA(StatusPipeName(id).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
            if (held.back())
                return true;
            held.pop_back();
            return false;
        }, 2000);
        EXPECT_EQ(held.size(), static_cast<size_t>(client + 1)) << "client " << client << " of those at once";
    }
    EXPECT_FALSE(log->Has("fewer clients")) << Joined(log->Lines());
}

TEST(StubStatusPipe, ARequestIsReadWithoutItsBlanksAndLineEndAndAHostsRefusalKeepsItsReason)
{
    EXPECT_FALSE(*StatusRequestRefusal("status\n"));
    EXPECT_FALSE(*StatusRequestRefusal("status\r\n"));
    EXPECT_FALSE(*StatusRequestRefusal("  status \t\n"));
    EXPECT_TRUE(*StatusRequestRefusal("statuses\n"));
    EXPECT_FALSE(StatusRequestRefusal("stat").has_value()) << "half a request waits for the rest";

    std::string line = StatusErrorAnswer("the request is longer than 1024 bytes");
    line.pop_back();
    const TStatusReply refused = ReadStatusAnswer(line);
    EXPECT_EQ(TStatusOutcome::Failed, refused.Outcome);
    EXPECT_NE(std::string::npos, refused.Failure.find("the request is longer than 1024 bytes")) << refused.Failure;
    EXPECT_NE(std::string::npos, ReadStatusAnswer("{\"version\":1,\"state\":\"dancing\"}").Failure.find("no known state"));
    // A host from before the figures tells none, rather than nothing used.
    const TStatusReply older = ReadStatusAnswer("{\"version\":1,\"state\":\"running\",\"pid\":4}");
    ASSERT_EQ(TStatusOutcome::Answered, older.Outcome);
    EXPECT_FALSE(older.Status.Resources);
}
