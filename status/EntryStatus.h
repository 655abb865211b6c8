#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "deploy/ServiceEnd.h"
#include "deploy/ServiceState.h"
#include "messaging/StatusClient.h"

// What an entry is doing, answered in one place for qv, the window, health
// and metrics: the Service Control Manager's state of its service, what its
// host says of the program through the status pipe (believed only from the
// service's own process), and how a stopped service last ended. Older hosts
// without the pipe are asked through the mailslot (status/OlderHosts.h).
struct TEntryStatus {
    TServiceReport Service;
    // Asked while the service is ours and has a process.
    std::optional<TStatusReply> Program;
    // While the service is stopped: how it last ended, from its host's
    // record, or from the exit code the service reported when the host left
    // none.
    std::optional<TServiceEnd> LastEnd;

    // The host answered and its program runs: active, as a liveness answer
    // means it.
    bool ProgramRuns() const;
    // The answer, when the service's own host gave one.
    const TProgramStatus* Answer() const;
    // The service is ours and not stopped: its host runs, with its program
    // up, starting, stopping or waiting to start again.
    bool HostRuns() const;
    // A running host that cannot tell through its pipe (a copy from before
    // the pipe, or one that would not let us in): only the mailslot can ask.
    bool NeedsMailslot() const;
    // Asked, and nothing that can be used came back: the host was busy or
    // slow, the pipe served by another program, or its answer unreadable.
    bool NotKnown() const;
};

// One rule for the window and qv: a service whose host runs is not
// uninstalled, whether its program is up or waiting to start again.
inline bool TooAliveToUninstall(const TEntryStatus& status)
{
    return status.HostRuns();
}

// How long a host's answer may take, tried again while a busy host leaves
// time: a list asks many at once and waits at most this long in all.
inline constexpr DWORD ListStatusMs = StatusTimeoutMs;
// A check or a status of one entry waits longer for a busy host before its
// program's state counts as not known.
inline constexpr DWORD EntryStatusMs = 5000;

// The entries' states, their hosts asked all at once.
std::vector<TEntryStatus> StatusesOf(const std::vector<TCatalogueEntry>& entries, const TServiceStates& services,
                                     DWORD timeoutMs = ListStatusMs);
TEntryStatus StatusOf(const TCatalogueEntry& entry, const TServiceStates& services, DWORD timeoutMs = EntryStatusMs);
// The same asked past the seams, for what only shows information (the
// window's status line, refreshed by a timer).
TEntryStatus ReportedStatusOf(const TEntryKey& entry, DWORD timeoutMs);
// The entry's status from what the Service Control Manager reported of its
// service: its host asked while the service has a process, its last record
// read while it is stopped.
TEntryStatus AskedStatus(const TEntryKey& entry, const TServiceReport& service, DWORD timeoutMs);

// How a stopped service ended when its host left no record: what the exit
// code it reported says.
std::optional<TServiceEnd> EndFromExitCode(const TServiceReport& service);
