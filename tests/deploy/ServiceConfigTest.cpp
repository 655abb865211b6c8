#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>

#include "catalogue/StubCopy.h"
#include "deploy/ServiceConfig.h"
#include "deploy/ServiceEnd.h"
#include "platform/Accounts.h"
#include "platform/Seam.h"
#include "platform/Security.h"
#include "platform/Services.h"
#include "tests/support/AccessLists.h"
#include "tests/support/TempFiles.h"
#include "toolkit/System.h"

// What the Service Control Manager, the local security authority and the
// file system are handed for an entry's settings, and what follows a
// refusal: Wine keeps or acts on little of it, so all of it is seen here.
namespace {

struct THanded {
    // Each ChangeServiceConfigA call, as "what=value".
    std::vector<std::string> Changes;
    std::string Password;
    // ChangeServiceConfig2A: the levels asked for, with what they set.
    std::map<DWORD, std::string> Config2;
    std::vector<std::string> Rights;
    // Refused with its code: a ChangeServiceConfig2A level, or an account.
    DWORD RefusedLevel = 0;
    bool RefuseAccount = false;
    bool HasRight = false;
} handed;

BOOL WINAPI FakeChange(SC_HANDLE, DWORD, DWORD start, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR dependencies,
                       LPCSTR account, LPCSTR password, LPCSTR)
{
    if (account) {
        if (handed.RefuseAccount)
            return SetLastError(ERROR_INVALID_SERVICE_ACCOUNT), FALSE;
        handed.Changes.push_back(std::string("account=") + account);
        handed.Password = password ? password : "(none)";
    }
    if (start != SERVICE_NO_CHANGE)
        handed.Changes.push_back("start=" + std::to_string(start));
    if (dependencies) {
        std::string list;
        for (const char* name = dependencies; *name; name += std::strlen(name) + 1)
            list += std::string(name) + "|";
        handed.Changes.push_back("depends=" + list);
    }
    return TRUE;
}

BOOL WINAPI FakeChange2(SC_HANDLE, DWORD level, LPVOID info)
{
    if (level == handed.RefusedLevel)
        return SetLastError(ERROR_INVALID_LEVEL), FALSE;
    switch (level) {
    case SERVICE_CONFIG_DESCRIPTION:
        handed.Config2[level] = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
        break;
    case SERVICE_CONFIG_DELAYED_AUTO_START_INFO:
        handed.Config2[level] = std::to_string(static_cast<SERVICE_DELAYED_AUTO_START_INFO*>(info)->fDelayedAutostart);
        break;
    case SERVICE_CONFIG_PRESHUTDOWN_INFO:
        handed.Config2[level] = std::to_string(static_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout);
        break;
    case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
        handed.Config2[level] = std::to_string(static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures);
        break;
    }
    return TRUE;
}

// A service registered before, delayed, with a minute to stop at shutdown and
// recovery after an error of its own; or one whose manager tells none of it.
bool queriesRefused = false;

BOOL WINAPI FakeQuery2(SC_HANDLE, DWORD level, LPBYTE info, DWORD, LPDWORD)
{
    if (queriesRefused)
        return SetLastError(ERROR_INVALID_LEVEL), FALSE;
    if (level == SERVICE_CONFIG_DELAYED_AUTO_START_INFO)
        reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(info)->fDelayedAutostart = TRUE;
    else if (level == SERVICE_CONFIG_PRESHUTDOWN_INFO)
        reinterpret_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout = 60000;
    else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
        reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures = TRUE;
    return TRUE;
}

BYTE fakeSid[] = {1, 1, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};

BOOL WINAPI FakeLookup(LPCSTR, LPCSTR name, PSID sid, LPDWORD sidSize, LPSTR, LPDWORD domainSize, PSID_NAME_USE)
{
    if (std::string(name).find("nobody") != std::string::npos)
        return SetLastError(ERROR_NONE_MAPPED), FALSE;
    if (*sidSize < sizeof fakeSid) {
        *sidSize = sizeof fakeSid;
        *domainSize = 8;
        return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    }
    std::memcpy(sid, fakeSid, sizeof fakeSid);
    return TRUE;
}

NTSTATUS NTAPI FakeOpenPolicy(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK, PLSA_HANDLE policy)
{
    *policy = reinterpret_cast<LSA_HANDLE>(0x99);
    return 0;
}

wchar_t heldRight[] = L"SeServiceLogonRight";
LSA_UNICODE_STRING heldRights[] = {{sizeof heldRight - 2, sizeof heldRight, heldRight}};

NTSTATUS NTAPI FakeEnumerateRights(LSA_HANDLE, PSID, PLSA_UNICODE_STRING* rights, PULONG count)
{
    // An account without any rights is not found at all.
    if (!handed.HasRight)
        return static_cast<NTSTATUS>(0xC0000034);
    *rights = heldRights;
    *count = 1;
    return 0;
}

NTSTATUS NTAPI FakeAddRights(LSA_HANDLE, PSID, PLSA_UNICODE_STRING rights, ULONG count)
{
    for (ULONG at = 0; at < count; ++at) {
        std::wstring right(rights[at].Buffer, rights[at].Length / sizeof(wchar_t));
        handed.Rights.push_back(std::string(right.begin(), right.end()));
    }
    return 0;
}

NTSTATUS NTAPI FakeClose(LSA_HANDLE)
{
    return 0;
}

NTSTATUS NTAPI FakeFree(PVOID)
{
    return 0;
}

class ServiceConfigTest : public ::testing::Test {
protected:
    TSeamOverride<decltype(TServiceApi::ChangeServiceConfigA)> change{ServiceApi().ChangeServiceConfigA, FakeChange};
    TSeamOverride<decltype(TServiceApi::ChangeServiceConfig2A)> change2{ServiceApi().ChangeServiceConfig2A,
                                                                        FakeChange2};
    TSeamOverride<decltype(TAccountsApi::LookupAccountNameA)> lookup{AccountsApi().LookupAccountNameA, FakeLookup};
    TSeamOverride<decltype(TAccountsApi::LsaOpenPolicy)> open{AccountsApi().LsaOpenPolicy, FakeOpenPolicy};
    TSeamOverride<decltype(TAccountsApi::LsaEnumerateAccountRights)> rights{AccountsApi().LsaEnumerateAccountRights,
                                                                            FakeEnumerateRights};
    TSeamOverride<decltype(TAccountsApi::LsaAddAccountRights)> add{AccountsApi().LsaAddAccountRights, FakeAddRights};
    TSeamOverride<decltype(TAccountsApi::LsaClose)> close{AccountsApi().LsaClose, FakeClose};
    TSeamOverride<decltype(TAccountsApi::LsaFreeMemory)> free{AccountsApi().LsaFreeMemory, FakeFree};
    TKeptAccessLists lists;
    SC_HANDLE service = reinterpret_cast<SC_HANDLE>(0x42);
    // The host copy and the log, as files the access lists are kept of.
    TTempFolder folder;
    const std::string logs = Made(folder.File("Logs"));
    const TAccountPaths paths{Made(folder.File("Relay.exe")), logs + "\\relay.log"};

