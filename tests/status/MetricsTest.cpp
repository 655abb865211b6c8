#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "messaging/StatusPipe.h"
#include "status/Metrics.h"
#include "status/ResourceWords.h"
#include "status/StatusWords.h"
#include "tests/support/MetricSamples.h"
#include "tests/support/TempFiles.h"

// Every entry as Prometheus reads it, told from statuses made here: each
// state of a service and of its program, a host that cannot be asked, a
// service that gave up, health, resources, and names that need escaping.
namespace {

TMetricsEntry EntryNamed(const std::string& description, TServiceState state)
{
    TMetricsEntry entry;
    entry.Entry.Description = description;
    entry.Entry.ServiceID = 7;
    entry.Entry.Program = "C:\\Relay\\relay.exe";
    entry.HostVersion = "1.02";
    entry.Status.Service.State = state;
    return entry;
}

// The host's answer, as the status module keeps it.
void Answered(TMetricsEntry& entry, TProgramState state)
{
    entry.Status.Service.ProcessId = 4242;
    TStatusReply reply;
    reply.Outcome = TStatusOutcome::Answered;
    reply.Status.State = state;
    reply.Status.StartedAt = "2024-03-05T14:07:09.042Z";
    reply.Status.Starts = 3;
    reply.Status.LastExitCode = 3221225477u;
    entry.Status.Program = reply;
}

TProgramStatus& Answer(TMetricsEntry& entry)
{
    return entry.Status.Program->Status;
}

std::string Series(const std::string& name, const std::string& service, const std::string& more = "")
{
    return name + "{service=\"" + service + "\"" + (more.empty() ? "" : "," + more) + "}";
}

} // namespace

