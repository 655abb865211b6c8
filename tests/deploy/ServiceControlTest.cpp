#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "deploy/ServiceControl.h"
#include "platform/Seam.h"
#include "platform/Services.h"
#include "tests/support/ScriptedPrompter.h"
#include "tests/support/TestServices.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"

namespace {

constexpr const char* TestServiceName = "Quorvane Deploy Test";
constexpr const char* MissingServiceName = "Quorvane Missing Service";

// Every call the command makes, in order, with the arguments that matter.
struct TScmRecord {
    std::vector<std::string> calls;
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
} scm;

void Note(const std::string& call)
{
    DWORD error = GetLastError();
    scm.calls.push_back(call);
    SetLastError(error);
}

SC_HANDLE WINAPI RecordOpenManager(LPCSTR machine, LPCSTR database, DWORD access)
{
    SC_HANDLE handle = ::OpenSCManagerA(machine, database, access);
    scm.manager = handle;
    Note(std::string("connect ") + machine + (database ? " database" : "") + " " + std::to_string(access));
    return handle;
}

// Each real call starts from a sentinel, so the reason the command reports
// is the call's own, never one left by an earlier call.
SC_LOCK WINAPI RecordLock(SC_HANDLE connection)
{
    SetLastError(0xdeadbeef);
    SC_LOCK lock = ::LockServiceDatabase(connection);
    Note(connection == scm.manager ? "lock" : "lock elsewhere");
    return lock;
}

BOOL WINAPI RecordUnlock(SC_LOCK lock)
{
    Note("unlock");
    return ::UnlockServiceDatabase(lock);
}

SC_HANDLE WINAPI RecordOpenService(SC_HANDLE connection, LPCSTR name, DWORD access)
{
    SetLastError(0xdeadbeef);
    SC_HANDLE handle = ::OpenServiceA(connection, name, access);
    scm.service = handle;
    Note(std::string("open ") + name + " " + std::to_string(access));
    return handle;
}

BOOL WINAPI RecordControl(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    SetLastError(0xdeadbeef);
    BOOL done = ::ControlService(service, control, status);
    Note("control " + std::to_string(control));
    return done;
}

BOOL WINAPI RecordStart(SC_HANDLE service, DWORD count, LPCSTR* arguments)
{
    SetLastError(0xdeadbeef);
    BOOL done = ::StartServiceA(service, count, arguments);
    Note("start " + std::to_string(count) + (arguments ? " list" : " none"));
    return done;
}

BOOL WINAPI RecordClose(SC_HANDLE handle)
{
    Note(handle == scm.manager ? "close connection" : handle == scm.service ? "close service" : "close other");
    return ::CloseServiceHandle(handle);
}

SC_HANDLE WINAPI DenyConnection(LPCSTR, LPCSTR, DWORD)
{
    Note("connect");
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

SC_LOCK WINAPI RefuseLock(SC_HANDLE)
{
    Note("lock");
    SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
    return nullptr;
}

BOOL WINAPI AcceptControl(SC_HANDLE, DWORD control, LPSERVICE_STATUS)
{
    Note("control " + std::to_string(control));
    return TRUE;
}

BOOL WINAPI AcceptStart(SC_HANDLE, DWORD, LPCSTR*)
{
    Note("start");
    return TRUE;
}

std::string Quoted(const std::string& name)
{
    return "\"" + name + "\"";
}

// A real service in Wine's Service Control Manager for the whole suite, and
// every call of the command recorded on its way to the real manager.
class ServiceControlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        RemoveTestService(TestServiceName);
        char self[MAX_PATH];
        std::string path(self, GetModuleFileNameA(nullptr, self, MAX_PATH));
        program = path.substr(0, path.rfind('\\')) + "\\deploy_test_service.exe";
        created = CreateTestService(TestServiceName, Quoted(program) + " " + Quoted(TestServiceName));
    }
    static void TearDownTestSuite() { RemoveTestService(TestServiceName); }

    void SetUp() override
    {
        ASSERT_TRUE(created);
        scm = TScmRecord();
        prompter.OnShow = [](const TScriptedPrompter::Shown& shown) { Note("box " + shown.Kind + ": " + shown.Text); };
    }

