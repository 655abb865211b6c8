#pragma once
#include <string>

// File-system names as the whole program treats them.

// The full path of the running executable.
std::string ExecutablePath();
// The folder part of a path without its last "\" ("" when it has none); a
// file in a drive's root lives in "C:\", not in "C:".
std::string FolderOf(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
// True when both name the same file: letter case, "/" versus "\", relative
// parts, a "\\?\" prefix and short (8.3) forms do not count. Empty paths
// name nothing.
bool SameFilePath(const std::string& a, const std::string& b);
