#pragma once
#include <windows.h>

// The code page the single-byte calls of Windows speak in this process. A
// test plays a Windows before 10 version 1903, where a program cannot ask
// for UTF-8, through here.
struct TCodePageApi {
    UINT(WINAPI* GetACP)() = ::GetACP;
};
inline TCodePageApi& CodePageApi()
{
    static TCodePageApi api;
    return api;
}
