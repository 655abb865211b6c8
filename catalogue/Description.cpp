#include "catalogue/Description.h"

#include <windows.h>

#include <algorithm>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

// The Service Control Manager's longest service name.
constexpr size_t MaxServiceName = 256;

// The longest description whose service host copy still has a usable path:
// <Windows directory>\Vantorers\<description>.exe within MAX_PATH, and a
// service name within the Service Control Manager's 256 characters. Windows
// counts both in UTF-16 units, whatever a character takes in bytes here.
size_t MaxDescriptionLength()
{
    size_t used = WideFromText(StubCopyFile("")).size();
    size_t room = used < MAX_PATH - 1 ? MAX_PATH - 1 - used : 0;
    return room < MaxServiceName ? room : MaxServiceName;
}

// Windows opens the device for these names with any extension and with
// blanks before it: "NUL.log" and "CON .txt" are devices too.
bool IsDeviceName(const std::string& name)
{
    std::string base = UpperCase(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device)
            return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

} // namespace

bool IsReservedSection(const std::string& name)
{
    return LowerCase(name) == LowerCase(StatusSection) || LowerCase(name) == LowerCase(WindowStatusSection);
}

TRefusal FileNameRefusal(const std::string& description)
{
    if (description.empty())
        return TRefusal("A service description cannot be empty");
    for (unsigned char c : description)
        if (c < 32)
            return TRefusal("A service description cannot hold line breaks, tabs or other control characters");
    if (description.find_first_of("\\/:*?\"<>|") != std::string::npos)
        return TRefusal("A service description cannot hold any of the characters \\ / : * ? \" < > |");
    if (IsDeviceName(description))
        return TRefusal("\"" + description + "\" is a device name of Windows and cannot describe a service");
    size_t limit = MaxDescriptionLength();
    const std::wstring units = WideFromText(description);
    if (units.size() > limit) {
        const bool pairs = std::any_of(units.begin(), units.end(), [](wchar_t c) { return IS_HIGH_SURROGATE(c); });
        return TRefusal("A service description can be at most " + std::to_string(limit) + " characters long" +
                        (pairs ? " (an emoji, or another character beyond the first 65,536, counts as two)" : ""));
    }
    return {};
}

TRefusal DescriptionRefusal(const std::string& description)
{
    if (description.empty())
        return FileNameRefusal(description);
    if (IsReservedSection(description))
        return TRefusal("\"" + description + "\" is a reserved name and cannot describe a service");
    for (unsigned char c : description)
        if (c < 32)
            return FileNameRefusal(description);
    if (description.front() == ' ' || description.back() == ' ')
        return TRefusal("A service description cannot begin or end with a blank");
    // The catalogue file reads a value in matching quotes without them.
    if (description.size() >= 2 && (description.front() == '\'' || description.front() == '"') &&
        description.back() == description.front())
        return TRefusal("A service description cannot begin and end with the same quote");
    if (description.find(']') != std::string::npos)
        return TRefusal("A service description cannot hold \"]\"");
    if (TRefusal refused = FileNameRefusal(description))
        return refused;
    if (description.find('!') != std::string::npos)
        return TRefusal(
            "A service description cannot hold \"!\": it stands for a blank in the service host's file name");
    return {};
}

void CheckDescription(const std::string& description)
{
    if (TRefusal refused = DescriptionRefusal(description))
        throw TError(refused.Reason());
}
