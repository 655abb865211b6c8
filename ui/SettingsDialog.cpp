#include "ui/SettingsDialog.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "deploy/ServiceConfig.h"
#include "platform/Memory.h"
#include "toolkit/Error.h"
#include "toolkit/Prompter.h"
#include "toolkit/window/Application.h"
#include "toolkit/window/Control.h"
#include "toolkit/window/EmptyDialog.h"

namespace {

constexpr int FirstSettingId = 300;

// Where the settings' groups stand: one of two columns, in this order; the
// rows (catalogue/ServiceSettings.h) say which group a setting is in.
struct TGroup {
    TSettingGroup Group;
    const char* Caption;
    int Column;
};

const TGroup Groups[] = {
    {TSettingGroup::Account, "Account", 0},
    {TSettingGroup::Process, "Process", 0},
    {TSettingGroup::Health, "Health check", 0},
    {TSettingGroup::StopAndRestart, "Stop and restart", 1},
    {TSettingGroup::Log, "Log", 1},
};

constexpr int Margin = 10, RowHeight = 26, LabelWidth = 148, BoxWidth = 190, GroupTop = 22, GroupGap = 8;
constexpr int ColumnWidth = LabelWidth + BoxWidth + 2 * Margin;
// The environment is a box of a few lines, one variable each.
constexpr int EnvironmentRows = 3;

// A box's text, read wide as every box's is: a character this Windows
// cannot pass is refused rather than taken as "?".
TRefusal TextOf(HWND box, std::string& text)
{
    try {
        text = WindowText(box);
        return {};
    } catch (const TError& error) {
        return TRefusal(error.Message());
    }
}

// The password box's text, through a buffer wiped once it is read; its
// refusal does not show it.
TRefusal TextOf(HWND box, TSecret& password)
{
    std::vector<wchar_t> typed(static_cast<size_t>(GetWindowTextLengthW(box)) + 1);
    const int length = GetWindowTextW(box, typed.data(), static_cast<int>(typed.size()));
    const bool passed = SecretFromWide(typed.data(), static_cast<size_t>(std::max(length, 0)), password);
    MemoryApi().SecureZeroMemory(typed.data(), typed.size() * sizeof(wchar_t));
    if (!passed)
        return TRefusal("The password holds a character that this version of Windows cannot pass to the Service "
                        "Control Manager");
    return {};
}

// A variable a line, as qv's --env takes them.
std::string EnvironmentText(const TServiceSettings& settings)
{
    std::string text;
    for (const auto& [name, value] : settings.Environment)
        text += name + "=" + value + "\r\n";
    return text;
}

} // namespace

TSettingsDialog::TSettingsDialog(TCatalogueEntry entry, TServiceSettings settings)
    : entry_(std::move(entry)), settings_(std::move(settings))
{
}

int TSettingsDialog::ControlId(TSetting setting)
{
    return FirstSettingId + static_cast<int>(setting);
}

void TSettingsDialog::Build()
{
    HWND dialog = Handle();
    LOGFONTA logFont = MessageLogFont();
    font_ = TFont(CreateFontIndirectA(&logFont));
    HFONT font = font_.Get();
    auto add = [&](const char* cls, const std::string& text, DWORD style, const TBounds& bounds, int id) {
        return CreateChild(dialog, cls, text.c_str(), WS_VISIBLE | style, 0, id, bounds, font);
    };
    const DWORD edit = WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
    int bottom[2] = {Margin, Margin};
    for (const TGroup& group : Groups) {
        const int left = Margin + group.Column * (ColumnWidth + Margin);
        int& top = bottom[group.Column];
        int y = top + GroupTop;
        auto row = [&](const std::string& label, int height) {
            add("STATIC", label + ":", SS_LEFT | SS_NOPREFIX, {left + Margin, y + 3, LabelWidth - 4, height - 3}, -1);
            const TBounds bounds{left + Margin + LabelWidth, y, BoxWidth, height};
            y += height + (RowHeight - 22);
            return bounds;
        };
        for (const TSettingInfo& info : SettingInfos()) {
            if (info.Group != group.Group)
                continue;
            const TSetting setting = info.Setting;
            const int id = ControlId(setting);
            const char* label = info.Label;
            const std::vector<std::string>& choices = info.Choices;
            if (info.Form == TSettingForm::Variables) {
                add("EDIT", EnvironmentText(settings_),
                    edit | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL,
                    row(std::string(label) + " (NAME=VALUE)", 22 + (EnvironmentRows - 1) * 16), id);
            } else if (!choices.empty()) {
                // A list to choose from, showing the setting's word.
                TBounds bounds = row(label, 22);
                bounds.Height = 160;
                HWND combo = add("COMBOBOX", "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, bounds, id);
                for (const std::string& choice : choices)
                    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(choice.c_str()));
                SendMessageA(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(SettingText(settings_, setting).c_str()));
            } else {
                add("EDIT", SettingText(settings_, setting), edit, row(label, 22), id);
            }
            if (setting == TSetting::Account)
                add("EDIT", "", edit | ES_PASSWORD, row("Password", 22), PasswordId);
        }
        add("BUTTON", group.Caption, BS_GROUPBOX, {left, top, ColumnWidth, y - top + Margin - 4}, -1);
        top = y + Margin - 4 + GroupGap;
    }
    const int width = 2 * ColumnWidth + 3 * Margin;
    const int buttons = std::max(bottom[0], bottom[1]);
    HWND ok = add("BUTTON", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, {width - 2 * 86 - Margin, buttons, 80, 26}, IDOK);
    add("BUTTON", "Cancel", WS_TABSTOP | BS_PUSHBUTTON, {width - 86 - Margin + 6, buttons, 80, 26}, IDCANCEL);
    CenterOnScreen(dialog, width, buttons + 26 + Margin);
    SetWindowTextA(dialog, ("Settings of \"" + entry_.Description + "\"").c_str());
    SetFocus(ok);
}

