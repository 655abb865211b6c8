#include "status/Metrics.h"

#include <windows.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "catalogue/IniDocument.h"
#include "catalogue/StubCopy.h"
#include "toolkit/Paths.h"
#include "toolkit/System.h"
#include "toolkit/Text.h"

namespace {

// The Service Control Manager's states a Quorvane service takes, as the set
// says them; any other (a service not registered, another program's, a
// pause it never accepts) is 0 in all of them.
const std::pair<TServiceState, const char*> ServiceStates[] = {{TServiceState::Running, "running"},
                                                              {TServiceState::Stopped, "stopped"},
                                                              {TServiceState::StartPending, "start_pending"},
                                                              {TServiceState::StopPending, "stop_pending"},
                                                              {TServiceState::Paused, "paused"}};
// In the order of TProgramState, then the one for a host that cannot be asked.
const char* const ProgramStates[] = {"starting", "running", "backing_off", "stopping", "stopped", "unknown"};
constexpr int UnknownProgram = 5;
// In the order of TEndReason.
const char* const EndReasons[] = {"requested", "not_restarted", "gave_up", "cannot_start", "host_failed"};
const char* const HealthStates[] = {HealthStarting, HealthHealthy, HealthUnhealthy};
// How long a metrics file waits for a collector that holds the old one.
constexpr int PlaceTries = 40;
constexpr DWORD PlacePauseMs = 25;

// The shortest text that reads back as the same value.
std::string Number(double value)
{
    char text[40];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end.ptr);
}

std::string Number(uint64_t value)
{
    return std::to_string(value);
}

// "2024-03-05T14:07:09.042Z" as Unix seconds; none for no such time.
std::optional<double> UnixSeconds(const std::string& utc)
{
    SYSTEMTIME time = {};
    unsigned ms = 0;
    if (std::sscanf(utc.c_str(), "%hu-%hu-%huT%hu:%hu:%hu.%uZ", &time.wYear, &time.wMonth, &time.wDay, &time.wHour,
                    &time.wMinute, &time.wSecond, &ms) < 6)
        return std::nullopt;
    FILETIME file;
    if (!SystemTimeToFileTime(&time, &file))
        return std::nullopt;
    const uint64_t ticks = (static_cast<uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    // From 1601 to 1970, in 100-nanosecond ticks.
    constexpr uint64_t UnixEpoch = 116444736000000000ull;
    return ticks < UnixEpoch ? std::nullopt
                             : std::optional<double>((ticks - UnixEpoch) / 10000000ull + (ms % 1000) / 1000.0);
}

double NowUnixSeconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return static_cast<double>(ticks - 116444736000000000ull) / 1e7;
}

// HELP's text: backslash and line feed escaped.
std::string HelpText(const std::string& text)
{
    std::string escaped;
    for (char c : text)
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
    return escaped;
}

// One family: its samples are written together, after its HELP and TYPE.
class TFamily {
public:
    TFamily(const char* name, const char* type, const char* help) : name_(name), type_(type), help_(help) {}

    // labels: name="value" pairs, already escaped.
    void Add(const std::string& labels, const std::string& value)
    {
        samples_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }
    std::string Text() const
    {
        if (samples_.empty())
            return "";
        return "# HELP " + name_ + " " + HelpText(help_) + "\n# TYPE " + name_ + " " + type_ + "\n" + samples_;
    }

private:
    std::string name_, type_, help_;
    std::string samples_;
};

std::string Label(const char* name, const std::string& value)
{
    return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

// The program's state in the set, or UnknownProgram when it is not known.
int ProgramStateOf(const TEntryStatus& status)
{
    if (const TProgramStatus* answer = status.Answer())
        return static_cast<int>(answer->State);
    switch (status.Service.State) {
    case TServiceState::NotRegistered:
    case TServiceState::Stopped:
        return static_cast<int>(TProgramState::Stopped);
    case TServiceState::StartPending:
        // Its host is not yet there to ask.
        if (!status.Program || status.Program->Outcome == TStatusOutcome::NoHost)
            return static_cast<int>(TProgramState::Starting);
        return UnknownProgram;
    default:
        return UnknownProgram;
    }
}

} // namespace

