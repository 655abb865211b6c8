#include "ui/Glyphs.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <vector>

#include "toolkit/window/Gdi.h"

namespace {

constexpr COLORREF Key = RGB(255, 0, 255);

// Paints on a key-coloured 32-bit bitmap and turns the key colour
// transparent; the pixels are read in memory, not one call each.
HICON MakeIcon(int width, int height, const std::function<void(HDC)>& paint)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    TBitmap color;
    {
        TWindowDC screen(nullptr);
        color = TBitmap(CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        HDC dc = CreateCompatibleDC(screen.Get());
        {
            TSelection canvas(dc, color.Get());
            RECT all = {0, 0, width, height};
            TBrush key(CreateSolidBrush(Key));
            FillRect(dc, &all, key.Get());
            paint(dc);
            GdiFlush();
        }
        DeleteDC(dc);
    }

    // Mask rows are padded to 16 bits; a set bit is transparent.
    const int stride = ((width + 15) / 16) * 2;
    std::vector<BYTE> mask(static_cast<size_t>(stride) * height, 0);
    auto* pixels = static_cast<DWORD*>(bits);
    const DWORD keyPixel = (GetRValue(Key) << 16) | (GetGValue(Key) << 8) | GetBValue(Key);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            DWORD& pixel = pixels[y * width + x];
            if ((pixel & 0xFFFFFF) == keyPixel) {
                mask[y * stride + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
                pixel = 0;
            }
        }
    TBitmap maskBitmap(CreateBitmap(width, height, 1, 1, mask.data()));

    // The icon takes copies of both bitmaps.
    ICONINFO icon = {};
    icon.fIcon = TRUE;
    icon.hbmColor = color.Get();
    icon.hbmMask = maskBitmap.Get();
    return CreateIconIndirect(&icon);
}

void Pen(HDC dc, COLORREF color, int width, const std::function<void()>& draw)
{
    TPen pen(CreatePen(PS_SOLID, width, color));
    TSelection selected(dc, pen.Get());
    draw();
}

// Fills with color, outlined in outline.
void Fill(HDC dc, COLORREF color, COLORREF outline, const std::function<void()>& draw)
{
    TBrush brush(CreateSolidBrush(color));
    TPen pen(CreatePen(PS_SOLID, 1, outline));
    TSelection brushSelected(dc, brush.Get());
    TSelection penSelected(dc, pen.Get());
    draw();
}

// Fills with color, outlined in a darker shade of it.
void Fill(HDC dc, COLORREF color, const std::function<void()>& draw)
{
    Fill(dc, color, RGB(GetRValue(color) / 2, GetGValue(color) / 2, GetBValue(color) / 2), draw);
}

void Line(HDC dc, int x1, int y1, int x2, int y2)
{
    MoveToEx(dc, x1, y1, nullptr);
    LineTo(dc, x2, y2);
}

void Arrow(HDC dc, COLORREF color, bool down)
{
    Fill(dc, RGB(160, 160, 160), [&] { Rectangle(dc, 2, 12, 14, 15); });
    POINT downward[] = {{6, 1}, {10, 1}, {10, 6}, {13, 6}, {8, 11}, {3, 6}, {6, 6}};
    POINT upward[] = {{6, 11}, {10, 11}, {10, 6}, {13, 6}, {8, 1}, {3, 6}, {6, 6}};
    Fill(dc, color, [&] { Polygon(dc, down ? downward : upward, 7); });
}

void Magnifier(HDC dc, int x, int y, int size)
{
    Pen(dc, RGB(90, 60, 20), 3, [&] { Line(dc, x + size - 2, y + size - 2, x + size + 3, y + size + 3); });
    Fill(dc, RGB(200, 230, 255), [&] { Ellipse(dc, x, y, x + size, y + size); });
}

HICON Draw(TGlyph glyph)
{
    return MakeIcon(16, 16, [glyph](HDC dc) {
        switch (glyph) {
        case glNew:
            Fill(dc, RGB(40, 170, 60), [&] {
                Rectangle(dc, 6, 1, 10, 15);
                Rectangle(dc, 1, 6, 15, 10);
            });
            break;
        case glDelete:
            Pen(dc, RGB(200, 30, 30), 3, [&] {
                Line(dc, 3, 3, 13, 13);
                Line(dc, 13, 3, 3, 13);
            });
            break;
        case glEdit:
            Pen(dc, RGB(40, 80, 200), 4, [&] { Line(dc, 4, 12, 12, 4); });
            Pen(dc, RGB(60, 60, 60), 2, [&] { Line(dc, 2, 14, 4, 12); });
            break;
        case glStop:
            Fill(dc, RGB(210, 40, 40), [&] { Rectangle(dc, 3, 3, 13, 13); });
            break;
        case glStart: {
            POINT play[] = {{4, 2}, {13, 8}, {4, 14}};
            Fill(dc, RGB(40, 170, 60), [&] { Polygon(dc, play, 3); });
            break;
        }
        case glInstall:
            Arrow(dc, RGB(40, 110, 210), true);
            break;
        case glUninstall:
            Arrow(dc, RGB(230, 130, 30), false);
            break;
        case glCheck:
            Magnifier(dc, 1, 1, 10);
            break;
        case glCheckAll:
            Pen(dc, RGB(40, 140, 60), 2, [&] {
                for (int y : {3, 8, 13}) {
                    Line(dc, 1, y, 3, y + 2);
                    Line(dc, 3, y + 2, 6, y - 1);
                }
            });
            Pen(dc, RGB(80, 80, 80), 1, [&] {
                for (int y : {3, 8, 13})
                    Line(dc, 8, y, 15, y);
            });
            break;
        case glGlyphCount:
            break;
        }
    });
}

COLORREF Blend(COLORREF from, COLORREF to, int step, int steps)
{
    auto mix = [&](int a, int b) { return a + (b - a) * step / steps; };
    return RGB(mix(GetRValue(from), GetRValue(to)), mix(GetGValue(from), GetGValue(to)),
               mix(GetBValue(from), GetBValue(to)));
}

void Gear(HDC dc, int cx, int cy, int radius, COLORREF color, COLORREF hole)
{
    constexpr int teeth = 10;
    constexpr double pi = 3.14159265358979;
    std::vector<POINT> points;
    for (int t = 0; t < teeth; ++t) {
        static const double fractions[] = {0.0, 0.2, 0.5, 0.7};
        static const double radii[] = {0.78, 1.0, 1.0, 0.78};
        for (int k = 0; k < 4; ++k) {
            double angle = (t + fractions[k]) * 2 * pi / teeth;
            points.push_back({cx + static_cast<LONG>(std::lround(std::cos(angle) * radius * radii[k])),
                              cy + static_cast<LONG>(std::lround(std::sin(angle) * radius * radii[k]))});
        }
    }
    Fill(dc, color, color, [&] { Polygon(dc, points.data(), static_cast<int>(points.size())); });
    int r = radius * 35 / 100;
    Fill(dc, hole, color, [&] { Ellipse(dc, cx - r, cy - r, cx + r + 1, cy + r + 1); });
}

} // namespace

