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

void TRecordingLog::Output(const char* stream, const std::string& line)
{
    std::lock_guard<std::mutex> hold(lock_);
    lines_.push_back(std::string(stream) + ": " + line);
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

bool ProcessRunning(DWORD pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return false;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}
