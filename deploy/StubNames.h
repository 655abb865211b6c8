#pragma once

// What ties a service host copy to its catalogue entry.
//
// The manager copies "Vantorer.bin" from its own folder to
// <Windows directory>\Vantorers\<description, blanks as "!">.exe, writes
// that path under the entry's "Vantorer" key, and runs the copy with " -i"
// to register the service or " -u" to remove it. The service's name is the
// description.

inline constexpr const char* StubSourceName = "Vantorer.bin";
inline constexpr const char* StubFolderName = "Vantorers";
inline constexpr char BlankInFileName = '!';
inline constexpr const char* InstallSwitch = " -i";
inline constexpr const char* UninstallSwitch = " -u";

// How a run with " -i" or " -u" ends: done; failed; not understood; refused
// because the service or its event-log source belongs to another program.
inline constexpr int HostRunDone = 0;
inline constexpr int HostRunFailed = 1;
inline constexpr int HostRunUsage = 2;
inline constexpr int HostRunRefused = 3;
