#include "stub/Supervisor.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "stub/AskToEnd.h"
#include "stub/ChildHandles.h"
#include "stub/Guard.h"
#include "stub/RestartRule.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

// One read takes what the pipe holds, up to this.
constexpr DWORD ReadBytes = 64 * 1024;
// Lines wait for more while the program keeps writing, up to this much.
constexpr size_t BlockBytes = 256 * 1024;
// What a pipe holds before the program's next write waits for us: enough
// that a chatty program runs on while the log moves a file aside.
constexpr DWORD PipeBytes = 1024 * 1024;
// How long an ended program and a cancelled output reader may take to go.
constexpr DWORD ProcessEndMs = 1000;
constexpr DWORD CancelledReaderMs = 500;

struct TReaderArguments {
    HANDLE Pipe;
    const char* Stream;
    bool Stamped;
    std::shared_ptr<TStubLog> Log;
};

// Wakes only when output arrives. A read that leaves room in the buffer
// emptied the pipe: the program paused, and what it said goes to the log
// now; while it keeps writing, lines gather into blocks.
void ReadOutput(const TReaderArguments& reader)
{
    std::vector<char> buffer(ReadBytes);
    TOutputLines lines(reader.Stream, reader.Stamped);
    SYSTEMTIME now;
    DWORD read = 0;
    while (ReadFile(reader.Pipe, buffer.data(), ReadBytes, &read, nullptr) && read > 0) {
        GetLocalTime(&now);
        lines.Add(now, buffer.data(), read);
        if (read < ReadBytes || lines.Lines().size() >= BlockBytes) {
            reader.Log->Output(lines.Lines());
            lines.Clear();
        }
    }
    GetLocalTime(&now);
    lines.Finish(now);
    if (!lines.Lines().empty())
        reader.Log->Output(lines.Lines());
}

DWORD WINAPI ReaderMain(void* parameter)
{
    std::unique_ptr<TReaderArguments> reader(static_cast<TReaderArguments*>(parameter));
    RunGuarded("the output reader", *reader->Log, [&] { ReadOutput(*reader); });
    return 0;
}

} // namespace

std::vector<char> EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& variables)
{
    std::vector<char> block;
    auto add = [&](const std::string& entry) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    };
    if (char* host = GetEnvironmentStringsA()) {
        for (const char* entry = host; *entry; entry += std::strlen(entry) + 1) {
            // Names such as "=C:" begin with "=".
            const char* equals = std::strchr(entry + 1, '=');
            const std::string name = LowerCase(std::string(entry, equals ? equals : entry + std::strlen(entry)));
            if (std::none_of(variables.begin(), variables.end(),
                             [&](const auto& variable) { return LowerCase(variable.first) == name; }))
                add(entry);
        }
        FreeEnvironmentStringsA(host);
    }
    for (const auto& [name, value] : variables)
        add(name + "=" + value);
    block.push_back('\0');
    return block;
}

namespace {

DWORD PriorityClass(TPriority priority)
{
    switch (priority) {
    case TPriority::Idle: return IDLE_PRIORITY_CLASS;
    case TPriority::BelowNormal: return BELOW_NORMAL_PRIORITY_CLASS;
    case TPriority::AboveNormal: return ABOVE_NORMAL_PRIORITY_CLASS;
    case TPriority::High: return HIGH_PRIORITY_CLASS;
    default: return 0;
    }
}

// Read end ours only, write end for the child.
bool OutputPipe(TKernelHandle& read, TKernelHandle& write)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(read.Receive(), write.Receive(), &inherit, PipeBytes))
        return false;
    SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, 0);
    return true;
}

} // namespace

TSupervisorTiming TimingOf(const TServiceSettings& settings, TSupervisorTiming base)
{
    base.GracefulEndMs = settings.StopTimeoutSeconds * 1000;
    base.FirstBackOffMs = settings.RestartDelaySeconds * 1000;
    base.BackOffCeilingMs = settings.RestartDelayMaxSeconds * 1000;
    return base;
}

TProgramRun::~TProgramRun()
{
    try {
        End();
    } catch (...) {
        // Only the log line can fail here; the handles are closed regardless.
    }
}

