#include "toolkit/window/Gdi.h"

void Paint(HWND window, const std::function<void(HDC dc, RECT client)>& draw)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    const TScopeExit end([&] { EndPaint(window, &paint); });
    RECT client;
    GetClientRect(window, &client);
    draw(dc, client);
}

int ScreenPixelsPerInch()
{
    TWindowDC screen(nullptr);
    return GetDeviceCaps(screen.Get(), LOGPIXELSY);
}

LOGFONTA MessageLogFont()
{
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return metrics.lfMessageFont;
}
