#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "toolkit/Refusal.h"
#include "toolkit/Secret.h"

// The services document: every entry of a machine as one JSON document,
// written by qv export and brought about by qv apply.

// Written into every document; a document of another version is refused.
inline constexpr int ServicesSchemaVersion = 1;
// Shipped beside qv.exe, for editors and for checking documents elsewhere.
inline constexpr const char* ServicesSchemaFile = "qv-services.schema.json";

// One entry as a document wants it, or as the machine has it.
struct TWantedEntry {
    TEntrySettings Settings;
    bool Installed = false;
    // Its service runs (or is on its way there).
    bool Running = false;
    // How its program runs as a service.
    TServiceSettings Service;
    // A document's named account's password, read from where the document
    // says; never written anywhere.
    std::optional<TSecret> Password;
};

// An entry as the machine has it.
struct TPresentEntry {
    // Installed when the catalogue says so and its service is registered as
    // its own; Running when that service runs or is on its way there.
    TWantedEntry Entry;
    // Recorded as installed, or its service registered: an uninstall has
    // something to take away, and an edit must wait for it.
    bool Deployed = false;
    // Its service is on its way somewhere (starting, stopping, ...).
    bool Pending = false;
};

// What changes a field: an edit (only while the entry is not installed),
// qv set (also while it is installed), the service's own state, or nothing
// (what only the document holds).
enum class TFieldBlock { Entry, Settings, State, DocumentOnly };

// One key of a document's entry: its JSON type, whether it must be given,
// where it lives in the entry, and what it takes. The table of them is the
// document's one description: reading, writing and comparing go by it.
struct TEntryField {
    const char* Key;
    TFieldBlock Block;
    bool Required;
    // The value as JSON, and back; Set is given a value of Get's type and
    // refuses what the field cannot take.
    nlohmann::ordered_json (*Get)(const TWantedEntry& entry);
    TRefusal (*Set)(TWantedEntry& entry, const nlohmann::ordered_json& value);
    // Why the entry cannot have the field's value (checked once every field
    // is read).
    TRefusal (*Refusal)(const TWantedEntry& entry);
    // Whether the value counts for the entry: one that does not is kept but
    // never asks for a change (a log file's name while logging to the event
    // log).
    bool (*Counts)(const TWantedEntry& entry);
    // The key whose value Refusal reads too: a fault of that key leaves the
    // check out, as its answer would be about a value never given.
    const char* Needs = nullptr;
};

const std::vector<TEntryField>& EntryFields();

// A fault of a document: where (a JSON path such as "$.entries[2].program")
// and why.
struct TDocumentFault {
    std::string Path;
    std::string Message;
};

// A document as read: the entries read whole, in document order, text in
// the system's code page, and every fault found. A document with a fault is
// not to be acted on at all.
struct TServicesDocument {
    std::vector<TWantedEntry> Entries;
    std::vector<TDocumentFault> Faults;
};

// Reads and checks the whole document (UTF-8 JSON): keys, types, the
// version, each entry's description, program and log file as add and edit
// check them, its settings as set checks them, descriptions and log files
// given twice, text the system's code page cannot hold. A syntax error ends
// the reading (with its line and column); every other fault is found in the
// one reading, each at the path of its own key (a key it does not know with
// the nearest one it does).
TServicesDocument ReadServicesDocument(const std::string& text);

// The document of these entries.
nlohmann::ordered_json ServicesJson(const std::vector<TWantedEntry>& entries);

// What apply does to one entry, in the order it is done.
enum class TStepKind { Stop, Uninstall, Remove, Add, Edit, Set, Install, Start };
const char* StepName(TStepKind step);

// The steps that bring the present entry to the wanted one: stopped before
// it is uninstalled or edited (an installed entry is uninstalled to be
// edited and installed again), its settings set after an edit and before
// an install, started again afterwards when it is wanted running. No present entry: added. No wanted entry: taken away (prune).
std::vector<TStepKind> PlanEntry(const std::optional<TWantedEntry>& wanted,
                                 const std::optional<TPresentEntry>& present);