    static std::string Made(const std::string& path)
    {
        if (path.ends_with(".exe") || path.ends_with(".log") || path.find(".log.") != std::string::npos)
            WriteTextFile(path, "");
        else
            CreateDirectoryA(path.c_str(), nullptr);
        return path;
    }

    void TearDown() override { handed = THanded(); }

    static TServiceSettings With(std::initializer_list<std::pair<TSetting, const char*>> values)
    {
        TServiceSettings settings;
        for (const auto& [setting, text] : values)
            EXPECT_EQ("", SetSetting(settings, setting, text).Reason());
        return settings;
    }
    std::vector<std::string> Apply(const TServiceSettings& settings, const TServiceSettings& before,
                                   const std::string& password = "")
    {
        return ApplyServiceConfig(service, "Relay", ServiceConfigOf(settings, "C:\\relay.exe"),
                                  ServiceConfigOf(before, "C:\\relay.exe"), TSecret(password), paths);
    }
};

} // namespace

TEST_F(ServiceConfigTest, EachSettingIsHandedOverOnItsOwnAndARefusalLeavesTheRestApplied)
{
    const TServiceSettings settings =
        With({{TSetting::Account, "CORP\\relay"}, {TSetting::StartType, "delayed"}, {TSetting::DependsOn, "Tcpip/Spool"},
              {TSetting::ServiceText, "Relays mail"}, {TSetting::StopTimeout, "30"}, {TSetting::MaxRestarts, "5"}});
    // A system without delayed starts refuses that one.
    handed.RefusedLevel = SERVICE_CONFIG_DELAYED_AUTO_START_INFO;
    const std::vector<std::string> refusals = Apply(settings, {}, "s3cret");
    ASSERT_EQ(1u, refusals.size());
    EXPECT_EQ("Start type: the service \"Relay\" could not be set to start automatic (delayed): " +
                  SystemMessage(ERROR_INVALID_LEVEL) + " (ERROR_INVALID_LEVEL)",
              refusals[0]);
    EXPECT_EQ((std::vector<std::string>{"account=CORP\\relay", "depends=Tcpip|Spool|"}), handed.Changes);
    EXPECT_EQ("s3cret", handed.Password);
    EXPECT_EQ("Relays mail", handed.Config2[SERVICE_CONFIG_DESCRIPTION]);
    EXPECT_EQ("34000", handed.Config2[SERVICE_CONFIG_PRESHUTDOWN_INFO]);
    EXPECT_EQ("1", handed.Config2[SERVICE_CONFIG_FAILURE_ACTIONS_FLAG]);
    // The account may log on as a service, run the host copy, record how
    // its service ended and write its log.
    EXPECT_EQ((std::vector<std::string>{"SeServiceLogonRight"}), handed.Rights);
    EXPECT_EQ((std::vector<std::string>{paths.HostCopy, ServiceEndPath(paths.HostCopy), logs, logs}), lists.Set);

    // Back to the defaults: each handed back, and a built-in account takes no password.
    handed = THanded();
    handed.HasRight = true;
    EXPECT_TRUE(Apply({}, settings).empty());
    EXPECT_EQ((std::vector<std::string>{"account=LocalSystem", "depends=", }), handed.Changes);
    EXPECT_EQ("", handed.Password);
    EXPECT_EQ("0", handed.Config2[SERVICE_CONFIG_DELAYED_AUTO_START_INFO]);
    EXPECT_EQ("0", handed.Config2[SERVICE_CONFIG_FAILURE_ACTIONS_FLAG]);
    EXPECT_EQ("7000", handed.Config2[SERVICE_CONFIG_PRESHUTDOWN_INFO]);
    EXPECT_TRUE(handed.Rights.empty());
}

