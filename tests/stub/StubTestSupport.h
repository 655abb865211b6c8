#pragma once
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "stub/StubLog.h"

// A build-tree path as the tests see it under Wine (drive Z: is "/").
std::string WindowsPath(const char* unixPath);

// Calls check until it holds or timeoutMs pass; the last result.
bool WaitFor(const std::function<bool()>& check, DWORD timeoutMs);

// Every line and event handed to the log, in order.
class TRecordingLog : public TStubLog {
public:
    void Event(TLogKind kind, const std::string& text) override;
    void Detail(const std::string& text) override;
    void Output(const char* stream, const std::string& line) override;
    std::vector<std::string> Lines();
    bool Has(const std::string& part);
    int Count(const std::string& part);

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// Lines of a text that hold part, in order.
std::vector<std::string> LinesWith(const std::string& text, const std::string& part);
// The number right after the first occurrence of prefix in text, or -1.
long long NumberAfter(const std::string& text, const std::string& prefix);
// True while the process runs.
bool ProcessRunning(DWORD pid);
