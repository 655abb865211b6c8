#include "cli/ProgramStatus.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "catalogue/StubCopy.h"
#include "platform/Kernel.h"
#include "toolkit/Text.h"

namespace {

// How often a start asks whether its program is still up.
constexpr DWORD SettlePollMs = 100;
// The longest a start waits beyond the settle time for a program to begin.
constexpr DWORD StartingLimitMs = 30000;
// The most of a log file read for its last lines.
constexpr LONG TailBytes = 16 * 1024;

bool Asked(TServiceState service)
{
    return service != TServiceState::NotRegistered && service != TServiceState::Foreign &&
           service != TServiceState::Stopped;
}

const TProgramStatus* Answered(const TEntryState& state)
{
    return state.Program && state.Program->Outcome == TStatusOutcome::Answered ? &state.Program->Status : nullptr;
}

// "exit code 3, next try in 8 s", "cannot start: ..., next try in 8 s".
std::string BackOffWords(const TProgramStatus& status)
{
    std::string words = !status.StartFailure.empty() ? "cannot start: " + status.StartFailure
                        : status.LastExitCode       ? "exit code " + std::to_string(*status.LastExitCode)
                                                    : "";
    // A wait of 300 ms is "1 s" away, not "0 s".
    return words + (words.empty() ? "" : ", ") + "next try in " + DurationText(status.NextStartInMs + 999);
}

// "2024-03-05T14:07:09.042Z" in this computer's time, "2024-03-05 15:07:09".
std::string LocalTime(const std::string& utc)
{
    SYSTEMTIME time = {}, local = {};
    if (std::sscanf(utc.c_str(), "%hu-%hu-%huT%hu:%hu:%hu", &time.wYear, &time.wMonth, &time.wDay, &time.wHour,
                    &time.wMinute, &time.wSecond) != 6 ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &time, &local))
        return utc;
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth, local.wDay,
                  local.wHour, local.wMinute, local.wSecond);
    return text;
}

} // namespace

bool TEntryState::ProgramRuns() const
{
    const TProgramStatus* status = Answered(*this);
    return status && status->State == TProgramState::Running;
}

bool TEntryState::NeedsMailslot() const
{
    return Service == TServiceState::Running && Program &&
           (Program->Outcome == TStatusOutcome::NoHost || Program->Outcome == TStatusOutcome::Refused);
}

std::vector<TEntryState> EntryStates(const std::vector<TCatalogueEntry>& entries, const TServiceStates& services)
{
    std::vector<TEntryState> states(entries.size());
    std::vector<int> asked;
    std::vector<size_t> askedEntries;
    for (size_t i = 0; i < entries.size(); ++i) {
        states[i].Service = services.State(entries[i].Description, StubCopyFile(entries[i].Description));
        if (Asked(states[i].Service)) {
            asked.push_back(entries[i].ServiceID);
            askedEntries.push_back(i);
        }
    }
    std::vector<TStatusReply> replies = AskStatuses(asked);
    for (size_t i = 0; i < replies.size(); ++i)
        states[askedEntries[i]].Program = std::move(replies[i]);
    return states;
}

std::string StateWords(const TEntryState& state)
{
    const std::string service = ServiceStateName(state.Service);
    if (!state.Program)
        return service;
    switch (state.Program->Outcome) {
    case TStatusOutcome::Answered:
        break;
    case TStatusOutcome::NoHost:
        return state.Service == TServiceState::Running ? service + " (an older host: the program's state is not known)"
                                                       : service;
    default:
        return service + " (the program's state is not known: " + state.Program->Failure + ")";
    }
    const TProgramStatus& status = state.Program->Status;
    if (status.State == TProgramState::BackingOff)
        return "restarting (" + BackOffWords(status) + ")";
    return ProgramStateName(status.State);
}

std::string InactiveReason(const TEntryState& state)
{
    const TProgramStatus* status = Answered(state);
    if (!status)
        return state.Program && state.Program->Outcome != TStatusOutcome::NoHost
                   ? state.Program->Failure
                   : "service " + std::string(ServiceStateName(state.Service));
    if (status->State == TProgramState::BackingOff)
        return "program restarting: " + BackOffWords(*status);
    return "program " + std::string(ProgramStateName(status->State));
}

nlohmann::json ProgramJson(const TEntryState& state)
{
    if (!Answered(state))
        return nullptr;
    return nlohmann::json::parse(state.Program->Answer, nullptr, false);
}

std::vector<std::string> StatusLines(const TCatalogueEntry& entry, const TEntryState& state)
{
    std::vector<std::string> lines = {entry.Description + " (service ID " + std::to_string(entry.ServiceID) + ")",
                                      "Service:      " + std::string(ServiceStateName(state.Service))};
    const TProgramStatus* status = Answered(state);
    if (!status) {
        lines.push_back("Program:      " + (state.Program && state.Program->Outcome != TStatusOutcome::NoHost
                                                 ? "not known: " + state.Program->Failure
                                             : state.NeedsMailslot()
                                                 ? std::string("not known: the service host is older and cannot tell "
                                                               "(check asks it through the mailslot)")
                                                 : std::string("not running")));
        lines.push_back("Service host: " + StubCopyFile(entry.Description));
        return lines;
    }
    std::string program = StateWords(state);
    if (status->Pid)
        program += ", pid " + std::to_string(status->Pid);
    if (status->State == TProgramState::Running)
        program += ", up " + DurationText(status->UpMs) + " (since " + LocalTime(status->StartedAt) + ")";
    lines.push_back("Program:      " + program);
    lines.push_back("Starts:       " + std::to_string(status->Starts) + " since the service started");
    if (status->LastExitCode)
        lines.push_back("Last exit:    code " + std::to_string(*status->LastExitCode) + " at " +
                        LocalTime(status->LastExitAt));
    lines.push_back("Log:          " + (status->LogFile.empty()   ? std::string("the event log")
                                        : status->LogFileOpen     ? status->LogFile
                                                                  : status->LogFile + " (cannot be opened: the "
                                                                                      "event log is used)"));
    lines.push_back("Service host: " + status->ServiceHost);
    return lines;
}

TSettling WaitForProgram(int serviceID, unsigned settleMs)
{
    const ULONGLONG deadline = GetTickCount64() + settleMs + StartingLimitMs;
    unsigned firstStart = 0;
    for (;;) {
        TStatusReply reply = AskStatus(serviceID);
        TSettling settling;
        settling.Last = reply.Status;
        if (reply.Outcome != TStatusOutcome::Answered) {
            // A host that cannot tell is no reason to fail the start.
            settling.Outcome = TSettling::NotKnown;
            settling.Why = reply.Outcome == TStatusOutcome::NoHost ? "the service host is older and cannot tell"
                                                                   : reply.Failure;
            return settling;
        }
        const TProgramStatus& status = reply.Status;
        if (status.State == TProgramState::Running && !firstStart)
            firstStart = status.Starts;
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
            settling.Outcome = TSettling::Up;
            return settling;
        }
        if (GetTickCount64() >= deadline) {
            settling.Why = "did not start within " + DurationText(StartingLimitMs);
            return settling;
        }
        const uint64_t left = status.State == TProgramState::Running ? settleMs - status.UpMs : SettlePollMs;
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
