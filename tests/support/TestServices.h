#pragma once
#include <windows.h>

#include <string>

// Real services in Wine's Service Control Manager, made and taken away by
// tests. The calls go straight to Windows, past the program's seams.

// A demand-start service running binaryPath; false when it was not made.
bool CreateTestService(const std::string& name, const std::string& binaryPath);
// Stops it when it runs, waits for the stop, deletes it; nothing when absent.
void RemoveTestService(const std::string& name);
// Its current state, or 0 when there is no such service.
DWORD ServiceState(const std::string& name);
// The process it runs in, or 0.
DWORD ServiceProcessId(const std::string& name);
// Waits up to 15 s for the state (0: the service is gone).
bool WaitForServiceState(const std::string& name, DWORD state);
// The binary path it is registered with, or "" when there is none.
std::string ServiceBinary(const std::string& name);
// What Wine keeps of its registration: its start type (0 when there is no
// such service), its account, its description.
DWORD ServiceStartType(const std::string& name);
std::string ServiceAccount(const std::string& name);
std::string ServiceDescription(const std::string& name);

// StartServiceA, tried again (three tries at most) when Wine's Service
// Control Manager reports the service's process as having died while it was
// being made (ERROR_INTERNAL_ERROR), as Wine now and then does on a loaded
// machine (fixtures/Programs.h: StartProcess). A test that starts real
// services through the program puts it in the program's seam.
BOOL WINAPI StartServiceAgainWhenWineLosesIt(SC_HANDLE service, DWORD count, LPCSTR* arguments);

// RemoveTestService, and the entry's service host copy and the record of how
// its service ended deleted.
void RemoveTestServiceAndCopy(const std::string& name);
