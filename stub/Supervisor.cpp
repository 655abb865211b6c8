#include "stub/Supervisor.h"

#include "stub/BackOff.h"
#include "stub/StubIdentity.h"
#include "toolkit/Paths.h"

namespace {

// A line longer than this is logged in pieces.
constexpr size_t LongestLine = 4096;

struct TReader {
    HANDLE Pipe;
    const char* Stream;
    std::shared_ptr<TStubLog> Log;
};

DWORD WINAPI ReadOutput(void* parameter)
{
    std::unique_ptr<TReader> reader(static_cast<TReader*>(parameter));
    std::string pending;
    char buffer[4096];
    DWORD read = 0;
    auto emit = [&](std::string line) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        reader->Log->Output(reader->Stream, line);
    };
    while (ReadFile(reader->Pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        pending.append(buffer, read);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            emit(pending.substr(start, end - start));
        pending.erase(0, start);
        while (pending.size() >= LongestLine) {
            emit(pending.substr(0, LongestLine));
            pending.erase(0, LongestLine);
        }
    }
    if (!pending.empty())
        emit(pending);
    CloseHandle(reader->Pipe);
    return 0;
}

HANDLE OpenNul(DWORD access)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// Read end ours only, write end for the child.
bool OutputPipe(HANDLE& read, HANDLE& write)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read, &write, &inherit, 0))
        return false;
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void CloseIfOpen(HANDLE& handle)
{
    if (handle && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = nullptr;
}

std::vector<DWORD> JobProcesses(HANDLE job)
{
    constexpr DWORD room = 256;
    std::vector<char> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + room * sizeof(ULONG_PTR));
    auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
    std::vector<DWORD> pids;
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, static_cast<DWORD>(buffer.size()),
                                  nullptr) ||
        GetLastError() == ERROR_MORE_DATA)
        for (DWORD i = 0; i < list->NumberOfProcessIdsInList && i < room; ++i)
            pids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
    return pids;
}

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM parameter)
{
    const auto& pids = *reinterpret_cast<const std::vector<DWORD>*>(parameter);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    for (DWORD wanted : pids)
        if (pid == wanted) {
            PostMessageA(window, WM_CLOSE, 0, 0);
            break;
        }
    return TRUE;
}

} // namespace

