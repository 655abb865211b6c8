#include "ui/FormStorage.h"

#include <strings.h>

#include <cstdio>

#include "catalogue/IniDocument.h"
#include "toolkit/Error.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/Paths.h"
#include "toolkit/Prompter.h"
#include "toolkit/window/Published.h"
#include "toolkit/Text.h"

namespace {

const char* const FlagsKey = "Flags";
const char* const ShowCmdKey = "ShowCmd";
const char* const PixelsPerInchKey = "PixelsPerInch";
const char* const MinMaxPosKey = "MinMaxPos";
const char* const NormPosKey = "NormPos";
const char* const VisibleKey = "Visible";


// Words separated by runs of blanks and commas.
std::vector<std::string> SplitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ' || c == ',') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

int WordAsInteger(const std::vector<std::string>& words, size_t index, int defaultValue)
{
    return index < words.size() ? StrToIntDef(words[index], defaultValue) : defaultValue;
}

std::string FourIntegers(int a, int b, int c, int d)
{
    char text[64];
    std::snprintf(text, sizeof text, "%d,%d,%d,%d", a, b, c, d);
    return text;
}

// The screen size as the position keys carry it: "(1024x768)".
std::string ScreenSuffix()
{
    char text[32];
    std::snprintf(text, sizeof text, "(%dx%d)", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return text;
}

WINDOWPLACEMENT Placement(HWND window)
{
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(window, &placement))
        throw TError("Unable to read the window's placement");
    // A hidden window must stay hidden when the record goes back.
    if (!IsWindowVisible(window))
        placement.showCmd = SW_HIDE;
    return placement;
}

bool HasSizingBorder(HWND window)
{
    return (GetWindowLongPtrA(window, GWL_STYLE) & WS_THICKFRAME) != 0;
}

// Holds the file's text, read once, for the length of a save or restore,
// and lets it go at the end, failed or not.
class TWorkingCopy {
public:
    TWorkingCopy(std::unique_ptr<TIniDocument>& slot, const std::string& fileName) : slot_(slot)
    {
        slot_ = std::make_unique<TIniDocument>(fileName);
    }
    ~TWorkingCopy() { slot_.reset(); }
    TWorkingCopy(const TWorkingCopy&) = delete;
    TWorkingCopy& operator=(const TWorkingCopy&) = delete;

    // Writes the changed text back in one step.
    void Save() { slot_->Save(); }

private:
    std::unique_ptr<TIniDocument>& slot_;
};

} // namespace

TFormPlacement::TFormPlacement(TComponent* owner, HWND form) : TComponent(owner), form_(form) {}

TFormPlacement::~TFormPlacement() = default;

