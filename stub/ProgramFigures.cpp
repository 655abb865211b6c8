#define PSAPI_VERSION 2
#include "stub/ProgramFigures.h"

#include <psapi.h>

#include <algorithm>
#include <vector>


namespace {

uint64_t Ms(const LARGE_INTEGER& ticks)
{
    return static_cast<uint64_t>(ticks.QuadPart) / 10000;
}

uint64_t Ms(const FILETIME& time)
{
    return ((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000;
}

// The processes in the job now.
std::vector<DWORD> ProcessesOf(HANDLE job)
{
    std::vector<BYTE> buffer(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + 255 * sizeof(ULONG_PTR));
    for (int tries = 0; tries < 3; ++tries) {
        auto* list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer.data());
        if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, static_cast<DWORD>(buffer.size()),
                                      nullptr)) {
            std::vector<DWORD> ids;
            for (DWORD i = 0; i < list->NumberOfProcessIdsInList; ++i)
                ids.push_back(static_cast<DWORD>(list->ProcessIdList[i]));
            return ids;
        }
        if (GetLastError() != ERROR_MORE_DATA)
            break;
        buffer.resize(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) +
                      (static_cast<size_t>(list->NumberOfAssignedProcesses) + 64) * sizeof(ULONG_PTR));
    }
    return {};
}

} // namespace

namespace {

TKernelHandle Duplicate(HANDLE handle)
{
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return TKernelHandle();
    return TKernelHandle(own);
}

} // namespace

void TProgramFigures::Watch(HANDLE job, HANDLE thread)
{
    std::lock_guard<std::mutex> hold(lock_);
    // The ended run's last figures stay in the totals.
    if (run_.Job) {
        TProgramResources last;
        Sample(last);
        const auto [user, kernel] = RunCpuMs();
        endedUserMs_ += user;
        endedKernelMs_ += kernel;
    }
    run_ = TRun();
    run_.Job = Duplicate(job);
    run_.Thread = Duplicate(thread);
}

std::pair<uint64_t, uint64_t> TProgramFigures::RunCpuMs() const
{
    return {std::max(run_.JobUserMs, run_.ThreadUserMs), std::max(run_.JobKernelMs, run_.ThreadKernelMs)};
}

void TProgramFigures::Sample(TProgramResources& figures)
{
    if (!run_.Job)
        return;
    const HANDLE job = run_.Job.Get();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
    const bool accounted =
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr);
    if (accounted) {
        run_.JobUserMs = std::max(run_.JobUserMs, Ms(accounting.TotalUserTime));
        run_.JobKernelMs = std::max(run_.JobKernelMs, Ms(accounting.TotalKernelTime));
    }
    const std::vector<DWORD> processes = ProcessesOf(job);
    for (DWORD pid : processes) {
        TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid));
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        if (!process || !GetProcessMemoryInfo(process.Get(), &memory, sizeof memory))
            continue;
        figures.WorkingSetBytes += memory.WorkingSetSize;
        // The commit charge: the private bytes (Wine leaves PrivateUsage 0).
        figures.PrivateBytes += memory.PagefileUsage;
        // A process's own peaks are as much as the tree had at least.
        peakWorkingSet_ = std::max<uint64_t>(peakWorkingSet_, memory.PeakWorkingSetSize);
        peakPrivate_ = std::max<uint64_t>(peakPrivate_, memory.PeakPagefileUsage);
    }
    // A job that accounts no time while its processes run keeps none (Wine):
    // the first thread's time tells instead.
    FILETIME created, ended, kernel, user;
    if (run_.JobUserMs + run_.JobKernelMs == 0 && run_.Thread &&
        GetThreadTimes(run_.Thread.Get(), &created, &ended, &kernel, &user)) {
        run_.ThreadUserMs = std::max(run_.ThreadUserMs, Ms(user));
        run_.ThreadKernelMs = std::max(run_.ThreadKernelMs, Ms(kernel));
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    if (QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr))
        peakPrivate_ = std::max<uint64_t>(peakPrivate_, limits.PeakJobMemoryUsed);
    figures.Processes = accounted ? static_cast<unsigned>(accounting.ActiveProcesses)
                                  : static_cast<unsigned>(processes.size());
}

TProgramResources TProgramFigures::Read()
{
    std::lock_guard<std::mutex> hold(lock_);
    TProgramResources figures;
    Sample(figures);
    const auto [user, kernel] = RunCpuMs();
    figures.CpuUserMs = endedUserMs_ + user;
    figures.CpuKernelMs = endedKernelMs_ + kernel;
    peakProcesses_ = std::max(peakProcesses_, figures.Processes);
    peakWorkingSet_ = std::max(peakWorkingSet_, figures.WorkingSetBytes);
    peakPrivate_ = std::max(peakPrivate_, figures.PrivateBytes);
    figures.PeakProcesses = peakProcesses_;
    figures.PeakWorkingSetBytes = peakWorkingSet_;
    figures.PeakPrivateBytes = peakPrivate_;
    return figures;
}
