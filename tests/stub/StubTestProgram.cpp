// The program the service host runs in tests. Each argument is one step:
//   out:TEXT  err:TEXT  write a line to standard output / error
//   bytes:HEX  errbytes:HEX  write those bytes, as they are, to standard
//             output / error
//   pid       write "pid <own pid>"
//   sleep:MS  wait
//   exit:CODE end with that code
//   crash     die of an access violation
//   child     start a copy of itself that writes "child pid <pid>" and waits
//   pidto:PATH  write the own pid to the file PATH
//   childpidto:PATH  a child started after writes its pid to the file PATH
//   wait      wait for ever
//   nobreak   ignore Ctrl+C from here on, and so does a child started after
//   window    open a window and run until it is closed ("got close")
//   flood:N   write N lines of 100 bytes ("flood <i> xxx...") through the C
//             library's buffered standard output, as chatty programs do,
//             then "flooded N lines in <ms> ms"
//   mixed:N   write N lines, alternately to standard output and error
//             ("out <i>", "err <i>")
//   every:MS  write "tick <i>" every MS milliseconds, for ever
//   event:NAME  set the named event
//   where     write "path <own path>", "folder <working folder>" and
//             "arg <argument>" for every argument, read wide and written as
//             UTF-8, whatever code page this program speaks
//   cwd       write "cwd <current folder>"
//   env:NAME  write "env NAME=<value>", or "env NAME unset"
//   priority  write "priority <priority class, hexadecimal>"
//   alloc:MIB commit and touch that many MiB, kept until the end, then
//             write "allocated MIB MiB"
//   burn:MS   use the processor until this process has used MS ms of it
//             in all, then write "burned <ms> ms"
// Ctrl+C makes it write "got ctrl-c" and end with code 0.
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fixtures/PlainWindow.h"
#include "fixtures/Programs.h"

namespace {

void WriteBytes(DWORD which, const std::string& bytes)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Write(DWORD which, const std::string& text)
{
    WriteBytes(which, text + "\r\n");
}

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16)));
    return bytes;
}

bool ignoresBreaks = false;
std::string childPidFile;

BOOL WINAPI OnControl(DWORD event)
{
    if (event != CTRL_C_EVENT)
        return FALSE;
    Write(STD_OUTPUT_HANDLE, "got ctrl-c");
    ExitProcess(0);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE)
        Write(STD_OUTPUT_HANDLE, "got close");
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

void RunWindow()
{
    if (!CreatePlainWindow("StubTestProgramWindow", WindowProcedure, "stub test program", WS_OVERLAPPEDWINDOW, 0, 0,
                           200, 100)) {
        const DWORD error = GetLastError();
        Write(STD_ERROR_HANDLE, "window failed " + std::to_string(error));
        return;
    }
    Write(STD_OUTPUT_HANDLE, "window open");
    RunMessages();
}

void Flood(long count)
{
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    _setmode(_fileno(stdout), _O_BINARY);
    char line[100];
    std::memset(line, 'x', sizeof line);
    line[98] = '\r';
    line[99] = '\n';
    for (long i = 0; i < count; ++i) {
        int length = std::snprintf(line, sizeof line, "flood %ld ", i);
        line[length] = 'x';
        std::fwrite(line, 1, sizeof line, stdout);
    }
    std::fflush(stdout);
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    Write(STD_OUTPUT_HANDLE, "flooded " + std::to_string(count) + " lines in " +
                                 std::to_string((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart) + " ms");
}

std::string Utf8(const wchar_t* text)
{
    char utf8[4096];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    return std::string(utf8, length > 0 ? length - 1 : 0);
}

void WriteWhere()
{
    wchar_t text[2048];
    GetModuleFileNameW(nullptr, text, 2048);
    Write(STD_OUTPUT_HANDLE, "path " + Utf8(text));
    GetCurrentDirectoryW(2048, text);
    Write(STD_OUTPUT_HANDLE, "folder " + Utf8(text));
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; i < count; ++i)
        Write(STD_OUTPUT_HANDLE, "arg " + Utf8(arguments[i]));
    LocalFree(arguments);
}

LONG WINAPI Die(EXCEPTION_POINTERS*)
{
    // No debugger, no crash dialog: just end with the exception's code.
    return EXCEPTION_EXECUTE_HANDLER;
}

