#include "tests/stub/StubTestSupport.h"

#include <sstream>

void TRecordingLog::Event(TLogKind kind, const std::string& text)
{
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(std::string(kind == TLogKind::Information ? "info" : kind == TLogKind::Warning ? "warning" : "error") +
                     ": " + text);
}

void TRecordingLog::Detail(const std::string& text)
{
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back("detail: " + text);
}

void TRecordingLog::Output(const std::string& lines)
{
    // "2024-03-05 14:07:09.042 out: text\r\n"
    constexpr size_t stamp = 24;
    std::lock_guard<std::mutex> hold(lock_);
    for (size_t start = 0, end; (end = lines.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines_.push_back(lines.substr(start + stamp, end - start - stamp));
}

std::vector<std::string> TRecordingLog::Lines()
{
    std::lock_guard<std::mutex> hold(lock_);
    return lines_;
}

bool TRecordingLog::Has(const std::string& part)
{
    return Count(part) > 0;
}

int TRecordingLog::Count(const std::string& part)
{
    std::lock_guard<std::mutex> hold(lock_);
    int count = 0;
    for (const std::string& line : lines_)
        if (line.find(part) != std::string::npos)
            ++count;
    return count;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& part)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

bool IsStamped(const std::string& line)
{
    return line.size() > 25 && line[4] == '-' && line[13] == ':' && line[23] == ' ' && line.back() == '\r';
}

bool ProcessRunning(DWORD pid)
{
    const TKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

TSupervisorTiming QuickTiming()
{
    TSupervisorTiming timing;
    timing.FirstBackOffMs = 50;
    timing.BackOffCeilingMs = 200;
    timing.SteadyRunMs = 60000;
    timing.GracefulEndMs = 2000;
    timing.DrainMs = 1000;
    return timing;
}

TRunningSupervisor::TRunningSupervisor(const std::string& program, const std::string& parameters,
                                       TSupervisorTiming timing, std::shared_ptr<TStubLog> log,
                                       const TServiceSettings& service)
    : log_(std::make_shared<TRecordingLog>()), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
{
    TStubSettings settings;
    settings.Description = "supervisor test";
    settings.Program = program;
    settings.Parameters = parameters;
    settings.Service = service;
    supervisor_ = std::make_unique<TSupervisor>(settings, log ? log : log_, true, stop_.Get(), timing);
    thread_ = std::thread([this] {
        exitCode_ = supervisor_->Run([this] { ++progress_; });
        ended_ = true;
    });
}

TRunningSupervisor::~TRunningSupervisor()
{
    Stop();
}

void TRunningSupervisor::Stop()
{
    SetEvent(stop_.Get());
    if (thread_.joinable())
        thread_.join();
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}