void TProgramRun::End()
{
    if (Job)
        TerminateJobObject(Job.Get(), 1);
    if (Process) {
        // Outside a job only the program itself can be ended.
        if (WaitForSingleObject(Process.Get(), 0) != WAIT_OBJECT_0)
            TerminateProcess(Process.Get(), 1);
        WaitForSingleObject(Process.Get(), ProcessEndMs);
    }
    std::vector<HANDLE> readers;
    for (const TReader& reader : Readers)
        if (reader.Thread)
            readers.push_back(reader.Thread.Get());
    DWORD count = static_cast<DWORD>(readers.size());
    if (count > 0 && WaitForMultipleObjects(count, readers.data(), TRUE, drainMs_) == WAIT_TIMEOUT) {
        // A process outside the tree still holds a pipe: stop reading.
        for (HANDLE reader : readers)
            CancelSynchronousIo(reader);
        WaitForMultipleObjects(count, readers.data(), TRUE, CancelledReaderMs);
    }
    for (TReader& reader : Readers)
        if (reader.Thread && WaitForSingleObject(reader.Thread.Get(), 0) != WAIT_OBJECT_0) {
            // Never close a pipe under a thread that still reads it.
            reader.Pipe.Release();
            log_->Event(TLogKind::Warning, "an output reader did not end; its pipe is left open");
        }
    Readers.clear();
    if (DWORD code = 0; Process && GetExitCodeProcess(Process.Get(), &code) && code != STILL_ACTIVE)
        ExitCode = code;
    Thread.Close();
    Process.Close();
    Job.Close();
}

TSupervisor::TSupervisor(TStubSettings settings, std::shared_ptr<TStubLog> log, bool captureOutput,
                         HANDLE stopEvent, TSupervisorTiming timing)
    : settings_(std::move(settings)), log_(std::move(log)), captureOutput_(captureOutput), stop_(stopEvent),
      timing_(timing), health_(log_, [this](const THealthReport& report) {
          Publish([&](TProgramStatus& status) {
              status.Health = report.Health;
              status.HealthFailures = report.Failures;
              status.HealthRetries = report.Retries;
              status.HealthCheckedAt = report.CheckedAt;
              status.HealthResult = report.Result;
          });
      })
{
    status_.Description = settings_.Description;
    status_.ServiceID = settings_.ServiceID;
    PrepareConsoleBreaks();
}

bool TSupervisor::ProgramRunning() const
{
    {
        std::lock_guard<std::mutex> hold(statusLock_);
        if (status_.State != TProgramState::Running)
            return false;
    }
    return !StopAsked();
}

TProgramStatus TSupervisor::Status() const
{
    const bool stopAsked = StopAsked();
    std::lock_guard<std::mutex> hold(statusLock_);
    TProgramStatus status = status_;
    const ULONGLONG now = GetTickCount64();
    if (status.State == TProgramState::Running)
        status.UpMs = now - runStartTick_;
    if (status.State == TProgramState::BackingOff && !status.NextStartAt.empty())
        status.NextStartInMs = nextStartTick_ > now ? nextStartTick_ - now : 0;
    else
        status.NextStartAt.clear();
    if (stopAsked && status.State != TProgramState::Stopped) {
        status.State = TProgramState::Stopping;
        status.NextStartAt.clear();
        status.NextStartInMs = 0;
    }
    return status;
}

