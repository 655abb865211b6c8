#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "catalogue/Catalogue.h"
#include "cli/Arguments.h"
#include "cli/ExitCodes.h"
#include "deploy/Deploy.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceOwner.h"
#include "deploy/ServiceState.h"
#include "toolkit/Error.h"
#include "toolkit/Refusal.h"

// What every command of qv shares: how it speaks, how it names an entry and
// the command a user types, and how a refusal ends its run.

// How long start, stop and uninstall wait for the service to get where it
// was asked.
inline constexpr unsigned long SettleLimitMs = 30000;

// A refusal or failure that ends the run with its own exit code.
class TCliFailure : public TError {
public:
    TCliFailure(TExitCode code, const std::string& message) : TError(message), code_(code) {}
    TExitCode Code() const { return code_; }

private:
    TExitCode code_;
};

// The window's texts break lines with a lone carriage return; a console
// wants line ends.
std::string ConsoleText(std::string text);
// One line of what the command says: on standard output, or kept for
// apply's report while the command runs as one of its steps.
void Say(const std::string& text);
void PrintJson(const nlohmann::json& document);

std::string NoEntryText(const std::string& name);
// The command a user types for the entry: qv speaks of commands where the
// window names its buttons.
std::string CommandFor(const char* command, const std::string& description);
std::string InstalledText(const char* action, const std::string& description);

// The entry the user named, as the catalogue holds it now; exit 3 when
// there is none.
TCatalogueEntry FindEntry(TCatalogue& catalogue, const std::string& name);
// An entry that went or was renamed between the command's read and its write.
[[noreturn]] void RefuseChanged(TEntryOutcome outcome, const TCatalogueEntry& entry, const TCatalogue& catalogue);
TEntryKey KeyOf(const TCatalogueEntry& entry);
// A refusal ends the run with the code given.
void Refuse(TExitCode code, const TRefusal& refused);

TServiceTarget TargetOf(const TCatalogueEntry& entry);
// A service of the entry's name that runs another program is never touched.
void RefuseForeign(const TCatalogueEntry& entry);
TServiceState StateOf(const TCatalogueEntry& entry);
nlohmann::json EntryJson(const TCatalogueEntry& entry, TServiceState state);

// One command of qv.
using TCommand = TExitCode (*)(const TCliRequest&);

// How a command ran: its exit code, what it said on the way (when kept)
// and, when it did not succeed, why.
struct TStepRun {
    TExitCode Code = ExitSuccess;
    std::string Said;
    TRefusal Failure;
};

// Carries out the command; a refusal or failure ends it with its code and
// the message that says why.
TStepRun Carry(TCommand command, const TCliRequest& request);
// The same for a step of a larger run: nothing is printed, the step's words
// come back. One step runs at a time.
TStepRun CarryQuietly(TCommand command, const TCliRequest& request);
