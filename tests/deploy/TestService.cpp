// A minimal service for the start and stop tests: runs until it is told to
// stop, or for a minute at most so that a failed test leaves nothing behind.
// The service name comes as the first argument.
#include <windows.h>

#include <string>

namespace {

std::string serviceName;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void Report(DWORD state)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    statusHandle = RegisterServiceCtrlHandlerExA(serviceName.c_str(), Handler, nullptr);
    if (!statusHandle)
        return;
    Report(SERVICE_RUNNING);
    WaitForSingleObject(stopEvent, 60000);
    Report(SERVICE_STOPPED);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    serviceName = argv[1];
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{serviceName.data(), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
