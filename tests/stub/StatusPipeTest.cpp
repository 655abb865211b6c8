#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "messaging/StatusClient.h"
#include "platform/Seam.h"
#include "stub/StatusServer.h"
#include "tests/stub/StubTestSupport.h"

namespace {

const std::string TestProgram = WindowsPath(STUB_TEST_PROGRAM);

int TestID()
{
    return 800000 + static_cast<int>(GetCurrentProcessId() % 90000);
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
            TStatusReply reply = AskStatus(id);
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
    EXPECT_EQ("supervisor test", AskStatus(id).Status.Description);
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
    EXPECT_EQ(TProgramState::Stopped, AskStatus(id).Status.State);
    server.Stop();
    EXPECT_EQ(TStatusOutcome::NoHost, AskStatus(id).Outcome);
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
        clients.emplace_back([&reply, id] { reply = AskStatus(id, 5000); });
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
    }
    halfSent.join();
    EXPECT_NE(std::string::npos, half.find("\"error\":\"the request did not arrive whole within 1000 ms\"")) << half;
    EXPECT_EQ(TStatusOutcome::Answered, AskStatus(id).Outcome);
    EXPECT_EQ(TStatusOutcome::NoHost, AskStatus(id + 1).Outcome);
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
    // LocalSystem is the only other one named.
    EXPECT_EQ("D:P(A;;GA;;;BA)(A;;GA;;;SY)", AclOf(handedAccess));
}
