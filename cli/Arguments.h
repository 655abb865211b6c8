#pragma once
#include <optional>
#include <string>
#include <vector>

#include "toolkit/Secret.h"

#include "toolkit/Error.h"

// What one run of the command-line program is asked to do.
enum class TCliCommand {
    Help, Version, List, Show, Status, Add, Edit, Set, Remove, Install, Uninstall, Start, Stop, Check, Export, Apply,
    Metrics
};

struct TCliRequest {
    TCliCommand Command = TCliCommand::Help;
    // The entry's description, as typed; apply: the document's file.
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
    // Set and add: the settings' options in the order given, each with its
    // value, the option without "--" ("stop-timeout", "30"); "env" holds
    // "NAME=VALUE", "unset-env" a name, and the daily log switch "on" or
    // "off".
    std::vector<std::pair<std::string, std::string>> Settings;
    // Set and install: a named account's password comes on standard input,
    // or (apply) from the source its document names.
    bool PasswordFromInput = false;
    std::optional<TSecret> Password;
    // Apply: only show the plan; take away entries the document does not name.
    bool Check = false;
    bool Prune = false;
    // Apply: prune also when the document names no entry, so removing every
    // entry is meant.
    bool PruneAll = false;
    // Metrics: the folder to write the file to, and how often (0: once).
    std::optional<std::string> Textfile;
    unsigned EverySeconds = 0;
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
