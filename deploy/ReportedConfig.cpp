#include "deploy/ReportedConfig.h"

#include <vector>

#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"
#include "platform/Services.h"
#include "toolkit/Text.h"

namespace {

// The answer of QueryServiceConfig2A at that level, in a buffer of its size;
// nothing when the system would not answer, with its reason kept.
std::optional<std::vector<BYTE>> Queried(SC_HANDLE service, DWORD level, DWORD& error)
{
    DWORD needed = 0;
    std::vector<BYTE> buffer(512);
    for (;;) {
        if (ServiceApi().QueryServiceConfig2A(service, level, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              &needed))
            return buffer;
        error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size())
            return std::nullopt;
        buffer.resize(needed);
    }
}

// The names of a list that ends with an empty one.
std::vector<std::string> Names(const char* list)
{
    std::vector<std::string> names;
    for (const char* name = list; name && *name; name += names.back().size() + 1)
        names.emplace_back(name);
    return names;
}

bool SameNames(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerCase(a[i]) != LowerCase(b[i]))
            return false;
    return true;
}

} // namespace

std::optional<TServiceConfig> ReportedServiceConfig(SC_HANDLE service)
{
    const std::optional<std::vector<BYTE>> buffer = QueriedServiceConfig(service);
    if (!buffer)
        return std::nullopt;
    const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(buffer->data());
    TServiceConfig reported;
    reported.Account = config->lpServiceStartName ? config->lpServiceStartName : "LocalSystem";
    reported.Kind = AccountKind(reported.Account);
    reported.StartType = config->dwStartType;
    reported.Dependencies = Names(config->lpDependencies);
    DWORD error = 0;
    if (const auto text = Queried(service, SERVICE_CONFIG_DESCRIPTION, error)) {
        const char* description = reinterpret_cast<const SERVICE_DESCRIPTIONA*>(text->data())->lpDescription;
        reported.Description = description ? description : "";
    } else {
        return std::nullopt;
    }
    if (const auto delayed = Queried(service, SERVICE_CONFIG_DELAYED_AUTO_START_INFO, error))
        reported.Delayed = reinterpret_cast<const SERVICE_DELAYED_AUTO_START_INFO*>(delayed->data())->fDelayedAutostart;
    else if (error != ERROR_INVALID_LEVEL)
        return std::nullopt;
    return reported;
}

std::optional<TServiceConfig> ReportedServiceConfig(SC_HANDLE manager, const std::string& serviceName)
{
    TServiceHandle service(ServiceApi().OpenServiceA(manager, serviceName.c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return std::nullopt;
    return ReportedServiceConfig(service.Get());
}

std::optional<TServiceConfig> ReportedServiceConfig(const std::string& serviceName)
{
    try {
        return ReportedServiceConfig(ConnectServiceManager(SC_MANAGER_CONNECT).Get(), serviceName);
    } catch (const TServiceManagerError&) {
        return std::nullopt;
    }
}

TServiceSettings SettingsAsHeld(const TServiceSettings& settings, const TServiceConfig& reported,
                                const std::string& program)
{
    TServiceSettings held = settings;
    const TServiceConfig wanted = ServiceConfigOf(settings, program);
    // The system names accounts its own way ("NT AUTHORITY\LocalService"
    // for "LocalService"), in any letter case.
    if (LowerCase(reported.Account) != LowerCase(wanted.Account))
        held.Account = reported.Account;
    if (reported.StartType != wanted.StartType || reported.Delayed != wanted.Delayed) {
        switch (reported.StartType) {
        case SERVICE_DEMAND_START: held.StartType = TStartType::Manual; break;
        case SERVICE_DISABLED: held.StartType = TStartType::Disabled; break;
        default: held.StartType = reported.Delayed ? TStartType::Delayed : TStartType::Automatic; break;
        }
    }
    if (!SameNames(reported.Dependencies, wanted.Dependencies))
        held.Dependencies = reported.Dependencies;
    if (reported.Description != wanted.Description)
        held.ServiceText = reported.Description == DefaultServiceText(program) ? "" : reported.Description;
    return held;
}

TServiceSettings SettingsAsHeld(const std::string& serviceName, const TServiceSettings& settings,
                                const std::string& program)
{
    const std::optional<TServiceConfig> reported = ReportedServiceConfig(serviceName);
    return reported ? SettingsAsHeld(settings, *reported, program) : settings;
}
