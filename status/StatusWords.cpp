#include "status/StatusWords.h"

#include <windows.h>

#include <cctype>
#include <cstdio>

#include "catalogue/StubCopy.h"
#include "status/ResourceWords.h"
#include "toolkit/Text.h"

namespace {

constexpr const char* ReasonNames[] = {"requested", "not restarted", "gave up", "cannot start", "host failed"};

// "exit code 3, next try in 8 s", "cannot start: ..., next try in 8 s".
std::string BackOffWords(const TProgramStatus& status)
{
    std::string words = !status.StartFailure.empty() ? "cannot start: " + status.StartFailure
                        : status.LastExitCode       ? "exit code " + std::to_string(*status.LastExitCode)
                                                    : "";
    // A wait of 300 ms is "1 s" away, not "0 s".
    return words + (words.empty() ? "" : ", ") + "next try in " + DurationText(status.NextStartInMs + 999);
}

// "3 of 3", or "5 in a row" once past the retries (a program only
// reported).
std::string FailureCount(const TProgramStatus& program)
{
    if (program.HealthRetries > 0 && program.HealthFailures <= program.HealthRetries)
        return std::to_string(program.HealthFailures) + " of " + std::to_string(program.HealthRetries);
    return std::to_string(program.HealthFailures) + " in a row";
}

// Health is told while the program runs, and while it is restarted for it.
bool HealthShown(const TEntryStatus& status, const TProgramStatus& program)
{
    return !program.Health.empty() && (program.State == TProgramState::Running || RestartingUnhealthy(status));
}

// qv status's line: "healthy; last check 2024-03-05 15:07:09: HTTP 200",
// "unhealthy (failures: 3 of 3); last check ...".
std::string HealthLine(const TProgramStatus& program)
{
    std::string words = program.Health == HealthStarting ? "starting (no verdict yet)" : program.Health;
    if (program.HealthFailures > 0)
        words += " (failures: " + FailureCount(program) + ")";
    if (program.HealthCheckedAt.empty())
        return words + "; not checked yet";
    return words + "; last check " + LocalTime(program.HealthCheckedAt) + ": " + program.HealthResult;
}

// "12:03" today, "2024-03-05 12:03" on another day; "" for no time.
std::string ShortTime(const std::string& utc)
{
    const std::string local = LocalTime(utc);
    if (local == utc || local.size() < 16)
        return "";
    SYSTEMTIME today;
    GetLocalTime(&today);
    char day[16];
    std::snprintf(day, sizeof day, "%04u-%02u-%02u", today.wYear, today.wMonth, today.wDay);
    return local.compare(0, 10, day) == 0 ? local.substr(11, 5) : local.substr(0, 16);
}

// What the host says of the log file beside its name: " (raw: ...)", " (log
// folder missing: ...)", "" when it is written as usual.
std::string LogWords(const TCatalogueEntry& entry, const TProgramStatus& program)
{
    if (!entry.LogToFile)
        return "";
    if (!program.LogFileOpen)
        return " (cannot be opened: the event log is used)";
    if (program.LogFolderMissing)
        return " (log folder missing: " + std::to_string(program.LogDroppedBytes) +
               " bytes dropped so far; the file is made again once its folder is back)";
    if (program.LogRaw)
        return " (raw: the program writes it itself; the host's own events go to the event log)";
    if (program.LogDroppedBytes)
        return " (" + std::to_string(program.LogDroppedBytes) + " bytes could not be written so far)";
    return "";
}

// A requested stop of a program that ended when asked says no more than
// "stopped".
bool Plain(const TServiceEnd& end)
{
    return end.Reason == TEndReason::Requested && !end.ProgramKilled;
}

} // namespace

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

std::string EndWords(const TServiceEnd& end)
{
    const std::string lastExit = end.LastExitCode ? ", last exit code " + std::to_string(*end.LastExitCode) : "";
    switch (end.Reason) {
    case TEndReason::Requested:
        return "on request" + (end.ProgramKilled ? "; the program did not end within " +
                                                       std::to_string(end.StopTimeoutSeconds) + " s and was ended"
                                                 : std::string());
    case TEndReason::GaveUp:
        if (end.CountedStarts == 0)
            return "gave up: " + end.Why + lastExit;
        return "gave up after " + std::to_string(end.CountedStarts) + " starts " +
               (end.WindowSeconds ? "in " + std::to_string(end.WindowSeconds) + " s"
                                  : std::string("since the service started")) +
               lastExit;
    case TEndReason::CannotStart:
        return "gave up: " + end.Why;
    default:
        return end.Why;
    }
}

