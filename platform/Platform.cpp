#include "platform/Kernel.h"
#include "platform/Profile.h"
#include "platform/Shell.h"

#include "platform/LateBound.h"

HINSTANCE WINAPI LoadedShellExecuteA(HWND window, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                                     INT show)
{
    static const auto call = LateBound<decltype(&::ShellExecuteA)>("shell32.dll", "ShellExecuteA");
    // Below 32 means failure, as the shell itself reports it.
    return call ? call(window, verb, file, parameters, folder, show) : reinterpret_cast<HINSTANCE>(SE_ERR_DLLNOTFOUND);
}

TKernelApi& KernelApi()
{
    static TKernelApi api;
    return api;
}

TProfileApi& ProfileApi()
{
    static TProfileApi api;
    return api;
}

TShellApi& ShellApi()
{
    static TShellApi api;
    return api;
}
