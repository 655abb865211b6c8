#include "deploy/ServiceConfig.h"

#include "catalogue/IniDocument.h"
#include "catalogue/StubCopy.h"
#include "deploy/ServiceControl.h"
#include "platform/Accounts.h"
#include "platform/Kernel.h"
#include "platform/Owner.h"
#include "platform/Services.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

// What the host needs beyond the program's stop timeout at shutdown: its
// last output collected, then its own end.
constexpr DWORD ShutdownMarginMs = 4000;

const wchar_t ServiceLogonRight[] = L"SeServiceLogonRight";

std::string Refusal(TSetting setting, const std::string& what, DWORD error)
{
    const char* name = SystemErrorName(error);
    return std::string(InfoOf(setting).Label) + ": " + what + ": " + SystemMessage(error) + " (" +
           (name ? name : "error " + std::to_string(error)) + ")";
}

// The error of a call that failed, read at once; ERROR_SUCCESS when it worked.
DWORD ErrorOf(BOOL done)
{
    return done ? ERROR_SUCCESS : GetLastError();
}

std::string StartTypeName(const TServiceConfig& config)
{
    switch (config.StartType) {
    case SERVICE_AUTO_START: return config.Delayed ? "automatic (delayed)" : "automatic";
    case SERVICE_DEMAND_START: return "manual";
    default: return "disabled";
    }
}

// The list the Service Control Manager takes: each name ended by a zero,
// and one more zero.
std::string DoubleNullList(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names)
        list += name + '\0';
    return list + '\0';
}

// How the account is found by name: ".\relay" is "relay" of this computer.
std::string LookupName(const std::string& account)
{
    return account.starts_with(".\\") ? account.substr(2) : account;
}

// The account's security identifier, or the error that kept it unknown.
DWORD AccountSid(const std::string& account, std::vector<BYTE>& sid)
{
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    const std::string name = LookupName(account);
    AccountsApi().LookupAccountNameA(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    sid.assign(sidSize ? sidSize : 1, 0);
    std::string domain(domainSize ? domainSize : 1, '\0');
    if (!AccountsApi().LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize,
                                          &use))
        return GetLastError();
    return ERROR_SUCCESS;
}

void ClosePolicy(LSA_HANDLE policy)
{
    AccountsApi().LsaClose(policy);
}
void FreeLsaMemory(LSA_UNICODE_STRING* memory)
{
    AccountsApi().LsaFreeMemory(memory);
}
// The local security authority's policy, and what it hands back.
using TPolicyHandle = TOwner<TNullKind<LSA_HANDLE, ClosePolicy>>;
using TLsaMemory = TOwner<TNullKind<LSA_UNICODE_STRING*, FreeLsaMemory>>;

// Gives the account the right to log on as a service unless it has it.
DWORD GrantServiceLogon(const std::string& account)
{
    std::vector<BYTE> sid;
    if (DWORD error = AccountSid(account, sid))
        return error;
    LSA_OBJECT_ATTRIBUTES attributes = {};
    TPolicyHandle policy;
    NTSTATUS status = AccountsApi().LsaOpenPolicy(nullptr, &attributes, POLICY_LOOKUP_NAMES | POLICY_CREATE_ACCOUNT,
                                                  policy.Receive());
    if (status != 0)
        return LsaNtStatusToWinError(status);
    TLsaMemory rights;
    ULONG count = 0;
    bool has = false;
    if (AccountsApi().LsaEnumerateAccountRights(policy.Get(), sid.data(), rights.Receive(), &count) == 0 && rights)
        for (ULONG at = 0; at < count; ++at) {
            const LSA_UNICODE_STRING& right = rights.Get()[at];
            has = has || std::wstring(right.Buffer, right.Length / sizeof(wchar_t)) == ServiceLogonRight;
        }
    if (!has) {
        LSA_UNICODE_STRING right = {static_cast<USHORT>(sizeof ServiceLogonRight - sizeof(wchar_t)),
                                    static_cast<USHORT>(sizeof ServiceLogonRight),
                                    const_cast<wchar_t*>(ServiceLogonRight)};
        status = AccountsApi().LsaAddAccountRights(policy.Get(), sid.data(), &right, 1);
    }
    return status == 0 ? ERROR_SUCCESS : LsaNtStatusToWinError(status);
}

