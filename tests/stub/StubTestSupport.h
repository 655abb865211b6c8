#pragma once
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "fixtures/Programs.h"
#include "fixtures/Watching.h"
#include "stub/StubLog.h"

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

// Lines of a text that hold part, in order.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part);
// A whole line of a log file as LinesWith gives it: a stamp first, "\r" last.
bool IsStamped(const std::string& line);
// True while the process runs.
bool ProcessRunning(DWORD pid);