TEST_F(ServiceConfigTest, ARefusedAccountGetsNoRightsAndAGroupManagedOneNoPassword)
{
    handed.RefuseAccount = true;
    std::vector<std::string> refusals = Apply(With({{TSetting::Account, "CORP\\relay"}, {TSetting::StartType, "manual"}}),
                                              {}, "s3cret");
    ASSERT_EQ(1u, refusals.size());
    EXPECT_EQ(0u, refusals[0].find("Account: the service \"Relay\" could not run as \"CORP\\relay\": "));
    EXPECT_NE(std::string::npos, refusals[0].find("(ERROR_INVALID_SERVICE_ACCOUNT)")) << refusals[0];
    EXPECT_EQ((std::vector<std::string>{"start=3"}), handed.Changes);
    EXPECT_TRUE(handed.Rights.empty() && lists.Set.empty());

    handed = THanded();
    handed.HasRight = true;
    EXPECT_TRUE(Apply(With({{TSetting::Account, "CORP\\relay$"}}), {}).empty());
    EXPECT_EQ("(none)", handed.Password);
    // It has the right already: nothing added.
    EXPECT_TRUE(handed.Rights.empty());
    EXPECT_EQ(4u, lists.Set.size());

    // An entry without settings hands over nothing but what it always did.
    handed = THanded();
    TServiceConfig fresh = ServiceConfigOf({}, "C:\\relay.exe");
    fresh.Description.clear();
    EXPECT_TRUE(ApplyServiceConfig(service, "Relay", ServiceConfigOf({}, "C:\\relay.exe"), fresh, TSecret(), paths).empty());
    EXPECT_TRUE(handed.Changes.empty());
    EXPECT_EQ(1u, handed.Config2.size());
    EXPECT_EQ("Runs \"C:\\relay.exe\" as a service (Quorvane service host)", handed.Config2[SERVICE_CONFIG_DESCRIPTION]);
}

