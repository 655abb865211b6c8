#include "deploy/ServiceControl.h"

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "deploy/ServiceOwner.h"
#include "platform/Services.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"

namespace {

// The same for start and stop: 11.
constexpr DWORD ManagerAccess = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK;
// Standard rights required and every service-specific right: 0xF01FF.
constexpr DWORD ServiceAccess = SERVICE_ALL_ACCESS;

// The codes a refused start or stop reports by name; any other reads as
// "Unknown exception".
constexpr DWORD NamedErrors[] = {
    ERROR_PATH_NOT_FOUND,
    ERROR_ACCESS_DENIED,
    ERROR_INVALID_HANDLE,
    ERROR_INVALID_PARAMETER,
    ERROR_INVALID_NAME,
    ERROR_DEPENDENT_SERVICES_RUNNING,
    ERROR_INVALID_SERVICE_CONTROL,
    ERROR_SERVICE_REQUEST_TIMEOUT,
    ERROR_SERVICE_NO_THREAD,
    ERROR_SERVICE_DATABASE_LOCKED,
    ERROR_SERVICE_ALREADY_RUNNING,
    ERROR_SERVICE_DISABLED,
    ERROR_SERVICE_DOES_NOT_EXIST,
    ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
    ERROR_SERVICE_NOT_ACTIVE,
    ERROR_DATABASE_DOES_NOT_EXIST,
    ERROR_SERVICE_LOGON_FAILED,
    ERROR_SERVICE_MARKED_FOR_DELETE,
    ERROR_SERVICE_DEPENDENCY_DELETED,
};

// Refuses an open service that does not run the copy at the target's stub
// path. A registration that cannot be read is nobody's we know.
TRefusal OwnerRefusal(SC_HANDLE service, const TServiceTarget& target)
{
    std::optional<std::string> binary = RegisteredBinaryPath(service);
    if (binary && BinaryPathRuns(*binary, target.StubPath))
        return {};
    return TRefusal(ForeignServiceText(target.Name, binary.value_or("")));
}

} // namespace

TServiceHandle ConnectServiceManager(DWORD access)
{
    std::string machine = LocalComputerName();
    TServiceHandle connection(ServiceApi().OpenSCManagerA(machine.c_str(), nullptr, access));
    if (!connection) {
        std::string reason = LastErrorName();
        throw TServiceManagerError("Error locating NT Service Manager. Result: " + reason);
    }
    return connection;
}

std::string LastErrorName()
{
    const DWORD code = GetLastError();
    std::string name = "Unknown exception";
    if (std::find(std::begin(NamedErrors), std::end(NamedErrors), code) != std::end(NamedErrors))
        if (const char* known = SystemErrorName(code))
            name = known;
    return "\"" + name + "\"";
}

TServiceControl::TServiceControl() : connection_(ConnectServiceManager(ManagerAccess)) {}

TRefusal TServiceControl::StartStop(bool stop, const TServiceTarget& target,
                                    const std::function<void()>& accepted) const
{
    // The lock is declared before the service, so the service goes first.
    const TServiceLock lock(stop ? ServiceApi().LockServiceDatabase(connection_.Get()) : nullptr);
    if (stop && !lock) {
        const std::string reason = LastErrorName();
        return TRefusal("Unable to lock Service Database. Result: " + reason);
    }
    const TServiceHandle service(ServiceApi().OpenServiceA(connection_.Get(), target.Name.c_str(), ServiceAccess));
    if (!service) {
        const std::string reason = LastErrorName();
        return TRefusal("Error Opening Service \"" + target.Name + "\". Result: " + reason);
    }
    if (TRefusal foreign = OwnerRefusal(service.Get(), target))
        return foreign;
    if (stop) {
        SERVICE_STATUS status{};
        if (!ServiceApi().ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
            const std::string reason = LastErrorName();
            return TRefusal("Unable to STOP Service. Result: " + reason);
        }
    } else {
        LPCSTR noArguments[] = {nullptr};
        if (!ServiceApi().StartServiceA(service.Get(), 0, noArguments)) {
            const std::string reason = LastErrorName();
            return TRefusal("Unable to START Service. Result: " + reason);
        }
    }
    if (accepted)
        accepted();
    return {};
}

TRefusal ForeignService(const TServiceTarget& target)
{
    const TServiceHandle connection = ConnectServiceManager(SC_MANAGER_CONNECT);
    TServiceHandle service(ServiceApi().OpenServiceA(connection.Get(), target.Name.c_str(), SERVICE_QUERY_CONFIG));
    // One that cannot be opened is left to the service host, which checks
    // again before it removes anything.
    return service ? OwnerRefusal(service.Get(), target) : TRefusal();
}
