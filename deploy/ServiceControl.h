#pragma once
#include <functional>
#include <string>

// Starting and stopping an installed entry's service on this computer.

// The computer's name, or "" (which also means this computer) when it
// cannot be read.
std::string LocalComputerName();
// The symbolic name of the last system error in double quotes, or
// "\"Unknown exception\"" for a code it does not know.
std::string LastErrorName();

// Connects to the Service Control Manager, then calls prepare(), which loads
// the entry and returns its service name. Stops (stop = true) or starts that
// service and reports success in an information box. A failure to connect
// raises a TError to the caller; so does anything prepare() raises. Failures
// to lock, open, stop or start are shown in an error box once the service
// and the lock are released. Other exceptions pass on after every handle is
// released.
void StartStopService(bool stop, const std::function<std::string()>& prepare);
