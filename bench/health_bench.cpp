// Measures the health check. Under the real Service Control Manager, with
// the test server as the program: from the moment the program hangs (right
// after a check it answered) to the host's verdict that restarts it, and to
// the program's new start, against interval x retries + timeout; the host's
// CPU (as Linux counts it) and working set over a minute of a 1 s HTTP
// check. In this process, the same monitor and checks: working set, private
// bytes and handles over 10,000 HTTP checks 10 ms apart.
//   bench_health [--seconds N] [--checks N] [--only detect|cost|many]
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "bench/LinuxProcess.h"
#include "bench/Measure.h"
#include "catalogue/IniFile.h"
#include "fixtures/Ports.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "stub/HealthMonitor.h"
#include "toolkit/Paths.h"

namespace {

constexpr DWORD PollMs = 2;

// The monitor's log lines are not what is measured.
class TQuietLog : public TStubLog {
public:
    void Event(TLogKind, const std::string&) override {}
    void Detail(const std::string&) override {}
    void Output(const std::string&) override {}
};

struct TDetectCase {
    unsigned IntervalSeconds, TimeoutSeconds, Retries;
    int Rounds;
};

int Count(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string ReadAll(const std::string& path)
{
    return ReadText(path);
}

void WriteControl(const std::string& path, const std::string& mode)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.Get(), mode.data(), static_cast<DWORD>(mode.size()), &written, nullptr);
}

// Waits until the log holds more of part than before; false after timeoutMs.
bool MoreOf(const std::string& log, const std::string& part, int before, DWORD timeoutMs)
{
    return WaitFor([&] { return Count(ReadAll(log), part) > before; }, timeoutMs, PollMs);
}

void WriteHealthSettings(const std::string& description, const std::string& check, unsigned interval,
                         unsigned timeout, unsigned retries)
{
    TIniFile ini(CatalogueFileName);
    ini.WriteString(description, "HealthCheck", check);
    ini.WriteString(description, "HealthInterval", std::to_string(interval));
    ini.WriteString(description, "HealthTimeout", std::to_string(timeout));
    ini.WriteString(description, "HealthRetries", std::to_string(retries));
}

void MeasureDetection(const std::string& build, const std::string& server, const TDetectCase& test)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string control = std::string(temp) + "qv_health_control_" + tag;
    const std::string log = std::string(temp) + "qv_health_bench_" + tag + ".log";
    DeleteFileA(log.c_str());
    WriteControl(control, "200");
    const unsigned port = FreePort();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/health";
    const std::string name = "QV Health Bench " + tag;
    TBenchService host(build + "\\dist\\Vantorer.bin", name, server, std::to_string(port) + " \"" + control + "\"", log);
    WriteHealthSettings(name, url, test.IntervalSeconds, test.TimeoutSeconds, test.Retries);
    if (!host.Service || !host.Start()) {
        std::printf("the host could not be installed and started\n");
        return;
    }
    const double expected = test.IntervalSeconds * test.Retries * 1000.0 + test.TimeoutSeconds * 1000.0;
    std::vector<double> verdicts, restarts;
    for (int round = 0; round < test.Rounds; ++round) {
        // Each run's first pass is logged once.
        if (!WaitFor([&] { return Count(ReadAll(log), "health: healthy: ") > round; }, 30000)) {
            std::printf("the program never became healthy\n");
            return;
        }
        std::string text;
        // Hangs right after a check it answered.
        text = ReadAll(log);
        if (!MoreOf(log, "out: request GET /health", Count(text, "out: request GET /health"), 30000))
            return;
        WriteControl(control, "hang");
        const ULONGLONG hung = GetTickCount64();
        text = ReadAll(log);
        const int unhealthy = Count(text, "health: unhealthy after"), starts = Count(text, " with pid ");
        if (!MoreOf(log, "health: unhealthy after", unhealthy, static_cast<DWORD>(expected * 3))) {
            std::printf("no verdict within %.0f ms\n", expected * 3);
            return;
        }
        verdicts.push_back(static_cast<double>(GetTickCount64() - hung));
        // The restarted program answers again.
        WriteControl(control, "200");
        if (MoreOf(log, " with pid ", starts, 30000))
            restarts.push_back(static_cast<double>(GetTickCount64() - hung));
    }
    const double median = Median(verdicts);
    std::printf("interval %u s x retries %u + timeout %u s = %.0f ms: hang to the verdict that restarts it median "
                "%.0f ms (%+.1f %%), to the program's new start %.0f ms, over %zu rounds\n",
                test.IntervalSeconds, test.Retries, test.TimeoutSeconds, expected, median,
                (median - expected) * 100.0 / expected, Median(restarts), verdicts.size());
    DeleteFileA(control.c_str());
    DeleteFileA(log.c_str());
}

double WorkingSetKiB(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    return GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)
               ? memory.WorkingSetSize / 1024.0
               : -1;
}

// Wine counts no handles of a process; a new handle takes the lowest free
// slot, so its value climbs only while handles leak.
uintptr_t NextHandle()
{
    HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const uintptr_t value = reinterpret_cast<uintptr_t>(probe);
    CloseHandle(probe);
    return value;
}

// What Linux counts of the process: its resident and data sizes, in KiB.
std::string LinuxMemory(const std::string& process)
{
    const std::string status = ReadText("Z:\\proc\\" + process + "\\status");
    auto field = [&](const char* name) {
        const size_t at = status.find(name);
        return at == std::string::npos ? -1L : std::atol(status.c_str() + at + std::strlen(name));
    };
    return "RSS " + std::to_string(field("VmRSS:")) + " KiB, data " + std::to_string(field("VmData:")) + " KiB";
}

