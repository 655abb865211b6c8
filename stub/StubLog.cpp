#include "stub/StubLog.h"

#include "platform/Kernel.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// "2024-03-05 14:07:09.042 "
constexpr size_t StampBytes = 24;

void AppendStamp(std::string& to, const SYSTEMTIME& time)
{
    char stamp[StampBytes + 8];
    int size = std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", time.wYear, time.wMonth,
                             time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    to.append(stamp, static_cast<size_t>(size));
}

// The length of the whole lines at the start of data, at most room bytes.
size_t WholeLines(const char* data, size_t size, size_t room)
{
    for (size_t end = room < size ? room : size; end > 0; --end)
        if (data[end - 1] == '\n')
            return end;
    return 0;
}

} // namespace

std::string LogLine(const SYSTEMTIME& time, const std::string& text, bool stamped)
{
    std::string line;
    if (stamped)
        AppendStamp(line, time);
    return line + text + "\r\n";
}

void TOutputLines::Emit(const std::string& prefix, const char* line, size_t size)
{
    do {
        size_t piece = size < LongestLine ? size : LongestLine;
        lines_.append(prefix);
        lines_.append(line, piece);
        lines_.append("\r\n", 2);
        line += piece;
        size -= piece;
    } while (size > 0);
}

void TOutputLines::Add(const SYSTEMTIME& arrived, const char* data, size_t size)
{
    std::string prefix;
    if (stamped_)
        AppendStamp(prefix, arrived);
    prefix.append(stream_).append(": ");
    const char* end = data + size;
    while (const char* feed = static_cast<const char*>(std::memchr(data, '\n', static_cast<size_t>(end - data)))) {
        const char* line = data;
        size_t length = static_cast<size_t>(feed - data);
        if (!unended_.empty()) {
            unended_.append(data, length);
            line = unended_.data();
            length = unended_.size();
        }
        if (length > 0 && line[length - 1] == '\r')
            --length;
        Emit(prefix, line, length);
        unended_.clear();
        data = feed + 1;
    }
    unended_.append(data, static_cast<size_t>(end - data));
    if (unended_.size() >= LongestLine) {
        size_t whole = unended_.size() / LongestLine * LongestLine;
        Emit(prefix, unended_.data(), whole);
        unended_.erase(0, whole);
    }
}

void TOutputLines::Finish(const SYSTEMTIME& now)
{
    if (unended_.empty())
        return;
    std::string rest;
    rest.swap(unended_);
    rest.push_back('\n');
    Add(now, rest.data(), rest.size());
}

namespace {

constexpr uint64_t FileTimeUnitsPerDay = 864000000000ull;

// Days since 1601 of a local time, so days compare across months and years.
uint64_t DayOf(const SYSTEMTIME& time)
{
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file))
        return 0;
    return ((static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime) / FileTimeUnitsPerDay;
}

SYSTEMTIME LocalNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return now;
}

// The day of the time a file was last written, as the clock tells days; the
// clock's own day when the file has none.
uint64_t WrittenDay(const FILETIME& written, const TLogClock& clock)
{
    FILETIME local;
    SYSTEMTIME time;
    if (FileTimeToLocalFileTime(&written, &local) && FileTimeToSystemTime(&local, &time))
        return DayOf(time);
    return DayOf(clock());
}

std::string ErrorWords(DWORD error)
{
    return "the log could not be written (error " + std::to_string(error) + ")";
}

