#pragma once
#include <string>

#include "catalogue/Catalogue.h"
#include "toolkit/Refusal.h"

// The checks a new or changed entry's settings must pass before they reach
// the catalogue: page by page in the wizard, all at once on the command
// line. Each refuses with the message the user reads.

// Blank, or not usable as a description (DescriptionRefusal).
TRefusal DescriptionInputRefusal(const std::string& description);
// Blank, or not the name of an existing file exactly as typed (a folder
// does not count).
TRefusal ProgramRefusal(const std::string& program);
// Logging to a file without naming one.
TRefusal LogFileRefusal(bool logToFile, const std::string& logFile);
// Logging to a file in a folder that does not exist: the host would log
// elsewhere, or nowhere, without a word.
TRefusal LogFolderRefusal(const TEntrySettings& settings);

// What the user reads when another entry has the description already.
inline constexpr const char* DuplicateDescriptionText =
    "A Service with this description already exists in the NT Service base !\r\r"
    "Please provide a different description...";

// What the user reads when an installed entry is to be edited or removed:
// its settings belong to the service the host runs until it is uninstalled.
inline constexpr const char* EditInstalledText =
    "You can not edit a service when it is in [Installed] state (Button: \"i\").\r\r"
    "Please [Deinstall] the service first (Button: \"d\")";
inline constexpr const char* RemoveInstalledText =
    "You can not remove a service when it is in [Installed] state (Button: \"i\").\r\r"
    "You need to [Deinstall] the service first (Button: \"d\")";

// What the user reads when the entry a command was for changed before the
// command could act on it (Gone, Renamed, Installed, NotInstalled, Changed): the
// description the command had, and the one it has now when renamed.
std::string MeanwhileText(TEntryOutcome outcome, const std::string& description, const std::string& renamedTo);
