#pragma once
#include <windows.h>

#include <functional>

#include "platform/Owner.h"

// Owners for what the windows draw with, so a failing step still gives back
// every font, brush, pen, bitmap and device context it took.

// A GDI object of one type, deleted on every path.
template <class T>
using TGdiObject = TOwner<TNullKind<T, ::DeleteObject>>;
using TFont = TGdiObject<HFONT>;
using TBrush = TGdiObject<HBRUSH>;
using TPen = TGdiObject<HPEN>;
using TBitmap = TGdiObject<HBITMAP>;

// An icon drawn or copied at run time (not one loaded from a resource).
using TIcon = TOwner<TNullKind<HICON, ::DestroyIcon>>;

// Selects an object into a device context for the length of a scope; the
// object it replaced comes back at the end. Declare it after the object's
// owner, so the object is deselected before it is deleted.
class TSelection {
public:
    TSelection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~TSelection() { SelectObject(dc_, old_); }
    TSelection(const TSelection&) = delete;
    TSelection& operator=(const TSelection&) = delete;

private:
    HDC dc_;
    HGDIOBJ old_;
};

// A window's device context (the screen's for nullptr), released at the end
// of the scope.
class TWindowDC {
public:
    explicit TWindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
    ~TWindowDC() { ReleaseDC(window_, dc_); }
    TWindowDC(const TWindowDC&) = delete;
    TWindowDC& operator=(const TWindowDC&) = delete;

    HDC Get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// The painting of one WM_PAINT: draw gets the device context and the
// window's client area; the painting ends on every path.
void Paint(HWND window, const std::function<void(HDC dc, RECT client)>& draw);

// The screen's vertical density.
int ScreenPixelsPerInch();
// The font Windows shows message boxes in, to create it or a variant of it.
LOGFONTA MessageLogFont();