// The account the service runs as, with what it needs to.
void ApplyAccount(SC_HANDLE service, const std::string& serviceName, const TServiceConfig& wanted,
                  const TSecret& password, const TAccountPaths& paths, std::vector<std::string>& refusals)
{
    // Only a named account has a password; the system takes none for the
    // others.
    const bool named = wanted.Kind == TAccountKind::Named;
    const char* secret = named ? password.Chars() : wanted.Kind == TAccountKind::Virtual ||
                                                          wanted.Kind == TAccountKind::GroupManaged
                                                      ? nullptr
                                                      : "";
    if (!ServiceApi().ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                           nullptr, nullptr, nullptr, wanted.Account.c_str(), secret, nullptr)) {
        DWORD error = GetLastError();
        refusals.push_back(Refusal(TSetting::Account,
                                   "the service \"" + serviceName + "\" could not run as \"" + wanted.Account + "\"",
                                   error));
        return;
    }
    if (named || wanted.Kind == TAccountKind::GroupManaged)
        if (DWORD error = GrantServiceLogon(wanted.Account))
            refusals.push_back(Refusal(TSetting::Account,
                                       "\"" + wanted.Account + "\" could not be given the right to log on as a service",
                                       error));
    for (std::string& refusal : GrantAccountAccess(wanted.Account, paths))
        refusals.push_back(std::move(refusal));
}

} // namespace

TServiceConfig ServiceConfigOf(const TServiceSettings& settings, const std::string& program)
{
    TServiceConfig config;
    config.Account = ServiceAccountName(settings.Account);
    config.Kind = AccountKind(settings.Account);
    switch (settings.StartType) {
    case TStartType::Manual: config.StartType = SERVICE_DEMAND_START; break;
    case TStartType::Disabled: config.StartType = SERVICE_DISABLED; break;
    default: config.StartType = SERVICE_AUTO_START; break;
    }
    config.Delayed = settings.StartType == TStartType::Delayed;
    config.Dependencies = settings.Dependencies;
    config.Description = settings.ServiceText.empty() ? DefaultServiceText(program) : settings.ServiceText;
    config.PreshutdownMs = settings.StopTimeoutSeconds * 1000 + ShutdownMarginMs;
    config.FailureActionsOnExit = settings.MaxRestarts > 0;
    return config;
}

TServiceConfig HeldServiceConfig(SC_HANDLE service, TServiceConfig held)
{
    auto query = [service](DWORD level, auto& info) {
        DWORD needed = 0;
        return ServiceApi().QueryServiceConfig2A(service, level, reinterpret_cast<BYTE*>(&info), sizeof info, &needed);
    };
    SERVICE_DELAYED_AUTO_START_INFO delayed = {};
    if (query(SERVICE_CONFIG_DELAYED_AUTO_START_INFO, delayed))
        held.Delayed = delayed.fDelayedAutostart;
    SERVICE_PRESHUTDOWN_INFO shutdown = {};
    if (query(SERVICE_CONFIG_PRESHUTDOWN_INFO, shutdown))
        held.PreshutdownMs = shutdown.dwPreshutdownTimeout;
    SERVICE_FAILURE_ACTIONS_FLAG onExit = {};
    if (query(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, onExit))
        held.FailureActionsOnExit = onExit.fFailureActionsOnNonCrashFailures;
    return held;
}

std::vector<std::string> ApplyServiceConfig(SC_HANDLE service, const std::string& serviceName,
                                            const TServiceConfig& wanted, const TServiceConfig& registered,
                                            const TSecret& password, const TAccountPaths& paths)
{
    std::vector<std::string> refusals;
    const std::string of = "the service \"" + serviceName + "\"";
    auto check = [&](DWORD error, TSetting setting, const std::string& what) {
        if (error != ERROR_SUCCESS)
            refusals.push_back(Refusal(setting, what, error));
    };
    TServiceApi& api = ServiceApi();
    if (wanted.Account != registered.Account || !password.Empty())
        ApplyAccount(service, serviceName, wanted, password, paths, refusals);
    else if (wanted.Kind == TAccountKind::LocalSystem)
        // A registration made afresh runs as LocalSystem: what an account
        // it had before was given goes.
        for (std::string& refusal : RevokeAccountAccess(paths.HostCopy))
            refusals.push_back(std::move(refusal));
    if (wanted.StartType != registered.StartType)
        check(ErrorOf(api.ChangeServiceConfigA(service, SERVICE_NO_CHANGE, wanted.StartType, SERVICE_NO_CHANGE, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)),
              TSetting::StartType, of + " could not be set to start " + StartTypeName(wanted));
    SERVICE_DELAYED_AUTO_START_INFO delayed = {wanted.Delayed};
    if (wanted.Delayed != registered.Delayed)
        check(ErrorOf(api.ChangeServiceConfig2A(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed)),
              TSetting::StartType, of + " could not be set to start " + StartTypeName(wanted));
    const std::string dependencies = DoubleNullList(wanted.Dependencies);
    if (wanted.Dependencies != registered.Dependencies)
        check(ErrorOf(api.ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                       nullptr, nullptr, dependencies.c_str(), nullptr, nullptr, nullptr)),
              TSetting::DependsOn, of + " could not be given its dependencies");
    std::string description = wanted.Description;
    SERVICE_DESCRIPTIONA text = {description.data()};
    if (wanted.Description != registered.Description)
        check(ErrorOf(api.ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text)), TSetting::ServiceText,
              "the description of " + of + " could not be set");
    SERVICE_PRESHUTDOWN_INFO shutdown = {wanted.PreshutdownMs};
    if (wanted.PreshutdownMs != registered.PreshutdownMs)
        check(ErrorOf(api.ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &shutdown)), TSetting::StopTimeout,
              of + " could not be given " + std::to_string(wanted.PreshutdownMs) + " ms to stop at shutdown");
    SERVICE_FAILURE_ACTIONS_FLAG onExit = {wanted.FailureActionsOnExit};
    if (wanted.FailureActionsOnExit != registered.FailureActionsOnExit)
        check(ErrorOf(api.ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExit)), TSetting::MaxRestarts,
              "the recovery actions of " + of + " could not be set to apply " +
                  (wanted.FailureActionsOnExit ? "also when it stops itself with an error" : "only when it fails"));
    return refusals;
}

