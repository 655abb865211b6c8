#include "deploy/ServiceControl.h"

#include <windows.h>

#include <utility>

#include "deploy/ServiceOwner.h"
#include "platform/Services.h"
#include "toolkit/Error.h"

namespace {

// Connect, create service and lock: the same for start and stop.
constexpr DWORD ManagerAccess = 1 | 2 | 8;
// Standard rights required and every service-specific right.
constexpr DWORD ServiceAccess = 0xF01FF;
constexpr DWORD StopControl = 1;

struct TErrorName {
    DWORD Code;
    const char* Name;
};

constexpr TErrorName ErrorNames[] = {
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


// Owns the service database lock, when one was taken.
class TDatabaseLock {
public:
    TDatabaseLock() = default;
    ~TDatabaseLock() { Release(); }
    TDatabaseLock(const TDatabaseLock&) = delete;
    TDatabaseLock& operator=(const TDatabaseLock&) = delete;

    bool Take(SC_HANDLE connection)
    {
        Release();
        lock_ = ServiceApi().LockServiceDatabase(connection);
        return lock_ != nullptr;
    }

private:
    void Release()
    {
        if (lock_)
            ServiceApi().UnlockServiceDatabase(std::exchange(lock_, nullptr));
    }

    SC_LOCK lock_ = nullptr;
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
    TDatabaseLock lock;
    if (stop && !lock.Take(connection)) {
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
        if (!ServiceApi().ControlService(service.Get(), StopControl, &status)) {
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

SC_HANDLE ConnectServiceManager(DWORD access)
{
    std::string machine = LocalComputerName();
    SC_HANDLE connection = ServiceApi().OpenSCManagerA(machine.c_str(), nullptr, access);
    if (!connection) {
        std::string reason = LastErrorName();
        throw TServiceManagerError("Error locating NT Service Manager. Result: " + reason);
    }
    return connection;
}

std::string LocalComputerName()
{
    char buffer[17] = {};
    DWORD size = 16;
    if (!GetComputerNameA(buffer, &size))
        return "";
    return buffer;
}

std::string LastErrorName()
{
    DWORD code = GetLastError();
    std::string name = "Unknown exception";
    for (const TErrorName& known : ErrorNames)
        if (known.Code == code)
            name = known.Name;
    return "\"" + name + "\"";
}

void StartStopService(bool stop, const std::function<TServiceTarget()>& prepare, const TServiceReport& report)
{
    TServiceHandle connection(ConnectServiceManager(ManagerAccess));
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
    TServiceHandle connection(ConnectServiceManager(SC_MANAGER_CONNECT));
    TServiceHandle service(ServiceApi().OpenServiceA(connection.Get(), target.Name.c_str(), SERVICE_QUERY_CONFIG));
    // One that cannot be opened is left to the service host, which checks
    // again before it removes anything.
    return service ? OwnerFault(service.Get(), target) : "";
}
