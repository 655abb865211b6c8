// Measures the service host under the real Service Control Manager: liveness
// round trip, exit-to-restart delay, idle CPU, private memory, file size;
// how soon a stop request silences the host and ends the program's tree,
// for a program that hears Ctrl+C, a windowed one and one that ignores both;
// how fast a flood of output reaches the log, in lines and in raw mode,
// beside the same program writing straight to a file or to a pipe nobody
// logs; and how often the host wakes while its program prints ten lines a
// second.
//   bench_stub [--host PATH] [--only idle|stops|floods|wakeups] [--flood-mb N]
// measures another build of the host, only one part, or floods of N MB
// (20 unless given; 200 is the size a user's flood was measured at).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchService.h"
#include "bench/LinuxProcess.h"
#include "bench/Measure.h"
#include "bench/ProcessMemory.h"
#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "messaging/MailSlot.h"
#include "messaging/Protocol.h"
#include "platform/Kernel.h"
#include "toolkit/Error.h"
#include "toolkit/Paths.h"

namespace {

// Asks often, so the figures below lose little to the asking.
constexpr DWORD PollMs = 5;
// Floods are of 100-byte lines.
constexpr long FloodLineBytes = 100;
constexpr long DefaultFloodMB = 20;
constexpr int FloodRounds = 5;
constexpr int StopRounds = 5;
// How long wake-ups are counted, once the program has settled.
constexpr DWORD SettleMs = 1500;
constexpr DWORD CountMs = 5000;

double Ms(const FILETIME& from, const FILETIME& to)
{
    ULARGE_INTEGER a{{from.dwLowDateTime, from.dwHighDateTime}}, b{{to.dwLowDateTime, to.dwHighDateTime}};
    return (static_cast<double>(b.QuadPart) - static_cast<double>(a.QuadPart)) / 10000.0;
}

double CpuMs(HANDLE process)
{
    FILETIME created, exited, kernel, user, zero = {};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return -1;
    return Ms(zero, kernel) + Ms(zero, user);
}

double Since(const LARGE_INTEGER& from)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Whether the host still holds its liveness mailslot.
bool Listening(int serviceID)
{
    TMailSlot client;
    client.SetMailslot(msClient);
    client.SetAlias(ServiceSlotAlias(serviceID));
    try {
        client.SetActive(true);
        return true;
    } catch (const TError&) {
        return false;
    }
}

// Wake-ups per second of the Linux process, counted over CountMs.
double WakeupsPerSecond(const std::string& process)
{
    long long before = Wakeups(process);
    Sleep(CountMs);
    long long after = Wakeups(process);
    return before < 0 || after < 0 ? -1 : static_cast<double>(after - before) * 1000.0 / CountMs;
}

// Reads a program's output from a pipe and throws it away, the least any
// logging through a pipe can do; returns the last line it saw.
std::string ReadPipeToEnd(const std::string& commandLine, HANDLE job)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle read, write;
    CreatePipe(read.Receive(), write.Receive(), &inherit, 64 * 1024);
    SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write.Get();
    PROCESS_INFORMATION started = {};
    std::string line = commandLine;
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &started))
        return "";
    TKernelHandle process(started.hProcess), thread(started.hThread);
    if (job)
        AssignProcessToJobObject(job, process.Get());
    ResumeThread(thread.Get());
    write.Close();
    std::vector<char> buffer(64 * 1024);
    std::string tail;
    DWORD got = 0;
    while (ReadFile(read.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0)
        tail = (tail + std::string(buffer.data(), got)).substr(tail.size() + got > 300 ? tail.size() + got - 300 : 0);
    return tail;
}

long long FloodMs(const std::string& text, long lines)
{
    return NumberAfter(text, "flooded " + std::to_string(lines) + " lines in ");
}

