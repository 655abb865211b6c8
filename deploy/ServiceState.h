#pragma once
#include <map>
#include <string>

#include "platform/Services.h"

// What the Service Control Manager says of an entry's service.
enum class TServiceState {
    NotRegistered,
    // A service of that name runs another program than the entry's copy.
    Foreign,
    Stopped,
    StartPending,
    StopPending,
    Running,
    ContinuePending,
    PausePending,
    Paused,
    // The service is there but would not say.
    Unknown,
};

// "running", "stopped", "not registered", "another program's", ...
const char* ServiceStateName(TServiceState state);

// What the Service Control Manager reports of a service of ours.
struct TServiceReport {
    TServiceState State = TServiceState::Unknown;
    // The service's process while it has one: the host, the only process
    // whose status answers are believed.
    DWORD ProcessId = 0;
    // Once stopped, what the service ended with: a system error, or
    // ERROR_SERVICE_SPECIFIC_ERROR and the host's own code.
    DWORD Win32ExitCode = 0;
    DWORD SpecificExitCode = 0;
};

// The same as TServiceStates::Report, asked past the seams, for what only
// shows information (the window's status line, refreshed by a timer), so
// that it never takes part in what a test makes the system say.
TServiceReport ReportedService(const std::string& serviceName, const std::string& stubPath);

// Asks for the state of one service after another through one connection to
// this computer's Service Control Manager.
class TServiceStates {
public:
    // Raises "Error locating NT Service Manager. Result: ..." when the
    // connection is refused.
    TServiceStates();

    // The state of the service of that name, when it runs the copy at
    // stubPath; Foreign when it runs something else.
    TServiceState State(const std::string& serviceName, const std::string& stubPath) const;
    // The same, with its process and exit codes.
    TServiceReport Report(const std::string& serviceName, const std::string& stubPath) const;
    // Before asking for many services: reads the services registered now
    // and their states in one call. From then on a name not among them is
    // taken as not registered, and one among them is told as it was then;
    // only whose program each service runs is still asked. A service
    // registered later is missed, and a state that changed later is not
    // seen: for a picture taken once, never for waiting on a change.
    void ListRegistered();
    // The state once it is no longer pending (starting, stopping, ...), or
    // the pending one when limitMs ran out first.
    TServiceState SettledState(const std::string& serviceName, const std::string& stubPath,
                               unsigned long limitMs) const;

private:
    TServiceHandle connection_;
    // By lower-case name, from ListRegistered.
    std::map<std::string, SERVICE_STATUS_PROCESS> registered_;
    bool listed_ = false;
};
