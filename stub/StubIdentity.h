#pragma once
#include <string>

// Who this copy of the service host is. A copy is named after its catalogue
// entry: the description with every blank written as "!", plus ".exe".

// The description a host file stands for: its base name without ".exe" (any
// letter case), every "!" read back as a blank.
std::string DescriptionFromPath(const std::string& path);
