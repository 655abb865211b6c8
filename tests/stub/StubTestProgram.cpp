// The program the service host runs in tests. Each argument is one step:
//   out:TEXT  err:TEXT  write a line to standard output / error
//   pid       write "pid <own pid>"
//   sleep:MS  wait
//   exit:CODE end with that code
//   crash     die of an access violation
//   child     start a copy of itself that writes "child pid <pid>" and waits
//   wait      wait for ever
// Ctrl+Break makes it write "got ctrl-break" and end with code 0.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

void Write(DWORD which, const std::string& text)
{
    std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(which), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

BOOL WINAPI OnControl(DWORD event)
{
    if (event != CTRL_BREAK_EVENT)
        return FALSE;
    Write(STD_OUTPUT_HANDLE, "got ctrl-break");
    ExitProcess(0);
}

LONG WINAPI Die(EXCEPTION_POINTERS*)
{
    // No debugger, no crash dialog: just end with the exception's code.
    return EXCEPTION_EXECUTE_HANDLER;
}

void StartChild()
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line(1, '"');
    line.append(self);
    line.append("\" childpid wait");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        Write(STD_ERROR_HANDLE, "child failed " + std::to_string(GetLastError()));
        return;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

} // namespace

int main(int argc, char** argv)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(Die);
    SetConsoleCtrlHandler(OnControl, TRUE);
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        if (step.rfind("out:", 0) == 0)
            Write(STD_OUTPUT_HANDLE, step.substr(4));
        else if (step.rfind("err:", 0) == 0)
            Write(STD_ERROR_HANDLE, step.substr(4));
        else if (step == "pid")
            Write(STD_OUTPUT_HANDLE, "pid " + std::to_string(GetCurrentProcessId()));
        else if (step == "childpid")
            Write(STD_OUTPUT_HANDLE, "child pid " + std::to_string(GetCurrentProcessId()));
        else if (step.rfind("sleep:", 0) == 0)
            Sleep(static_cast<DWORD>(std::atoi(step.c_str() + 6)));
        else if (step.rfind("exit:", 0) == 0)
            return std::atoi(step.c_str() + 5);
        else if (step == "crash")
            *static_cast<volatile int*>(nullptr) = 1;
        else if (step == "child")
            StartChild();
        else if (step == "wait")
            Sleep(INFINITE);
    }
    return 0;
}
