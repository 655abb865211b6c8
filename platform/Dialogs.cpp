#include "platform/Dialogs.h"

TDialogApi& DialogApi()
{
    static TDialogApi api;
    return api;
}
