#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Kernel.h"

enum class TLogKind { Information, Warning, Error };

// Where the host writes what happens. Lifecycle events go to every log;
// details (ignored input) and the program's own output only to a file,
// never to the event log, which they would flood.
class TStubLog {
public:
    virtual ~TStubLog() = default;
    virtual void Event(TLogKind kind, const std::string& text) = 0;
    virtual void Detail(const std::string& text) = 0;
    // Whole lines of the program's output, stamped and marked already (as
    // TOutputLines makes them), kept together in the log.
    virtual void Output(const std::string& lines) = 0;
    // The file the program writes itself as its standard output and error
    // (a raw log), inheritable and written from its end, for one start of
    // the program; none when its output comes here as lines.
    virtual TKernelHandle ProgramOutput() { return {}; }
};

// "2024-03-05 14:07:09.042 text\r\n", or "text\r\n" unstamped.
std::string LogLine(const SYSTEMTIME& time, const std::string& text, bool stamped = true);

// Turns what one output stream of the program delivers into log lines
// ("<stamp> out: <line>\r\n"), stamped with the time the piece arrived. A
// carriage return before the line feed goes; a line longer than
// LongestLine is logged in pieces; an unended line waits for its end.
class TOutputLines {
public:
    static constexpr size_t LongestLine = 4096;

    // stream: "out" or "err"; stamped: lines begin with their time.
    explicit TOutputLines(const char* stream, bool stamped = true) : stream_(stream), stamped_(stamped) {}

    void Add(const SYSTEMTIME& arrived, const char* data, size_t size);
    // The stream ended: an unended last line counts as a line.
    void Finish(const SYSTEMTIME& now);

    // The lines made so far, for the log; Clear once they are written.
    const std::string& Lines() const { return lines_; }
    void Clear() { lines_.clear(); }

private:
    void Emit(const std::string& prefix, const char* line, size_t size);

    std::string stream_;
    bool stamped_;
    std::string unended_;
    std::string lines_;
};

// When the log moves aside: past LimitBytes (0: never by size), and with
// Daily at the first line of a new day, the file becomes "<file>.1", an
// older "<file>.1" becomes "<file>.2" and so on; past OldFiles the oldest
// is deleted. The numbers have as many digits as OldFiles ("<file>.01" to
// "<file>.14"), so the names sort by age.
struct TLogRotation {
    uint64_t LimitBytes = 1024 * 1024;
    unsigned OldFiles = 1;
    bool Daily = false;
};

// Where the log takes the time from; tests pass their own.
using TLogClock = std::function<SYSTEMTIME()>;

// What the host knows of its log file, for the status answer.
struct TLogState {
    // Lines reach the file; in raw mode, the program got it at its last start.
    bool Open = false;
    // The file's folder is gone: nothing reaches the file until it is made
    // again.
    bool FolderMissing = false;
    // The program writes the file itself; the host's own events go to the
    // event log.
    bool Raw = false;
    // Bytes dropped since the last write that worked; the file says so first
    // once it can be written again.
    uint64_t DroppedBytes = 0;
    // Since the host started: every byte dropped, and the bytes of old files
    // the rotation deleted.
    uint64_t DroppedTotalBytes = 0;
    uint64_t DeletedBytes = 0;
};

// Appends timestamped lines to a file, whole lines at a time, so a line is
// never split between two files nor mixed with another. Each rotation
// starts the new file with a line telling how many bytes the old files hold
// and how many were deleted so far, so a flood loses nothing unsaid. A move
// that fails never costs a line: the file keeps growing and the move is
// tried again one limit later. A write that fails never holds the program
// up: what cannot be written is counted and the count logged once writing
// works again. A file deleted or a folder removed under it is noticed at a
// write within PathCheckMs, and the file made again as soon as it can be.
//
// In raw mode the program writes the file itself: the file moves aside only
// when the program starts (ProgramOutput), and the host's events go to the
// log given to SetRawEvents (the event log), so the file holds the
// program's bytes and nothing else.
class TFileLog : public TStubLog {
public:
    // How often at most a write asks whether the file is still at its path.
    static constexpr ULONGLONG PathCheckMs = 1000;

    explicit TFileLog(std::string path, TLogRotation rotation = {}, bool stamped = true);
    TFileLog(const TFileLog&) = delete;
    TFileLog& operator=(const TFileLog&) = delete;

