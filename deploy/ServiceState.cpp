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

using TOpenService = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);

// The report of the service of that name on the connection, when it runs the
// copy at stubPath: asked through the calls given, its state too unless a
// listing gave it.
template <class TOwnedService>
TServiceReport ReportOf(SC_HANDLE connection, const std::string& serviceName, const std::string& stubPath,
                        TOpenService open, TQueryServiceConfig query, const SERVICE_STATUS_PROCESS* listed = nullptr)
{
    TServiceReport report;
    TOwnedService service(
        open(connection, serviceName.c_str(), listed ? SERVICE_QUERY_CONFIG : SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
            report.State = TServiceState::NotRegistered;
        return report;
    }
    std::optional<std::string> binary = RegisteredBinaryPath(service.Get(), query);
    if (!binary || !BinaryPathRuns(*binary, stubPath)) {
        report.State = TServiceState::Foreign;
        return report;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (listed)
        status = *listed;
    else if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                   sizeof status, &needed))
        return report;
    report.State = StateOf(status.dwCurrentState);
    report.ProcessId = report.State == TServiceState::Stopped ? 0 : status.dwProcessId;
    report.Win32ExitCode = status.dwWin32ExitCode;
    report.SpecificExitCode = status.dwServiceSpecificExitCode;
    return report;
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
            registered_[LowerCase(services[i].lpServiceName)] = services[i].ServiceStatusProcess;
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
    return Report(serviceName, stubPath).State;
}

TServiceReport TServiceStates::Report(const std::string& serviceName, const std::string& stubPath) const
{
    if (!listed_)
        return ReportOf<TServiceHandle>(connection_.Get(), serviceName, stubPath, ServiceApi().OpenServiceA, nullptr);
    const auto listed = registered_.find(LowerCase(serviceName));
    if (listed == registered_.end())
        return {TServiceState::NotRegistered};
    return ReportOf<TServiceHandle>(connection_.Get(), serviceName, stubPath, ServiceApi().OpenServiceA, nullptr,
                                    &listed->second);
}

TServiceReport ReportedService(const std::string& serviceName, const std::string& stubPath)
{
    // Opened and given back past the seams, as the whole question is.
    using TOwnHandle = TOwner<TNullKind<SC_HANDLE, ::CloseServiceHandle>>;
    const TOwnHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return {};
    return ReportOf<TOwnHandle>(manager.Get(), serviceName, stubPath, ::OpenServiceA, ::QueryServiceConfigA);
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
