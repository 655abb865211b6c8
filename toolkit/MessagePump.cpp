#include "toolkit/MessagePump.h"

#include <windows.h>

bool PumpMessages()
{
    MSG message;
    // Wide, as every loop of ours: a typed character reaches its box as the
    // keyboard gave it (toolkit/MessagePump.h).
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return true;
}
