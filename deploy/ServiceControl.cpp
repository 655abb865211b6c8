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

// "" when the open service runs the copy at stubPath; otherwise what the
// user reads. A registration that cannot be read is nobody's we know.
std::string OwnerFault(SC_HANDLE service, const TServiceTarget& target)
{
    std::optional<std::string> binary = RegisteredBinaryPath(service);
    if (binary && BinaryPathRuns(*binary, target.StubPath))
        return "";
    return ForeignServiceText(target.Name, binary.value_or(""));
}

// Steps that may fail with a message for the command's own error box. The
// lock is declared before the service so that the service goes first.
void ControlOpenService(bool stop, SC_HANDLE connection, const TServiceTarget& target,
                        const TServiceReport& report)
{
    const std::string& serviceName = target.Name;
    const TServiceLock lock(stop ? ServiceApi().LockServiceDatabase(connection) : nullptr);
    if (stop && !lock) {
        std::string reason = LastErrorName();
        throw TError("Unable to lock Service Database. Result: " + reason);
    }

    TServiceHandle service(ServiceApi().OpenServiceA(connection, serviceName.c_str(), ServiceAccess));
    if (!service) {
        std::string reason = LastErrorName();
        throw TError("Error Opening Service \"" + serviceName + "\". Result: " + reason);
    }
    std::string foreign = OwnerFault(service.Get(), target);
    if (!foreign.empty())
        throw TError(foreign);

    if (stop) {
        SERVICE_STATUS status{};
        if (!ServiceApi().ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
            std::string reason = LastErrorName();
            throw TError("Unable to STOP Service. Result: " + reason);
        }
    } else {
        LPCSTR noArguments[] = {nullptr};
        if (!ServiceApi().StartServiceA(service.Get(), 0, noArguments)) {
            std::string reason = LastErrorName();
            throw TError("Unable to START Service. Result: " + reason);
        }
    }
    if (report.Accepted)
        report.Accepted();
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

void StartStopService(bool stop, const std::function<TServiceTarget()>& prepare, const TServiceReport& report)
{
    const TServiceHandle connection = ConnectServiceManager(ManagerAccess);
    TServiceTarget target = prepare();

    std::string failure;
    bool failed = false;
    try {
        ControlOpenService(stop, connection.Get(), target, report);
    } catch (const TError& error) {
        failure = error.Message();
        failed = true;
    }
    // The service and the lock are released by now; the connection is
    // closed after the report.
    if (failed && report.Refused)
        report.Refused(failure);
}

std::string ForeignService(const TServiceTarget& target)
{
    const TServiceHandle connection = ConnectServiceManager(SC_MANAGER_CONNECT);
    TServiceHandle service(ServiceApi().OpenServiceA(connection.Get(), target.Name.c_str(), SERVICE_QUERY_CONFIG));
    // One that cannot be opened is left to the service host, which checks
    // again before it removes anything.
    return service ? OwnerFault(service.Get(), target) : "";
}
