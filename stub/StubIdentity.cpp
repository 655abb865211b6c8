#include "stub/StubIdentity.h"

#include <windows.h>

#include "catalogue/StubCopy.h"
#include "toolkit/Text.h"

std::string DescriptionFromPath(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string extension = StubCopyExtension;
    if (name.size() >= extension.size() &&
        LowerCase(name.substr(name.size() - extension.size())) == LowerCase(extension))
        name.resize(name.size() - extension.size());
    for (char& c : name)
        if (c == BlankInFileName)
            c = ' ';
    return name;
}
