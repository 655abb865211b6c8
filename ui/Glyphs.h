#pragma once
#include <windows.h>
#include <commctrl.h>

// The program's pictures, drawn rather than loaded: the speed buttons', the
// service list's, the program icon and the wizard's picture.
enum TGlyph {
    glNew, glDelete, glEdit, glStop, glStart, glInstall, glUninstall, glCheck, glCheckAll, glGlyphCount
};
HICON ButtonGlyph(TGlyph glyph);
// The service list's images.
enum TServiceImage : int { imgInstalled = 0, imgNotInstalled = 1 };
HIMAGELIST ServiceListImages();
// The program's icon (the resource when present, else a drawn one).
HICON ProgramIcon();
// The wizard's decorative picture: a dusk gradient with two gears and, when
// there is room, a pulse line; drawn to whatever size it is given.
void PaintWizardPicture(HDC dc, int width, int height);
