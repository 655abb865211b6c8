#pragma once
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "toolkit/Refusal.h"

// The checks a new or changed entry's settings must pass before they reach
// the catalogue, in one place for the wizard (page by page), qv (the first
// that fails) and a services document (every one, each at its key).

// What a check is about: the wizard shows its refusal on that value's page,
// qv ends with its exit code, a document names its key.
enum class TEntryCheck {
    // Blank, or not usable as a description (DescriptionRefusal).
    Description,
    // Blank, or not the name of an existing file exactly as typed (a folder
    // does not count).
    Program,
    // Logging to a file without naming one.
    LogFile,
    // Logging to a file in a folder that does not exist: the host would log
    // elsewhere, or nowhere, without a word.
    LogFolder,
    // Logging to the file another entry logs to: their lines would mix, and
    // each would move the other's file aside.
    SharedLog,
};

struct TEntryRefusal {
    TEntryCheck Check;
    // In the window's words, which qv uses too.
    std::string Text;
    // Naming the value and the reason, as a services document reports it
    // ("the program "C:\Tools\web.exe" does not exist").
    std::string Named;
};

// Every check of the settings that fails, in the wizard's order; only
// those named, when any are.
std::vector<TEntryRefusal> EntryRefusals(const TEntrySettings& settings, std::initializer_list<TEntryCheck> only = {});
// The refusal of settings that log to the file another entry of the
// catalogue logs to, naming that entry; except is the list index of the
// entry being changed (0 for a new one).
std::optional<TEntryRefusal> SharedLogRefusal(const TCatalogueSnapshot& catalogue, const TEntrySettings& settings,
                                              int except);
// The words for two entries that name one log file.
std::string SharedLogText(const std::string& logFile, const std::string& other);
// What two names of one log file have in common: the full path in lower
// case, relative parts resolved.
std::string LogFileIdentity(const std::string& logFile);

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
