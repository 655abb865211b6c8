#pragma once
#include <windows.h>

#include "platform/Owner.h"

// Kernel calls whose failure tests must be able to produce.
struct TKernelApi {
    BOOL(WINAPI* CloseHandle)(HANDLE) = ::CloseHandle;
    // Creates a rewritten file's next text with the old file's guard; Wine
    // keeps no access list, so tests judge the one handed over, and open the
    // file at that moment as another program might.
    HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = ::CreateFileA;
    // Puts a rewritten file in place (FileRenameInfo); as root under Wine it
    // is not refused.
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                             DWORD) = ::SetFileInformationByHandle;
    // Where a file's name leads: a symbolic link's target. Wine makes no link.
    DWORD(WINAPI* GetFinalPathNameByHandleA)(HANDLE, LPSTR, DWORD, DWORD) = ::GetFinalPathNameByHandleA;
    // Writes the service host's log; a full disk is not to be had on demand.
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = ::WriteFile;
    // Tells the host its log file was deleted; Wine defers deleting a file
    // another handle holds and never reports the delete pending.
    BOOL(WINAPI* GetFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                               DWORD) = ::GetFileInformationByHandleEx;
    // Serves the host's status pipe; Wine keeps no access list on a pipe, so
    // tests judge the one handed over.
    HANDLE(WINAPI* CreateNamedPipeA)(LPCSTR, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                     LPSECURITY_ATTRIBUTES) = ::CreateNamedPipeA;
};
inline TKernelApi& KernelApi()
{
    static TKernelApi api;
    return api;
}

// A kernel handle (a process, a thread, a pipe, a mutex, a mailslot). Both
// null and INVALID_HANDLE_VALUE mean "none", since Windows returns either.
struct TKernelHandleKind {
    using THandle = HANDLE;
    static constexpr HANDLE None = nullptr;
    static bool Valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { ::CloseHandle(handle); }
};
using TKernelHandle = TOwner<TKernelHandleKind>;

// A search of a folder's names (FindFirstFileA), given back with FindClose.
struct TFindHandleKind {
    using THandle = HANDLE;
    static constexpr HANDLE None = nullptr;
    static bool Valid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { ::FindClose(handle); }
};
using TFindHandle = TOwner<TFindHandleKind>;

// Memory the system allocated for the caller to free with LocalFree (a
// security descriptor, a formatted message).
using TLocalMemory = TOwner<TNullKind<HLOCAL, ::LocalFree>>;
