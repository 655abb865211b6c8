#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/Component.h"
#include "toolkit/window/Published.h"

// A child window known by name, with a tag, and its bounds reachable as
// published integer properties (the window-state store keeps some of them).
class TControl : public TComponent, public TPublishedIntegers {
public:
    TControl(TComponent* owner, const std::string& name, HWND handle);
    HWND Handle() const { return handle_; }
    int Tag = 0;

    std::vector<std::string> IntegerProperties() const override;
    int GetInteger(const std::string& name) const override;
    void SetInteger(const std::string& name, int value) override;
    // Where a property change goes; the window lays its children out.
    std::function<void(const std::string&, int)> OnSetInteger;
    // A value the window keeps for the control; nothing reads the bounds.
    std::function<std::optional<int>(const std::string&)> OnGetInteger;

private:
    HWND handle_;
};

// The controls of one window by name. Each is a component of the window's
// own component, which destroys it.
class TControls {
public:
    explicit TControls(TComponent* owner) : owner_(owner) {}
    TControls(const TControls&) = delete;
    TControls& operator=(const TControls&) = delete;

    TControl& Add(const std::string& name, HWND handle);
    // nullptr for a name never added.
    TControl* Find(const std::string& name) const;
    HWND Handle(const std::string& name) const;
    // The control that wraps a window, or nullptr.
    TControl* Of(HWND handle) const;
    // The tag of the control that wraps a window; 0 for any other window.
    int TagOf(HWND handle) const;

private:
    TComponent* owner_;
    std::map<std::string, TControl*> byName_;
};

// The window's text as our programs hold text (toolkit/Text.h): read wide,
// so that a character that cannot pass raises a TError instead of reading
// as "?".
std::string WindowText(HWND window);

// Where a child window goes in its parent's client area.
struct TBounds {
    int Left = 0, Top = 0, Width = 0, Height = 0;
};

// Creates a child window of this program (WS_CHILD is added to style);
// without a font it keeps the one its class gives it.
HWND CreateChild(HWND parent, const char* windowClass, const char* text, DWORD style, DWORD exStyle, int id,
                 const TBounds& bounds = {}, HFONT font = nullptr);
