#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "messaging/StatusPipe.h"

// What a program's processes use, in words, for qv status and the window.

// "CPU:", "Memory:" and "Processes:" lines, for qv status.
std::vector<std::string> ResourceLines(const TProgramResources& used);

// The window's short form, "CPU 2 %, 48 MB, 3 processes": the processor's
// share since the reading before of the same service's host (of all the
// computer's processors, as Task Manager shows it), the working set in MB of
// 1,048,576 bytes. The first reading of a host has no share yet: "48 MB, 3
// processes". A reading soon after another keeps the share it gave.
std::string ResourceShortWords(const std::string& service, DWORD hostPid, const TProgramResources& used,
                               ULONGLONG nowMs = GetTickCount64());
