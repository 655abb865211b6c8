#pragma once
#include <string>

// Who this copy of the service host is. A copy is named after its catalogue
// entry: the description with every blank written as "!", plus ".exe".

// The description a host file stands for: its base name without ".exe" (any
// letter case), every "!" read back as a blank.
std::string DescriptionFromPath(const std::string& path);

// The full path of the running executable.
std::string OwnPath();

// True when both name the same file: letter case, "/" versus "\" and short
// (8.3) forms do not count.
bool SameFilePath(const std::string& a, const std::string& b);

// The folder part of a path ("" when it has none), without the last "\".
std::string FolderOf(const std::string& path);