TEST(Metrics, EveryStateIsOneInItsSetAndAHostThatCannotBeAskedIsUnknownRatherThanMissing)
{
    TMetricsCollection collection;
    collection.Entries.push_back(EntryNamed("Not Installed", TServiceState::NotRegistered));

    TMetricsEntry up = EntryNamed("Mail Relay", TServiceState::Running);
    Answered(up, TProgramState::Running);
    up.Entry.LogToFile = true;
    Answer(up).LogFileOpen = true;
    Answer(up).LogDroppedTotalBytes = 81920;
    Answer(up).LogDeletedBytes = 5242970;
    Answer(up).Health = "unhealthy";
    Answer(up).HealthFailures = 4;
    Answer(up).HealthCheckedAt = "2024-03-05T14:08:00.500Z";
    Answer(up).Resources = TProgramResources{12500, 1500, 3, 5, 48ull << 20, 40ull << 20, 64ull << 20, 52ull << 20};
    up.Settings.Account = "NT SERVICE\\Mail Relay";
    up.Settings.StartType = TStartType::Delayed;
    collection.Entries.push_back(up);

    TMetricsEntry waiting = EntryNamed("Backing Off", TServiceState::Running);
    Answered(waiting, TProgramState::BackingOff);
    Answer(waiting).NextStartInMs = 7950;
    collection.Entries.push_back(waiting);

    TMetricsEntry gaveUp = EntryNamed("Gave Up", TServiceState::Stopped);
    TServiceEnd end;
    end.At = "2024-03-05T12:03:01.000Z";
    end.Reason = TEndReason::GaveUp;
    end.Starts = 4;
    end.LastExitCode = 3;
    gaveUp.Status.LastEnd = end;
    collection.Entries.push_back(gaveUp);

    TMetricsEntry busy = EntryNamed("Busy Host", TServiceState::Running);
    busy.Status.Service.ProcessId = 99;
    busy.Status.Program = TStatusReply{TStatusOutcome::NoAnswer, {}, "", "the service host is busy", 99};
    collection.Entries.push_back(busy);
    TMetricsEntry older = EntryNamed("Older Host", TServiceState::Running);
    older.Status.Program = TStatusReply{TStatusOutcome::NoHost, {}, "", "", 0};
    collection.Entries.push_back(older);
    collection.Entries.push_back(EntryNamed("Starting", TServiceState::StartPending));
    collection.Entries.push_back(EntryNamed("Stopping", TServiceState::StopPending));
    collection.Seconds = 0.25;
    collection.CollectedAt = 1709647629.5;

    const std::string text = MetricsText(collection);
    // No byte-order mark, and a family's lines together after its HELP and
    // TYPE, each family once.
    ASSERT_EQ("# HELP ", text.substr(0, 7));
    std::set<std::string> ended;
    std::string current;
    for (size_t at = 0; at < text.size();) {
        const std::string line = text.substr(at, text.find('\n', at) - at);
        at += line.size() + 1;
        if (line.starts_with("# HELP ")) {
            if (!current.empty())
                ended.insert(current);
            current = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_FALSE(ended.count(current)) << current;
            continue;
        }
        if (line.starts_with("# TYPE "))
            continue;
        EXPECT_EQ(current, line.substr(0, line.find_first_of("{ "))) << line;
        EXPECT_EQ(std::string::npos, line.find('\r')) << line;
    }

    const std::map<std::string, std::string> serviceStates = {{"Not Installed", ""},      {"Mail Relay", "running"},
                                                              {"Backing Off", "running"}, {"Gave Up", "stopped"},
                                                              {"Busy Host", "running"},   {"Starting", "start_pending"},
                                                              {"Stopping", "stop_pending"}};
    for (const auto& [service, now] : serviceStates)
        for (const char* state : {"running", "stopped", "start_pending", "stop_pending", "paused"})
            EXPECT_EQ(state == now ? "1" : "0",
                      Sample(text, Series("quorvane_service_state", service, "state=\"" + std::string(state) + "\"")))
                << service << " " << state;
    EXPECT_EQ("0", Sample(text, Series("quorvane_service_installed", "Not Installed")));
    EXPECT_EQ("1", Sample(text, Series("quorvane_service_installed", "Gave Up")));

    const std::map<std::string, std::string> programStates = {
        {"Not Installed", "stopped"}, {"Mail Relay", "running"}, {"Backing Off", "backing_off"},
        {"Gave Up", "stopped"},       {"Busy Host", "unknown"},  {"Older Host", "unknown"},
        {"Starting", "starting"},     {"Stopping", "unknown"}};
    for (const auto& [service, now] : programStates)
        for (const char* state : {"starting", "running", "backing_off", "stopping", "stopped", "unknown"})
            EXPECT_EQ(state == now ? "1" : "0",
                      Sample(text, Series("quorvane_program_state", service, "state=\"" + std::string(state) + "\"")))
                << service << " " << state;
    // Not known is never told as not running, nor as no starts.
    EXPECT_EQ("", Sample(text, Series("quorvane_program_running", "Busy Host")));
    EXPECT_EQ("", Sample(text, Series("quorvane_program_starts_total", "Busy Host")));
    EXPECT_EQ("1", Sample(text, Series("quorvane_program_running", "Mail Relay")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_program_running", "Backing Off")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_program_running", "Gave Up")));

    EXPECT_EQ("3", Sample(text, Series("quorvane_program_starts_total", "Mail Relay")));
    EXPECT_EQ("3221225477", Sample(text, Series("quorvane_program_last_exit_code", "Mail Relay")));
    EXPECT_EQ("1709647629.042", Sample(text, Series("quorvane_program_start_time_seconds", "Mail Relay")));
    EXPECT_EQ("7.95", Sample(text, Series("quorvane_program_next_start_seconds", "Backing Off")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_program_next_start_seconds", "Mail Relay")));
    // A stopped service keeps its last run's starts and says how it ended.
    EXPECT_EQ("4", Sample(text, Series("quorvane_program_starts_total", "Gave Up")));
    EXPECT_EQ("3", Sample(text, Series("quorvane_program_last_exit_code", "Gave Up")));
    EXPECT_EQ("1", Sample(text, Series("quorvane_service_last_end", "Gave Up", "reason=\"gave_up\"")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_service_last_end", "Gave Up", "reason=\"requested\"")));
    EXPECT_EQ("1709640181", Sample(text, Series("quorvane_service_last_end_timestamp_seconds", "Gave Up")));
    EXPECT_EQ("", Sample(text, Series("quorvane_service_last_end", "Mail Relay", "reason=\"gave_up\"")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_program_starts_total", "Not Installed")));

    // Health only for an entry with a check.
    EXPECT_EQ("1", Sample(text, Series("quorvane_program_health", "Mail Relay", "state=\"unhealthy\"")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_program_health", "Mail Relay", "state=\"healthy\"")));
    EXPECT_EQ("4", Sample(text, Series("quorvane_program_health_failures", "Mail Relay")));
    EXPECT_EQ("1709647680.5", Sample(text, Series("quorvane_program_health_checked_timestamp_seconds", "Mail Relay")));
    EXPECT_EQ(std::string::npos, text.find("quorvane_program_health{service=\"Backing Off\""));

    EXPECT_EQ("12.5", Sample(text, Series("quorvane_program_cpu_seconds_total", "Mail Relay", "mode=\"user\"")));
    EXPECT_EQ("1.5", Sample(text, Series("quorvane_program_cpu_seconds_total", "Mail Relay", "mode=\"kernel\"")));
    EXPECT_EQ(std::to_string(48 << 20), Sample(text, Series("quorvane_program_working_set_bytes", "Mail Relay")));
    EXPECT_EQ(std::to_string(40 << 20), Sample(text, Series("quorvane_program_private_bytes", "Mail Relay")));
    EXPECT_EQ("3", Sample(text, Series("quorvane_program_processes", "Mail Relay")));
    EXPECT_EQ("5", Sample(text, Series("quorvane_program_peak_processes", "Mail Relay")));
    EXPECT_EQ("81920", Sample(text, Series("quorvane_log_dropped_bytes_total", "Mail Relay")));
    EXPECT_EQ("5242970", Sample(text, Series("quorvane_log_deleted_bytes_total", "Mail Relay")));
    EXPECT_EQ("0", Sample(text, Series("quorvane_log_folder_missing", "Mail Relay")));
    EXPECT_EQ("", Sample(text, Series("quorvane_log_dropped_bytes_total", "Backing Off")));
    EXPECT_EQ("1", Sample(text, Series("quorvane_service_info", "Mail Relay",
                                       "service_id=\"7\",description=\"Runs \\\"C:\\\\Relay\\\\relay.exe\\\" as a "
                                       "service (Quorvane service host)\",account=\"NT SERVICE\\\\Mail Relay\","
                                       "start_type=\"delayed\",host_version=\"1.02\"")));
    EXPECT_EQ("8", Sample(text, "quorvane_metrics_entries"));
    EXPECT_EQ("0.25", Sample(text, "quorvane_metrics_collection_duration_seconds"));
    EXPECT_EQ("1709647629.5", Sample(text, "quorvane_metrics_collected_timestamp_seconds"));
}

TEST(Metrics, ALabelValueEscapesWhatTheFormatAsksAndKeepsEveryOtherCharacter)
{
    EXPECT_EQ("a\\\\b\\\"c\\nd \xC3\xBC\t", LabelValue("a\\b\"c\nd \xC3\xBC\t"));
    TMetricsCollection collection;
    collection.Entries.push_back(EntryNamed("Caf\xC3\xA9 \"Relay\" \\1", TServiceState::Stopped));
    const std::string text = MetricsText(collection);
    EXPECT_EQ("1", Sample(text, Series("quorvane_service_state", "Caf\xC3\xA9 \\\"Relay\\\" \\\\1",
                                       "state=\"stopped\"")))
        << text;
}

TEST(MetricsFile, ReplacesTheFileInOneStepWhileACollectorReadsItAndSaysWhenItsFolderIsNotThere)
{
    TTempFolder folder;
    const std::string path = folder.File(MetricsFileName);
    // What a writer killed midway left beside the file goes.
    const std::string leftOver = path + ".0123456789abcdef0123456789abcdef.tmp";
    WriteTextFile(leftOver, "half");
    const std::string first(40000, 'a'), second(60000, 'b');
    ASSERT_FALSE(WriteMetricsFile(folder.Path(), first));
    EXPECT_EQ(first, ReadTextFile(path));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(leftOver.c_str()));

    // A collector reads the file over and over, as it opens files, without
    // letting it be deleted meanwhile: it finds one whole file or the other.
    std::atomic<bool> writing{true};
    std::atomic<int> reads{0}, torn{0};
    std::thread collector([&] {
        while (writing) {
            HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                continue;
            std::string text(70000, '\0');
            DWORD read = 0;
            ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
            CloseHandle(file);
            text.resize(read);
            ++reads;
            if (text != first && text != second)
                ++torn;
        }
    });
    int refused = 0;
    for (int write = 0; write < 100; ++write)
        if (WriteMetricsFile(folder.Path(), write % 2 ? first : second))
            ++refused;
    writing = false;
    collector.join();
    EXPECT_EQ(0, refused);
    EXPECT_EQ(0, torn.load());
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(first, ReadTextFile(path));
    // Nothing else is left in the folder.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(folder.File("*").c_str(), &found);
    int files = 0;
    do
        files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
    while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_EQ(1, files);

    const TRefusal missing = WriteMetricsFile(folder.File("gone"), first);
    EXPECT_NE(std::string::npos, missing.Reason().find("does not exist")) << missing.Reason();
}