std::string NotKnownWords(const std::string& description, const TStatusReply& reply)
{
    switch (reply.Outcome) {
    case TStatusOutcome::Impostor:
        return "the status pipe of \"" + description + "\" is served by another program (process " +
               std::to_string(reply.ServerPid) + "); its answer was not used";
    case TStatusOutcome::NoAnswer:
        return "the service host did not answer in time";
    default:
        return reply.Failure;
    }
}

std::string HealthWords(const TProgramStatus& program)
{
    if (program.Health == HealthUnhealthy)
        return "unhealthy: " + program.HealthResult + " (" + FailureCount(program) + ")";
    if (program.Health == HealthStarting)
        return program.HealthResult.empty() ? "not checked yet" : "not healthy yet: " + program.HealthResult;
    return program.Health;
}

bool RestartingUnhealthy(const TEntryStatus& status)
{
    const TProgramStatus* program = status.Answer();
    return program && program->Health == HealthUnhealthy && status.Service.State == TServiceState::Running &&
           (program->State == TProgramState::Stopping || program->State == TProgramState::BackingOff);
}

std::string StateWords(const std::string& description, const TEntryStatus& status)
{
    const std::string service = ServiceStateName(status.Service.State);
    if (status.Service.State == TServiceState::Stopped && status.LastEnd && !Plain(*status.LastEnd))
        return service + " (" + EndWords(*status.LastEnd) + ")";
    if (!status.Program)
        return service;
    if (status.NotKnown())
        return service + " (the program's state is not known: " + NotKnownWords(description, *status.Program) + ")";
    if (status.Program->Outcome == TStatusOutcome::NoHost)
        return status.Service.State == TServiceState::Running
                   ? service + " (an older host: the program's state is not known)"
                   : service;
    if (status.Program->Outcome == TStatusOutcome::Refused)
        return service + " (the program's state is not known: " + status.Program->Failure + ")";
    const TProgramStatus& program = status.Program->Status;
    if (RestartingUnhealthy(status))
        return "restarting (" + HealthWords(program) +
               (program.State == TProgramState::BackingOff ? ", " + BackOffWords(program) : "") + ")";
    if (program.State == TProgramState::BackingOff)
        return "restarting (" + BackOffWords(program) + ")";
    if (HealthShown(status, program))
        return std::string(ProgramStateName(program.State)) + ", " + HealthWords(program);
    return ProgramStateName(program.State);
}

std::string InactiveReason(const TEntryStatus& status)
{
    if (status.Service.State == TServiceState::Stopped && status.LastEnd && !Plain(*status.LastEnd))
        return "service stopped: " + EndWords(*status.LastEnd);
    const TProgramStatus* program = status.Answer();
    if (!program)
        return status.Program && status.Program->Outcome == TStatusOutcome::Refused
                   ? status.Program->Failure
                   : "service " + std::string(ServiceStateName(status.Service.State));
    if (RestartingUnhealthy(status))
        return "program restarting: " + HealthWords(*program) +
               (program->State == TProgramState::BackingOff ? ", " + BackOffWords(*program) : "");
    if (program->State == TProgramState::BackingOff)
        return "program restarting: " + BackOffWords(*program);
    return "program " + std::string(ProgramStateName(program->State));
}

