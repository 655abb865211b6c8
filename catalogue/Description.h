#pragma once
#include <string>

// What a description may be. A description is the section name of its
// catalogue entry, the service's name and the base of the service host
// copy's file name, so it must suit all three.

// Why the description cannot name the service host's copy
// (<stub folder>\<description, blanks as "!">.exe), or "" when it can: it
// must be a plain file name inside that folder, not a device and not too
// long for a path. Entries stored before the stricter rules below still
// pass this one.
std::string FileNameFault(const std::string& description);

// Why a new or edited entry cannot take the description, or "" when it can:
// the file-name rule, plus what the catalogue file or the user would read
// back differently.
std::string DescriptionFault(const std::string& description);
// Raises a TError carrying DescriptionFault when there is one.
void CheckDescription(const std::string& description);
// True for the catalogue's own sections, Status and WindowStatus, in any
// letter case.
bool IsReservedSection(const std::string& name);
