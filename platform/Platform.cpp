#include "platform/Kernel.h"
#include "platform/Profile.h"
#include "platform/Shell.h"

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
