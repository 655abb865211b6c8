#include "status/EntryStatus.h"

#include "catalogue/StubCopy.h"
#include "deploy/StubNames.h"
#include "toolkit/AtOnce.h"

namespace {

constexpr size_t MostReportedAtOnce = 8;

bool Ours(TServiceState state)
{
    return state != TServiceState::NotRegistered && state != TServiceState::Foreign;
}

// Asks the hosts of the services that have a process, all at once, and
// reads the last records of those stopped.
std::vector<TEntryStatus> Complete(std::vector<TEntryStatus> statuses, const std::vector<std::string>& stubPaths,
                                   const std::vector<int>& serviceIDs, DWORD timeoutMs)
{
    std::vector<TStatusQuestion> questions;
    std::vector<size_t> asked;
    for (size_t i = 0; i < statuses.size(); ++i) {
        const TServiceReport& service = statuses[i].Service;
        if (Ours(service.State) && service.State != TServiceState::Stopped && service.ProcessId != 0) {
            questions.push_back({serviceIDs[i], service.ProcessId});
            asked.push_back(i);
        } else if (service.State == TServiceState::Stopped) {
            // A record is only believed while it agrees with what the
            // service reported: a host that could not write its last one
            // leaves an older one behind.
            std::optional<TServiceEnd> end = ReadServiceEnd(stubPaths[i]);
            std::optional<TServiceEnd> reported = EndFromExitCode(service);
            const unsigned long reportedCode = reported ? reported->ServiceExitCode : 0;
            statuses[i].LastEnd = end && end->ServiceExitCode == reportedCode ? end : reported;
        }
    }
    std::vector<TStatusReply> replies = AskStatuses(questions, timeoutMs);
    for (size_t i = 0; i < replies.size(); ++i)
        statuses[asked[i]].Program = std::move(replies[i]);
    return statuses;
}

} // namespace

bool TEntryStatus::ProgramRuns() const
{
    const TProgramStatus* status = Answer();
    return status && status->State == TProgramState::Running;
}

const TProgramStatus* TEntryStatus::Answer() const
{
    return Program && Program->Outcome == TStatusOutcome::Answered ? &Program->Status : nullptr;
}

bool TEntryStatus::HostRuns() const
{
    return Ours(Service.State) && Service.State != TServiceState::Stopped;
}

bool TEntryStatus::NeedsMailslot() const
{
    return Service.State == TServiceState::Running && Program &&
           (Program->Outcome == TStatusOutcome::NoHost || Program->Outcome == TStatusOutcome::Refused);
}

bool TEntryStatus::NotKnown() const
{
    return Program && (Program->Outcome == TStatusOutcome::NoAnswer || Program->Outcome == TStatusOutcome::Impostor ||
                       Program->Outcome == TStatusOutcome::Failed);
}

std::vector<TEntryStatus> StatusesOf(const std::vector<TCatalogueEntry>& entries, const TServiceStates& services,
                                     DWORD timeoutMs)
{
    std::vector<TEntryStatus> statuses(entries.size());
    std::vector<std::string> stubPaths;
    std::vector<int> serviceIDs;
    for (size_t i = 0; i < entries.size(); ++i) {
        stubPaths.push_back(StubCopyFile(entries[i].Description));
        serviceIDs.push_back(entries[i].ServiceID);
    }
    // Each report waits on the Service Control Manager; it answers several
    // at once.
    AtOnce(entries.size(), MostReportedAtOnce,
           [&](size_t i) { statuses[i].Service = services.Report(entries[i].Description, stubPaths[i]); });
    return Complete(std::move(statuses), stubPaths, serviceIDs, timeoutMs);
}

TEntryStatus StatusOf(const TCatalogueEntry& entry, const TServiceStates& services, DWORD timeoutMs)
{
    return StatusesOf({entry}, services, timeoutMs)[0];
}

TEntryStatus ReportedStatusOf(const TEntryKey& entry, DWORD timeoutMs)
{
    return AskedStatus(entry, ReportedService(entry.Description, StubCopyFile(entry.Description)), timeoutMs);
}

TEntryStatus AskedStatus(const TEntryKey& entry, const TServiceReport& service, DWORD timeoutMs)
{
    TEntryStatus status;
    status.Service = service;
    return Complete({status}, {StubCopyFile(entry.Description)}, {entry.ServiceID}, timeoutMs)[0];
}

std::optional<TServiceEnd> EndFromExitCode(const TServiceReport& service)
{
    if (service.State != TServiceState::Stopped)
        return std::nullopt;
    TServiceEnd end;
    if (service.Win32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR) {
        // Stopped cleanly, or before its host could say anything (never
        // started, a system error): nothing more to tell.
        if (service.Win32ExitCode == NO_ERROR || service.Win32ExitCode == ERROR_SERVICE_NEVER_STARTED)
            return std::nullopt;
        end.Reason = TEndReason::HostFailed;
        end.Why = "the service ended with system error " + std::to_string(service.Win32ExitCode);
        end.ServiceExitCode = 0;
        return end;
    }
    end.ServiceExitCode = service.SpecificExitCode;
    switch (service.SpecificExitCode) {
    case TooManyRestartsExitCode:
        end.Reason = TEndReason::GaveUp;
        end.Why = "the program ended more often than its restarts allow";
        break;
    case ProgramFailedExitCode:
        end.Reason = TEndReason::NotRestarted;
        end.Why = "the program ended with a failure and is not restarted";
        break;
    default:
        end.Reason = TEndReason::HostFailed;
        end.Why = "the service host ended with its code " + std::to_string(service.SpecificExitCode);
    }
    return end;
}