    // Runs the command for a service name, as the entry whose copy of the
    // service host is program, as the window does: connected, then the entry
    // loaded ("prepare"), then the start or stop, and the refusal shown
    // before the connection closes. Returns the calls made.
    std::vector<std::string> Run(bool stop, const std::string& name = TestServiceName)
    {
        {
            const TServiceControl control;
            Note("prepare");
            if (TRefusal refused = control.StartStop(stop, {name, program}, [] { Prompter().Information("accepted"); }))
                Prompter().Error(refused.Reason());
        }
        return scm.calls;
    }

    std::string Connect() const { return "connect " + LocalComputerName() + " 11"; }
    std::string Open(const std::string& name = TestServiceName) const { return "open " + name + " 983551"; }

    static inline bool created = false;
    static inline std::string program;
    TScriptedPrompter prompter;
    TServiceApi& api = ServiceApi();
    TSeamOverride<decltype(TServiceApi::OpenSCManagerA)> s1{api.OpenSCManagerA, RecordOpenManager};
    TSeamOverride<decltype(TServiceApi::LockServiceDatabase)> s2{api.LockServiceDatabase, RecordLock};
    TSeamOverride<decltype(TServiceApi::UnlockServiceDatabase)> s3{api.UnlockServiceDatabase, RecordUnlock};
    TSeamOverride<decltype(TServiceApi::OpenServiceA)> s4{api.OpenServiceA, RecordOpenService};
    TSeamOverride<decltype(TServiceApi::ControlService)> s5{api.ControlService, RecordControl};
    TSeamOverride<decltype(TServiceApi::StartServiceA)> s6{api.StartServiceA, RecordStart};
    TSeamOverride<decltype(TServiceApi::CloseServiceHandle)> s7{api.CloseServiceHandle, RecordClose};
};

} // namespace

TEST(ServiceNamesTest, LastErrorNameQuotesItsOwnCodesAndNamesTheRestUnknown)
{
    const std::pair<DWORD, const char*> named[] = {
        {3, "ERROR_PATH_NOT_FOUND"},
        {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},
        {87, "ERROR_INVALID_PARAMETER"},
        {123, "ERROR_INVALID_NAME"},
        {1051, "ERROR_DEPENDENT_SERVICES_RUNNING"},
        {1052, "ERROR_INVALID_SERVICE_CONTROL"},
        {1053, "ERROR_SERVICE_REQUEST_TIMEOUT"},
        {1054, "ERROR_SERVICE_NO_THREAD"},
        {1055, "ERROR_SERVICE_DATABASE_LOCKED"},
        {1056, "ERROR_SERVICE_ALREADY_RUNNING"},
        {1058, "ERROR_SERVICE_DISABLED"},
        {1060, "ERROR_SERVICE_DOES_NOT_EXIST"},
        {1061, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
        {1062, "ERROR_SERVICE_NOT_ACTIVE"},
        {1065, "ERROR_DATABASE_DOES_NOT_EXIST"},
        {1069, "ERROR_SERVICE_LOGON_FAILED"},
        {1072, "ERROR_SERVICE_MARKED_FOR_DELETE"},
        {1075, "ERROR_SERVICE_DEPENDENCY_DELETED"},
    };
    for (const auto& [code, name] : named) {
        SetLastError(code);
        EXPECT_EQ(LastErrorName(), std::string("\"") + name + "\"");
    }
    // The service host names these too; the manager does not.
    for (DWORD unknown : {0ul, 2ul, 120ul, 1057ul, 1073ul, 1078ul, 1234ul}) {
        SetLastError(unknown);
        EXPECT_EQ(LastErrorName(), "\"Unknown exception\"") << unknown;
    }
}

TEST(ServiceNamesTest, LocalComputerNameIsTheWholeShortName)
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    ASSERT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(LocalComputerName(), name);
}

