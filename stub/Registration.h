#pragma once
#include <string>

#include "toolkit/Refusal.h"

// Registers the copy at ownPath as the service of its catalogue entry: own
// process, automatic start, the quoted path as binary path, a description
// line naming the program, restart on failure, and an event-log source.
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
