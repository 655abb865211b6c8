#pragma once
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "status/EntryStatus.h"

// What an entry is doing, in words: the same facts told the same way by qv
// and the window.

// How a stopped service ended, after "Stopped": "on request", "gave up
// after 4 starts in 60 s, last exit code 3", the host's own words for the
// others; "" when nothing is known.
std::string EndWords(const TServiceEnd& end);
// Why the program's state is not known, naming the entry.
std::string NotKnownWords(const std::string& description, const TStatusReply& reply);

// The program's health in a few words: "healthy", "unhealthy: connection
// refused (3 of 3)", "not healthy yet: connection refused", "not checked
// yet"; "" without a health check.
std::string HealthWords(const TProgramStatus& program);
// Whether the host is restarting the program because it was found
// unhealthy: it is being stopped, or waits to start again.
bool RestartingUnhealthy(const TEntryStatus& status);

// The state in a few words, for qv list: "running", "stopped", "stopped
// (gave up after 4 starts in 60 s, last exit code 3)", "restarting (exit
// code 3, next try in 8 s)", ...
std::string StateWords(const std::string& description, const TEntryStatus& status);
// Why a service is not active, for check's answer.
std::string InactiveReason(const TEntryStatus& status);
// "Service:", "Program:" and the lines after, for qv status. The log is the
// entry's own, as the catalogue names it.
std::vector<std::string> StatusLines(const TCatalogueEntry& entry, const TEntryStatus& status);
// The window's status line: "Running, program up 2 h 13 min", "Running,
// program restarting in 8 s, exit code 3", "Stopped 12:03: gave up after 4
// starts in 60 s, last exit code 3", "Not installed".
std::string StatusLineText(const std::string& description, const TEntryStatus& status);

// The host's answer as it gave it, or null when there is none to believe.
nlohmann::json ProgramJson(const TEntryStatus& status);
// How a stopped service ended, or null.
nlohmann::json LastEndJson(const TEntryStatus& status);

// "2024-03-05T14:07:09.042Z" in this computer's time, "2024-03-05 15:07:09";
// the text as given when it is no such time.
std::string LocalTime(const std::string& utc);
