#pragma once
#include <windows.h>

#include <optional>
#include <string>

// Whose a registered service is. A service named like an entry may belong to
// another program (a system service, another product); the manager and the
// service host act on a service only when its binary is the entry's copy.

// True when the binary path a service is registered with runs the file at
// path. The path compares as a file, not as text: quotes around it, letter
// case and short names do not count. An unquoted binary path with blanks
// runs the longest leading part that names the file, as Windows reads it.
bool BinaryPathRuns(const std::string& binaryPathName, const std::string& path);

// The binary path a service is registered with; the service needs
// SERVICE_QUERY_CONFIG. Nothing when it cannot be read.
std::optional<std::string> RegisteredBinaryPath(SC_HANDLE service);

// What the user reads when a service of that name runs another program; an
// empty binary path (the registration could not be read) names none.
std::string ForeignServiceText(const std::string& serviceName, const std::string& binaryPathName);