std::string LabelValue(const std::string& value)
{
    std::string escaped;
    for (char c : Utf8FromAnsi(value))
        escaped += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    return escaped;
}

std::string MetricsText(const TMetricsCollection& collection)
{
    TFamily info("quorvane_service_info", "gauge",
                 "Each entry's service: its description in the Services console, account, start type and the "
                 "version of its service host copy; always 1.");
    TFamily installed("quorvane_service_installed", "gauge",
                      "1 while a service of the entry's name runs the entry's service host copy, else 0.");
    TFamily serviceState("quorvane_service_state", "gauge",
                         "The service's state as the Service Control Manager reports it: 1 for the current state, "
                         "0 for the others; 0 in all for an entry without a service.");
    TFamily lastEnd("quorvane_service_last_end", "gauge",
                    "How a stopped service last ended, from the record its host left: 1 for the reason, 0 for the "
                    "others.");
    TFamily lastEndAt("quorvane_service_last_end_timestamp_seconds", "gauge",
                      "When a stopped service last ended, in Unix seconds.");
    TFamily programState("quorvane_program_state", "gauge",
                         "What the program does, as its service host tells it: 1 for the current state; unknown "
                         "while the service runs but its host cannot be asked.");
    TFamily running("quorvane_program_running", "gauge", "1 while the program runs, 0 while it does not.");
    TFamily starts("quorvane_program_starts_total", "counter",
                   "Starts of the program since its service started; a stopped service keeps its last run's.");
    TFamily exitCode("quorvane_program_last_exit_code", "gauge", "The program's last exit code.");
    TFamily startedAt("quorvane_program_start_time_seconds", "gauge",
                      "When the program's current or last run started, in Unix seconds.");
    TFamily nextStart("quorvane_program_next_start_seconds", "gauge",
                      "Seconds until the program's next start while its host backs off, else 0.");
    TFamily health("quorvane_program_health", "gauge",
                   "The program's health, for an entry with a health check: 1 for the current verdict.");
    TFamily healthFailures("quorvane_program_health_failures", "gauge",
                           "Health checks that failed in a row, for an entry with a health check.");
    TFamily healthAt("quorvane_program_health_checked_timestamp_seconds", "gauge",
                     "When the program's health was last checked, in Unix seconds.");
    TFamily cpu("quorvane_program_cpu_seconds_total", "counter",
                "Processor time of the program's processes since its service started, by mode.");
    TFamily workingSet("quorvane_program_working_set_bytes", "gauge",
                       "The working sets of the program's processes, added up.");
    TFamily privateBytes("quorvane_program_private_bytes", "gauge",
                         "The private (committed) bytes of the program's processes, added up.");
    TFamily processes("quorvane_program_processes", "gauge", "The program's processes: its whole tree.");
    TFamily peakWorkingSet("quorvane_program_peak_working_set_bytes", "gauge",
                           "The most working set seen of the program since its service started.");
    TFamily peakPrivate("quorvane_program_peak_private_bytes", "gauge",
                        "The most private bytes seen of the program since its service started.");
    TFamily peakProcesses("quorvane_program_peak_processes", "gauge",
                          "The most processes the program had at once since its service started.");
    TFamily dropped("quorvane_log_dropped_bytes_total", "counter",
                    "Bytes of the program's output its log file could not take, since the service started.");
    TFamily deleted("quorvane_log_deleted_bytes_total", "counter",
                    "Bytes of old log files the rotation deleted, since the service started.");
    TFamily folderMissing("quorvane_log_folder_missing", "gauge", "1 while the log file's folder is gone.");

    for (const TMetricsEntry& metrics : collection.Entries) {
        const TEntryStatus& status = metrics.Status;
        const std::string service = Label("service", metrics.Entry.Description);
        info.Add(service + "," + Label("service_id", std::to_string(metrics.Entry.ServiceID)) + "," +
                     Label("description", metrics.Settings.ServiceText.empty()
                                              ? DefaultServiceText(metrics.Entry.Program)
                                              : metrics.Settings.ServiceText) +
                     "," + Label("account", SettingText(metrics.Settings, TSetting::Account)) + "," +
                     Label("start_type", SettingText(metrics.Settings, TSetting::StartType)) + "," +
                     Label("host_version", metrics.HostVersion),
                 "1");
        const bool ours = status.Service.State != TServiceState::NotRegistered &&
                          status.Service.State != TServiceState::Foreign;
        installed.Add(service, ours ? "1" : "0");
        for (const auto& [state, name] : ServiceStates)
            serviceState.Add(service + "," + Label("state", name), status.Service.State == state ? "1" : "0");
        if (status.Service.State == TServiceState::Stopped && status.LastEnd) {
            for (int reason = 0; reason < static_cast<int>(std::size(EndReasons)); ++reason)
                lastEnd.Add(service + "," + Label("reason", EndReasons[reason]),
                            static_cast<int>(status.LastEnd->Reason) == reason ? "1" : "0");
            if (std::optional<double> at = UnixSeconds(status.LastEnd->At))
                lastEndAt.Add(service, Number(*at));
        }
        const int program = ProgramStateOf(status);
        for (int state = 0; state < static_cast<int>(std::size(ProgramStates)); ++state)
            programState.Add(service + "," + Label("state", ProgramStates[state]), program == state ? "1" : "0");
        if (program != UnknownProgram)
            running.Add(service, program == static_cast<int>(TProgramState::Running) ? "1" : "0");

        const TProgramStatus* answer = status.Answer();
        if (!answer) {
            // What a service that is not running last told, or nothing.
            if (status.Service.State == TServiceState::NotRegistered)
                starts.Add(service, "0");
            if (status.Service.State == TServiceState::Stopped && status.LastEnd) {
                starts.Add(service, Number(static_cast<uint64_t>(status.LastEnd->Starts)));
                if (status.LastEnd->LastExitCode)
                    exitCode.Add(service, Number(static_cast<uint64_t>(*status.LastEnd->LastExitCode)));
            }
            continue;
        }
        starts.Add(service, Number(static_cast<uint64_t>(answer->Starts)));
        if (answer->LastExitCode)
            exitCode.Add(service, Number(static_cast<uint64_t>(*answer->LastExitCode)));
        if (std::optional<double> at = UnixSeconds(answer->StartedAt))
            startedAt.Add(service, Number(*at));
        nextStart.Add(service, Number(answer->State == TProgramState::BackingOff ? answer->NextStartInMs / 1000.0 : 0.0));
        if (!answer->Health.empty()) {
            for (const char* verdict : HealthStates)
                health.Add(service + "," + Label("state", verdict), answer->Health == verdict ? "1" : "0");
            healthFailures.Add(service, Number(static_cast<uint64_t>(answer->HealthFailures)));
            if (std::optional<double> at = UnixSeconds(answer->HealthCheckedAt))
                healthAt.Add(service, Number(*at));
        }
        if (const std::optional<TProgramResources>& used = answer->Resources) {
            cpu.Add(service + "," + Label("mode", "user"), Number(used->CpuUserMs / 1000.0));
            cpu.Add(service + "," + Label("mode", "kernel"), Number(used->CpuKernelMs / 1000.0));
            workingSet.Add(service, Number(used->WorkingSetBytes));
            privateBytes.Add(service, Number(used->PrivateBytes));
            processes.Add(service, Number(static_cast<uint64_t>(used->Processes)));
            peakWorkingSet.Add(service, Number(used->PeakWorkingSetBytes));
            peakPrivate.Add(service, Number(used->PeakPrivateBytes));
            peakProcesses.Add(service, Number(static_cast<uint64_t>(used->PeakProcesses)));
        }
        if (metrics.Entry.LogToFile && answer->LogFileOpen) {
            dropped.Add(service, Number(answer->LogDroppedTotalBytes));
            deleted.Add(service, Number(answer->LogDeletedBytes));
            folderMissing.Add(service, answer->LogFolderMissing ? "1" : "0");
        }
    }

    TFamily entries("quorvane_metrics_entries", "gauge", "Entries in the catalogue.");
    entries.Add("", Number(static_cast<uint64_t>(collection.Entries.size())));
    TFamily duration("quorvane_metrics_collection_duration_seconds", "gauge",
                     "How long reading the catalogue and asking every service host took.");
    duration.Add("", Number(collection.Seconds));
    TFamily collected("quorvane_metrics_collected_timestamp_seconds", "gauge",
                      "When these figures were collected, in Unix seconds: a file that stops being written stops "
                      "moving.");
    collected.Add("", Number(collection.CollectedAt));

    std::string text;
    for (const TFamily* family :
         {&info, &installed, &serviceState, &lastEnd, &lastEndAt, &programState, &running, &starts, &exitCode,
          &startedAt, &nextStart, &health, &healthFailures, &healthAt, &cpu, &workingSet, &privateBytes, &processes,
          &peakWorkingSet, &peakPrivate, &peakProcesses, &dropped, &deleted, &folderMissing, &entries, &duration,
          &collected})
        text += family->Text();
    return text;
}

