#pragma once
#include <windows.h>

// Wiping memory that held a secret before it is given back. Nothing shows
// from outside whether a buffer was wiped, so tests see through here which
// buffers were wiped, and what they held at that moment.
struct TMemoryApi {
    void (*SecureZeroMemory)(void* memory, size_t size) = [](void* memory, size_t size) {
        ::SecureZeroMemory(memory, size);
    };
};
inline TMemoryApi& MemoryApi()
{
    static TMemoryApi api;
    return api;
}
