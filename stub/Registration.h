#pragma once
#include <string>

#include "toolkit/Error.h"
#include "toolkit/Refusal.h"

// The service is registered, but the system refused some of the entry's
// settings; the message names each and the system's reason.
class TSettingsRefused : public TError {
public:
    using TError::TError;
};

// Registers the copy at ownPath as the service of its catalogue entry: own
// process, the quoted path as binary path, restart on failure, an event-log
// source, and the entry's settings (start type, account, dependencies,
// description, ...), each on its own so that a refused one leaves the rest
// in place (TSettingsRefused after the registration is complete). A named
// account's password comes on standard input.
// Registering again updates the registration. A copy that no listed entry
// names is refused with a TError. A service or an event-log source of that
// name that belongs to another program is refused and left as it is,
// nothing changed. Failures are TErrors whose text says what failed and why.
TRefusal InstallService(const std::string& ownPath);

// Stops the service if it runs (a bounded wait), removes its registration
// and its event-log source. A service that is not registered is no failure;
// one that runs another program is refused, and another program's event-log
// source stays.
TRefusal UninstallService(const std::string& ownPath);

// "ERROR_ACCESS_DENIED" for 5, and so on for every code SystemErrorName
// knows; "error <n>" for others.
std::string ErrorName(unsigned long error);

// The registry key of the event-log source named source.
std::string EventSourceKey(const std::string& source);
