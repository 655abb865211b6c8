#include "stub/StubIdentity.h"

#include <windows.h>

#include "deploy/StubNames.h"
#include "toolkit/Text.h"

std::string DescriptionFromPath(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() >= 4 && LowerCase(name.substr(name.size() - 4)) == ".exe")
        name.resize(name.size() - 4);
    for (char& c : name)
        if (c == BlankInFileName)
            c = ' ';
    return name;
}
