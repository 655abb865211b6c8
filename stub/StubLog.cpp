#include "stub/StubLog.h"

#include <cstdio>

std::string LogLine(const SYSTEMTIME& time, const std::string& text)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", time.wYear, time.wMonth, time.wDay,
                  time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return stamp + text + "\r\n";
}

TFileLog::TFileLog(std::string path, uint64_t limit) : path_(std::move(path)), limit_(limit), rotateAt_(limit) {}

bool TFileLog::OpenFile(DWORD disposition)
{
    // Others may read, move or delete the file while we hold it.
    file_ = TKernelHandle(CreateFileA(path_.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_)
        return false;
    LARGE_INTEGER size = {};
    size_ = GetFileSizeEx(file_.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    return true;
}

bool TFileLog::Open(std::string& reason)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (OpenFile(OPEN_ALWAYS))
        return true;
    reason = "cannot open the log file \"" + path_ + "\" (error " + std::to_string(GetLastError()) + ")";
    return false;
}

std::string TFileLog::Stamped(const std::string& text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LogLine(now, text);
}

void TFileLog::Rotate()
{
    // The file moves aside while we still hold it (we share deletion for
    // that), so a refused move costs nothing: we keep appending and try again
    // once the file has grown by another limit.
    std::string backup = path_ + ".1";
    if (!MoveFileExA(path_.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        rotateAt_ = size_ + limit_;
        Append(Stamped("warning: the log could not be moved to \"" + backup + "\" (error " + std::to_string(error) +
                       "); it grows until the next try"));
        return;
    }
    file_.Close();
    rotateAt_ = limit_;
    OpenFile(OPEN_ALWAYS);
}

void TFileLog::Append(const std::string& line)
{
    DWORD written = 0;
    if (WriteFile(file_.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        size_ += written;
}

void TFileLog::Write(const std::string& text)
{
    std::string line = Stamped(text);
    std::lock_guard<std::mutex> hold(lock_);
    if (!file_)
        return;
    if (size_ > 0 && size_ + line.size() > rotateAt_)
        Rotate();
    if (file_)
        Append(line);
}

void TFileLog::Event(TLogKind kind, const std::string& text)
{
    switch (kind) {
    case TLogKind::Information:
        Write(text);
        break;
    case TLogKind::Warning:
        Write("warning: " + text);
        break;
    case TLogKind::Error:
        Write("error: " + text);
        break;
    }
}

void TFileLog::Detail(const std::string& text)
{
    Write(text);
}

void TFileLog::Output(const char* stream, const std::string& line)
{
    Write(std::string(stream) + ": " + line);
}

TEventLog::TEventLog(const std::string& source)
{
    source_ = EventLogApi().RegisterEventSourceA(nullptr, source.c_str());
}

TEventLog::~TEventLog()
{
    if (source_)
        EventLogApi().DeregisterEventSource(source_);
}

void TEventLog::Event(TLogKind kind, const std::string& text)
{
    WORD type = EVENTLOG_INFORMATION_TYPE;
    DWORD id = InformationMessageID;
    if (kind == TLogKind::Warning) {
        type = EVENTLOG_WARNING_TYPE;
        id = WarningMessageID;
    } else if (kind == TLogKind::Error) {
        type = EVENTLOG_ERROR_TYPE;
        id = ErrorMessageID;
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (!source_)
        return;
    const char* strings[] = {text.c_str()};
    EventLogApi().ReportEventA(source_, type, 0, id, nullptr, 1, 0, strings, nullptr);
}