TRefusal ServiceSettingsRefusal(const TServiceSettings& settings, const std::string& description,
                                const std::string& logFile)
{
    if (TRefusal refused = SettingsValueRefusal(settings))
        return refused;
    if (TRefusal refused = LogFolderAccountRefusal(settings.Account, logFile))
        return refused;
    if (!settings.Dependencies.empty()) {
        TServiceHandle manager(ConnectServiceManager(SC_MANAGER_CONNECT));
        for (const std::string& name : settings.Dependencies) {
            if (TIniDocument::SameName(name, description))
                return TRefusal("Depends on: the service \"" + description + "\" cannot depend on itself");
            TServiceHandle other(ServiceApi().OpenServiceA(manager.Get(), name.c_str(), SERVICE_QUERY_STATUS));
            const DWORD error = other ? ERROR_SUCCESS : GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST)
                return TRefusal("Depends on: there is no service \"" + name + "\"");
        }
    }
    const std::string& account = settings.Account;
    switch (AccountKind(account)) {
    case TAccountKind::Virtual:
        // A virtual account is its service's own.
        if (LowerCase(account.substr(11)) != LowerCase(description))
            return TRefusal("Account: the virtual account of the service \"" + description + "\" is \"NT SERVICE\\" +
                            description + "\", not \"" + account + "\"");
        break;
    case TAccountKind::Named:
    case TAccountKind::GroupManaged: {
        std::vector<BYTE> sid;
        if (const DWORD error = AccountSid(account, sid))
            return TRefusal("Account: \"" + account + "\" is not an account this computer can find: " +
                            SystemMessage(error));
        break;
    }
    default:
        break;
    }
    return {};
}

TRefusal ChangeInstalledService(const std::string& description, const std::string& program,
                                const std::string& logFile, const TServiceSettings& before,
                                const TServiceSettings& after, const TSecret& password)
{
    const TServiceConfig wanted = ServiceConfigOf(after, program);
    const TServiceConfig registered = ServiceConfigOf(before, program);
    if (wanted == registered && password.Empty())
        return {};
    const std::string copy = StubCopyFile(description);
    if (TRefusal foreign = ForeignService({description, copy}))
        return foreign;
    TServiceHandle manager(ConnectServiceManager(SC_MANAGER_CONNECT));
    TServiceHandle service(ServiceApi().OpenServiceA(manager.Get(), description.c_str(),
                                                     SERVICE_CHANGE_CONFIG | SERVICE_QUERY_CONFIG));
    if (!service) {
        const DWORD error = GetLastError();
        throw TServiceManagerError("The service \"" + description + "\" could not be opened to change it: " +
                                   SystemMessage(error));
    }
    std::string refused;
    for (const std::string& refusal :
         ApplyServiceConfig(service.Get(), description, wanted, registered, password, {copy, logFile}))
        refused += (refused.empty() ? "" : "\r") + refusal;
    return refused.empty() ? TRefusal() : TRefusal(refused);
}

std::string PasswordNeededText(const std::string& account)
{
    return "Account: \"" + account + "\" is an account with a password, and the password is never kept: "
           "it is needed each time the account is handed to the Service Control Manager";
}