std::vector<std::string> StatusLines(const TCatalogueEntry& entry, const TEntryStatus& status)
{
    std::vector<std::string> lines = {entry.Description + " (service ID " + std::to_string(entry.ServiceID) + ")",
                                      "Service:      " + std::string(ServiceStateName(status.Service.State))};
    const std::string log = entry.LogToFile ? entry.LogFile : "the event log";
    const TProgramStatus* program = status.Answer();
    if (!program) {
        std::string known = "not running";
        if (status.NotKnown())
            known = "not known: " + NotKnownWords(entry.Description, *status.Program);
        else if (status.NeedsMailslot())
            known = "not known: the service host is older and cannot tell (check asks it through the mailslot)";
        else if (status.Program && status.Program->Outcome == TStatusOutcome::Refused)
            known = "not known: " + status.Program->Failure;
        lines.push_back("Program:      " + known);
        if (const std::optional<TServiceEnd>& end = status.LastEnd) {
            const std::string at = LocalTime(end->At);
            lines.push_back("Ended:        " + (at.empty() ? "" : at + ": ") +
                            (end->Reason == TEndReason::Requested ? "stopped " : "") + EndWords(*end));
            if (end->LastExitCode)
                lines.push_back("Last exit:    code " + std::to_string(*end->LastExitCode));
        }
        lines.push_back("Log:          " + log);
        lines.push_back("Service host: " + StubCopyFile(entry.Description));
        return lines;
    }
    // Its health has a line of its own.
    std::string words = program->State == TProgramState::Running ? ProgramStateName(program->State)
                                                                   : StateWords(entry.Description, status);
    if (program->Pid)
        words += ", pid " + std::to_string(program->Pid);
    if (program->State == TProgramState::Running)
        words += ", up " + DurationText(program->UpMs) + " (since " + LocalTime(program->StartedAt) + ")";
    lines.push_back("Program:      " + words);
    if (HealthShown(status, *program))
        lines.push_back("Health:       " + HealthLine(*program));
    lines.push_back("Starts:       " + std::to_string(program->Starts) + " since the service started");
    if (program->Resources)
        for (const std::string& line : ResourceLines(*program->Resources))
            lines.push_back(line);
    if (program->LastExitCode)
        lines.push_back("Last exit:    code " + std::to_string(*program->LastExitCode) + " at " +
                        LocalTime(program->LastExitAt));
    lines.push_back("Log:          " + log + LogWords(entry, *program));
    lines.push_back("Service host: " + StubCopyFile(entry.Description));
    return lines;
}

std::string StatusLineText(const std::string& description, const TEntryStatus& status)
{
    const TServiceState state = status.Service.State;
    if (state == TServiceState::NotRegistered)
        return "Not installed";
    if (state == TServiceState::Stopped) {
        if (!status.LastEnd || Plain(*status.LastEnd))
            return "Stopped";
        const std::string at = ShortTime(status.LastEnd->At);
        const bool requested = status.LastEnd->Reason == TEndReason::Requested;
        return "Stopped" + (at.empty() ? "" : " " + at) + (requested ? " " : ": ") + EndWords(*status.LastEnd);
    }
    std::string text = ServiceStateName(state);
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!status.Program)
        return text;
    if (status.Program->Outcome == TStatusOutcome::NoHost)
        return text + ", program not known (an older service host)";
    if (!status.Answer())
        return text + ", program not known: " + NotKnownWords(description, *status.Program);
    const TProgramStatus& program = status.Program->Status;
    if (RestartingUnhealthy(status))
        return text + ", program " + HealthWords(program) + ", restarting" +
               (program.State == TProgramState::BackingOff ? " in " + DurationText(program.NextStartInMs + 999) : "");
    switch (program.State) {
    case TProgramState::Running:
        return text + ", program up " + DurationText(program.UpMs) +
               (program.Health.empty() ? "" : ", " + HealthWords(program)) +
               (program.Resources
                    ? ", " + ResourceShortWords(description, status.Service.ProcessId, *program.Resources)
                    : std::string());
    case TProgramState::BackingOff:
        return text + (program.StartFailure.empty() ? ", program restarting in " : ", program cannot start, next try in ") +
               DurationText(program.NextStartInMs + 999) +
               (program.LastExitCode && program.StartFailure.empty()
                    ? ", exit code " + std::to_string(*program.LastExitCode)
                    : std::string());
    default:
        return text + ", program " + ProgramStateName(program.State);
    }
}

nlohmann::json ProgramJson(const TEntryStatus& status)
{
    if (!status.Answer())
        return nullptr;
    return nlohmann::json::parse(status.Program->Answer, nullptr, false);
}

nlohmann::json LastEndJson(const TEntryStatus& status)
{
    if (!status.LastEnd)
        return nullptr;
    const TServiceEnd& end = *status.LastEnd;
    nlohmann::json json = {{"at", end.At.empty() ? nlohmann::json() : nlohmann::json(end.At)},
                           {"reason", ReasonNames[static_cast<int>(end.Reason)]},
                           {"words", Utf8FromAnsi(EndWords(end))},
                           {"starts", end.Starts},
                           {"lastExitCode", end.LastExitCode ? nlohmann::json(*end.LastExitCode) : nlohmann::json()},
                           {"programKilled", end.ProgramKilled},
                           {"serviceExitCode", end.ServiceExitCode}};
    return json;
}