TEST(ResourceWords, TheWindowsShortFormTakesTheShareFromTwoReadingsOfTheSameHost)
{
    const std::string service = "Words " + std::to_string(GetCurrentProcessId());
    TProgramResources used{1000, 0, 3, 3, 48ull << 20, 40ull << 20, 48ull << 20, 40ull << 20};
    EXPECT_EQ("48 MB, 3 processes", ResourceShortWords(service, 10, used, 100000));
    // 500 ms of processor time in 2 s: 25 % of one processor.
    used.CpuUserMs += 400;
    used.CpuKernelMs += 100;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    char share[32];
    std::snprintf(share, sizeof share, "CPU %.0f %%, ", 25.0 / system.dwNumberOfProcessors);
    EXPECT_EQ(share + std::string("48 MB, 3 processes"), ResourceShortWords(service, 10, used, 102000));
    // A reading right after keeps the share; another host of the service
    // starts afresh.
    EXPECT_EQ(share + std::string("48 MB, 3 processes"), ResourceShortWords(service, 10, used, 102100));
    used.Processes = 1;
    EXPECT_EQ("48 MB, 1 process", ResourceShortWords(service, 11, used, 102200));

    // The window's line adds it for a running program of a host that tells.
    TMetricsEntry up = EntryNamed(service + " line", TServiceState::Running);
    Answered(up, TProgramState::Running);
    Answer(up).UpMs = 60000;
    EXPECT_EQ("Running, program up 1 min", StatusLineText(up.Entry.Description, up.Status));
    Answer(up).Resources = used;
    EXPECT_EQ("Running, program up 1 min, 48 MB, 1 process", StatusLineText(up.Entry.Description, up.Status));
}
