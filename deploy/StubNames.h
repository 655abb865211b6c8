#pragma once

// How the manager runs a service host copy (catalogue/StubCopy.h says where
// the copy lives): with " -i" to register the service or " -u" to remove
// it. The service's name is the entry's description.

inline constexpr const char* InstallSwitch = " -i";
inline constexpr const char* UninstallSwitch = " -u";

// How a run with " -i" or " -u" ends: done; failed; not understood; refused
// because the service or its event-log source belongs to another program;
// registered, but the system refused some of the entry's settings.
inline constexpr int HostRunDone = 0;
inline constexpr int HostRunFailed = 1;
inline constexpr int HostRunUsage = 2;
inline constexpr int HostRunRefused = 3;
inline constexpr int HostRunSettingsRefused = 4;

// Service-specific exit codes the Service Control Manager reports when the
// host stops on its own.
inline constexpr unsigned long NoSectionExitCode = 1;
inline constexpr unsigned long NotOwnEntryExitCode = 2;
inline constexpr unsigned long HostFailureExitCode = 3;
// The program ended with a failure and the entry's policy does not restart it.
inline constexpr unsigned long ProgramFailedExitCode = 4;
// The program needed more restarts than the entry allows within its window;
// the recovery actions set at install take over.
inline constexpr unsigned long TooManyRestartsExitCode = 5;