bool TSettingsDialog::Take()
{
    HWND dialog = Handle();
    TServiceSettings settings;
    auto refused = [&](const TRefusal& refusal, int id) {
        if (!refusal)
            return false;
        Prompter().Error(refusal.Reason());
        SetFocus(GetDlgItem(dialog, id));
        return true;
    };
    for (const TSettingInfo& info : SettingInfos()) {
        const int id = ControlId(info.Setting);
        std::string text;
        if (refused(TextOf(GetDlgItem(dialog, id), text), id))
            return false;
        if (info.Form != TSettingForm::Variables) {
            if (refused(SetSetting(settings, info.Setting, text), id))
                return false;
            continue;
        }
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find("\r\n", start);
            const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() : end + 2;
            if (!line.empty() && refused(SetVariableLine(settings, line), id))
                return false;
        }
    }
    TSecret password;
    if (refused(TextOf(GetDlgItem(dialog, PasswordId), password), PasswordId))
        return false;
    // A new account must not be given a log folder where programs live.
    const bool newAccount = settings.Account != settings_.Account;
    if (refused(ServiceSettingsRefusal(settings, entry_.Description,
                                       newAccount && entry_.LogToFile ? entry_.LogFile : ""),
                ControlId(TSetting::Account)))
        return false;
    // An installed entry's service takes a new named account at once, with
    // its password; a not installed one is asked for it at its install.
    if (entry_.Installed && AccountNeedsPassword(settings.Account) && settings.Account != settings_.Account &&
        password.Empty() && refused(TRefusal(PasswordNeededText(settings.Account)), PasswordId))
        return false;
    settings_ = settings;
    password_ = std::move(password);
    return true;
}

INT_PTR TSettingsDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        Build();
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && Take()) {
            EndDialog(Handle(), mrOk);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(Handle(), mrCancel);
            return TRUE;
        }
        break;
    case WM_DESTROY:
        // The password box's text goes with the box.
        SetDlgItemTextA(Handle(), PasswordId, "");
        break;
    }
    return FALSE;
}

INT_PTR TPasswordDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM)
{
    HWND dialog = Handle();
    switch (message) {
    case WM_INITDIALOG: {
        LOGFONTA logFont = MessageLogFont();
        font_ = TFont(CreateFontIndirectA(&logFont));
        const int width = LabelWidth + BoxWidth + 2 * Margin;
        CreateChild(dialog, "STATIC", ("The service runs as \"" + account_ + "\".").c_str(),
                    WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0, -1, {Margin, Margin, width - 2 * Margin, 18}, font_.Get());
        CreateChild(dialog, "STATIC", "Password:", WS_VISIBLE | SS_LEFT, 0, -1,
                    {Margin, Margin + 33, LabelWidth, 18}, font_.Get());
        HWND box = CreateChild(dialog, "EDIT", "", WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL | ES_PASSWORD,
                               0, PasswordId, {Margin + LabelWidth, Margin + 30, BoxWidth, 22}, font_.Get());
        const int buttons = Margin + 64;
        CreateChild(dialog, "BUTTON", "OK", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, IDOK,
                    {width - 2 * 86 - Margin, buttons, 80, 26}, font_.Get());
        CreateChild(dialog, "BUTTON", "Cancel", WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, IDCANCEL,
                    {width - 86 - Margin + 6, buttons, 80, 26}, font_.Get());
        CenterOnScreen(dialog, width, buttons + 26 + Margin);
        SetWindowTextA(dialog, "Password of the service's account");
        SetFocus(box);
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            if (TRefusal refused = TextOf(GetDlgItem(dialog, PasswordId), password_)) {
                Prompter().Error(refused.Reason());
                return TRUE;
            }
            if (password_.Empty()) {
                Prompter().Error(PasswordNeededText(account_));
                return TRUE;
            }
            EndDialog(dialog, mrOk);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, mrCancel);
            return TRUE;
        }
        break;
    case WM_DESTROY:
        SetDlgItemTextA(dialog, PasswordId, "");
        break;
    }
    return FALSE;
}
