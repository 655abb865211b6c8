#include "toolkit/window/Control.h"

#include "toolkit/Text.h"

TControl::TControl(TComponent* owner, const std::string& name, HWND handle) : TComponent(owner), handle_(handle)
{
    SetName(name);
}

std::vector<std::string> TControl::IntegerProperties() const
{
    return {"Left", "Top", "Width", "Height", "Tag"};
}

int TControl::GetInteger(const std::string& name) const
{
    if (OnGetInteger)
        if (std::optional<int> kept = OnGetInteger(name))
            return *kept;
    RECT bounds;
    GetWindowRect(handle_, &bounds);
    MapWindowPoints(nullptr, GetParent(handle_), reinterpret_cast<POINT*>(&bounds), 2);
    if (name == "Left") return bounds.left;
    if (name == "Top") return bounds.top;
    if (name == "Width") return bounds.right - bounds.left;
    if (name == "Height") return bounds.bottom - bounds.top;
    return Tag;
}

void TControl::SetInteger(const std::string& name, int value)
{
    if (name == "Tag")
        Tag = value;
    else if (OnSetInteger)
        OnSetInteger(name, value);
}

TControl& TControls::Add(const std::string& name, HWND handle)
{
    auto* control = new TControl(owner_, name, handle);
    byName_[name] = control;
    return *control;
}

TControl* TControls::Find(const std::string& name) const
{
    auto found = byName_.find(name);
    return found == byName_.end() ? nullptr : found->second;
}

HWND TControls::Handle(const std::string& name) const
{
    TControl* control = Find(name);
    return control ? control->Handle() : nullptr;
}

TControl* TControls::Of(HWND handle) const
{
    if (!handle)
        return nullptr;
    for (const auto& [name, control] : byName_)
        if (control->Handle() == handle)
            return control;
    return nullptr;
}

int TControls::TagOf(HWND handle) const
{
    TControl* control = Of(handle);
    return control ? control->Tag : 0;
}

HWND CreateChild(HWND parent, const char* windowClass, const char* text, DWORD style, DWORD exStyle, int id,
                 const TBounds& bounds, HFONT font)
{
    // Made wide, so that a box keeps its text as Windows' own UTF-16 and
    // takes a typed character whole; one made by the single-byte call would
    // hold its text in that code page (Windows-1252 where the keyboard's
    // characters are concerned).
    const std::wstring wideClass = WideFromText(windowClass);
    const std::wstring wideText = text ? WideFromText(text) : std::wstring();
    HWND child = CreateWindowExW(exStyle, wideClass.c_str(), text ? wideText.c_str() : nullptr, WS_CHILD | style,
                                 bounds.Left, bounds.Top, bounds.Width, bounds.Height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                                 nullptr);
    if (font)
        SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return child;
}

std::string WindowText(HWND window)
{
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return TextFromWide(text);
}
