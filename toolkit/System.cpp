#include "toolkit/System.h"

#include <windows.h>

#include "platform/Kernel.h"

namespace {

struct TErrorName {
    DWORD Code;
    const char* Name;
};

constexpr TErrorName ErrorNames[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_CALL_NOT_IMPLEMENTED, "ERROR_CALL_NOT_IMPLEMENTED"},
    {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
    {ERROR_INVALID_LEVEL, "ERROR_INVALID_LEVEL"},
    {ERROR_DEPENDENT_SERVICES_RUNNING, "ERROR_DEPENDENT_SERVICES_RUNNING"},
    {ERROR_INVALID_SERVICE_CONTROL, "ERROR_INVALID_SERVICE_CONTROL"},
    {ERROR_SERVICE_REQUEST_TIMEOUT, "ERROR_SERVICE_REQUEST_TIMEOUT"},
    {ERROR_SERVICE_NO_THREAD, "ERROR_SERVICE_NO_THREAD"},
    {ERROR_SERVICE_DATABASE_LOCKED, "ERROR_SERVICE_DATABASE_LOCKED"},
    {ERROR_SERVICE_ALREADY_RUNNING, "ERROR_SERVICE_ALREADY_RUNNING"},
    {ERROR_INVALID_SERVICE_ACCOUNT, "ERROR_INVALID_SERVICE_ACCOUNT"},
    {ERROR_SERVICE_DISABLED, "ERROR_SERVICE_DISABLED"},
    {ERROR_SERVICE_DOES_NOT_EXIST, "ERROR_SERVICE_DOES_NOT_EXIST"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
    {ERROR_SERVICE_NOT_ACTIVE, "ERROR_SERVICE_NOT_ACTIVE"},
    {ERROR_DATABASE_DOES_NOT_EXIST, "ERROR_DATABASE_DOES_NOT_EXIST"},
    {ERROR_SERVICE_LOGON_FAILED, "ERROR_SERVICE_LOGON_FAILED"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "ERROR_SERVICE_MARKED_FOR_DELETE"},
    {ERROR_SERVICE_EXISTS, "ERROR_SERVICE_EXISTS"},
    {ERROR_SERVICE_DEPENDENCY_DELETED, "ERROR_SERVICE_DEPENDENCY_DELETED"},
    {ERROR_DUPLICATE_SERVICE_NAME, "ERROR_DUPLICATE_SERVICE_NAME"},
    {ERROR_SHUTDOWN_IN_PROGRESS, "ERROR_SHUTDOWN_IN_PROGRESS"},
};

// GetComputerNameA's room: the longest name and its terminator.
constexpr DWORD ComputerNameRoom = MAX_COMPUTERNAME_LENGTH + 1;

} // namespace

const char* SystemErrorName(unsigned long code)
{
    for (const TErrorName& known : ErrorNames)
        if (known.Code == code)
            return known.Name;
    return nullptr;
}

std::string SystemMessage(unsigned long code)
{
    TLocalMemory text;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<LPSTR>(text.Receive()), 0, nullptr);
    std::string message = length && text ? std::string(static_cast<const char*>(text.Get()), length) : std::string();
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    if (message.empty())
        message = "System error " + std::to_string(code);
    return message;
}

std::string LocalComputerName()
{
    // One more zero than the call may fill, so the text always ends.
    char buffer[ComputerNameRoom + 1] = {};
    DWORD size = ComputerNameRoom;
    if (!GetComputerNameA(buffer, &size))
        return "";
    return buffer;
}