// The last bytes of a file: a raw log grows to the whole flood, too much to
// read again at every look.
std::string TailText(const std::string& path, DWORD bytes)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {}, at = {};
    if (!file || !GetFileSizeEx(file.Get(), &size))
        return "";
    at.QuadPart = size.QuadPart > bytes ? size.QuadPart - bytes : 0;
    SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN);
    std::string text(bytes, '\0');
    DWORD read = 0;
    ReadFile(file.Get(), text.data(), bytes, &read, nullptr);
    text.resize(read);
    return text;
}

struct THost {
    SC_HANDLE Service;
    TIniFile& Ini;
    std::string Description;
    std::string Log;
    int ServiceID;

    void Run(const std::string& parameters)
    {
        Ini.WriteString(Description, ParametersKey, parameters);
        DeleteFileA(Log.c_str());
        DeleteFileA((Log + ".1").c_str());
        StartServiceA(Service, 0, nullptr);
    }
};

// From the stop request to a silent host, to the program (and its child)
// ended, and to the service stopped; ready is the line that says the
// program is set.
void MeasureStops(THost& host, const char* what, const std::string& parameters, const std::string& ready,
                  bool child)
{
    std::vector<double> silent, treeGone, stopped;
    for (int round = 0; round < StopRounds; ++round) {
        host.Run(parameters);
        if (!WaitFor([&] { return ReadText(host.Log).find(ready) != std::string::npos; }, 10000, PollMs) ||
            !WaitFor([&] { return Listening(host.ServiceID); }, 5000, PollMs))
            break;
        std::string text = ReadText(host.Log);
        std::vector<HANDLE> tree = {OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(NumberAfter(text, "out: pid ")))};
        if (child)
            tree.push_back(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(NumberAfter(text, "child pid "))));
        LARGE_INTEGER asked;
        QueryPerformanceCounter(&asked);
        SERVICE_STATUS status = {};
        ControlService(host.Service, SERVICE_CONTROL_STOP, &status);
        while (Listening(host.ServiceID)) {
        }
        silent.push_back(Since(asked));
        if (std::find(tree.begin(), tree.end(), nullptr) == tree.end() &&
            WaitForMultipleObjects(static_cast<DWORD>(tree.size()), tree.data(), TRUE, 20000) == WAIT_OBJECT_0)
            treeGone.push_back(Since(asked));
        if (WaitFor([&] { return Status(host.Service).dwCurrentState == SERVICE_STOPPED; }, 20000, PollMs))
            stopped.push_back(Since(asked));
        for (HANDLE process : tree)
            if (process)
                CloseHandle(process);
    }
    std::printf("stop, %s: silent host %.1f ms, program tree gone %.1f ms, service stopped %.1f ms "
                "(medians over %zu rounds)\n",
                what, Median(silent), Median(treeGone), Median(stopped), treeGone.size());
}

