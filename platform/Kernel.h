#pragma once
#include <windows.h>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
    // Puts a rewritten file in place; as root under Wine it is not refused.
    BOOL(WINAPI* MoveFileExA)(LPCSTR, LPCSTR, DWORD) = ::MoveFileExA;
};
TKernelApi& KernelApi();