std::string SystemMessage(DWORD error)
{
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

TSupervisor::TSupervisor(TStubSettings settings, std::shared_ptr<TStubLog> log, bool captureOutput,
                         HANDLE stopEvent, TSupervisorTiming timing)
    : settings_(std::move(settings)), log_(std::move(log)), captureOutput_(captureOutput), stop_(stopEvent),
      timing_(timing)
{
}

bool TSupervisor::StartReader(HANDLE pipe, const char* stream, TRun& run)
{
    auto* reader = new TReader{pipe, stream, log_};
    HANDLE thread = CreateThread(nullptr, 64 * 1024, ReadOutput, reader, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        CloseHandle(pipe);
        delete reader;
        return false;
    }
    run.Readers.push_back(thread);
    return true;
}

bool TSupervisor::Launch(TRun& run, std::string& reason)
{
    if (settings_.Program.empty()) {
        reason = "no program is set";
        return false;
    }
    run.Job = CreateJobObjectA(nullptr, nullptr);
    if (!run.Job) {
        reason = "cannot create a job object: " + SystemMessage(GetLastError());
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(run.Job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    HANDLE input = OpenNul(GENERIC_READ);
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    if (captureOutput_) {
        if (!OutputPipe(outRead, outWrite) || !OutputPipe(errRead, errWrite)) {
            reason = "cannot create the output pipes: " + SystemMessage(GetLastError());
            CloseIfOpen(input);
            CloseIfOpen(outRead);
            CloseIfOpen(outWrite);
            CloseIfOpen(run.Job);
            return false;
        }
    } else {
        outWrite = OpenNul(GENERIC_WRITE);
        errWrite = OpenNul(GENERIC_WRITE);
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = input;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::string line = ProgramCommandLine(settings_.Program, settings_.Parameters);
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    std::string folder = FolderOf(settings_.Program);
    PROCESS_INFORMATION process = {};
    // A console program gets a console of its own without a window, and its
    // own process group so Ctrl+Break reaches it and nothing else.
    BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW, nullptr,
                                  folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    DWORD error = GetLastError();
    CloseIfOpen(input);
    CloseIfOpen(outWrite);
    CloseIfOpen(errWrite);
    if (!started) {
        reason = SystemMessage(error) + " (error " + std::to_string(error) + ")";
        CloseIfOpen(outRead);
        CloseIfOpen(errRead);
        CloseIfOpen(run.Job);
        return false;
    }
    if (!AssignProcessToJobObject(run.Job, process.hProcess))
        log_->Event(TLogKind::Warning, "the program runs outside a job object: " + SystemMessage(GetLastError()));
    run.Process = process.hProcess;
    run.Pid = process.dwProcessId;
    if (outRead && !StartReader(outRead, "out", run))
        log_->Event(TLogKind::Warning, "standard output is not logged");
    if (errRead && !StartReader(errRead, "err", run))
        log_->Event(TLogKind::Warning, "standard error is not logged");
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    return true;
}

void TSupervisor::AskToEnd(const TRun& run)
{
    // Ctrl+Break reaches a console program only from inside its console.
    if (AttachConsole(run.Pid)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, run.Pid);
        FreeConsole();
    }
    std::vector<DWORD> pids = JobProcesses(run.Job);
    if (pids.empty())
        pids.push_back(run.Pid);
    EnumWindows(CloseWindowOf, reinterpret_cast<LPARAM>(&pids));
}

void TSupervisor::EndTree(TRun& run)
{
    if (run.Job)
        TerminateJobObject(run.Job, 1);
    if (run.Process) {
        // Outside a job only the program itself can be ended.
        if (WaitForSingleObject(run.Process, 0) != WAIT_OBJECT_0)
            TerminateProcess(run.Process, 1);
        WaitForSingleObject(run.Process, 1000);
    }
    if (!run.Readers.empty()) {
        DWORD count = static_cast<DWORD>(run.Readers.size());
        if (WaitForMultipleObjects(count, run.Readers.data(), TRUE, timing_.DrainMs) == WAIT_TIMEOUT) {
            // A process outside the tree still holds a pipe: stop reading.
            for (HANDLE reader : run.Readers)
                CancelSynchronousIo(reader);
            WaitForMultipleObjects(count, run.Readers.data(), TRUE, 500);
        }
        for (HANDLE& reader : run.Readers)
            CloseIfOpen(reader);
        run.Readers.clear();
    }
    CloseIfOpen(run.Process);
    CloseIfOpen(run.Job);
}

void TSupervisor::StopRun(TRun& run, const std::function<void()>& progress)
{
    log_->Event(TLogKind::Information, "stopping: asking the program (pid " + std::to_string(run.Pid) + ") to end");
    AskToEnd(run);
    if (WaitForSingleObject(run.Process, timing_.GracefulEndMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(run.Process, &code);
        log_->Event(TLogKind::Information, "program exited with code " + std::to_string(code));
    } else {
        log_->Event(TLogKind::Warning,
                    "program did not end within " + std::to_string(timing_.GracefulEndMs) + " ms; ending it");
    }
    progress();
    EndTree(run);
}

void TSupervisor::Run(const std::function<void()>& progress)
{
    TBackOff backOff(timing_.FirstBackOffMs, timing_.BackOffCeilingMs, timing_.SteadyRunMs);
    const std::string commandLine = ProgramCommandLine(settings_.Program, settings_.Parameters);
    while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
        TRun run;
        std::string reason;
        uint64_t ranMs = 0;
        ULONGLONG began = GetTickCount64();
        if (Launch(run, reason)) {
            log_->Event(TLogKind::Information, "started " + commandLine + " with pid " + std::to_string(run.Pid));
            HANDLE waits[] = {run.Process, stop_};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                StopRun(run, progress);
                return;
            }
            ranMs = GetTickCount64() - began;
            DWORD code = 0;
            GetExitCodeProcess(run.Process, &code);
            EndTree(run);
            log_->Event(code == 0 ? TLogKind::Information : TLogKind::Warning,
                        "program exited with code " + std::to_string(code));
        } else {
            log_->Event(TLogKind::Error, "cannot start " + commandLine + ": " + reason);
        }
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
            break;
        uint32_t wait = backOff.Next(ranMs);
        log_->Event(TLogKind::Information, "restarting in " + std::to_string(wait) + " ms");
        if (WaitForSingleObject(stop_, wait) == WAIT_OBJECT_0)
            break;
    }
    log_->Event(TLogKind::Information, "stopping: the program is not running");
}
