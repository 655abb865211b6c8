// Measures the service host's status pipe under the real Service Control
// Manager: the round trip of one question (median and 99th percentile), and
// the host's CPU (as Linux counts it) and working set while it answers one
// question a second, beside the same time idle.
//   bench_status [--seconds N]   (default 60)
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "bench/LinuxProcess.h"
#include "bench/Measure.h"
#include "fixtures/SavedCatalogue.h"
#include "messaging/StatusClient.h"
#include "toolkit/Paths.h"

namespace {

constexpr int Trips = 2000;

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())))];
}

double WorkingSetKiB(DWORD pid)
{
    TKernelHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    return process && GetProcessMemoryInfo(process.Get(), &memory, sizeof memory) ? memory.WorkingSetSize / 1024.0
                                                                                  : -1;
}

// CPU milliseconds and wake-ups of the host over the seconds, asked once a
// second or not at all.
void MeasureHost(const std::string& linuxProcess, DWORD pid, int serviceID, int seconds, bool asking)
{
    const double cpu = LinuxCpuMs(linuxProcess);
    const long long wakeups = Wakeups(linuxProcess);
    int answered = 0;
    for (int second = 0; second < seconds; ++second) {
        if (asking && AskStatus(serviceID).Outcome == TStatusOutcome::Answered)
            ++answered;
        Sleep(1000);
    }
    std::printf("%s for %d s: host CPU %.0f ms, %.1f wake-ups/s, working set %.0f KiB%s\n",
                asking ? "one question a second" : "idle", seconds, LinuxCpuMs(linuxProcess) - cpu,
                static_cast<double>(Wakeups(linuxProcess) - wakeups) / seconds, WorkingSetKiB(pid),
                asking ? (", " + std::to_string(answered) + " answered").c_str() : "");
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    if (argc > 2 && std::strcmp(argv[1], "--seconds") == 0)
        seconds = std::atoi(argv[2]);
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string program = build + "\\tests\\stub\\stub_test_program.exe";
    const std::string name = "QV Status Bench " + std::to_string(GetCurrentProcessId());

    TSavedCatalogue saved;
    TBenchService host(build + "\\dist\\Vantorer.bin", name, program, "wait", "");
    if (!host.Service || !host.Start()) {
        std::printf("the host could not be installed and started\n");
        return 1;
    }
    WaitFor([&] { return AskStatus(host.ServiceID).Status.State == TProgramState::Running; }, 10000);

    std::vector<double> trips;
    for (int trip = 0; trip < Trips; ++trip) {
        TStatusReply reply;
        double ms = Milliseconds([&] { reply = AskStatus(host.ServiceID); });
        if (reply.Outcome == TStatusOutcome::Answered)
            trips.push_back(ms);
    }
    std::printf("status round trip: median %.3f ms, 99th percentile %.3f ms, over %zu answers of %d\n",
                Median(trips), Percentile(trips, 0.99), trips.size(), Trips);

    const std::string linuxProcess = LinuxProcess(host.Copy.substr(host.Copy.rfind('\\') + 1));
    const DWORD pid = Status(host.Service).dwProcessId;
    MeasureHost(linuxProcess, pid, host.ServiceID, seconds, false);
    MeasureHost(linuxProcess, pid, host.ServiceID, seconds, true);
    return 0;
}
