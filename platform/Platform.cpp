#include "platform/Kernel.h"
#include "platform/Profile.h"

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