// Committed and written page by page, so it counts as private bytes and as
// working set alike.
void Allocate(size_t mebibytes)
{
    const size_t bytes = mebibytes * 1024 * 1024;
    char* block = static_cast<char*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!block) {
        Write(STD_ERROR_HANDLE, "alloc failed " + std::to_string(GetLastError()));
        return;
    }
    for (size_t at = 0; at < bytes; at += 4096)
        block[at] = 1;
    Write(STD_OUTPUT_HANDLE, "allocated " + std::to_string(mebibytes) + " MiB");
}

// Processor time this process has used, user and kernel, in milliseconds.
unsigned long long CpuMs()
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) / 10000;
}

void Burn(unsigned long long ms)
{
    volatile unsigned long long spin = 0;
    while (CpuMs() < ms)
        for (int i = 0; i < 100000; ++i)
            spin = spin + i;
    Write(STD_OUTPUT_HANDLE, "burned " + std::to_string(CpuMs()) + " ms");
}

void StartChild()
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line(1, '"');
    line.append(self);
    line.append(ignoresBreaks ? "\" nobreak childpid" : "\" childpid");
    if (!childPidFile.empty())
        line.append(" \"pidto:" + childPidFile + "\"");
    line.append(" wait");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!StartProcess(line.data(), TRUE, 0, nullptr, &startup, &process)) {
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
        else if (step.rfind("bytes:", 0) == 0)
            WriteBytes(STD_OUTPUT_HANDLE, FromHex(step.substr(6)));
        else if (step.rfind("errbytes:", 0) == 0)
            WriteBytes(STD_ERROR_HANDLE, FromHex(step.substr(9)));
        else if (step == "where")
            WriteWhere();
        else if (step == "pid")
            Write(STD_OUTPUT_HANDLE, "pid " + std::to_string(GetCurrentProcessId()));
        else if (step.rfind("pidto:", 0) == 0) {
            FILE* file = std::fopen(step.c_str() + 6, "w");
            if (file) {
                std::fprintf(file, "%lu", GetCurrentProcessId());
                std::fclose(file);
            }
        } else if (step.rfind("childpidto:", 0) == 0)
            childPidFile = step.substr(11);
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
        else if (step == "nobreak") {
            ignoresBreaks = true;
            SetConsoleCtrlHandler(OnControl, FALSE);
            SetConsoleCtrlHandler(nullptr, TRUE);
        } else if (step == "window")
            RunWindow();
        else if (step.rfind("flood:", 0) == 0)
            Flood(std::atol(step.c_str() + 6));
        else if (step.rfind("mixed:", 0) == 0)
            for (long i = 0, count = std::atol(step.c_str() + 6); i < count; ++i)
                Write(i % 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, (i % 2 ? "err " : "out ") + std::to_string(i));
        else if (step == "cwd") {
            char folder[MAX_PATH] = {};
            GetCurrentDirectoryA(sizeof folder, folder);
            Write(STD_OUTPUT_HANDLE, std::string("cwd ") + folder);
        } else if (step.rfind("env:", 0) == 0) {
            // Read wide, as a program of any code page may.
            const std::wstring name(step.begin() + 4, step.end());
            wchar_t value[2048] = {};
            SetLastError(ERROR_SUCCESS);
            const bool set = GetEnvironmentVariableW(name.c_str(), value, 2048) > 0 || GetLastError() == ERROR_SUCCESS;
            Write(STD_OUTPUT_HANDLE, "env " + step.substr(4) + (set ? "=" + Utf8(value) : " unset"));
        } else if (step == "priority") {
            char text[16];
            std::snprintf(text, sizeof text, "%lx", GetPriorityClass(GetCurrentProcess()));
            Write(STD_OUTPUT_HANDLE, std::string("priority ") + text);
        } else if (step.rfind("alloc:", 0) == 0) {
            Allocate(static_cast<size_t>(std::atol(step.c_str() + 6)));
        } else if (step.rfind("burn:", 0) == 0) {
            Burn(std::strtoull(step.c_str() + 5, nullptr, 10));
        } else if (step.rfind("event:", 0) == 0) {
            HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, step.c_str() + 6);
            SetEvent(event);
            CloseHandle(event);
        } else if (step.rfind("every:", 0) == 0)
            for (long i = 0;; ++i) {
                Write(STD_OUTPUT_HANDLE, "tick " + std::to_string(i));
                Sleep(static_cast<DWORD>(std::atoi(step.c_str() + 6)));
            }
    }
    return 0;
}
