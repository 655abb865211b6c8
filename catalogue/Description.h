#pragma once
#include <string>

#include "toolkit/Refusal.h"

// What a description may be. A description is the section name of its
// catalogue entry, the service's name and the base of the service host
// copy's file name, so it must suit all three.

// Refuses a description that cannot name the service host's copy
// (<stub folder>\<description, blanks as "!">.exe): it must be a plain file
// name inside that folder, not a device and not too long for a path.
// Entries stored before the stricter rules below still pass this one.
TRefusal FileNameRefusal(const std::string& description);

// Refuses a description a new or edited entry cannot take: the file-name
// rule, plus what the catalogue file or the user would read back
// differently.
TRefusal DescriptionRefusal(const std::string& description);
// Raises a TError with DescriptionRefusal's reason when it refuses.
void CheckDescription(const std::string& description);
// True for the catalogue's own sections, Status and WindowStatus, in any
// letter case.
bool IsReservedSection(const std::string& name);