void MeasureFloods(THost& host, const std::string& program, const std::string& copyName, long floodMB)
{
    const long floodLines = floodMB * 1000000 / FloodLineBytes;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string redirected = std::string(temp) + "qv_stub_bench_redirect.txt";
    const std::string flood = "\"" + program + "\" flood:" + std::to_string(floodLines);
    std::vector<double> straight, piped, pipedCpu, logged, hostCpu, raw, rawHostCpu;
    std::string accounting, rawAccounting;
    for (int round = 0; round < FloodRounds; ++round) {
        {
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            TKernelHandle file(CreateFileA(redirected.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
            RunToEnd(flood, file.Get(), file.Get(), 600000);
        }
        straight.push_back(static_cast<double>(FloodMs(TailText(redirected, 300), floodLines)));
        DeleteFileA(redirected.c_str());

        double cpu = CpuMs(GetCurrentProcess());
        piped.push_back(static_cast<double>(FloodMs(ReadPipeToEnd(flood, nullptr), floodLines)));
        pipedCpu.push_back(CpuMs(GetCurrentProcess()) - cpu);

        host.Ini.DeleteKey(host.Description, "LogMode");
        host.Run("flood:" + std::to_string(floodLines) + " wait");
        std::string process, text;
        WaitFor([&] { return !(process = LinuxProcess(copyName)).empty(); }, 5000, PollMs);
        WaitFor([&] { return FloodMs(text = ReadText(host.Log), floodLines) >= 0; }, 600000, 50);
        logged.push_back(static_cast<double>(FloodMs(text, floodLines)));
        hostCpu.push_back(LinuxCpuMs(process));
        // What the log still holds of the flood, and what it says it deleted.
        std::string kept = ReadText(host.Log + ".1") + text;
        long long first = NumberAfter(kept, " out: flood ");
        long long lines = static_cast<long long>(std::count(kept.begin(), kept.end(), '\n'));
        char line[300];
        std::snprintf(line, sizeof line,
                      "the log keeps floods %lld to %lld in %zu bytes (%lld lines) and says %lld bytes before "
                      "them were deleted",
                      first, static_cast<long long>(floodLines - 1), kept.size(), lines,
                      NumberAfter(text, " bytes before this file; "));
        accounting = line;
        Stop(host.Service);

        // The program writes the log file itself; the log keeps every byte.
        host.Ini.WriteString(host.Description, "LogMode", "raw");
        host.Run("flood:" + std::to_string(floodLines) + " wait");
        process.clear();
        WaitFor([&] { return !(process = LinuxProcess(copyName)).empty(); }, 5000, PollMs);
        WaitFor([&] { return FloodMs(text = TailText(host.Log, 300), floodLines) >= 0; }, 600000, 50);
        raw.push_back(static_cast<double>(FloodMs(text, floodLines)));
        rawHostCpu.push_back(LinuxCpuMs(process));
        WIN32_FILE_ATTRIBUTE_DATA file = {};
        GetFileAttributesExA(host.Log.c_str(), GetFileExInfoStandard, &file);
        std::snprintf(line, sizeof line, "the raw log holds %llu bytes",
                      (static_cast<unsigned long long>(file.nFileSizeHigh) << 32) | file.nFileSizeLow);
        rawAccounting = line;
        Stop(host.Service);
        host.Ini.DeleteKey(host.Description, "LogMode");
    }
    const double straightMs = Median(straight), loggedMs = Median(logged), pipedMs = Median(piped),
                 rawMs = Median(raw);
    auto rate = [&](double ms) { return ms > 0 ? floodLines * FloodLineBytes / 1e6 / (ms / 1000.0) : -1.0; };
    std::printf("flood of %ld MB in %ld-byte lines (medians over %d rounds):\n", floodMB, FloodLineBytes,
                FloodRounds);
    std::printf("  straight to a file: %.0f ms (%.0f MB/s)\n", straightMs, rate(straightMs));
    std::printf("  into a pipe read and dropped: %.0f ms (%.0f MB/s), %.2f of the file; reader CPU %.2f s\n",
                pipedMs, rate(pipedMs), straightMs / pipedMs, Median(pipedCpu) / 1000.0);
    std::printf("  logged by the host in lines: %.0f ms (%.0f MB/s), %.2f of the file, %.2f of the bare pipe; "
                "host CPU %.2f s (as Linux counts it)\n",
                loggedMs, rate(loggedMs), straightMs / loggedMs, pipedMs / loggedMs, Median(hostCpu) / 1000.0);
    std::printf("  %s\n", accounting.c_str());
    std::printf("  logged by the host raw: %.0f ms (%.0f MB/s), %.2f of the file; host CPU %.2f s; %s\n", rawMs,
                rate(rawMs), straightMs / rawMs, Median(rawHostCpu) / 1000.0, rawAccounting.c_str());
    std::printf("  each round (ms): file / bare pipe / lines / raw\n");
    for (size_t i = 0; i < straight.size(); ++i)
        std::printf("    %.0f / %.0f / %.0f / %.0f\n", straight[i], i < piped.size() ? piped[i] : -1.0,
                    i < logged.size() ? logged[i] : -1.0, i < raw.size() ? raw[i] : -1.0);
}

void MeasureWakeups(THost& host, const std::string& program, const std::string& copy)
{
    host.Run("every:100");
    WaitFor([&] { return ReadText(host.Log).find("out: tick 1") != std::string::npos; }, 10000, PollMs);
    Sleep(SettleMs);
    const std::string hostProcess = LinuxProcess(copy.substr(copy.rfind('\\') + 1));
    double hostWakeups = WakeupsPerSecond(hostProcess);
    long long ticks = NumberAfter(ReadText(host.Log), "out: tick ", 0);
    Stop(host.Service);

    // The same program read by a bare reader in a process of its own.
    const std::string marker = "qvbare" + std::to_string(GetCurrentProcessId());
    std::string line = "\"" + ExecutablePath() + "\" --read-pipe " + marker + " \"" + program + "\" every:100";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION reader = {};
    double bareWakeups = -1;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &reader)) {
        Sleep(SettleMs);
        bareWakeups = WakeupsPerSecond(LinuxProcess(marker));
        TerminateProcess(reader.hProcess, 0);
        CloseHandle(reader.hThread);
        CloseHandle(reader.hProcess);
    }
    std::printf("wake-ups per second while the program prints 10 lines a second: host %.1f, "
                "a bare pipe reader %.1f (ticks logged: %s)\n",
                hostWakeups, bareWakeups, ticks >= 0 ? "yes" : "no");
}

} // namespace