    // Raises a TError with the reason when the file cannot be opened for
    // appending.
    void Open();

    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string& text) override;
    void Output(const std::string& lines) override;
    // Raw mode: moves the file aside when it is due, and opens it for the
    // program. A file that cannot be opened is said in the event log, and the
    // program's output goes nowhere until its next start.
    TKernelHandle ProgramOutput() override;

    const std::string& Path() const { return path_; }
    // Settings changed while the host runs take effect from the next line;
    // the mode, at the program's next start.
    void Configure(TLogRotation rotation, bool stamped, bool raw = false);
    void SetRawEvents(std::shared_ptr<TStubLog> events);
    void SetClock(TLogClock clock);
    // Current to the last PathCheckMs; a file that can be made again is.
    TLogState State();

private:
    std::string Stamped(const std::string& text) const;
    uint64_t SizeLimit() const;
    void Write(const std::string& lines);
    // Where events go instead of the file: raw mode's events log, or none.
    std::shared_ptr<TStubLog> RawEvents();
    // These expect the lock held.
    void WriteLines(const char* data, size_t size);
    bool Append(const char* data, size_t size);
    void Drop(uint64_t bytes, const std::string& why);
    bool WriteDroppedNote();
    bool OpenFile(DWORD disposition);
    bool Reopen();
    void CheckPath();
    std::string OldFile(unsigned number) const;
    bool NewDay();
    uint64_t OldFilesBytes() const;
    uint64_t TidyOldFiles();
    bool MoveAside(std::string& words);
    void Rotate();

    std::string path_;
    TLogRotation rotation_;
    bool stamped_;
    TLogClock clock_;
    // The day (since 1601, local) the file's lines are of.
    uint64_t day_ = 0;
    // The size past which the next line moves the file aside.
    uint64_t rotateAt_;
    std::mutex lock_;
    TKernelHandle file_;
    uint64_t size_ = 0;
    // Bytes of lines in the file since it was started or moved aside.
    uint64_t linesBytes_ = 0;
    // Bytes of older lines that rotation deleted since the host started.
    uint64_t deleted_ = 0;
    // Bytes no write took since the last write that worked, and why.
    uint64_t dropped_ = 0;
    std::string dropWhy_;
    // Every byte dropped since the host started.
    uint64_t droppedTotal_ = 0;
    // Why the file could not be opened the last time.
    DWORD openError_ = ERROR_SUCCESS;
    // A write stopped inside a line.
    bool cut_ = false;
    // When the path was last found to name the file, and the bytes written
    // since: lost with the file when it turns out deleted.
    ULONGLONG checkedAt_ = 0;
    uint64_t sinceCheck_ = 0;
    bool raw_ = false;
    // The program got the file at its last start.
    bool handedOver_ = false;
    std::shared_ptr<TStubLog> rawEvents_;
};

// The Windows calls behind the event log, so tests can see what is handed
// over (Wine stores nothing).
struct TEventLogApi {
    HANDLE(WINAPI* RegisterEventSourceA)(LPCSTR, LPCSTR) = ::RegisterEventSourceA;
    BOOL(WINAPI* ReportEventA)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) = ::ReportEventA;
    BOOL(WINAPI* DeregisterEventSource)(HANDLE) = ::DeregisterEventSource;
};
inline TEventLogApi& EventLogApi()
{
    static TEventLogApi api;
    return api;
}

inline void DeregisterEventSourceThroughSeam(HANDLE source)
{
    EventLogApi().DeregisterEventSource(source);
}
// An event source as RegisterEventSourceA hands it over.
using TEventSource = TOwner<TNullKind<HANDLE, DeregisterEventSourceThroughSeam>>;

// Message numbers of the host's message resource: each one shows its one
// insertion string as it is.
inline constexpr DWORD InformationMessageID = 1;
inline constexpr DWORD WarningMessageID = 2;
inline constexpr DWORD ErrorMessageID = 3;

// Writes lifecycle events to the Application event log under a source named
// after the service's description.
class TEventLog : public TStubLog {
public:
    explicit TEventLog(const std::string& source);
    TEventLog(const TEventLog&) = delete;
    TEventLog& operator=(const TEventLog&) = delete;

    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string&) override {}
    void Output(const std::string&) override {}

private:
    std::mutex lock_;
    TEventSource source_;
};
