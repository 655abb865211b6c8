#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "platform/Services.h"
#include "toolkit/Error.h"
#include "toolkit/Refusal.h"

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

// One start or stop command's connection to this computer's Service Control
// Manager, held from before the command loads its entry until after it has
// told the user how the start or stop went.
class TServiceControl {
public:
    // Connects; raises TServiceManagerError "Error locating NT Service
    // Manager. Result: ..." when the connection is refused.
    TServiceControl();

    // Stops (stop = true) or starts the target's service, but only when it
    // runs the entry's copy of the service host: a service of that name
    // that runs another program is refused before it is touched. accepted
    // runs once the system accepted the request, while the service (and,
    // for a stop, the database lock) is still held. A refusal to lock, open,
    // stop or start comes back once both are released.
    TRefusal StartStop(bool stop, const TServiceTarget& target, const std::function<void()>& accepted = {}) const;

private:
    TServiceHandle connection_;
};

// Refuses a target whose service of that name exists and runs another
// program than the copy at its stub path; no refusal when there is no such
// service or it is the entry's own. Raises a TError when the Service Control
// Manager cannot be reached.
TRefusal ForeignService(const TServiceTarget& target);
