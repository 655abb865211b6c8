#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "platform/Services.h"
#include "toolkit/Error.h"

// Starting and stopping an installed entry's service on this computer.

// The Service Control Manager refused the connection.
class TServiceManagerError : public TError {
public:
    using TError::TError;
};

// A connection to this computer's Service Control Manager; raises
// TServiceManagerError "Error locating NT Service Manager. Result: ..." when
// it is refused.
TServiceHandle ConnectServiceManager(DWORD access);
// The symbolic name of the last system error in double quotes, or
// "\"Unknown exception\"" for a code it does not know.
std::string LastErrorName();

// The service a command is for: its name, and the copy of the service host
// it runs when it is the entry's own.
struct TServiceTarget {
    std::string Name;
    std::string StubPath;
};

// What the user reads when the system accepted a stop or a start.
inline constexpr const char* StoppedText = "The service was successfully stopped !";
inline constexpr const char* InitiatedText = "The service was successfully initiated !";

// How a start or stop ended, for the command to tell the user.
struct TServiceReport {
    // The system accepted the request. Runs while the service (and, for a
    // stop, the database lock) is still held.
    std::function<void()> Accepted;
    // The message of a failure to lock, open, stop or start, or of a service
    // that runs another program. Runs once the service and the lock are
    // released, before the connection is closed.
    std::function<void(const std::string& message)> Refused;
};

// Connects to the Service Control Manager, then calls prepare(), which loads
// the entry and names its service. Stops (stop = true) or starts that
// service, but only when it runs the entry's copy of the service host: a
// service of that name that runs another program is refused before it is
// touched. A failure to connect raises a TError to the caller; so does
// anything prepare() raises. Other exceptions pass on after every handle is
// released.
void StartStopService(bool stop, const std::function<TServiceTarget()>& prepare, const TServiceReport& report);

// What the user reads when a service of that name exists and runs another
// program than the copy at stubPath; "" when there is no such service or it
// is the entry's own. Raises a TError when the Service Control Manager
// cannot be reached.
std::string ForeignService(const TServiceTarget& target);
