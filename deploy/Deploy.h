#pragma once
#include <string>

#include "catalogue/Catalogue.h"

// Installing and uninstalling a catalogue entry through its own copy of the
// service host.

// The Windows directory as the system reports it, nothing added or removed.
std::string WindowsDirectory();
// The text with every blank replaced by the given character.
std::string ReplaceSpaces(const std::string& text, char replacement);
// <Windows directory>\Vantorers\<description, blanks as "!">.exe. Creates the
// Vantorers folder when it is missing; fails with the system's reason when
// it cannot.
std::string StubCopyPath(const std::string& description);
// "Vantorer.bin" in the folder of the running executable.
std::string StubSourcePath();

// Installs (true) or uninstalls (false) the entry at list index n: copies the
// service host where the entry's copy belongs, records the copy's path and the
// requested state in the catalogue, then runs the copy with " -i" or " -u".
// A launch that fails is reported in an error box and still returns true; a
// bad index, a stub folder that cannot be made or a refused catalogue write
// raise a TError before anything is run. Sets the working entry's description
// and stub path and refreshes the catalogue count.
bool DeployEntry(TCatalogue& catalogue, int index, bool install);
