#pragma once
#include <string>

// Where an entry's copy of the service host lives. The manager copies
// "Vantorer.bin" from its own folder to
// <Windows directory>\Vantorers\<description, blanks as "!">.exe and writes
// that path under the entry's "Vantorer" key; the copy finds its entry by
// that path, or by its own file name.

inline constexpr const char* StubSourceName = "Vantorer.bin";
inline constexpr const char* StubFolderName = "Vantorers";
inline constexpr char BlankInFileName = '!';
inline constexpr const char* StubCopyExtension = ".exe";

// The Windows directory as the system reports it (through the directory
// seam), nothing added or removed.
std::string WindowsDirectory();
// The text with every blank replaced by the given character.
std::string ReplaceSpaces(const std::string& text, char replacement);
// <Windows directory>\Vantorers
std::string StubFolder();
// <Windows directory>\Vantorers\<description, blanks as "!">.exe, whether or
// not the folder is there.
std::string StubCopyFile(const std::string& description);
