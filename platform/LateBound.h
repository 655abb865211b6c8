#pragma once
#include <windows.h>

// A function of a library that is loaded on first use: the programs start
// without loading libraries that only a rare command needs. Nothing when the
// library or the function is not there.
template <class Function>
Function LateBound(const char* library, const char* name)
{
    HMODULE module = LoadLibraryA(library);
    return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