TEST_F(ServiceControlTest, StartAndStopARealService)
{
    ASSERT_EQ(ServiceState(TestServiceName), static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(Run(true), (std::vector<std::string>{Connect(), "prepare", "lock", Open(), "control 1",
                                                   "close service", "unlock",
                                                   "box Error: Unable to STOP Service. Result: "
                                                   "\"ERROR_SERVICE_NOT_ACTIVE\"",
                                                   "close connection"}));

    scm = TScmRecord();
    EXPECT_EQ(Run(false), (std::vector<std::string>{Connect(), "prepare", Open(), "start 0 list",
                                                    "box Information: accepted",
                                                    "close service", "close connection"}));
    ASSERT_TRUE(WaitForServiceState(TestServiceName, SERVICE_RUNNING));

    scm = TScmRecord();
    prompter.shown.clear();
    Run(false);
    EXPECT_EQ(prompter.Texts("Error"), "Unable to START Service. Result: \"ERROR_SERVICE_ALREADY_RUNNING\"\n");

    scm = TScmRecord();
    EXPECT_EQ(Run(true), (std::vector<std::string>{Connect(), "prepare", "lock", Open(), "control 1",
                                                   "box Information: accepted",
                                                   "close service", "unlock", "close connection"}));
    EXPECT_TRUE(WaitForServiceState(TestServiceName, SERVICE_STOPPED));
}

TEST_F(ServiceControlTest, AMissingServiceCannotBeOpened)
{
    std::string error = "box Error: Error Opening Service \"" + std::string(MissingServiceName) +
                        "\". Result: \"ERROR_SERVICE_DOES_NOT_EXIST\"";
    EXPECT_EQ(Run(true, MissingServiceName),
              (std::vector<std::string>{Connect(), "prepare", "lock", Open(MissingServiceName), "unlock", error,
                                        "close connection"}));
    scm = TScmRecord();
    EXPECT_EQ(Run(false, MissingServiceName),
              (std::vector<std::string>{Connect(), "prepare", Open(MissingServiceName), error, "close connection"}));
}

TEST_F(ServiceControlTest, ARefusedLockOpensNoService)
{
    TSeamOverride<decltype(TServiceApi::LockServiceDatabase)> refuse(api.LockServiceDatabase, RefuseLock);
    EXPECT_EQ(Run(true), (std::vector<std::string>{Connect(), "prepare", "lock",
                                                   "box Error: Unable to lock Service Database. Result: "
                                                   "\"ERROR_SERVICE_DATABASE_LOCKED\"",
                                                   "close connection"}));
}

TEST_F(ServiceControlTest, ARefusedConnectionReachesTheCaller)
{
    TSeamOverride<decltype(TServiceApi::OpenSCManagerA)> deny(api.OpenSCManagerA, DenyConnection);
    std::string message;
    try {
        Run(false);
    } catch (const TError& error) {
        message = error.Message();
    }
    EXPECT_EQ(message, "Error locating NT Service Manager. Result: \"ERROR_ACCESS_DENIED\"");
    EXPECT_EQ(scm.calls, std::vector<std::string>{"connect"});
}

TEST_F(ServiceControlTest, AFailingPrepareClosesTheConnection)
{
    EXPECT_THROW(
        [] {
            const TServiceControl control;
            Note("prepare");
            throw TError("Wrong Service index (7");
        }(),
        TError);
    EXPECT_EQ(scm.calls, (std::vector<std::string>{Connect(), "prepare", "close connection"}));
    EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(ServiceControlTest, OtherFailuresPassOnAfterEveryRelease)
{
    prompter.OnShow = [](const TScriptedPrompter::Shown& shown) {
        Note("box " + shown.Kind);
        throw std::runtime_error("box failed");
    };
    {
        TSeamOverride<decltype(TServiceApi::ControlService)> accept(api.ControlService, AcceptControl);
        EXPECT_THROW(Run(true), std::runtime_error);
    }
    EXPECT_EQ(scm.calls, (std::vector<std::string>{Connect(), "prepare", "lock", Open(), "control 1",
                                                   "box Information", "close service", "unlock",
                                                   "close connection"}));
    scm = TScmRecord();
    TSeamOverride<decltype(TServiceApi::StartServiceA)> accept(api.StartServiceA, AcceptStart);
    EXPECT_THROW(Run(false), std::runtime_error);
    EXPECT_EQ(scm.calls, (std::vector<std::string>{Connect(), "prepare", Open(), "start", "box Information",
                                                   "close service", "close connection"}));
}
