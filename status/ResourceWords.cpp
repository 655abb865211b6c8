#include "status/ResourceWords.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace {

// A share taken over less than this is mostly the noise of the clock.
constexpr ULONGLONG ShortestSpanMs = 500;

struct TReading {
    uint64_t CpuMs = 0;
    ULONGLONG AtMs = 0;
    std::optional<double> Percent;
};

// The last reading of each service's host, kept here so that whoever shows
// the line (the window's timer) keeps nothing. A host of another process is
// another program's run: its counters start afresh.
std::mutex readingsLock;
std::map<std::pair<std::string, DWORD>, TReading> readings;

std::string Megabytes(uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

std::string Seconds(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

unsigned Processors()
{
    SYSTEM_INFO system = {};
    GetSystemInfo(&system);
    return system.dwNumberOfProcessors ? system.dwNumberOfProcessors : 1;
}

} // namespace

std::vector<std::string> ResourceLines(const TProgramResources& used)
{
    return {"CPU:          " + Seconds(used.CpuUserMs + used.CpuKernelMs) + " (user " + Seconds(used.CpuUserMs) +
                ", kernel " + Seconds(used.CpuKernelMs) + ") since the service started",
            "Memory:       " + Megabytes(used.WorkingSetBytes) + " working set, " + Megabytes(used.PrivateBytes) +
                " private; at most " + Megabytes(used.PeakWorkingSetBytes) + " and " +
                Megabytes(used.PeakPrivateBytes),
            "Processes:    " + std::to_string(used.Processes) + ", at most " + std::to_string(used.PeakProcesses) +
                " at once"};
}

std::string ResourceShortWords(const std::string& service, DWORD hostPid, const TProgramResources& used,
                               ULONGLONG nowMs)
{
    const uint64_t cpuMs = used.CpuUserMs + used.CpuKernelMs;
    std::optional<double> percent;
    {
        std::lock_guard<std::mutex> hold(readingsLock);
        TReading& last = readings[{service, hostPid}];
        if (last.AtMs != 0 && cpuMs >= last.CpuMs && nowMs > last.AtMs) {
            if (nowMs - last.AtMs < ShortestSpanMs) {
                percent = last.Percent;
            } else {
                percent = 100.0 * static_cast<double>(cpuMs - last.CpuMs) / static_cast<double>(nowMs - last.AtMs) /
                          Processors();
                last = {cpuMs, nowMs, percent};
            }
        } else {
            last = {cpuMs, nowMs, std::nullopt};
        }
    }
    char megabytes[32];
    std::snprintf(megabytes, sizeof megabytes, "%.0f MB", static_cast<double>(used.WorkingSetBytes) / (1024.0 * 1024.0));
    std::string words = megabytes + std::string(", ") + std::to_string(used.Processes) +
                        (used.Processes == 1 ? " process" : " processes");
    if (!percent)
        return words;
    char share[32];
    std::snprintf(share, sizeof share, "CPU %.0f %%, ", *percent);
    return share + words;
}
