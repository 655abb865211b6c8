// Measures qv metrics and what the program's figures cost its host, under
// the real Service Control Manager:
//   all:  "qv metrics" over 200 installed, running entries (median of runs),
//         and the collection time it reports itself;
//   host: one host idle for the seconds given, then asked once a second
//         (each answer now reads the program's figures): CPU as Linux counts
//         it, wake-ups, resident memory. --base-host runs the same with
//         another Vantorer.bin (one built without the figures) to compare.
//   bench_metrics [--entries N] [--seconds N] [--only all|host] [--base-host PATH]
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "bench/LinuxProcess.h"
#include "bench/Measure.h"
#include "deploy/Deploy.h"
#include "fixtures/SavedCatalogue.h"
#include "messaging/StatusClient.h"
#include "toolkit/Paths.h"

namespace {

constexpr int MetricsRuns = 5;

// Resident kilobytes of a Linux process, as Linux counts them.
long long ResidentKiB(const std::string& process)
{
    std::istringstream status(ReadText("Z:\\proc\\" + process + "\\status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    return -1;
}

// Milliseconds of one run of the command, its output kept; its exit code.
double TimedRun(const std::string& command, DWORD& exitCode, std::string& out)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "bench_metrics.prom";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    double ms = 0;
    {
        TKernelHandle output(CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                         nullptr));
        TProgramEnd end;
        ms = Milliseconds([&] { end = RunToEnd(command, output.Get(), nullptr, 600000); });
        exitCode = end.ExitCode;
    }
    out = ReadText(file);
    DeleteFileA(file.c_str());
    return ms;
}

std::string SampleOf(const std::string& text, const std::string& name)
{
    const size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? "?" : text.substr(at + name.size() + 2, text.find('\n', at + 1) - at - name.size() - 2);
}

void MeasureAll(const std::string& build, const std::string& program, int entries)
{
    std::printf("installing and starting %d entries...\n", entries);
    std::vector<std::unique_ptr<TBenchService>> services;
    for (int n = 0; n < entries; ++n) {
        const std::string name = "QV Metrics Bench " + std::to_string(GetCurrentProcessId()) + " " + std::to_string(n);
        // A host starting reads the catalogue, and under Wine a write meets
        // it now and then: tried again.
        for (int tries = 0; tries < 5; ++tries)
            try {
                services.push_back(std::make_unique<TBenchService>(build + "\\dist\\Vantorer.bin", name, program,
                                                                   "wait", "", StubCopyPath(name)));
                break;
            } catch (const TError& error) {
                std::printf("entry %d: %s; again\n", n, error.Message().c_str());
                Sleep(200);
            }
        if (services.size() != static_cast<size_t>(n) + 1) {
            std::printf("entry %d could not be added\n", n);
            return;
        }
        if (!services.back()->Service || !services.back()->Start()) {
            std::printf("entry %d could not be installed and started\n", n);
            return;
        }
    }
    // Every program up before measuring.
    Sleep(3000);
    const std::string qv = "\"" + build + "\\dist\\qv.exe\" metrics";
    DWORD exitCode = 0;
    std::string out;
    TimedRun(qv, exitCode, out);
    std::vector<double> runs, collections;
    for (int run = 0; run < MetricsRuns; ++run) {
        runs.push_back(TimedRun(qv, exitCode, out));
        collections.push_back(std::atof(SampleOf(out, "quorvane_metrics_collection_duration_seconds").c_str()) * 1000);
    }
    // qv list asks the same hosts and the Service Control Manager the same way.
    std::vector<double> lists;
    std::string listed;
    DWORD listCode = 0;
    for (int run = 0; run < MetricsRuns; ++run)
        lists.push_back(TimedRun("\"" + build + "\\dist\\qv.exe\" list", listCode, listed));
    std::printf("qv list of the same entries, for comparison: median %.0f ms\n", Median(lists));
    size_t running = 0;
    for (size_t at = out.find("state=\"running\"} 1\n"); at != std::string::npos;
         at = out.find("state=\"running\"} 1\n", at + 1))
        ++running;
    std::printf("qv metrics, %d running entries: median %.0f ms a run over %d runs (collecting: median %.0f ms), "
                "%zu bytes, %zu series saying running, exit code %lu\n",
                entries, Median(runs), MetricsRuns, Median(collections), out.size(), running, exitCode);
}

// The host's cost over the seconds, asked once a second or not at all.
void MeasureHost(const char* which, const std::string& host, const std::string& program, int seconds)
{
    const std::string name = std::string("QV Metrics Host Bench ") + which + " " + std::to_string(GetCurrentProcessId());
    TBenchService service(host, name, program, "wait", "");
    if (!service.Service || !service.Start()) {
        std::printf("%s: the host could not be installed and started\n", which);
        return;
    }
    const DWORD pid = Status(service.Service.Get()).dwProcessId;
    WaitFor([&] { return AskStatus({service.ServiceID, pid}).Status.State == TProgramState::Running; }, 10000);
    const std::string linux = LinuxProcess(service.Copy.substr(service.Copy.rfind('\\') + 1));
    Sleep(2000);
    for (bool asking : {false, true}) {
        const double cpu = LinuxCpuMs(linux);
        const long long wakeups = Wakeups(linux);
        bool figures = false;
        for (int second = 0; second < seconds; ++second) {
            if (asking)
                figures = AskStatus({service.ServiceID, pid}).Status.Resources.has_value() || figures;
            Sleep(1000);
        }
        std::printf("%s host, %s for %d s: CPU %.0f ms, %.2f wake-ups/s, resident %lld KiB%s\n", which,
                    asking ? "asked once a second" : "idle", seconds, LinuxCpuMs(linux) - cpu,
                    static_cast<double>(Wakeups(linux) - wakeups) / seconds, ResidentKiB(linux),
                    asking ? (figures ? ", answers with figures" : ", answers without figures") : "");
    }
}

} // namespace

int main(int argc, char** argv)
{
    int entries = 200, seconds = 30;
    std::string only, baseHost;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--entries") == 0)
            entries = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
        else if (std::strcmp(argv[i], "--base-host") == 0)
            baseHost = argv[i + 1];
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string program = build + "\\tests\\stub\\stub_test_program.exe";
    TSavedCatalogue saved;
    if (only.empty() || only == "host") {
        MeasureHost("this", build + "\\dist\\Vantorer.bin", program, seconds);
        if (!baseHost.empty())
            MeasureHost("base", baseHost, program, seconds);
    }
    if (only.empty() || only == "all")
        MeasureAll(build, program, entries);
    return 0;
}
