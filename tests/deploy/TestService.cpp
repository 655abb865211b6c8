// A minimal service for the start and stop tests: runs until it is told to
// stop, or for a minute at most so that a failed test leaves nothing behind.
// The service name comes as the first argument. With "hang-status <ID>"
// after it, it also serves the status pipe of that service ID as a hung
// host would: it takes every client and never answers. With "give-up MS",
// it ends its service itself after MS milliseconds with the host's code for
// a program that needed too many restarts, and never serves a status pipe.
#include <windows.h>

#include <string>

#include "deploy/StubNames.h"

namespace {

std::string serviceName;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
DWORD runMs = 60000;
DWORD endCode = 0;

void Report(DWORD state)
{
    SERVICE_STATUS status{};
    if (state == SERVICE_STOPPED && endCode) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = endCode;
    }
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
    if (WaitForSingleObject(stopEvent, runMs) == WAIT_OBJECT_0)
        endCode = 0;
    Report(SERVICE_STOPPED);
}

DWORD WINAPI HangStatus(void* pipeName)
{
    const char* name = static_cast<const char*>(pipeName);
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                       4096, 4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        // Connected and left waiting: the instance is never given back.
        ConnectNamedPipe(pipe, nullptr);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    serviceName = argv[1];
    static std::string pipeName;
    if (argc >= 4 && std::string(argv[2]) == "hang-status") {
        pipeName = std::string("\\\\.\\pipe\\Quorvane.Service") + argv[3];
        CloseHandle(CreateThread(nullptr, 0, HangStatus, pipeName.data(), 0, nullptr));
    }
    if (argc >= 4 && std::string(argv[2]) == "give-up") {
        runMs = static_cast<DWORD>(std::stoul(argv[3]));
        endCode = TooManyRestartsExitCode;
    }
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA table[] = {{serviceName.data(), ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
