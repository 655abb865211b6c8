#include "tests/support/TestServices.h"

#include <memory>
#include <vector>

#include "catalogue/StubCopy.h"
#include "deploy/ServiceEnd.h"
#include "fixtures/Watching.h"

namespace {

using THandle = std::unique_ptr<SC_HANDLE__, decltype(&::CloseServiceHandle)>;

THandle Manager()
{
    return THandle(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), ::CloseServiceHandle);
}

THandle Service(const THandle& manager, const std::string& name, DWORD access)
{
    return THandle(::OpenServiceA(manager.get(), name.c_str(), access), ::CloseServiceHandle);
}

} // namespace

bool CreateTestService(const std::string& name, const std::string& binaryPath)
{
    THandle service(::CreateServiceA(Manager().get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
                    ::CloseServiceHandle);
    return service != nullptr;
}

void RemoveTestService(const std::string& name)
{
    THandle manager = Manager();
    THandle service = Service(manager, name, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    if (service && ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
        WaitForServiceState(name, SERVICE_STOPPED);
    if (service)
        ::DeleteService(service.get());
}

DWORD ServiceState(const std::string& name)
{
    THandle manager = Manager();
    THandle service = Service(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    return service && ::QueryServiceStatus(service.get(), &status) ? status.dwCurrentState : 0;
}

DWORD ServiceProcessId(const std::string& name)
{
    THandle manager = Manager();
    THandle service = Service(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    return service && ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                             sizeof status, &needed)
               ? status.dwProcessId
               : 0;
}

bool WaitForServiceState(const std::string& name, DWORD state)
{
    return WaitFor([&] { return ServiceState(name) == state; }, 15000);
}

namespace {

// The service's registration, or an empty buffer.
std::vector<char> Config(const std::string& name)
{
    THandle manager = Manager();
    THandle service = Service(manager, name, SERVICE_QUERY_CONFIG);
    DWORD needed = 0;
    ::QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::vector<char> buffer(needed + 1);
    if (!service || !::QueryServiceConfigA(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                           needed, &needed))
        buffer.clear();
    return buffer;
}

} // namespace

std::string ServiceBinary(const std::string& name)
{
    std::vector<char> buffer = Config(name);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    return buffer.empty() || !config->lpBinaryPathName ? "" : config->lpBinaryPathName;
}

DWORD ServiceStartType(const std::string& name)
{
    std::vector<char> buffer = Config(name);
    return buffer.empty() ? 0 : reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data())->dwStartType;
}

std::string ServiceAccount(const std::string& name)
{
    std::vector<char> buffer = Config(name);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    return buffer.empty() || !config->lpServiceStartName ? "" : config->lpServiceStartName;
}

std::string ServiceDescription(const std::string& name)
{
    THandle manager = Manager();
    THandle service = Service(manager, name, SERVICE_QUERY_CONFIG);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!service || !QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &needed))
        return "";
    const char* text = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription;
    return text ? text : "";
}

void RemoveTestServiceAndCopy(const std::string& name)
{
    RemoveTestService(name);
    DeleteFileA(StubCopyFile(name).c_str());
    DeleteFileA(ServiceEndPath(StubCopyFile(name)).c_str());
}

BOOL WINAPI StartServiceAgainWhenWineLosesIt(SC_HANDLE service, DWORD count, LPCSTR* arguments)
{
    for (int attempt = 1;; ++attempt) {
        if (::StartServiceA(service, count, arguments))
            return TRUE;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3)
            return SetLastError(error), FALSE;
        Sleep(200);
    }
}
