#include "platform/Services.h"
#include "platform/Directories.h"

TServiceApi& ServiceApi()
{
    static TServiceApi api;
    return api;
}

TDirectoryApi& DirectoryApi()
{
    static TDirectoryApi api;
    return api;
}
