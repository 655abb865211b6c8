// Measures the service host's status pipe under the real Service Control
// Manager: the round trip of one question (median and 99th percentile); the
// host's CPU (as Linux counts it) and working set while it answers one
// question a second, beside the same time idle; and "qv check --all" over 50
// installed entries, 10 of them with a program that never runs, against the
// 50 mailslot questions one after another that it asked before, and again
// once those 10 hosts are older ones without a pipe.
//   bench_status [--seconds N] [--only trip|host|check]   (default 60 s)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "bench/LinuxProcess.h"
#include "bench/Measure.h"
#include "bench/ProcessMemory.h"
#include "deploy/Deploy.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/StandInHost.h"
#include "messaging/Liveness.h"
#include "messaging/StatusClient.h"
#include "toolkit/Paths.h"

namespace {

constexpr int Trips = 2000;
constexpr int Entries = 50;
constexpr int SilentEntries = 10;
constexpr int CheckRuns = 5;

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
    const PROCESS_MEMORY_COUNTERS_EX memory = MemoryOf(process.Get());
    return memory.cb ? memory.WorkingSetSize / 1024.0 : -1;
}

// CPU milliseconds and wake-ups of the host over the seconds, asked once a
// second or not at all.
void MeasureHost(const std::string& linuxProcess, DWORD pid, int serviceID, int seconds, bool asking)
{
    const double cpu = LinuxCpuMs(linuxProcess);
    const long long wakeups = Wakeups(linuxProcess);
    int answered = 0;
    for (int second = 0; second < seconds; ++second) {
        if (asking && AskStatus({serviceID, pid}).Outcome == TStatusOutcome::Answered)
            ++answered;
        Sleep(1000);
    }
    std::printf("%s for %d s: host CPU %.0f ms, %.1f wake-ups/s, working set %.0f KiB%s\n",
                asking ? "one question a second" : "idle", seconds, LinuxCpuMs(linuxProcess) - cpu,
                static_cast<double>(Wakeups(linuxProcess) - wakeups) / seconds, WorkingSetKiB(pid),
                asking ? (", " + std::to_string(answered) + " answered").c_str() : "");
}

// Milliseconds of one run of the command, its output to NUL; its exit code.
double TimedRun(const std::string& command, DWORD& exitCode)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    TProgramEnd end;
    const double ms = Milliseconds([&] { end = RunToEnd(command, nul.Get(), nul.Get(), 600000); });
    exitCode = end.ExitCode;
    return ms;
}

// Asks every host by mailslot, one after another, as qv did before the
// pipe: each silent one costs the whole reply time-out.
double MailslotChecks(const std::vector<std::unique_ptr<TBenchService>>& services, int& active)
{
    TLiveness liveness;
    liveness.Beep = [](DWORD, DWORD) { return TRUE; };
    liveness.Start();
    liveness.SetCheckMode(TCheckMode::Quiet);
    liveness.SetAnswersMustMatch(true);
    active = 0;
    const double ms = Milliseconds([&] {
        for (const auto& service : services)
            active += liveness.Query(service->ServiceID) ? 1 : 0;
    });
    liveness.Shutdown();
    return ms;
}

void MeasureCheckAll(const std::string& build, const std::string& program)
{
    std::printf("installing %d entries...\n", Entries);
    std::vector<std::unique_ptr<TBenchService>> services;
    for (int n = 0; n < Entries; ++n) {
        const std::string name = "QV Check Bench " + std::to_string(GetCurrentProcessId()) + " " + std::to_string(n);
        // The silent ones' program is gone: their hosts never get it running.
        const std::string runs = n < SilentEntries ? program + ".gone.exe" : program;
        services.push_back(std::make_unique<TBenchService>(build + "\\dist\\Vantorer.bin", name, runs, "wait", "",
                                                           StubCopyPath(name)));
        if (!services.back()->Service || !services.back()->Start()) {
            std::printf("entry %d could not be installed and started\n", n);
            return;
        }
    }
    const std::string qv = "\"" + build + "\\dist\\qv.exe\" check --all";
    DWORD exitCode = 0;
    TimedRun(qv, exitCode);
    std::vector<double> pipes;
    for (int run = 0; run < CheckRuns; ++run)
        pipes.push_back(TimedRun(qv, exitCode));
    std::printf("qv check --all, %d entries, %d with a program that never runs: median %.0f ms over %d runs "
                "(exit code %lu)\n", Entries, SilentEntries, Median(pipes), CheckRuns, exitCode);
    int active = 0;
    const double mailslots = MailslotChecks(services, active);
    std::printf("the same %d asked by mailslot one after another: %.0f ms, %d active (%.1f times as long)\n", Entries,
                mailslots, active, mailslots / Median(pipes));
    // Older hosts that hold their mailslot and never answer: stand-ins.
    std::vector<std::unique_ptr<TStandInHost>> olderHosts;
    for (int n = 0; n < SilentEntries; ++n) {
        services[n]->EndHost();
        olderHosts.push_back(std::make_unique<TStandInHost>(services[n]->ServiceID, Silent()));
    }
    const double older = TimedRun(qv, exitCode);
    std::printf("qv check --all with those %d hosts older ones without a pipe, silent on the mailslot: %.0f ms "
                "(exit code %lu)\n", SilentEntries, older, exitCode);
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    auto part = [&](const char* name) { return only.empty() || only == name; };
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string program = build + "\\tests\\stub\\stub_test_program.exe";
    const std::string name = "QV Status Bench " + std::to_string(GetCurrentProcessId());

    TSavedCatalogue saved;
    if (part("trip") || part("host")) {
        TBenchService host(build + "\\dist\\Vantorer.bin", name, program, "wait", "");
        if (!host.Service || !host.Start()) {
            std::printf("the host could not be installed and started\n");
            return 1;
        }
        const DWORD hostPid = Status(host.Service.Get()).dwProcessId;
        WaitFor([&] { return AskStatus({host.ServiceID, hostPid}).Status.State == TProgramState::Running; }, 10000);
        if (part("trip")) {
            std::vector<double> trips;
            for (int trip = 0; trip < Trips; ++trip) {
                TStatusReply reply;
                double ms = Milliseconds([&] { reply = AskStatus({host.ServiceID, hostPid}); });
                if (reply.Outcome == TStatusOutcome::Answered)
                    trips.push_back(ms);
            }
            std::printf("status round trip: median %.3f ms, 99th percentile %.3f ms, over %zu answers of %d\n",
                        Median(trips), Percentile(trips, 0.99), trips.size(), Trips);
        }
        if (part("host")) {
            const std::string linuxProcess = LinuxProcess(host.Copy.substr(host.Copy.rfind('\\') + 1));
            const DWORD pid = Status(host.Service.Get()).dwProcessId;
            MeasureHost(linuxProcess, pid, host.ServiceID, seconds, false);
            MeasureHost(linuxProcess, pid, host.ServiceID, seconds, true);
        }
    }
    if (part("check"))
        MeasureCheckAll(build, program);
    return 0;
}
