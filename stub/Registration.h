#pragma once
#include <string>

// Registers the copy at ownPath as the service named after its file: own
// process, automatic start, the quoted path as binary path, a description
// line naming the program, restart on failure, and an event-log source.
// Registering again updates the registration. Failures are TErrors whose
// text says what failed and why.
void InstallService(const std::string& ownPath);

// Stops the service if it runs (a bounded wait), removes its registration
// and its event-log source. A service that is not registered is no failure.
void UninstallService(const std::string& ownPath);

// "ERROR_ACCESS_DENIED" for 5, and so on for the errors a registration
// meets; "error <n>" for others.
std::string ErrorName(unsigned long error);

// The registry key of the event-log source named source.
std::string EventSourceKey(const std::string& source);
