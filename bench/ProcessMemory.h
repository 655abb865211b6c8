#pragma once
// What a process holds in memory, as Windows counts it: one way for every
// benchmark, through kernel32 (no psapi.dll to link).
#define PSAPI_VERSION 2
#include <windows.h>
#include <psapi.h>

// The process's memory counters, or all zero (cb too) when they cannot be
// read.
inline PROCESS_MEMORY_COUNTERS_EX MemoryOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory))
        return {};
    return memory;
}