void PaintWizardPicture(HDC dc, int width, int height)
{
    const COLORREF top = RGB(18, 32, 92);
    const COLORREF bottom = RGB(0, 122, 128);
    constexpr int bands = 64;
    for (int i = 0; i < bands; ++i) {
        RECT band = {0, height * i / bands, width, height * (i + 1) / bands};
        TBrush brush(CreateSolidBrush(Blend(top, bottom, i, bands - 1)));
        FillRect(dc, &band, brush.Get());
    }
    const COLORREF gear = RGB(255, 214, 102);
    if (width < 32) {
        Gear(dc, width / 2, height / 2, width * 45 / 100, gear, Blend(top, bottom, 1, 2));
        return;
    }
    int radius = std::min(width, height) * 30 / 100;
    int cy = height * 30 / 100;
    Gear(dc, width * 42 / 100, cy, radius, gear, Blend(top, bottom, cy, height));
    int cy2 = cy + radius * 125 / 100;
    Gear(dc, width * 42 / 100 + radius * 115 / 100, cy2, radius * 55 / 100, RGB(255, 160, 90),
         Blend(top, bottom, cy2, height));
    int base = height * 78 / 100;
    int unit = std::max(width / 14, 2);
    POINT pulse[] = {{4, base},
                     {unit * 5, base},
                     {unit * 6, base - unit * 3},
                     {unit * 7, base + unit * 2},
                     {unit * 8, base - unit},
                     {unit * 9, base},
                     {width - 4, base}};
    Pen(dc, RGB(150, 255, 190), 2, [&] { Polyline(dc, pulse, static_cast<int>(std::size(pulse))); });
}

HICON ButtonGlyph(TGlyph glyph)
{
    static HICON icons[glGlyphCount] = {};
    if (!icons[glyph])
        icons[glyph] = Draw(glyph);
    return icons[glyph];
}

HIMAGELIST ServiceListImages()
{
    static HIMAGELIST images = [] {
        HIMAGELIST list = ImageList_Create(24, 16, ILC_COLOR24 | ILC_MASK, 2, 0);
        // The list keeps copies.
        const TIcon installed(MakeIcon(24, 16, [](HDC dc) {
            Fill(dc, RGB(40, 170, 60), [&] { Ellipse(dc, 5, 2, 17, 14); });
            Pen(dc, RGB(255, 255, 255), 2, [&] {
                Line(dc, 8, 8, 10, 10);
                Line(dc, 10, 10, 14, 5);
            });
        }));
        const TIcon notInstalled(MakeIcon(24, 16, [](HDC dc) {
            Pen(dc, RGB(150, 150, 150), 2, [&] { Arc(dc, 5, 2, 17, 14, 5, 8, 5, 8); });
        }));
        ImageList_AddIcon(list, installed.Get());
        ImageList_AddIcon(list, notInstalled.Get());
        return list;
    }();
    return images;
}

HICON ProgramIcon()
{
    static HICON icon = [] {
        HICON fromResource = LoadIconA(GetModuleHandleA(nullptr), "MAINICON");
        return fromResource ? fromResource : MakeIcon(32, 32, [](HDC dc) {
            Fill(dc, RGB(40, 90, 170), [&] { RoundRect(dc, 2, 2, 30, 30, 8, 8); });
            Fill(dc, RGB(255, 220, 60), [&] { Ellipse(dc, 9, 9, 23, 23); });
        });
    }();
    return icon;
}
