#pragma once
#include <windows.h>

#include <string>

// The About box: the program's name and version, an animation while it is
// shown, and the maker's contact lines (links open in the shell).
void ShowAboutBox(HWND owner);

// What a contact line opens: a web address as it stands, anything else as
// an e-mail address.
std::string ContactTarget(const std::string& line);
