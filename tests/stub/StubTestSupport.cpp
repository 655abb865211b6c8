#include "tests/stub/StubTestSupport.h"

#include <sstream>

std::string WindowsPath(const char* unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

bool WaitFor(const std::function<bool()>& check, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!check()) {
        if (GetTickCount64() >= deadline)
            return check();
        Sleep(20);
    }
    return true;
}

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

long long NumberAfter(const std::string& text, const std::string& prefix)
{
    size_t at = text.find(prefix);
    if (at == std::string::npos)
        return -1;
    at += prefix.size();
    long long value = 0;
    bool any = false;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        value = value * 10 + (text[at++] - '0');
        any = true;
    }
    return any ? value : -1;
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
