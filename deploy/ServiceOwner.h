#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "toolkit/Paths.h"

// Whose a registered service is. A service named like an entry may belong to
// another program (a system service, another product); the manager and the
// service host act on a service only when its binary is the entry's copy.

// The program Windows starts for a service's binary path: a quoted one as
// written; an unquoted one with blanks by its leading parts, shortest first,
// up to the first that names an existing file (C:\Tools dir\x.exe runs
// C:\Tools.exe when that exists), or the whole line when none does. A part
// without an extension gets ".exe", as Windows adds it. "" for no program.
std::string ServiceProgram(const std::string& binaryPathName);

// True when the binary path a service is registered with runs the file at
// path. The program compares as a file, not as text: letter case, "..",
// "\\?\" and short names do not count.
bool BinaryPathRuns(const std::string& binaryPathName, const TFilePath& path);
bool BinaryPathRuns(const std::string& binaryPathName, const std::string& path);

// A service's configuration, a QUERY_SERVICE_CONFIGA at the start of the
// buffer that holds its texts; the service needs SERVICE_QUERY_CONFIG.
// Nothing when it cannot be read. Asked through the seam, or through the
// call given.
using TQueryServiceConfig = BOOL(WINAPI*)(SC_HANDLE, LPQUERY_SERVICE_CONFIGA, DWORD, LPDWORD);
std::optional<std::vector<BYTE>> QueriedServiceConfig(SC_HANDLE service, TQueryServiceConfig query = nullptr);
// The binary path a service is registered with, read so.
std::optional<std::string> RegisteredBinaryPath(SC_HANDLE service, TQueryServiceConfig query = nullptr);

// What the user reads when a service of that name runs another program; an
// empty binary path (the registration could not be read) names none.
std::string ForeignServiceText(const std::string& serviceName, const std::string& binaryPathName);
