#pragma once
#include <windows.h>

#include <cstdint>
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
    // One line the program wrote; stream is "out" or "err".
    virtual void Output(const char* stream, const std::string& line) = 0;
};

// "2024-03-05 14:07:09.042 text\r\n"
std::string LogLine(const SYSTEMTIME& time, const std::string& text);

// Appends timestamped lines to a file. Past the size limit the file moves
// to "<file>.1" (replacing the older one) and a fresh file starts, so the
// two together never hold much more than twice the limit. A move that fails
// never costs a line: the file keeps growing and the move is tried again
// one limit later.
class TFileLog : public TStubLog {
public:
    static constexpr uint64_t DefaultLimit = 1024 * 1024;

    explicit TFileLog(std::string path, uint64_t limit = DefaultLimit);
    TFileLog(const TFileLog&) = delete;
    TFileLog& operator=(const TFileLog&) = delete;

    // False with the reason when the file cannot be opened for appending.
    bool Open(std::string& reason);

    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string& text) override;
    void Output(const char* stream, const std::string& line) override;

    const std::string& Path() const { return path_; }

private:
    static std::string Stamped(const std::string& text);
    void Write(const std::string& text);
    // These expect the lock held.
    void Append(const std::string& line);
    bool OpenFile(DWORD disposition);
    void Rotate();

    std::string path_;
    uint64_t limit_;
    // The size past which the next line moves the file aside.
    uint64_t rotateAt_;
    std::mutex lock_;
    TKernelHandle file_;
    uint64_t size_ = 0;
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
    ~TEventLog() override;
    TEventLog(const TEventLog&) = delete;
    TEventLog& operator=(const TEventLog&) = delete;

    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string&) override {}
    void Output(const char*, const std::string&) override {}

private:
    std::mutex lock_;
    HANDLE source_ = nullptr;
};
