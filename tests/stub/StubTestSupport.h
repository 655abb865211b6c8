#pragma once
#include <windows.h>

#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Programs.h"
#include "fixtures/Watching.h"
#include "platform/Kernel.h"
#include "stub/StubLog.h"
#include "stub/Supervisor.h"

// Every line and event handed to the log, in order; output lines without
// their stamp.
class TRecordingLog : public TStubLog {
public:
    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string& text) override;
    void Output(const std::string& lines) override;
    std::vector<std::string> Lines();
    bool Has(const std::string& part);
    int Count(const std::string& part);

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// The lines, each ended with "\n".
std::string Joined(const std::vector<std::string>& lines);
// Lines of a text that hold part, in order.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part);
// A whole line of a log file as LinesWith gives it: a stamp first, "\r" last.
bool IsStamped(const std::string& line);
// True while the process runs.
bool ProcessRunning(DWORD pid);

// Short waits, so a test sees many restarts and a quick stop.
TSupervisorTiming QuickTiming();

// A supervisor running on its own thread until the test stops it.
class TRunningSupervisor {
public:
    // Logs to log when one is given, else to Log().
    TRunningSupervisor(const std::string& program, const std::string& parameters,
                       TSupervisorTiming timing = QuickTiming(), std::shared_ptr<TStubLog> log = nullptr,
                       const TServiceSettings& service = {});
    ~TRunningSupervisor();
    void Stop();
    TRecordingLog& Log() { return *log_; }
    TSupervisor& Supervisor() { return *supervisor_; }
    int Progress() const { return progress_; }
    bool ProgramRunning() const { return supervisor_->ProgramRunning(); }
    void AskToStop() { SetEvent(stop_.Get()); }
    // Run() returned by itself, with that code.
    bool Ended() const { return ended_; }
    unsigned long ExitCode() const { return exitCode_; }

private:
    std::shared_ptr<TRecordingLog> log_;
    TKernelHandle stop_;
    std::unique_ptr<TSupervisor> supervisor_;
    std::thread thread_;
    int progress_ = 0;
    std::atomic<bool> ended_{false};
    std::atomic<unsigned long> exitCode_{0};
};