void MeasureCost(const std::string& build, const std::string& server, int seconds)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string control = std::string(temp) + "qv_health_cost_" + tag;
    const std::string log = std::string(temp) + "qv_health_cost_" + tag + ".log";
    DeleteFileA(log.c_str());
    WriteControl(control, "200");
    const unsigned port = FreePort();
    const std::string name = "QV Health Cost " + tag;
    TBenchService host(build + "\\dist\\Vantorer.bin", name, server, std::to_string(port) + " \"" + control + "\"", log);
    WriteHealthSettings(name, "http://127.0.0.1:" + std::to_string(port) + "/health", 1, 10, 3);
    if (!host.Service || !host.Start() || !WaitFor([&] { return Count(ReadAll(log), "health: healthy") > 0; }, 30000)) {
        std::printf("the host could not be started with a healthy program\n");
        return;
    }
    const DWORD pid = Status(host.Service.Get()).dwProcessId;
    TKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    const std::string linux = LinuxProcess(host.Copy.substr(host.Copy.rfind('\\') + 1));
    const int checksBefore = Count(ReadAll(log), "out: request GET /health");
    const double cpu = LinuxCpuMs(linux), setBefore = WorkingSetKiB(process.Get());
    const std::string memoryBefore = LinuxMemory(linux);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    const double used = LinuxCpuMs(linux) - cpu;
    const int checks = Count(ReadAll(log), "out: request GET /health") - checksBefore;
    std::printf("host with a 1 s HTTP check for %d s: %d checks, CPU %.0f ms (%.2f %% of a core), working set %.0f -> "
                "%.0f KiB, Linux %s -> %s\n",
                seconds, checks, used, used * 100.0 / (seconds * 1000.0), setBefore, WorkingSetKiB(process.Get()),
                memoryBefore.c_str(), LinuxMemory(linux).c_str());
    DeleteFileA(control.c_str());
    DeleteFileA(log.c_str());
}

// The same monitor and probe the host runs, checking 10 ms apart.
void MeasureMany(const std::string& server, int checks)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string control = std::string(temp) + "qv_health_many_" + std::to_string(GetCurrentProcessId());
    WriteControl(control, "200");
    const unsigned port = FreePort();
    std::string line = "\"" + server + "\" " + std::to_string(port) + " \"" + control + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION started = {};
    if (!StartProcess(line.data(), FALSE, CREATE_NO_WINDOW, nullptr, &startup, &started)) {
        std::printf("the server could not be started\n");
        return;
    }
    TKernelHandle serverProcess(started.hProcess);
    CloseHandle(started.hThread);
    Sleep(500);

    THealthPlan plan;
    plan.Target = *ParseHealthTarget("http://127.0.0.1:" + std::to_string(port) + "/health");
    plan.IntervalMs = plan.StartIntervalMs = 10;
    plan.TimeoutMs = 2000;
    std::atomic<int> done{0}, passed{0};
    std::string failed;
    auto log = std::make_shared<TQuietLog>();
    THealthMonitor monitor(log, [&](const THealthReport& report) {
        // The start of the run is no check.
        if (report.CheckedAt.empty())
            return;
        ++done;
        if (report.Result == "HTTP 200")
            ++passed;
        else
            failed = report.Result;
    });
    HANDLE self = GetCurrentProcess();
    FILETIME created, exited, kernel, user;
    auto cpuMs = [&] {
        GetProcessTimes(self, &created, &exited, &kernel, &user);
        ULARGE_INTEGER k{{kernel.dwLowDateTime, kernel.dwHighDateTime}}, u{{user.dwLowDateTime, user.dwHighDateTime}};
        return static_cast<double>(k.QuadPart + u.QuadPart) / 10000.0;
    };
    monitor.Begin(plan);
    WaitFor([&] { return done >= 100; }, 60000);
    std::printf("%d HTTP checks 10 ms apart in this process:\n", checks);
    const double cpu = cpuMs();
    const ULONGLONG began = GetTickCount64();
    const int first = done;
    for (int mark = 1000; mark <= checks; mark += 1000) {
        WaitFor([&] { return done - first >= mark; }, 600000, 50);
        std::printf("  after %5d: working set %6.0f KiB, next handle 0x%llx\n", mark, WorkingSetKiB(self),
                    static_cast<unsigned long long>(NextHandle()));
    }
    const double ms = static_cast<double>(GetTickCount64() - began);
    const double cpuPerCheck = (cpuMs() - cpu) / (done - first);
    // No report comes after the end: what failed can be read.
    monitor.End();
    std::printf("  %d of %d passed%s; %.2f ms a check apart, CPU %.3f ms a check (this process as Windows counts it)\n",
                passed.load(), done.load(), failed.empty() ? "" : (" (one failed: " + failed + ")").c_str(),
                ms / (done - first), cpuPerCheck);
    TerminateProcess(serverProcess.Get(), 0);
    DeleteFileA(control.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60, checks = 10000;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--checks") == 0)
            checks = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    auto part = [&](const char* name) { return only.empty() || only == name; };
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string server = build + "\\tests\\stub\\health_test_server.exe";
    TSavedCatalogue saved;
    if (part("detect")) {
        MeasureDetection(build, server, {2, 1, 3, 5});
        MeasureDetection(build, server, {5, 2, 2, 3});
    }
    if (part("cost"))
        MeasureCost(build, server, seconds);
    if (part("many"))
        MeasureMany(server, checks);
    return 0;
}