std::string TFormPlacement::FileName() const
{
    if (!IniFileName.empty())
        return IniFileName;
    std::string name = ExecutablePath();
    std::string::size_type slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    std::string::size_type dot = name.find_last_of('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name + ".INI";
}

std::string TFormPlacement::Section() const
{
    if (!IniSection.empty())
        return IniSection;
    char name[256];
    int length = GetClassNameA(form_, name, sizeof name);
    return std::string(name, length > 0 ? length : 0);
}

std::string TFormPlacement::ReadString(const std::string& section, const std::string& ident,
                                       const std::string& defaultValue)
{
    if (ini_)
        return ini_->ReadString(section, ident, defaultValue);
    return TIniDocument(FileName()).ReadString(section, ident, defaultValue);
}

void TFormPlacement::WriteString(const std::string& section, const std::string& ident, const std::string& value)
{
    if (ini_) {
        ini_->WriteString(section, ident, value);
        return;
    }
    const TIniWriteLock lock(FileName());
    TIniDocument file(FileName());
    file.WriteString(section, ident, value);
    file.Save();
}

int TFormPlacement::ReadInteger(const std::string& ident, int defaultValue)
{
    return StrToIntDef(ReadString(Section(), ident, ""), defaultValue);
}

void TFormPlacement::WriteInteger(const std::string& ident, int value)
{
    WriteString(Section(), ident, std::to_string(value));
}

void TFormPlacement::SaveFormPlacement()
{
    const std::string section = Section();
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof placement;
    if (!GetWindowPlacement(form_, &placement))
        throw TError("Unable to read the window's placement");
    if (IsIconic(ApplicationWindow ? ApplicationWindow : form_))
        placement.showCmd = SW_SHOWMINIMIZED;

    WriteInteger(FlagsKey, static_cast<int>(placement.flags));
    WriteInteger(ShowCmdKey, static_cast<int>(placement.showCmd));
    WriteInteger(PixelsPerInchKey, ScreenPixelsPerInch());

    const std::string suffix = ScreenSuffix();
    const std::string minMax = FourIntegers(placement.ptMinPosition.x, placement.ptMinPosition.y,
                                            placement.ptMaxPosition.x, placement.ptMaxPosition.y);
    WriteString(section, MinMaxPosKey + suffix, minMax);
    WriteString(section, MinMaxPosKey, minMax);
    const RECT& normal = placement.rcNormalPosition;
    const std::string normPos = FourIntegers(normal.left, normal.top, normal.right, normal.bottom);
    WriteString(section, NormPosKey + suffix, normPos);
    WriteString(section, NormPosKey, normPos);

    WriteString(section, VisibleKey, destroying_ ? "1" : "0");
}

void TFormPlacement::RestoreFormPlacement()
{
    if (Options.count(fpPosition))
        RestorePosition();
    if (Options.count(fpState))
        RestoreState();
    restored_ = true;
}

void TFormPlacement::RestorePosition()
{
    const std::string section = Section();
    const std::string suffix = ScreenSuffix();
    WINDOWPLACEMENT placement = Placement(form_);
    placement.flags = static_cast<UINT>(ReadInteger(FlagsKey, static_cast<int>(placement.flags)));

    // The copy for this screen size wins; the plain copy holds the last
    // layout saved at any size.
    auto readPosition = [&](const char* key) {
        std::string text = ReadString(section, key + suffix, "");
        return text.empty() ? ReadString(section, key, "") : text;
    };

    const std::string minMax = readPosition(MinMaxPosKey);
    if (!minMax.empty()) {
        std::vector<std::string> words = SplitWords(minMax);
        placement.ptMinPosition = {WordAsInteger(words, 0, 0), WordAsInteger(words, 1, 0)};
        placement.ptMaxPosition = {WordAsInteger(words, 2, 0), WordAsInteger(words, 3, 0)};
    }

    RECT bounds;
    GetWindowRect(form_, &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    const std::string normPos = readPosition(NormPosKey);
    if (!normPos.empty()) {
        std::vector<std::string> words = SplitWords(normPos);
        RECT& normal = placement.rcNormalPosition;
        normal.left = WordAsInteger(words, 0, bounds.left);
        normal.top = WordAsInteger(words, 1, bounds.top);
        normal.right = WordAsInteger(words, 2, bounds.left + width);
        normal.bottom = WordAsInteger(words, 3, bounds.top + height);
    }

    const int pixelsPerInch = ReadInteger(PixelsPerInchKey, ScreenPixelsPerInch());
    if ((minMax.empty() && normPos.empty()) || pixelsPerInch != ScreenPixelsPerInch())
        return;
    RECT& normal = placement.rcNormalPosition;
    if (!HasSizingBorder(form_)) {
        normal.right = normal.left + width;
        normal.bottom = normal.top + height;
    }
    // A rectangle with no width would lose the window.
    if (normal.left < normal.right && !SetWindowPlacement(form_, &placement))
        throw TError("Unable to set the window's placement");
}

void TFormPlacement::RestoreState()
{
    TWindowState state = wsNormal;
    switch (ReadInteger(ShowCmdKey, 0)) {
    case SW_SHOWNORMAL:
    case SW_SHOW:
    case SW_RESTORE:
        state = wsNormal;
        break;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
        state = wsMinimized;
        break;
    case SW_SHOWMAXIMIZED:
        state = wsMaximized;
        break;
    default:
        break;
    }
    if (state == wsMinimized) {
        // The whole application starts minimized; the form itself stays normal.
        windowState_ = wsNormal;
        PostMessageA(ApplicationWindow ? ApplicationWindow : form_, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        return;
    }
    SetWindowState(state);
    UpdateWindow(form_);
}

void TFormPlacement::SetWindowState(TWindowState state)
{
    windowState_ = state;
    if (IsWindowVisible(form_))
        ShowWindow(form_, ShowCommand());
}

int TFormPlacement::ShowCommand() const
{
    switch (windowState_) {
    case wsMaximized:
        return SW_SHOWMAXIMIZED;
    case wsMinimized:
        return SW_SHOWMINIMIZED;
    default:
        return SW_SHOWNORMAL;
    }
}

// Maximizing puts the border just off the screen, so a maximized window
// shows no frame.
void TFormPlacement::AdjustMaximizedPosition()
{
    WINDOWPLACEMENT placement = Placement(form_);
    LONG_PTR style = GetWindowLongPtrA(form_, GWL_STYLE);
    LONG_PTR exStyle = GetWindowLongPtrA(form_, GWL_EXSTYLE);
    POINT frame = {0, 0};
    if (style & WS_THICKFRAME)
        frame = {GetSystemMetrics(SM_CXFRAME), GetSystemMetrics(SM_CYFRAME)};
    else if (exStyle & WS_EX_DLGMODALFRAME)
        frame = {GetSystemMetrics(SM_CXDLGFRAME), GetSystemMetrics(SM_CYDLGFRAME)};
    else if ((style & (WS_BORDER | WS_DLGFRAME)) || (exStyle & WS_EX_TOOLWINDOW))
        frame = {GetSystemMetrics(SM_CXBORDER), GetSystemMetrics(SM_CYBORDER)};
    placement.ptMaxPosition = {-frame.x, -frame.y};
    if (!SetWindowPlacement(form_, &placement))
        throw TError("Unable to set the window's placement");
}

void TFormPlacement::SavePlacement()
{
    if (!Active || !restored_)
        return;
    try {
        const TIniWriteLock lock(FileName());
        TWorkingCopy file(ini_, FileName());
        SaveFormPlacement();
        file.Save();
        saved_ = true;
    } catch (const std::exception& e) {
        Prompter().StandardError(StandardErrorText(e.what()));
    }
}

void TFormPlacement::RestorePlacement()
{
    if (!Active)
        return;
    saved_ = false;
    try {
        {
            TWorkingCopy file(ini_, FileName());
            RestoreFormPlacement();
        }
        AdjustMaximizedPosition();
    } catch (const std::exception& e) {
        Prompter().StandardError(StandardErrorText(e.what()));
    }
}

void TFormPlacement::FormShow()
{
    RestorePlacement();
}

void TFormPlacement::FormCloseQuery(bool canClose)
{
    if (canClose)
        SavePlacement();
}

void TFormPlacement::FormDestroy()
{
    if (saved_)
        return;
    destroying_ = true;
    SavePlacement();
    destroying_ = false;
}

void TFormStorage::SaveFormPlacement()
{
    TFormPlacement::SaveFormPlacement();
    SaveProps();
}

void TFormStorage::RestoreFormPlacement()
{
    TFormPlacement::RestoreFormPlacement();
    RestoreProps();
}

void TFormStorage::SaveProps()
{
    TPropsStorage storage(
        Owner(), Section(),
        [this](const std::string& s, const std::string& i, const std::string& d) { return ReadString(s, i, d); },
        [this](const std::string& s, const std::string& i, const std::string& v) { WriteString(s, i, v); });
    storage.StoreProperties(StoredProps);
}

void TFormStorage::RestoreProps()
{
    // The list and the splitter keep their designed values whatever goes wrong.
    try {
        TPropsStorage storage(
            Owner(), Section(),
            [this](const std::string& s, const std::string& i, const std::string& d) { return ReadString(s, i, d); },
            [this](const std::string& s, const std::string& i, const std::string& v) { WriteString(s, i, v); });
        storage.LoadProperties(StoredProps);
    } catch (...) {
    }
}

TPropsStorage::TPropsStorage(TComponent* root, std::string section, TReadString read, TWriteString write)
    : root_(root), section_(std::move(section)), read_(std::move(read)), write_(std::move(write))
{
}

std::optional<TPropsStorage::TStoredProp> TPropsStorage::Resolve(const TComponent* root, const std::string& entry)
{
    std::string::size_type point = entry.find('.');
    if (!root || point == std::string::npos)
        return std::nullopt;
    const std::string componentName = Trim(entry.substr(0, point));
    const std::string propertyName = Trim(entry.substr(point + 1));
    if (componentName.empty() || propertyName.empty())
        return std::nullopt;
    TComponent* component = root->FindComponent(componentName);
    auto* published = dynamic_cast<TPublishedIntegers*>(component);
    if (!published)
        return std::nullopt;
    for (const std::string& name : published->IntegerProperties())
        if (strcasecmp(name.c_str(), propertyName.c_str()) == 0)
            return TStoredProp{published, name, component->Name() + "_" + name};
    return std::nullopt;
}

void TPropsStorage::StoreProperties(const std::vector<std::string>& props)
{
    for (const std::string& entry : props)
        if (std::optional<TStoredProp> prop = Resolve(root_, entry))
            write_(section_, prop->Key, std::to_string(prop->Component->GetInteger(prop->Property)));
}

void TPropsStorage::LoadProperties(const std::vector<std::string>& props)
{
    for (const std::string& entry : props) {
        try {
            std::optional<TStoredProp> prop = Resolve(root_, entry);
            if (!prop)
                continue;
            const std::string current = std::to_string(prop->Component->GetInteger(prop->Property));
            const std::string text = Trim(read_(section_, prop->Key, current));
            prop->Component->SetInteger(prop->Property, StrToIntDef(text, 0));
        } catch (...) {
            // One property that cannot be set does not keep the others back.
        }
    }
}
