#include "deploy/ServiceState.h"

#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"
#include "toolkit/Text.h"

#include <vector>

namespace {

TServiceState StateOf(DWORD currentState)
{
    switch (currentState) {
    case SERVICE_STOPPED: return TServiceState::Stopped;
    case SERVICE_START_PENDING: return TServiceState::StartPending;
    case SERVICE_STOP_PENDING: return TServiceState::StopPending;
    case SERVICE_RUNNING: return TServiceState::Running;
    case SERVICE_CONTINUE_PENDING: return TServiceState::ContinuePending;
    case SERVICE_PAUSE_PENDING: return TServiceState::PausePending;
    case SERVICE_PAUSED: return TServiceState::Paused;
    default: return TServiceState::Unknown;
    }
}

} // namespace

const char* ServiceStateName(TServiceState state)
{
    switch (state) {
    case TServiceState::NotRegistered: return "not registered";
    case TServiceState::Foreign: return "another program's";
    case TServiceState::Stopped: return "stopped";
    case TServiceState::StartPending: return "starting";
    case TServiceState::StopPending: return "stopping";
    case TServiceState::Running: return "running";
    case TServiceState::ContinuePending: return "continuing";
    case TServiceState::PausePending: return "pausing";
    case TServiceState::Paused: return "paused";
    case TServiceState::Unknown: break;
    }
    return "unknown";
}

TServiceStates::TServiceStates() : connection_(ConnectServiceManager(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE))
{
}

void TServiceStates::ListRegistered()
{
    std::vector<BYTE> buffer(64 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    for (;;) {
        BOOL listed = EnumServicesStatusExA(connection_.Get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                            buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                                            nullptr);
        // Without the names every service is asked for.
        if (!listed && GetLastError() != ERROR_MORE_DATA)
            return;
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(buffer.data());
        for (DWORD i = 0; i < count; ++i)
            registered_.insert(LowerCase(services[i].lpServiceName));
        if (listed) {
            listed_ = true;
            return;
        }
        if (needed > buffer.size())
            buffer.resize(needed);
    }
}

TServiceState TServiceStates::State(const std::string& serviceName, const std::string& stubPath) const
{
    if (listed_ && !registered_.count(LowerCase(serviceName)))
        return TServiceState::NotRegistered;
    TServiceHandle service(ServiceApi().OpenServiceA(connection_.Get(), serviceName.c_str(),
                                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? TServiceState::NotRegistered : TServiceState::Unknown;
    std::optional<std::string> binary = RegisteredBinaryPath(service.Get());
    if (!binary || !BinaryPathRuns(*binary, stubPath))
        return TServiceState::Foreign;
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service.Get(), &status) ? StateOf(status.dwCurrentState) : TServiceState::Unknown;
}

TServiceState ReportedState(const std::string& serviceName)
{
    // Opened and given back past the seams, as the whole question is.
    using TOwnHandle = TOwner<TNullKind<SC_HANDLE, ::CloseServiceHandle>>;
    const TOwnHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return TServiceState::Unknown;
    const TOwnHandle service(::OpenServiceA(manager.Get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? TServiceState::NotRegistered : TServiceState::Unknown;
    }
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(service.Get(), &status) ? StateOf(status.dwCurrentState) : TServiceState::Unknown;
}

TServiceState TServiceStates::SettledState(const std::string& serviceName, const std::string& stubPath,
                                           unsigned long limitMs) const
{
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        TServiceState state = State(serviceName, stubPath);
        bool pending = state == TServiceState::StartPending || state == TServiceState::StopPending ||
                       state == TServiceState::ContinuePending || state == TServiceState::PausePending;
        if (!pending || GetTickCount64() >= deadline)
            return state;
        Sleep(50);
    }
}