void TSupervisor::StartReader(TKernelHandle pipe, const char* stream, TProgramRun& run)
{
    auto* arguments = new TReaderArguments{pipe.Get(), stream, settings_.Service.LogTimestamps, log_};
    TKernelHandle thread(
        CreateThread(nullptr, ThreadStackBytes, ReaderMain, arguments, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        delete arguments;
        log_->Event(TLogKind::Warning, std::string("standard ") + (stream[0] == 'o' ? "output" : "error") +
                                           " is not logged: " + SystemMessage(error));
    }
    run.Readers.push_back({std::move(pipe), std::move(thread)});
}

void TSupervisor::Launch(TProgramRun& run)
{
    if (settings_.Program.empty())
        throw TError("no program is set");
    run.Job = TKernelHandle(CreateJobObjectA(nullptr, nullptr));
    if (!run.Job) {
        const DWORD error = GetLastError();
        throw TError("cannot create a job object: " + SystemMessage(error));
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(run.Job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        const DWORD error = GetLastError();
        log_->Event(TLogKind::Warning,
                    "the program's processes would outlive a failing service host: " + SystemMessage(error));
    }

    TKernelHandle input(OpenInheritableNul(GENERIC_READ));
    TKernelHandle outRead, outWrite, errRead, errWrite;
    // A raw log is the program's to write: one file for both streams.
    if (TKernelHandle file = captureOutput_ ? log_->ProgramOutput() : TKernelHandle()) {
        outWrite = std::move(file);
    } else if (captureOutput_) {
        if (!OutputPipe(outRead, outWrite) || !OutputPipe(errRead, errWrite)) {
            const DWORD error = GetLastError();
            throw TError("cannot create the output pipes: " + SystemMessage(error));
        }
    } else {
        outWrite = TKernelHandle(OpenInheritableNul(GENERIC_WRITE));
        errWrite = TKernelHandle(OpenInheritableNul(GENERIC_WRITE));
    }

    STARTUPINFOA startup = HiddenStartup(input.Get(), outWrite.Get(), errWrite ? errWrite.Get() : outWrite.Get());
    std::string line = ProgramCommandLine(settings_.Program, settings_.Parameters);
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    const TServiceSettings& service = settings_.Service;
    std::string folder = service.WorkingFolder.empty() ? FolderOf(settings_.Program) : service.WorkingFolder;
    std::vector<char> environment;
    if (!service.Environment.empty())
        environment = EnvironmentBlock(service.Environment);
    PROCESS_INFORMATION process = {};
    // A console program gets a console of its own without a window. It stays
    // in that console's first process group, the one Ctrl+C reaches: a group
    // of its own would ignore Ctrl+C.
    BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                  environment.empty() ? nullptr : environment.data(),
                                  folder.empty() ? nullptr : folder.c_str(), &startup, &process);
    if (!started) {
        const DWORD error = GetLastError();
        throw TError(SystemMessage(error) + " (error " + std::to_string(error) + ")");
    }
    run.Process = TKernelHandle(process.hProcess);
    run.Thread = TKernelHandle(process.hThread);
    run.Pid = process.dwProcessId;
    figures_.Watch(run.Job.Get(), run.Thread.Get());
    // Set before its first instruction runs (Wine ignores the class given
    // to CreateProcess).
    if (DWORD priority = PriorityClass(service.Priority); priority && !SetPriorityClass(run.Process.Get(), priority))
        log_->Event(TLogKind::Warning, "the program runs at normal priority: " + SystemMessage(GetLastError()));
    // The program's ends are its own now; ours would keep the pipes open.
    input.Close();
    outWrite.Close();
    errWrite.Close();
    if (!AssignProcessToJobObject(run.Job.Get(), run.Process.Get())) {
        const DWORD error = GetLastError();
        log_->Event(TLogKind::Warning, "the program runs outside a job object: " + SystemMessage(error));
    }
    if (outRead)
        StartReader(std::move(outRead), "out", run);
    if (errRead)
        StartReader(std::move(errRead), "err", run);
}

bool TSupervisor::StopRun(TProgramRun& run, const std::function<void()>& progress)
{
    std::string asked = AskToEnd(run.Job.Get(), run.Pid);
    log_->Event(TLogKind::Information, asked.empty() ? "stopping: the program (pid " + std::to_string(run.Pid) +
                                                           ") has neither a console nor a window to be asked on"
                                                     : "stopping: asked the program (pid " +
                                                           std::to_string(run.Pid) + ") to end with " + asked);
    const bool ended = WaitForSingleObject(run.Process.Get(), timing_.GracefulEndMs) == WAIT_OBJECT_0;
    if (ended) {
        DWORD code = 0;
        GetExitCodeProcess(run.Process.Get(), &code);
        Publish([&](TProgramStatus& status) {
            status.LastExitCode = code;
            status.LastExitAt = UtcNow();
        });
        log_->Event(TLogKind::Information, "program exited with code " + std::to_string(code));
    } else {
        log_->Event(TLogKind::Warning,
                    "program did not end within " + std::to_string(timing_.GracefulEndMs) + " ms; ending it");
    }
    progress();
    run.End();
    return !ended;
}

unsigned long TSupervisor::Run(const std::function<void()>& progress)
{
    TRestartRule rule(settings_.Service, timing_.FirstBackOffMs, timing_.BackOffCeilingMs, timing_.SteadyRunMs);
    const std::string commandLine = ProgramCommandLine(settings_.Program, settings_.Parameters);
    while (WaitForSingleObject(stop_, 0) != WAIT_OBJECT_0) {
        if (reload_) {
            reload_(settings_);
            timing_ = TimingOf(settings_.Service, timing_);
            rule.Update(settings_.Service, timing_.FirstBackOffMs, timing_.BackOffCeilingMs);
        }
        TRestartDecision next;
        {
            Publish([](TProgramStatus& status) { status.State = TProgramState::Starting; });
            TProgramRun run(log_, timing_.DrainMs);
            ULONGLONG began = GetTickCount64();
            bool launched = false;
            try {
                Launch(run);
                launched = true;
            } catch (const TError& error) {
                next = rule.After(std::nullopt, 0, GetTickCount64());
                BackingOff(next, std::nullopt, error.Message());
                log_->Event(TLogKind::Error, "cannot start " + commandLine + ": " + error.Message());
            }
            if (launched) {
                // Marked before it runs, so whatever it does comes after.
                Publish([&](TProgramStatus& status) {
                    status.State = TProgramState::Running;
                    status.Pid = run.Pid;
                    status.StartedAt = UtcNow();
                    ++status.Starts;
                    status.StartFailure.clear();
                    runStartTick_ = GetTickCount64();
                });
                ResumeThread(run.Thread.Get());
                log_->Event(TLogKind::Information, "started " + commandLine + " with pid " + std::to_string(run.Pid));
                health_.Begin(HealthPlanOf(settings_));
                HANDLE waits[] = {run.Process.Get(), stop_, health_.RestartWanted()};
                DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
                const DWORD error = GetLastError();
                health_.End();
                if (woke == WAIT_OBJECT_0 + 1) {
                    const bool killed = StopRun(run, progress);
                    Publish([](TProgramStatus& status) { Stopped(status); });
                    Ending(TEndReason::Requested, "stopped on request", killed, 0);
                    return 0;
                }
                if (woke == WAIT_OBJECT_0 + 2) {
                    // Unhealthy: stopped the polite way, and its end is a
                    // failure to the restart rule. The service runs on.
                    Publish([](TProgramStatus& status) { status.State = TProgramState::Stopping; });
                    StopRun(run, [] {});
                    next = rule.After(run.ExitCode, GetTickCount64() - began, GetTickCount64(), true);
                    BackingOff(next, run.ExitCode, "");
                } else if (woke != WAIT_OBJECT_0) {
                    throw TError("cannot wait for the program: " + SystemMessage(error));
                } else {
                    const uint64_t ranMs = GetTickCount64() - began;
                    DWORD code = 0;
                    GetExitCodeProcess(run.Process.Get(), &code);
                    next = rule.After(code, ranMs, GetTickCount64());
                    BackingOff(next, code, "");
                    run.End();
                    log_->Event(code == 0 ? TLogKind::Information : TLogKind::Warning,
                                "program exited with code " + std::to_string(code));
                }
            }
        }
        if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
            break;
        if (!next.Restart) {
            log_->Event(next.ServiceExitCode ? TLogKind::Warning : TLogKind::Information,
                        "stopping the service: " + next.Why);
            Ending(next.Reason, next.Why, false, next.ServiceExitCode, &next);
            return next.ServiceExitCode;
        }
        log_->Event(TLogKind::Information, "restarting in " + std::to_string(next.WaitMs) + " ms");
        // The start comes when the status said it would.
        ULONGLONG now = GetTickCount64();
        if (WaitForSingleObject(stop_, static_cast<DWORD>(nextStartTick_ > now ? nextStartTick_ - now : 0)) ==
            WAIT_OBJECT_0)
            break;
    }
    log_->Event(TLogKind::Information, "stopping: the program is not running");
    Publish([](TProgramStatus& status) { Stopped(status); });
    Ending(TEndReason::Requested, "stopped on request", false, 0);
    return 0;
}

void TSupervisor::Ending(TEndReason reason, const std::string& why, bool programKilled, unsigned long serviceExitCode,
                         const TRestartDecision* decision)
{
    std::lock_guard<std::mutex> hold(statusLock_);
    end_.At = UtcNow();
    end_.Reason = reason;
    end_.Why = why;
    end_.Starts = status_.Starts;
    end_.CountedStarts = decision ? decision->CountedStarts : 0;
    end_.WindowSeconds = decision ? decision->WindowSeconds : 0;
    end_.LastExitCode = status_.LastExitCode;
    end_.ProgramKilled = programKilled;
    end_.StopTimeoutSeconds = timing_.GracefulEndMs / 1000;
    end_.ServiceExitCode = serviceExitCode;
}

TServiceEnd TSupervisor::End() const
{
    std::lock_guard<std::mutex> hold(statusLock_);
    return end_;
}

void TSupervisor::Publish(const std::function<void(TProgramStatus&)>& change)
{
    std::lock_guard<std::mutex> hold(statusLock_);
    change(status_);
}

void TSupervisor::BackingOff(const TRestartDecision& next, std::optional<unsigned long> exitCode,
                             const std::string& failure)
{
    Publish([&](TProgramStatus& status) {
        status.Pid = 0;
        if (exitCode) {
            status.LastExitCode = exitCode;
            status.LastExitAt = UtcNow();
        }
        status.StartFailure = failure;
        if (!next.Restart) {
            Stopped(status);
            return;
        }
        status.State = TProgramState::BackingOff;
        status.NextStartAt = UtcIn(next.WaitMs);
        nextStartTick_ = GetTickCount64() + next.WaitMs;
    });
}

void TSupervisor::Stopped(TProgramStatus& status)
{
    status.State = TProgramState::Stopped;
    status.Pid = 0;
    status.NextStartAt.clear();
}