// An account gets its host copy and its log, nothing beside them or below,
// and loses exactly that again: what an administrator gave it, and what
// another entry's account still needs, stays.
TEST_F(ServiceConfigTest, AnAccountReachesItsHostCopyAndLogAndLosesExactlyThatWithIt)
{
    const std::string account = "S-1-5-21", creator = "S-1-3-0";
    const DWORD logAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    const DWORD folderAccess = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    Made(paths.LogFile);
    Made(paths.LogFile + ".1");
    const std::string program = Made(logs + "\\relay.exe"), below = Made(logs + "\\old");
    // An administrator let the account list the folder.
    lists.List(logs).push_back({ACCESS_ALLOWED_ACE_TYPE, 0, FILE_LIST_DIRECTORY, account});
    const TServiceSettings relay = With({{TSetting::Account, "CORP\\relay"}});
    EXPECT_TRUE(Apply(relay, {}, "s3cret").empty());
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, account}}),
              lists.Of(paths.HostCopy, account));
    // The record of how its service ended, to rewrite; nothing else beside
    // the copy.
    const std::string endRecord = ServiceEndPath(paths.HostCopy);
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_GENERIC_READ | FILE_GENERIC_WRITE, account}}),
              lists.Of(endRecord, account));
    EXPECT_TRUE(lists.Of(FolderOf(paths.HostCopy), account).empty());
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, folderAccess, account}}), lists.Of(logs, account));
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE |
                                                                    NO_PROPAGATE_INHERIT_ACE,
                                      logAccess, creator}}),
              lists.Of(logs, creator));
    for (const std::string& log : {paths.LogFile, paths.LogFile + ".1"})
        EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, logAccess, account}}), lists.Of(log, account));
    // The program beside the log and the folder below it are not touched.
    for (const std::string& set : lists.Set)
        EXPECT_TRUE(!SameFilePath(set, program) && !SameFilePath(set, below)) << set;

    // The host moves the log aside, its list going with it.
    ASSERT_TRUE(MoveFileA((paths.LogFile + ".1").c_str(), (paths.LogFile + ".2").c_str()));
    ASSERT_TRUE(MoveFileA(paths.LogFile.c_str(), (paths.LogFile + ".1").c_str()));
    lists.List(paths.LogFile + ".2") = lists.List(paths.LogFile + ".1");
    lists.List(paths.LogFile + ".1") = lists.List(paths.LogFile);
    // Another entry's account logs in the same folder.
    const TAccountPaths other{Made(folder.File("Other.exe")), logs + "\\other.log"};
    EXPECT_TRUE(GrantAccountAccess(".\\other", other).empty());

    // Back to LocalSystem: the administrator's entry stays, and what the
    // other entry needs of the folder; the record goes.
    EXPECT_TRUE(Apply({}, relay).empty());
    EXPECT_TRUE(lists.Of(paths.HostCopy, account).empty());
    EXPECT_TRUE(lists.Of(endRecord, account).empty());
    for (const std::string& log : {paths.LogFile + ".1", paths.LogFile + ".2"})
        EXPECT_TRUE(lists.Of(log, account).empty()) << log;
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, folderAccess, account}}), lists.Of(logs, account));
    EXPECT_EQ(1u, lists.Of(logs, creator).size());
    EXPECT_FALSE(FileExists(GrantRecordFile(paths.HostCopy)));
    // Uninstalled, the other entry takes back the rest.
    EXPECT_TRUE(RevokeAccountAccess(other.HostCopy).empty());
    EXPECT_EQ((std::vector<TKeptAce>{{ACCESS_ALLOWED_ACE_TYPE, 0, FILE_LIST_DIRECTORY, account}}),
              lists.Of(logs, account));
    EXPECT_TRUE(lists.Of(logs, creator).empty());
    EXPECT_TRUE(lists.Of(other.HostCopy, account).empty());
}