HANDLE OpenInheritable(const char* path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TFileLog::TFileLog(std::string path, TLogRotation rotation, bool stamped)
    : path_(std::move(path)), stamped_(stamped), clock_(LocalNow)
{
    Configure(rotation, stamped);
}

void TFileLog::Configure(TLogRotation rotation, bool stamped, bool raw)
{
    std::lock_guard<std::mutex> hold(lock_);
    rotation_ = rotation;
    if (rotation_.OldFiles < 1)
        rotation_.OldFiles = 1;
    stamped_ = stamped;
    rotateAt_ = SizeLimit();
    raw_ = raw;
    // The file is the program's from its next start; lines reopen it.
    if (raw_)
        file_.Close();
    else
        handedOver_ = false;
}

void TFileLog::SetRawEvents(std::shared_ptr<TStubLog> events)
{
    std::lock_guard<std::mutex> hold(lock_);
    rawEvents_ = std::move(events);
}

void TFileLog::SetClock(TLogClock clock)
{
    std::lock_guard<std::mutex> hold(lock_);
    clock_ = std::move(clock);
}

uint64_t TFileLog::SizeLimit() const
{
    return rotation_.LimitBytes ? rotation_.LimitBytes : UINT64_MAX;
}

bool TFileLog::NewDay()
{
    if (!rotation_.Daily)
        return false;
    const uint64_t today = DayOf(clock_());
    if (linesBytes_ == 0)
        day_ = today;
    // A clock set back across midnight keeps the file's day, so that day
    // does not start a second file; set back further, it is taken as it is.
    if (today + 1 < day_)
        day_ = today;
    return today > day_;
}

bool TFileLog::OpenFile(DWORD disposition)
{
    // Others may read, move or delete the file while we hold it.
    file_ = TKernelHandle(CreateFileA(path_.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        openError_ = GetLastError();
        return false;
    }
    LARGE_INTEGER size = {};
    size_ = GetFileSizeEx(file_.Get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    linesBytes_ = size_;
    checkedAt_ = GetTickCount64();
    sinceCheck_ = 0;
    // A file kept from before holds the lines of the day it was last written.
    FILETIME written;
    day_ = size_ > 0 && GetFileTime(file_.Get(), nullptr, nullptr, &written) ? WrittenDay(written, clock_)
                                                                            : DayOf(clock_());
    return true;
}

bool TFileLog::Reopen()
{
    return (file_ || OpenFile(OPEN_ALWAYS)) && (dropped_ == 0 || WriteDroppedNote());
}

void TFileLog::Open()
{
    std::lock_guard<std::mutex> hold(lock_);
    if (OpenFile(OPEN_ALWAYS))
        return;
    throw TError("cannot open the log file \"" + path_ + "\" (error " + std::to_string(openError_) + ")");
}

// A file deleted, or its folder removed or moved away (as into the recycle
// bin), leaves us writing where nobody reads: asked of the path now and then
// rather than at every line, which it would slow.
void TFileLog::CheckPath()
{
    const ULONGLONG now = GetTickCount64();
    if (!file_ || now - checkedAt_ < PathCheckMs)
        return;
    checkedAt_ = now;
    BY_HANDLE_FILE_INFORMATION held = {}, named = {};
    if (!GetFileInformationByHandle(file_.Get(), &held)) {
        // Nothing to compare with: the file stays as it is.
        sinceCheck_ = 0;
        return;
    }
    const TKernelHandle atPath(CreateFileA(path_.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (atPath && GetFileInformationByHandle(atPath.Get(), &named) &&
        named.dwVolumeSerialNumber == held.dwVolumeSerialNumber && named.nFileIndexHigh == held.nFileIndexHigh &&
        named.nFileIndexLow == held.nFileIndexLow) {
        sinceCheck_ = 0;
        return;
    }
    // What went into a deleted file since the last look is gone with it; a
    // file moved away keeps it.
    FILE_STANDARD_INFO standard = {};
    if (held.nNumberOfLinks == 0 ||
        (KernelApi().GetFileInformationByHandleEx(file_.Get(), FileStandardInfo, &standard, sizeof standard) &&
         standard.DeletePending))
        Drop(sinceCheck_, "the log file was deleted");
    file_.Close();
    Reopen();
}

TLogState TFileLog::State()
{
    std::lock_guard<std::mutex> hold(lock_);
    TLogState state;
    state.Raw = raw_;
    if (raw_) {
        state.Open = handedOver_;
    } else {
        CheckPath();
        state.Open = Reopen();
        state.DroppedBytes = dropped_;
    }
    state.DroppedTotalBytes = droppedTotal_;
    state.DeletedBytes = deleted_;
    const std::string folder = FolderOf(path_);
    state.FolderMissing = !folder.empty() && !FolderExists(folder);
    return state;
}

std::string TFileLog::Stamped(const std::string& text) const
{
    return LogLine(clock_(), text, stamped_);
}

std::string TFileLog::OldFile(unsigned number) const
{
    std::string digits = std::to_string(number);
    const size_t width = std::to_string(rotation_.OldFiles).size();
    return path_ + "." + std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

uint64_t TFileLog::OldFilesBytes() const
{
    uint64_t bytes = 0;
    for (unsigned number = 1; number <= rotation_.OldFiles; ++number) {
        WIN32_FILE_ATTRIBUTE_DATA file;
        if (GetFileAttributesExA(OldFile(number).c_str(), GetFileExInfoStandard, &file))
            bytes += (static_cast<uint64_t>(file.nFileSizeHigh) << 32) | file.nFileSizeLow;
    }
    return bytes;
}

// Old files numbered in another width (the kept count went from 9 to 10,
// say) take today's names, and those past the kept count go, so every old
// file is counted and deleted in its turn. Returns the bytes deleted. A log
// that keeps one old file, as every log did before the count could be set,
// never had others and leaves any file beside it alone.
uint64_t TFileLog::TidyOldFiles()
{
    if (rotation_.OldFiles < 2)
        return 0;
    // The kept count stays below 1,000: an old file's number has at most
    // three digits, and a longer one is none of ours.
    constexpr size_t MostDigits = 3;
    const std::string folder = path_.substr(0, path_.find_last_of("\\/") + 1);
    const size_t numberAt = path_.size() - folder.size() + 1;
    WIN32_FIND_DATAA found;
    const TFindHandle search(FindFirstFileA((path_ + ".*").c_str(), &found));
    if (!search)
        return 0;
    std::vector<std::pair<unsigned, std::string>> odd;
    do {
        const std::string name = found.cFileName;
        const std::string digits = name.size() > numberAt ? name.substr(numberAt) : "";
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY || digits.empty() || digits.size() > MostDigits ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const unsigned number = static_cast<unsigned>(std::stoul(digits));
        if (number > rotation_.OldFiles || (number > 0 && digits != OldFile(number).substr(path_.size() + 1)))
            odd.emplace_back(number, folder + name);
    } while (FindNextFileA(search.Get(), &found));
    uint64_t deleted = 0;
    for (const auto& [number, file] : odd) {
        // Moved only where today's name is free, so no newer file is lost.
        if (number <= rotation_.OldFiles && MoveFileExA(file.c_str(), OldFile(number).c_str(), 0))
            continue;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data) && DeleteFileA(file.c_str()))
            deleted += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return deleted;
}

// Moves the file (of size_ bytes) to "<file>.1" and the old files one
// number on. words: what the new file's first line says, or why the move
// was refused (then false).
bool TFileLog::MoveAside(std::string& words)
{
    deleted_ += TidyOldFiles();
    const uint64_t before = size_ + OldFilesBytes();
    // Oldest first, so every move finds its place free and only the oldest
    // file is replaced. The file itself moves aside while we may still hold
    // it (we share deletion for that). A refused move (someone reads an old
    // file without sharing deletion) costs nothing: the next move would
    // replace the file that stayed, so we stop and try again later.
    for (unsigned number = rotation_.OldFiles; number > 0; --number) {
        const std::string from = number > 1 ? OldFile(number - 1) : path_, to = OldFile(number);
        const bool moved = MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
        const DWORD error = moved ? ERROR_SUCCESS : GetLastError();
        if (!moved && error != ERROR_FILE_NOT_FOUND) {
            words = "the log could not be moved to \"" + to + "\" (error " + std::to_string(error) + ")";
            return false;
        }
    }
    const uint64_t held = OldFilesBytes();
    deleted_ += before > held ? before - held : 0;
    std::string files = "\"" + OldFile(1) + "\" holds";
    if (rotation_.OldFiles > 1)
        files = "\"" + OldFile(1) + "\" to \"" + OldFile(rotation_.OldFiles) + "\" hold";
    words = "log continued: " + files + " the " + std::to_string(held) + " bytes before this file; " +
            std::to_string(deleted_) + " bytes of older lines have been deleted since the service host started";
    return true;
}

void TFileLog::Rotate()
{
    std::string words;
    if (!MoveAside(words)) {
        // The file keeps growing, whole, until it has grown by another limit.
        rotateAt_ = rotation_.LimitBytes ? size_ + rotation_.LimitBytes : UINT64_MAX;
        day_ = DayOf(clock_());
        std::string warning = Stamped("warning: " + words + "; it grows until the next try");
        Append(warning.data(), warning.size());
        return;
    }
    file_.Close();
    rotateAt_ = SizeLimit();
    if (!OpenFile(OPEN_ALWAYS))
        return;
    std::string note = Stamped(words);
    Append(note.data(), note.size());
    linesBytes_ = 0;
}

TKernelHandle TFileLog::ProgramOutput()
{
    std::shared_ptr<TStubLog> events;
    std::string said, refused;
    TKernelHandle file;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!raw_)
            return {};
        events = rawEvents_;
        file_.Close();
        handedOver_ = false;
        // The host sees no line of a raw log: the file moves aside now or
        // not until the program's next start.
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)) {
            size_ = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            const bool full = rotation_.LimitBytes && size_ >= rotation_.LimitBytes;
            const bool olderDay =
                rotation_.Daily && size_ > 0 && WrittenDay(data.ftLastWriteTime, clock_) < DayOf(clock_());
            if ((full || olderDay) && !MoveAside(said)) {
                refused = said + "; it grows until the program's next start";
                said.clear();
            }
        }
        // Written from its end on. A handle that may only append costs a
        // round trip to the Wine server at every write, halving a flood's
        // speed there; the program and its children share this one handle,
        // and so its place at the end.
        file = TKernelHandle(OpenInheritable(path_.c_str(), FILE_WRITE_DATA | FILE_APPEND_DATA, OPEN_ALWAYS));
        const DWORD error = file ? ERROR_SUCCESS : GetLastError();
        const LARGE_INTEGER none = {};
        if (file)
            SetFilePointerEx(file.Get(), none, nullptr, FILE_END);
        handedOver_ = static_cast<bool>(file);
        if (!file)
            refused = "the program's output is not logged until its next start: the log file \"" + path_ +
                      "\" cannot be opened (error " + std::to_string(error) + ")";
    }
    if (events && !said.empty())
        events->Event(TLogKind::Information, said);
    if (events && !refused.empty())
        events->Event(TLogKind::Warning, refused);
    if (!file)
        file = TKernelHandle(OpenInheritable("NUL", GENERIC_WRITE, OPEN_EXISTING));
    return file;
}

void TFileLog::Drop(uint64_t bytes, const std::string& why)
{
    if (bytes == 0)
        return;
    if (dropped_ == 0)
        dropWhy_ = why;
    dropped_ += bytes;
    droppedTotal_ += bytes;
}

bool TFileLog::Append(const char* data, size_t size)
{
    DWORD written = 0;
    BOOL done = KernelApi().WriteFile(file_.Get(), data, static_cast<DWORD>(size), &written, nullptr);
    const DWORD error = done ? ERROR_DISK_FULL : GetLastError();
    size_ += written;
    linesBytes_ += written;
    sinceCheck_ += written;
    if (done && written == size)
        return true;
    Drop(size - written, ErrorWords(error));
    cut_ = cut_ || written > 0;
    return false;
}

// The count of what was dropped, before any line written after it.
bool TFileLog::WriteDroppedNote()
{
    // A write cut short left a line open: the note starts its own.
    std::string note = cut_ ? "\r\n" : "";
    note += Stamped("warning: " + std::to_string(dropped_) + " bytes dropped: " + dropWhy_);
    const uint64_t dropped = dropped_;
    const uint64_t droppedTotal = droppedTotal_;
    const bool cut = cut_;
    dropped_ = 0;
    cut_ = false;
    if (Append(note.data(), note.size()))
        return true;
    // Nothing changed: the same note waits for the next write.
    dropped_ = dropped;
    droppedTotal_ = droppedTotal;
    cut_ = cut || cut_;
    return false;
}

void TFileLog::WriteLines(const char* data, size_t size)
{
    // The day's first line starts a file of its own.
    if (NewDay())
        Rotate();
    // Rotation is tried once for each line that does not fit.
    bool tried = false;
    while (size > 0) {
        // A new file that could not be made (its folder went meanwhile).
        if (!file_) {
            Drop(size, ErrorWords(openError_));
            return;
        }
        size_t room = rotateAt_ > size_ ? static_cast<size_t>(rotateAt_ - size_) : 0;
        size_t fit = WholeLines(data, size, room);
        if (fit == 0 && linesBytes_ > 0 && !tried) {
            Rotate();
            tried = true;
            continue;
        }
        if (fit == 0) {
            // Longer than a file may grow: it goes in whole all the same.
            const char* feed = static_cast<const char*>(std::memchr(data, '\n', size));
            fit = feed ? static_cast<size_t>(feed - data) + 1 : size;
        }
        if (!Append(data, fit)) {
            dropped_ += size - fit;
            droppedTotal_ += size - fit;
            return;
        }
        data += fit;
        size -= fit;
        tried = false;
    }
}

void TFileLog::Write(const std::string& lines)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (raw_)
        return;
    CheckPath();
    if (!Reopen()) {
        Drop(lines.size(), ErrorWords(openError_));
        return;
    }
    WriteLines(lines.data(), lines.size());
}

std::shared_ptr<TStubLog> TFileLog::RawEvents()
{
    std::lock_guard<std::mutex> hold(lock_);
    return raw_ ? rawEvents_ : nullptr;
}

void TFileLog::Event(TLogKind kind, const std::string& text)
{
    if (std::shared_ptr<TStubLog> events = RawEvents()) {
        events->Event(kind, text);
        return;
    }
    switch (kind) {
    case TLogKind::Information:
        Write(Stamped(text));
        break;
    case TLogKind::Warning:
        Write(Stamped("warning: " + text));
        break;
    case TLogKind::Error:
        Write(Stamped("error: " + text));
        break;
    }
}

void TFileLog::Detail(const std::string& text)
{
    Write(Stamped(text));
}

void TFileLog::Output(const std::string& lines)
{
    Write(lines);
}

TEventLog::TEventLog(const std::string& source) : source_(EventLogApi().RegisterEventSourceA(nullptr, source.c_str()))
{
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
    EventLogApi().ReportEventA(source_.Get(), type, 0, id, nullptr, 1, 0, strings, nullptr);
}
