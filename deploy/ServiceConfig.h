#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "catalogue/ServiceSettings.h"
#include "deploy/AccountAccess.h"
#include "toolkit/Refusal.h"
#include "toolkit/Secret.h"

// The part of an entry's settings the Service Control Manager keeps: set
// when the service host registers the entry, and changed at once when the
// settings of an installed entry change.

struct TServiceConfig {
    // As the Service Control Manager names it ("LocalSystem",
    // "NT AUTHORITY\LocalService", ".\relay").
    std::string Account;
    TAccountKind Kind = TAccountKind::LocalSystem;
    DWORD StartType = SERVICE_AUTO_START;
    bool Delayed = false;
    std::vector<std::string> Dependencies;
    std::string Description;
    // How long the host may take at shutdown: its program's stop timeout,
    // the time to collect its last output and a margin.
    DWORD PreshutdownMs = 0;
    // A service that stops with an exit code of its own counts as failed,
    // so its recovery actions apply: when restarts have a maximum.
    bool FailureActionsOnExit = false;

    bool operator==(const TServiceConfig&) const = default;
};

// What the Service Control Manager should hold for an entry of these
// settings running that program.
TServiceConfig ServiceConfigOf(const TServiceSettings& settings, const std::string& program);

// What a service registered before holds of the settings that registering
// it again leaves as they were: delayed start, the pre-shutdown time and
// whether recovery applies when it stops itself with an error. Each is read
// from the service; one the system does not tell stays as in defaults.
TServiceConfig HeldServiceConfig(SC_HANDLE service, TServiceConfig defaults);

// Hands the service every setting of wanted that differs from registered,
// one call each, so that a refusal of one leaves the others applied. A
// changed account gets the password (a named account's; nothing else ever
// is handed one), the right to log on as a service when it lacks it, and
// access to the paths (GrantAccountAccess), what the old account was given
// taken back. Returns the refusals, each naming the setting and giving the
// system's reason.
std::vector<std::string> ApplyServiceConfig(SC_HANDLE service, const std::string& serviceName,
                                            const TServiceConfig& wanted, const TServiceConfig& registered,
                                            const TSecret& password, const TAccountPaths& paths);

// Refuses what the system would refuse of the settings for the entry of
// that description: SettingsValueRefusal, a dependency on the entry itself
// or on a service that does not exist, a virtual account that is not the
// service's own, an account the system cannot find, and an account other
// than LocalSystem for a log file in a folder where programs live
// (LogFolderAccountRefusal; "" for an entry that logs to the event log).
TRefusal ServiceSettingsRefusal(const TServiceSettings& settings, const std::string& description,
                                const std::string& logFile = "");

// Changes the installed entry's service at once from the settings it had to
// those it has now; its program, copy and log file (empty for the event log)
// give the default description and the paths. Refuses with every change the system did not take, one a
// line; a service that is not the entry's own is left alone (refused). A
// service that cannot be opened is a TServiceManagerError.
TRefusal ChangeInstalledService(const std::string& description, const std::string& program,
                                const std::string& logFile, const TServiceSettings& before,
                                const TServiceSettings& after, const TSecret& password);

// What the user reads when an entry's named account is installed or set
// without its password.
std::string PasswordNeededText(const std::string& account);
