#include "messaging/StatusPipe.h"

#include <cstdio>

#include "toolkit/Text.h"

namespace {

constexpr const char* StateNames[] = {"starting", "running", "backing off", "stopping", "stopped"};

// A small writer: the host is built for size, and its answer is one flat
// object.
class TJsonLine {
public:
    TJsonLine() { text_ = "{\"version\":" + std::to_string(StatusVersion); }

    void Text(const char* key, const std::string& value)
    {
        Key(key);
        text_ += '"';
        for (unsigned char c : Utf8FromAnsi(value)) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += static_cast<char>(c);
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ += escaped;
            } else {
                text_ += static_cast<char>(c);
            }
        }
        text_ += '"';
    }
    // "" is written as null.
    void TextOrNull(const char* key, const std::string& value)
    {
        if (value.empty())
            Raw(key, "null");
        else
            Text(key, value);
    }
    void Number(const char* key, uint64_t value) { Raw(key, std::to_string(value)); }
    void Flag(const char* key, bool value) { Raw(key, value ? "true" : "false"); }
    void Raw(const char* key, const std::string& value)
    {
        Key(key);
        text_ += value;
    }
    std::string Line() const { return text_ + "}\n"; }

private:
    void Key(const char* key)
    {
        text_ += ",\"";
        text_ += key;
        text_ += "\":";
    }

    std::string text_;
};

std::string Utc(const FILETIME& time)
{
    SYSTEMTIME utc;
    FileTimeToSystemTime(&time, &utc);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond, utc.wMilliseconds);
    return text;
}

} // namespace

std::string StatusPipeName(int serviceID)
{
    return "\\\\.\\pipe\\Quorvane.Service" + std::to_string(serviceID);
}

const char* ProgramStateName(TProgramState state)
{
    return StateNames[static_cast<int>(state)];
}

std::optional<TProgramState> ProgramStateNamed(const std::string& name)
{
    for (int state = 0; state < static_cast<int>(std::size(StateNames)); ++state)
        if (name == StateNames[state])
            return static_cast<TProgramState>(state);
    return std::nullopt;
}

std::string StatusAnswer(const TProgramStatus& status)
{
    TJsonLine line;
    line.Text("description", status.Description);
    line.Number("serviceId", static_cast<uint64_t>(status.ServiceID));
    line.Text("serviceHost", status.ServiceHost);
    line.TextOrNull("hostVersion", status.HostVersion);
    line.Text("state", ProgramStateName(status.State));
    if (status.Pid)
        line.Number("pid", status.Pid);
    else
        line.Raw("pid", "null");
    line.TextOrNull("startedAt", status.StartedAt);
    line.Number("upMs", status.UpMs);
    line.Number("starts", status.Starts);
    line.Raw("lastExitCode", status.LastExitCode ? std::to_string(*status.LastExitCode) : "null");
    line.TextOrNull("lastExitAt", status.LastExitAt);
    line.TextOrNull("nextStartAt", status.NextStartAt);
    line.Number("nextStartInMs", status.NextStartInMs);
    line.TextOrNull("startFailure", status.StartFailure);
    line.TextOrNull("health", status.Health);
    line.Number("healthFailures", status.HealthFailures);
    line.Number("healthRetries", status.HealthRetries);
    line.TextOrNull("healthCheckedAt", status.HealthCheckedAt);
    line.TextOrNull("healthResult", status.HealthResult);
    line.TextOrNull("logFile", status.LogFile);
    line.Flag("logFileOpen", status.LogFileOpen);
    line.Flag("logRaw", status.LogRaw);
    line.Flag("logFolderMissing", status.LogFolderMissing);
    line.Number("logDroppedBytes", status.LogDroppedBytes);
    line.Number("logDroppedTotalBytes", status.LogDroppedTotalBytes);
    line.Number("logDeletedBytes", status.LogDeletedBytes);
    if (const std::optional<TProgramResources>& used = status.Resources) {
        line.Number("cpuUserMs", used->CpuUserMs);
        line.Number("cpuKernelMs", used->CpuKernelMs);
        line.Number("processes", used->Processes);
        line.Number("peakProcesses", used->PeakProcesses);
        line.Number("workingSetBytes", used->WorkingSetBytes);
        line.Number("privateBytes", used->PrivateBytes);
        line.Number("peakWorkingSetBytes", used->PeakWorkingSetBytes);
        line.Number("peakPrivateBytes", used->PeakPrivateBytes);
    }
    return line.Line();
}

std::string StatusErrorAnswer(const std::string& error)
{
    TJsonLine line;
    line.Text("error", error);
    return line.Line();
}

std::optional<TRefusal> StatusRequestRefusal(const std::string& received)
{
    const TRefusal tooLong("the request is longer than " + std::to_string(StatusRequestLimit) + " bytes");
    const size_t end = received.find('\n');
    if (end == std::string::npos) {
        if (received.size() < StatusRequestLimit)
            return std::nullopt;
        return tooLong;
    }
    if (end >= StatusRequestLimit)
        return tooLong;
    const std::string request = Trim(received.substr(0, end));
    if (request + "\n" == StatusRequest)
        return TRefusal();
    return TRefusal("unknown request \"" + request.substr(0, 40) + "\"; ask \"status\"");
}

std::string UtcNow()
{
    return UtcIn(0);
}

std::string UtcIn(uint64_t ms)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER time = {{now.dwLowDateTime, now.dwHighDateTime}};
    time.QuadPart += ms * 10000;
    return Utc({time.LowPart, time.HighPart});
}
