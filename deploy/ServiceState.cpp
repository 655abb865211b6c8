#include "deploy/ServiceState.h"

#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"

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

TServiceStates::TServiceStates() : connection_(ConnectServiceManager(SC_MANAGER_CONNECT)) {}

TServiceState TServiceStates::State(const std::string& serviceName, const std::string& stubPath) const
{
    TServiceHandle service(ServiceApi().OpenServiceA(connection_.Get(), serviceName.c_str(),
                                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
        return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? TServiceState::NotRegistered : TServiceState::Unknown;
    std::optional<std::string> binary = RegisteredBinaryPath(service.Get());
    if (!binary || !BinaryPathRuns(*binary, stubPath))
        return TServiceState::Foreign;
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.Get(), &status))
        return TServiceState::Unknown;
    switch (status.dwCurrentState) {
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