// A log folder where programs live is given to no account but LocalSystem:
// the system is handed nothing for it, and qv refuses it first.
TEST_F(ServiceConfigTest, ALogWhereProgramsLiveIsGivenToNoAccount)
{
    const TServiceSettings local = With({{TSetting::Account, "LocalService"}});
    const std::vector<std::string> refusals =
        ApplyServiceConfig(service, "Relay", ServiceConfigOf(local, "C:\\relay.exe"), ServiceConfigOf({}, "C:\\relay.exe"),
                           TSecret(), {paths.HostCopy, "C:\\grant.log"});
    ASSERT_EQ(1u, refusals.size());
    EXPECT_EQ("Account: \"NT AUTHORITY\\LocalService\" would be given the right to create files in \"C:\\\", where "
              "programs live (a drive's root, the Windows folder or a Program Files folder): log to a folder of its "
              "own, such as \"C:\\Logs\\grant\\grant.log\"",
              refusals[0]);
    EXPECT_EQ((std::vector<std::string>{paths.HostCopy, ServiceEndPath(paths.HostCopy)}), lists.Set);
    char programFiles[MAX_PATH] = "C:\\Program Files";
    GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
    for (const std::string& log : {std::string("C:\\grant.log"), std::string("c:\\\\grant.log"),
                                   WindowsDirectory() + "\\grant.log", WindowsDirectory() + "\\Temp\\grant.log",
                                   std::string(programFiles) + "\\grant.log"}) {
        EXPECT_NE("", ServiceSettingsRefusal(local, "Relay", log).Reason()) << log;
        EXPECT_EQ("", ServiceSettingsRefusal({}, "Relay", log).Reason()) << log;
    }
    EXPECT_EQ("", ServiceSettingsRefusal(local, "Relay", paths.LogFile).Reason());
    EXPECT_EQ("", ServiceSettingsRefusal(local, "Relay", std::string(programFiles) + "\\Relay\\grant.log").Reason());
    // LocalSystem is given nothing: the host copy is taken back, and that is all.
    lists.Set.clear();
    EXPECT_TRUE(ApplyServiceConfig(service, "Relay", ServiceConfigOf({}, "C:\\relay.exe"),
                                   ServiceConfigOf(local, "C:\\relay.exe"), TSecret(), {paths.HostCopy, "C:\\grant.log"})
                    .empty());
    EXPECT_EQ((std::vector<std::string>{paths.HostCopy, ServiceEndPath(paths.HostCopy)}), lists.Set);
    EXPECT_TRUE(lists.Of(paths.HostCopy, "S-1-5-21").empty());
}

TEST_F(ServiceConfigTest, RegisteringAgainSetsWhatTheOldRegistrationHeldBeyondItsReset)
{
    TSeamOverride<decltype(TServiceApi::QueryServiceConfig2A)> query{ServiceApi().QueryServiceConfig2A, FakeQuery2};
    TServiceConfig fresh = ServiceConfigOf({}, "C:\\relay.exe");
    EXPECT_TRUE(ApplyServiceConfig(service, "Relay", fresh, HeldServiceConfig(service, fresh), TSecret(), paths).empty());
    EXPECT_EQ("0", handed.Config2[SERVICE_CONFIG_DELAYED_AUTO_START_INFO]);
    EXPECT_EQ("7000", handed.Config2[SERVICE_CONFIG_PRESHUTDOWN_INFO]);
    EXPECT_EQ("0", handed.Config2[SERVICE_CONFIG_FAILURE_ACTIONS_FLAG]);
    // What the system does not tell is taken to be as a fresh registration holds it.
    queriesRefused = true;
    EXPECT_EQ(fresh, HeldServiceConfig(service, fresh));
    queriesRefused = false;
}

TEST_F(ServiceConfigTest, SettingsTheSystemWouldRefuseAreRefusedFirst)
{
    EXPECT_EQ("Depends on: the service \"Relay\" cannot depend on itself",
              ServiceSettingsRefusal(With({{TSetting::DependsOn, "relay"}}), "Relay").Reason());
    EXPECT_EQ("Depends on: there is no service \"QV no such service\"",
              ServiceSettingsRefusal(With({{TSetting::DependsOn, "QV no such service"}}), "Relay").Reason());
    EXPECT_EQ("Account: the virtual account of the service \"Relay\" is \"NT SERVICE\\Relay\", not "
              "\"NT SERVICE\\Other\"",
              ServiceSettingsRefusal(With({{TSetting::Account, "NT SERVICE\\Other"}}), "Relay").Reason());
    EXPECT_EQ("", ServiceSettingsRefusal(With({{TSetting::Account, "nt service\\relay"}}), "Relay").Reason());
    EXPECT_EQ(0u, ServiceSettingsRefusal(With({{TSetting::Account, "CORP\\nobody"}}), "Relay").Reason()
                      .find("Account: \"CORP\\nobody\" is not an account this computer can find: "));
    EXPECT_EQ("", ServiceSettingsRefusal(With({{TSetting::Account, "CORP\\relay"}}), "Relay").Reason());
}
