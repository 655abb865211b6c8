#include <windows.h>

#include <utility>
#include <vector>

#include "toolkit/window/Application.h"
#include "toolkit/window/Control.h"
#include "toolkit/window/EmptyDialog.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/window/MessageBoxes.h"
#include "toolkit/window/Window.h"

// The three box kinds and the standard error box, as a small dialog of our
// own: Windows' MessageBox lets Esc answer nothing in a Yes/No box, and we
// want Esc to answer "&No" everywhere.
namespace {

enum : int { IdText = 100, IdIcon = 101 };

// What one box shows.
struct TBoxDefinition {
    std::string Caption;
    std::string Text;
    LPCSTR Icon;
    bool YesNo;
};

// Lone carriage returns break lines in our texts; controls want CR LF.
std::string DisplayText(const std::string& text)
{
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        shown += text[i];
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            shown += '\n';
    }
    return shown;
}

// Made once and kept while the program runs.
HFONT MessageFont()
{
    static const TFont font([] {
        LOGFONTA description = MessageLogFont();
        return CreateFontIndirectA(&description);
    }());
    return font.Get();
}

HWND AddControl(HWND dialog, const char* windowClass, const char* text, DWORD style, int id)
{
    return CreateChild(dialog, windowClass, text, WS_VISIBLE | style, 0, id, {}, MessageFont());
}

void LayOut(HWND dialog, const TBoxDefinition& box)
{
    const std::string text = DisplayText(box.Text);
    HWND icon = AddControl(dialog, "STATIC", nullptr, SS_ICON, IdIcon);
    SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconA(nullptr, box.Icon)), 0);
    HWND label = AddControl(dialog, "STATIC", text.c_str(), SS_LEFT | SS_NOPREFIX, IdText);

    RECT bounds = {0, 0, 420, 0};
    {
        TWindowDC dc(label);
        TSelection font(dc.Get(), MessageFont());
        DrawTextA(dc.Get(), text.c_str(), -1, &bounds, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
    }

    const int margin = 14, iconSize = 32, buttonWidth = 84, buttonHeight = 26, gap = 8;
    const int textLeft = margin + iconSize + margin;
    const int textWidth = bounds.right < 160 ? 160 : bounds.right;
    const int textHeight = bounds.bottom < iconSize ? iconSize : bounds.bottom;
    const int clientWidth = textLeft + textWidth + margin;
    const int buttonsTop = margin + textHeight + margin;
    const int clientHeight = buttonsTop + buttonHeight + margin;

    MoveWindow(icon, margin, margin, iconSize, iconSize, FALSE);
    MoveWindow(label, textLeft, margin + (textHeight - bounds.bottom) / 2, textWidth, bounds.bottom, FALSE);

    std::vector<HWND> buttons;
    if (box.YesNo) {
        buttons.push_back(AddControl(dialog, "BUTTON", "&Yes", BS_DEFPUSHBUTTON | WS_TABSTOP, IDYES));
        buttons.push_back(AddControl(dialog, "BUTTON", "&No", BS_PUSHBUTTON | WS_TABSTOP, IDCANCEL));
    } else {
        buttons.push_back(AddControl(dialog, "BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, IDOK));
    }
    int left = (clientWidth - static_cast<int>(buttons.size()) * (buttonWidth + gap) + gap) / 2;
    for (HWND button : buttons) {
        MoveWindow(button, left, buttonsTop, buttonWidth, buttonHeight, FALSE);
        left += buttonWidth + gap;
    }

    CenterOnScreen(dialog, clientWidth, clientHeight);
    SetWindowTextA(dialog, box.Caption.c_str());
    SetFocus(buttons.front());
}

class TBox : public TDialog {
public:
    explicit TBox(TBoxDefinition box) : box_(std::move(box)) {}

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM) override
    {
        switch (message) {
        case WM_INITDIALOG:
            LayOut(Handle(), box_);
            MessageBeep(0);
            return FALSE; // focus is set
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDYES || LOWORD(wParam) == IDCANCEL) {
                EndDialog(Handle(), LOWORD(wParam));
                return TRUE;
            }
            break;
        }
        return FALSE;
    }

private:
    TBoxDefinition box_;
};

// The controls are laid out to fit the text. The box belongs to the program's
// own window, never to whatever happens to be active.
int ShowBox(const TBoxDefinition& box)
{
    return static_cast<int>(TBox(box).ShowModal(Application().BoxOwner(), WS_EX_DLGMODALFRAME | WS_EX_TOPMOST));
}

class TWindowPrompter : public TPrompter {
public:
    void Information(const std::string& text) override { ShowBox({"Information", text, IDI_INFORMATION, false}); }
    void Error(const std::string& text) override { ShowBox({"Error", text, IDI_ERROR, false}); }
    bool Confirm(const std::string& text) override { return ShowBox({"Confirm", text, IDI_QUESTION, true}) == IDYES; }
    void StandardError(const std::string& text) override { ShowBox({Application().Title, text, IDI_ERROR, false}); }
};

} // namespace

TPrompter& WindowPrompter()
{
    static TWindowPrompter prompter;
    return prompter;
}