int main(int argc, char** argv)
{
    const std::string build = FolderOf(FolderOf(ExecutablePath()));
    const std::string program = build + "\\tests\\stub\\stub_test_program.exe";
    if (argc >= 4 && std::strcmp(argv[1], "--read-pipe") == 0) {
        // The bare reader of the wake-up count; its program goes with it.
        TKernelHandle job(CreateJobObjectA(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        std::string line = "\"" + std::string(argv[3]) + "\"";
        for (int i = 4; i < argc; ++i)
            line += std::string(" ") + argv[i];
        ReadPipeToEnd(line, job.Get());
        return 0;
    }
    std::string stub = build + "\\dist\\Vantorer.bin", only;
    long floodMB = DefaultFloodMB;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--flood-mb") == 0)
            floodMB = std::max(1L, std::atol(argv[i + 1]));
        else
            (std::strcmp(argv[i], "--host") == 0 ? stub : only) = argv[i + 1];
    }
    auto part = [&](const char* name) { return only.empty() || only == name; };
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string description = "QV Stub Bench " + std::to_string(GetCurrentProcessId());
    const std::string log = std::string(temp) + "qv_stub_bench.log";
    DeleteFileA(log.c_str());
    DeleteFileA((log + ".1").c_str());

    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!GetFileAttributesExA(stub.c_str(), GetFileExInfoStandard, &attributes)) {
        std::printf("cannot find %s\n", stub.c_str());
        return 1;
    }
    std::printf("host %s: %lu bytes\n", stub.c_str(), attributes.nFileSizeLow);

    // The catalogue is put back as it was at the end.
    TSavedCatalogue saved;
    TIniFile ini(CatalogueFileName);
    TBenchService installed(stub, description, program, "pid child wait", log);
    if (!installed.Service) {
        std::printf("install failed\n");
        return 1;
    }
    const std::string copy = installed.Copy;
    SC_HANDLE service = installed.Service.Get();
    THost host{service, ini, description, log, installed.ServiceID};

    // Liveness, CPU while idle and memory, with a program that just waits.
    if (part("idle")) {
    StartServiceA(service, 0, nullptr);
    WaitFor([&] { return ReadText(log).find("with pid") != std::string::npos; }, 10000, PollMs);
    {
        TMailSlot replies;
        replies.SetMsgSize(MessageSize);
        replies.SetAlias(ManagerSlotAlias);
        replies.SetActive(true);
        std::vector<double> trips;
        LARGE_INTEGER frequency, sent, got;
        QueryPerformanceFrequency(&frequency);
        for (int i = 1; i <= 100; ++i) {
            TMailSlot ask;
            ask.SetMailslot(msClient);
            ask.SetAlias(ServiceSlotAlias(installed.ServiceID));
            ask.SetActive(true);
            const std::string question = QuestionSlot(i);
            QueryPerformanceCounter(&sent);
            ask.WriteMsg(question.data(), MessageSize);
            ULONGLONG deadline = GetTickCount64() + 5000;
            while (replies.MsgCount() == 0 && GetTickCount64() < deadline) {
            }
            QueryPerformanceCounter(&got);
            if (replies.MsgCount() == 0)
                continue;
            char reply[MessageSize + 1] = {};
            replies.ReadMsg(reply, MessageSize);
            trips.push_back(static_cast<double>(got.QuadPart - sent.QuadPart) * 1000.0 /
                            static_cast<double>(frequency.QuadPart));
        }
        std::printf("liveness round trip: median %.3f ms over %zu answers (max %.3f ms)\n", Median(trips),
                    trips.size(), trips.empty() ? -1.0 : *std::max_element(trips.begin(), trips.end()));
    }
    DWORD stubPid = Status(service).dwProcessId;
    HANDLE hostProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, stubPid);
    double cpuBefore = CpuMs(hostProcess);
    Sleep(10000);
    std::printf("host CPU over 10 s idle: %.3f ms\n", CpuMs(hostProcess) - cpuBefore);
    if (const PROCESS_MEMORY_COUNTERS_EX memory = MemoryOf(hostProcess); memory.cb)
        std::printf("host private memory: %.1f KiB (working set %.1f KiB)\n", memory.PrivateUsage / 1024.0,
                    memory.WorkingSetSize / 1024.0);
    CloseHandle(hostProcess);
    Stop(service);

    // Exit to restart: the old process's exit time to the new one's creation.
    std::vector<double> restarts;
    for (int round = 0; round < 5; ++round) {
        host.Run("sleep:300 exit:3");
        if (!WaitFor([&] { return NumberAfter(ReadText(log), "with pid ", 0) > 0; }, 10000, PollMs))
            break;
        HANDLE first = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                                   static_cast<DWORD>(NumberAfter(ReadText(log), "with pid ", 0)));
        WaitForSingleObject(first, 5000);
        WaitFor([&] { return NumberAfter(ReadText(log), "with pid ", 1) > 0; }, 5000, PollMs);
        HANDLE second = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                    static_cast<DWORD>(NumberAfter(ReadText(log), "with pid ", 1)));
        FILETIME c1, e1, k, u, c2, e2;
        if (first && second && GetProcessTimes(first, &c1, &e1, &k, &u) && GetProcessTimes(second, &c2, &e2, &k, &u))
            restarts.push_back(Ms(e1, c2));
        if (first)
            CloseHandle(first);
        if (second)
            CloseHandle(second);
        Stop(service);
    }
    std::printf("exit to first restart: median %.3f ms over %zu rounds\n", Median(restarts), restarts.size());
    }

    if (part("stops")) {
        MeasureStops(host, "program hears Ctrl+C", "pid child wait", "child pid ", true);
        MeasureStops(host, "windowed program", "nobreak pid window", "out: window open", false);
        MeasureStops(host, "program ignores both", "nobreak pid child wait", "child pid ", true);
    }
    if (part("floods"))
        MeasureFloods(host, program, copy.substr(copy.rfind('\\') + 1), floodMB);
    if (part("wakeups"))
        MeasureWakeups(host, program, copy);

    DeleteFileA(log.c_str());
    DeleteFileA((log + ".1").c_str());
    return 0;
}
