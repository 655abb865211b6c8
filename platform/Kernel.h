#pragma once
#include <windows.h>

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
};
TKernelApi& KernelApi();
