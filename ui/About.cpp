#include "ui/About.h"

#include <commctrl.h>
#include <strings.h>

#include <vector>

#include "platform/Shell.h"
#include "toolkit/window/Application.h"
#include "toolkit/window/Control.h"
#include "toolkit/window/EmptyDialog.h"
#include "toolkit/window/Gdi.h"
#include "toolkit/window/Window.h"
#include "ui/Glyphs.h"

namespace {

enum : int { IdAnimation = 200, IdFirstContact = 300 };

struct TContact {
    const char* Text;
    bool Link;
};

const TContact Contacts[] = {
    {"Korvalith Software", false},
    {"http://quorvane.korvalith.example", true},
    {"support@korvalith.example", true},
    {"sales@korvalith.example", true},
};
constexpr int ContactCount = sizeof Contacts / sizeof Contacts[0];

// The box, with what it draws with for as long as it is shown.
class TAboutBox : public TDialog {
public:
    TFont Normal;
    TFont Bold;
    TFont Underlined;
    int Hovered = -1;

protected:
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void Build();
    void Release();
};

bool Contains(const std::string& text, const std::string& part)
{
    for (size_t at = 0; at + part.size() <= text.size(); ++at)
        if (strncasecmp(text.c_str() + at, part.c_str(), part.size()) == 0)
            return true;
    return false;
}

LRESULT CALLBACK LinkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
{
    auto* state = reinterpret_cast<TAboutBox*>(data);
    const int id = GetDlgCtrlID(link) - IdFirstContact;
    switch (message) {
    case WM_MOUSEMOVE:
        if (state->Hovered != id) {
            state->Hovered = id;
            SendMessageA(link, WM_SETFONT, reinterpret_cast<WPARAM>(state->Underlined.Get()), TRUE);
            TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, link, 0};
            TrackMouseEvent(&track);
        }
        break;
    case WM_MOUSELEAVE:
        state->Hovered = -1;
        SendMessageA(link, WM_SETFONT, reinterpret_cast<WPARAM>(state->Normal.Get()), TRUE);
        break;
    case WM_SETCURSOR:
        SetCursor(LoadCursor(nullptr, IDC_HAND));
        return TRUE;
    }
    return DefSubclassProc(link, message, wParam, lParam);
}

HWND Add(HWND dialog, const char* cls, const char* text, DWORD style, const TBounds& bounds, int id, HFONT font)
{
    return CreateChild(dialog, cls, text, WS_VISIBLE | style, 0, id, bounds, font);
}

void TAboutBox::Build()
{
    HWND dialog = Handle();
    LOGFONTA font = MessageLogFont();
    Normal = TFont(CreateFontIndirectA(&font));
    font.lfUnderline = TRUE;
    Underlined = TFont(CreateFontIndirectA(&font));
    font.lfUnderline = FALSE;
    font.lfWeight = FW_BOLD;
    font.lfHeight = font.lfHeight * 3 / 2;
    Bold = TFont(CreateFontIndirectA(&font));
    HFONT normal = Normal.Get();

    HWND icon = Add(dialog, "STATIC", nullptr, SS_ICON, {16, 16, 32, 32}, -1, normal);
    SendMessageA(icon, STM_SETICON, reinterpret_cast<WPARAM>(ProgramIcon()), 0);
    Add(dialog, "STATIC", "Korvalith's \"Quorvane\"", SS_LEFT | SS_NOPREFIX, {60, 14, 240, 26}, -1, Bold.Get());
    Add(dialog, "STATIC", "Version " QUORVANE_VERSION, SS_LEFT, {60, 42, 240, 18}, -1, normal);
    HWND animation =
        Add(dialog, ANIMATE_CLASSA, nullptr, ACS_CENTER | ACS_TRANSPARENT, {236, 56, 64, 64}, IdAnimation, normal);
    const std::string movie = TApplication::ExeFolder() + "working.avi";
    if (SendMessageA(animation, ACM_OPENA, 0, reinterpret_cast<LPARAM>(movie.c_str())))
        SendMessageA(animation, ACM_PLAY, static_cast<WPARAM>(-1), MAKELONG(0, 0xFFFF));

    int y = 70;
    for (int i = 0; i < ContactCount; ++i) {
        HWND line = Add(dialog, "STATIC", Contacts[i].Text, SS_LEFT | SS_NOPREFIX | (Contacts[i].Link ? SS_NOTIFY : 0),
                        {60, y, 170, 18}, IdFirstContact + i, normal);
        if (Contacts[i].Link)
            SetWindowSubclass(line, LinkProc, 1, reinterpret_cast<DWORD_PTR>(this));
        y += 20;
    }
    HWND ok = Add(dialog, "BUTTON", "OK", BS_DEFPUSHBUTTON | WS_TABSTOP, {122, y + 12, 76, 26}, IDOK, normal);

    CenterOnScreen(dialog, 320, y + 52);
    SetWindowTextA(dialog, "About Quorvane");
    SetFocus(ok);
}

// However the box ends; the fonts go with the box, after it.
void TAboutBox::Release()
{
    SendDlgItemMessageA(Handle(), IdAnimation, ACM_STOP, 0, 0);
    for (int i = 0; i < ContactCount; ++i)
        if (Contacts[i].Link)
            RemoveWindowSubclass(GetDlgItem(Handle(), IdFirstContact + i), LinkProc, 1);
}

INT_PTR TAboutBox::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        Build();
        return FALSE;
    case WM_CTLCOLORSTATIC: {
        const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) - IdFirstContact;
        if (id >= 0 && id < ContactCount && Contacts[id].Link) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, Hovered == id ? RGB(0, 0, 255) : GetSysColor(COLOR_WINDOWTEXT));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam) - IdFirstContact;
        if (id >= 0 && id < ContactCount && Contacts[id].Link && HIWORD(wParam) == STN_CLICKED) {
            const std::string target = ContactTarget(Contacts[id].Text);
            ShellApi().ShellExecuteA(Handle(), "open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(Handle(), LOWORD(wParam) == IDOK ? mrOk : mrCancel);
            return TRUE;
        }
        break;
    }
    case WM_DESTROY:
        Release();
        break;
    }
    return FALSE;
}

} // namespace

std::string ContactTarget(const std::string& line)
{
    // Secure addresses are web addresses too.
    if (Contains(line, "HTTP:") || Contains(line, "HTTPS:"))
        return line;
    return "mailto:" + line;
}

void ShowAboutBox(HWND owner)
{
    TAboutBox().ShowModal(owner, WS_EX_TOOLWINDOW);
}