TMetricsCollection CollectMetrics()
{
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceCounter(&start);
    TMetricsCollection collection;
    const TCatalogueSnapshot catalogue;
    TServiceStates services;
    services.ListRegistered();
    std::vector<TCatalogueEntry> entries;
    for (int index = 1; index <= catalogue.Count(); ++index)
        entries.push_back(catalogue.Entry(index));
    std::vector<TEntryStatus> statuses = StatusesOf(entries, services);
    for (size_t i = 0; i < entries.size(); ++i) {
        TMetricsEntry entry;
        entry.Entry = entries[i];
        entry.Settings = ReadServiceSettings(catalogue.Document(), entries[i].Description);
        entry.Status = std::move(statuses[i]);
        const TProgramStatus* answer = entry.Status.Answer();
        entry.HostVersion = answer && !answer->HostVersion.empty() ? answer->HostVersion
                            : entry.Status.Service.State == TServiceState::NotRegistered
                                ? ""
                                : HostVersionOf(StubCopyFile(entries[i].Description));
        collection.Entries.push_back(std::move(entry));
    }
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    collection.Seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    collection.CollectedAt = NowUnixSeconds();
    return collection;
}

TRefusal WriteMetricsFile(const std::string& folder, const std::string& text)
{
    if (!FolderExists(folder))
        return TRefusal("The folder \"" + folder + "\" does not exist");
    const std::string target = folder + (folder.ends_with("\\") || folder.ends_with("/") ? "" : "\\") + MetricsFileName;
    DeleteLeftOvers(target);
    TKernelHandle file(CreateFileA(TemporaryName(target).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return TRefusal("Cannot write \"" + target + "\": " + SystemMessage(error));
    }
    DWORD done = 0;
    bool written = WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
                   done == text.size() && FlushFileBuffers(file.Get());
    // A collector reading the old file holds it a moment: the move waits.
    bool placed = false;
    for (int tries = 0; written && !placed; ++tries) {
        placed = PutInPlace(file.Get(), target);
        const DWORD error = GetLastError();
        if (placed || tries == PlaceTries || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            break;
        Sleep(PlacePauseMs);
    }
    if (!placed) {
        const DWORD error = GetLastError();
        // Gone with its handle, which no one else holds.
        FILE_DISPOSITION_INFO gone = {TRUE};
        SetFileInformationByHandle(file.Get(), FileDispositionInfo, &gone, sizeof gone);
        return TRefusal("Cannot write \"" + target + "\": " + SystemMessage(error));
    }
    return TRefusal();
}

std::string HostVersionOf(const std::string& stubPath)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(stubPath.c_str(), &ignored);
    if (size == 0)
        return "";
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(stubPath.c_str(), 0, size, data.data()))
        return "";
    struct TTranslation {
        WORD Language;
        WORD CodePage;
    }* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < sizeof *translation)
        return "";
    char key[64];
    std::snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\ProductVersion", translation->Language,
                  translation->CodePage);
    char* version = nullptr;
    if (!VerQueryValueA(data.data(), key, reinterpret_cast<void**>(&version), &length) || length == 0)
        return "";
    return std::string(version, strnlen(version, length));
}
