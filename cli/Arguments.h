#pragma once
#include <optional>
#include <string>
#include <vector>

#include "toolkit/Error.h"

// What one run of the command-line program is asked to do.
enum class TCliCommand { Help, Version, List, Show, Status, Add, Edit, Remove, Install, Uninstall, Start, Stop, Check };

struct TCliRequest {
    TCliCommand Command = TCliCommand::Help;
    // The entry's description, as typed.
    std::string Name;
    bool All = false;
    bool Json = false;
    std::optional<std::string> Description;
    std::optional<std::string> Program;
    std::optional<std::string> Parameters;
    std::optional<std::string> LogFile;
    // Edit: log to the event log instead of a file.
    bool EventLog = false;
    // Start: how long the program must run before the start counts.
    unsigned SettleSeconds = 2;
};

// A command line that asks for nothing this program does.
class TUsageError : public TError {
public:
    using TError::TError;
};

// Reads the arguments after the program's name. Options take their value
// from the next argument or after "=" ("--program=C:\x.exe"); "--" ends the
// options, so a description may begin with "-". An unknown command or
// option, a missing or extra argument, or an option the command does not
// take raises TUsageError.
TCliRequest ParseArguments(const std::vector<std::string>& arguments);

// The text of --help.
std::string HelpText();
