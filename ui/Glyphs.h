#pragma once
#include <windows.h>
#include <commctrl.h>

// The pictures of the speed buttons and of the service list, drawn at start.
enum TGlyph {
    glNew, glDelete, glEdit, glStop, glStart, glInstall, glUninstall, glCheck, glCheckAll, glGlyphCount
};
HICON ButtonGlyph(TGlyph glyph);
// Image 0: an installed entry; image 1: one that is not installed.
HIMAGELIST ServiceListImages();
// The program's icon (the resource when present, else a drawn one).
HICON ProgramIcon();
