#include "status/Settling.h"

#include <windows.h>

#include <algorithm>
#include <sstream>

#include "platform/Kernel.h"
#include "status/EntryStatus.h"
#include "status/StatusWords.h"
#include "toolkit/Text.h"

namespace {

// How often a start asks whether its program is still up.
constexpr DWORD SettlePollMs = 100;
// The longest a start waits beyond the settle time for a program to begin.
constexpr DWORD StartingLimitMs = 30000;
// How long a host without a pipe is watched for its service to stop, before
// it counts as one from before the pipe.
constexpr ULONGLONG EndingHostMs = 3000;
// The most of a log file read for its last lines.
constexpr LONG TailBytes = 16 * 1024;

} // namespace

TSettling WaitForProgram(const TCatalogueEntry& entry, const TServiceStates& services, unsigned settleMs,
                         unsigned startPeriodMs)
{
    const ULONGLONG deadline = GetTickCount64() + settleMs + startPeriodMs + StartingLimitMs;
    unsigned firstStart = 0;
    ULONGLONG silentSince = 0;
    for (;;) {
        const TEntryStatus now = StatusOf(entry, services);
        TSettling settling;
        if (!now.HostRuns()) {
            // A host that ended its service itself left a record of why.
            settling.Why = now.LastEnd && now.LastEnd->Reason != TEndReason::Requested
                               ? "ended, and its service with it: " + EndWords(*now.LastEnd)
                               : "was stopped meanwhile";
            return settling;
        }
        if (!now.Program) {
            // Between the start and the service's process.
            if (GetTickCount64() >= deadline) {
                settling.Outcome = TSettling::NotKnown;
                settling.Why = "the service has no process to ask";
                return settling;
            }
            Sleep(SettlePollMs);
            continue;
        }
        const TStatusReply& reply = *now.Program;
        settling.Last = reply.Status;
        // A host that ends its service closes its pipe before the service
        // reads stopped; only a host that stays without one is older.
        if (reply.Outcome == TStatusOutcome::NoHost) {
            const ULONGLONG tick = GetTickCount64();
            silentSince = silentSince ? silentSince : tick;
            if (tick - silentSince < EndingHostMs) {
                Sleep(SettlePollMs);
                continue;
            }
        }
        if (reply.Outcome != TStatusOutcome::Answered) {
            // A host that cannot tell is no reason to fail the start.
            settling.Outcome = TSettling::NotKnown;
            settling.Why = reply.Outcome == TStatusOutcome::NoHost ? "the service host is older and cannot tell"
                                                                   : NotKnownWords(entry.Description, reply);
            return settling;
        }
        const TProgramStatus& status = reply.Status;
        if (status.State == TProgramState::Running && !firstStart)
            firstStart = status.Starts;
        // Found unhealthy: being restarted for it, or left running.
        if (status.Health == HealthUnhealthy && status.State != TProgramState::Stopped) {
            settling.Outcome = TSettling::NotHealthy;
            settling.Why = "is unhealthy: " + status.HealthResult + " (" + std::to_string(status.HealthFailures) +
                           " failures in a row)";
            return settling;
        }
        if (status.State == TProgramState::BackingOff || (firstStart && status.Starts != firstStart)) {
            settling.Why = status.StartFailure.empty() ? "keeps exiting (exit code " +
                                                             std::to_string(status.LastExitCode.value_or(0)) + ")"
                                                       : "cannot be started: " + status.StartFailure;
            return settling;
        }
        if (status.State == TProgramState::Stopping || status.State == TProgramState::Stopped) {
            settling.Why = "was stopped meanwhile";
            return settling;
        }
        if (status.State == TProgramState::Running && status.UpMs >= settleMs) {
            if (status.Health.empty() || status.Health == HealthHealthy) {
                settling.Outcome = TSettling::Up;
                return settling;
            }
            if (status.UpMs >= settleMs + startPeriodMs) {
                settling.Outcome = TSettling::NotHealthy;
                const std::string within = "within " + DurationText(settleMs + startPeriodMs);
                settling.Why = status.HealthResult.empty()
                                   ? "was not checked for its health " + within
                                   : "did not pass its health check " + within + ": " + status.HealthResult;
                return settling;
            }
        }
        if (GetTickCount64() >= deadline) {
            settling.Why = "did not start within " + DurationText(StartingLimitMs);
            return settling;
        }
        const uint64_t left =
            status.State == TProgramState::Running && status.UpMs < settleMs ? settleMs - status.UpMs : SettlePollMs;
        Sleep(static_cast<DWORD>(std::min<uint64_t>(left, SettlePollMs)));
    }
}

std::vector<std::string> LastLines(const std::string& path, size_t count)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size))
        return {};
    const LONG start = size.QuadPart > TailBytes ? static_cast<LONG>(size.QuadPart - TailBytes) : 0;
    SetFilePointer(file.Get(), start, nullptr, FILE_BEGIN);
    std::string text(static_cast<size_t>(size.QuadPart - start), '\0');
    DWORD read = 0;
    ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    text.resize(read);
    // A read that starts inside the file starts inside a line.
    if (start > 0)
        text.erase(0, std::min(text.find('\n'), text.size() - 1) + 1);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.empty() || line.back() != '\r' ? line : line.substr(0, line.size() - 1));
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    return lines;
}
