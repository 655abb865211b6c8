#include "cli/ServicesDocument.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "catalogue/EntryRules.h"
#include "platform/Kernel.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

using TJson = nlohmann::ordered_json;

TJson Text(const std::string& ansi)
{
    return Utf8FromAnsi(ansi);
}

std::string AnsiOf(const TJson& value)
{
    return AnsiFromUtf8(value.get<std::string>());
}

// The catalogue could not keep the value as given.
TRefusal StorageRefusal(const TEntrySettings& only)
{
    try {
        CheckEntryValues(only);
        return {};
    } catch (const TError& error) {
        return TRefusal(error.Message());
    }
}

TRefusal FirstRefusal(std::initializer_list<TRefusal> refusals)
{
    for (const TRefusal& refusal : refusals)
        if (refusal)
            return refusal;
    return {};
}

TRefusal NoRefusal(const TWantedEntry&)
{
    return {};
}

bool AlwaysCounts(const TWantedEntry&)
{
    return true;
}

template <class T>
TRefusal Assign(T& field, const T& value)
{
    field = value;
    return {};
}

// The settings away from their default, by qv's option names: each as the
// text qv set takes, the environment as an object of its variables.
TJson SettingsJson(const TServiceSettings& settings)
{
    TJson object = TJson::object();
    for (const TSettingInfo& info : SettingInfos()) {
        if (info.Form == TSettingForm::Variables) {
            if (settings.Environment.empty())
                continue;
            TJson variables = TJson::object();
            for (const auto& [name, value] : settings.Environment)
                variables[Utf8FromAnsi(name)] = Utf8FromAnsi(value);
            object[info.Option] = variables;
        } else if (!IsDefault(settings, info.Setting)) {
            object[info.Option] = Utf8FromAnsi(SettingText(settings, info.Setting));
        }
    }
    return object;
}

TRefusal SetSettings(TWantedEntry& entry, const TJson& object)
{
    TServiceSettings& settings = entry.Service;
    for (const auto& [key, value] : object.items()) {
        const auto info = std::find_if(SettingInfos().begin(), SettingInfos().end(),
                                       [&](const TSettingInfo& i) { return key == i.Option; });
        if (info == SettingInfos().end())
            return TRefusal("\"" + key + "\" is not a setting: the settings are named as qv set's options");
        if (info->Form != TSettingForm::Variables) {
            if (!value.is_string())
                return TRefusal("\"" + key + "\" must be text, as qv set takes it");
            if (TRefusal refused = SetSetting(settings, info->Setting, AnsiOf(value)))
                return refused;
            continue;
        }
        if (!value.is_object())
            return TRefusal("\"env\" must be an object of the variables' names and values");
        for (const auto& [name, text] : value.items()) {
            if (!text.is_string())
                return TRefusal("\"env\": the value of " + name + " must be text");
            if (TRefusal refused = SetVariable(settings, AnsiFromUtf8(name), AnsiOf(text)))
                return refused;
        }
    }
    return {};
}

// A named account's password, from an environment variable or a file the
// document names, never from the document itself.
TRefusal SetPassword(TWantedEntry& entry, const TJson& source)
{
    if (source.size() != 1 || !(source.contains("env") || source.contains("file")) || !source.begin()->is_string())
        return TRefusal("must name one source: {\"env\": \"VARIABLE\"} or {\"file\": \"PATH\"}");
    const std::string named = AnsiOf(*source.begin());
    if (source.contains("env")) {
        const DWORD size = GetEnvironmentVariableA(named.c_str(), nullptr, 0);
        if (size == 0)
            return TRefusal("the environment variable " + named + " is not set");
        TSecret password;
        password.Resize(size);
        password.Resize(GetEnvironmentVariableA(named.c_str(), password.Data(), size));
        entry.Password = std::move(password);
        return {};
    }
    // Its first line, without the line end.
    const TKernelHandle file(CreateFileA(named.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    TSecret password;
    // Read straight into the secret, a byte at a time.
    for (DWORD read = 0; file && (password.Empty() || password.Back() != '\n');) {
        const size_t at = password.Size();
        password.Resize(at + 1);
        if (!ReadFile(file.Get(), password.Data() + at, 1, &read, nullptr) || read != 1) {
            password.Resize(at);
            break;
        }
    }
    if (!file || password.Empty())
        return TRefusal("the file \"" + named + "\" cannot be read");
    while (!password.Empty() && (password.Back() == '\r' || password.Back() == '\n'))
        password.PopBack();
    entry.Password = std::move(password);
    return {};
}

const std::vector<TEntryField> Fields = {
    {"description", TFieldBlock::Entry, true, [](const TWantedEntry& e) { return Text(e.Settings.Description); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.Description, AnsiOf(v)); },
     [](const TWantedEntry& e) { return DescriptionInputRefusal(e.Settings.Description); }, AlwaysCounts},
    {"program", TFieldBlock::Entry, true, [](const TWantedEntry& e) { return Text(e.Settings.Program); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.Program, AnsiOf(v)); },
     [](const TWantedEntry& e) {
         TEntrySettings only;
         only.Program = e.Settings.Program;
         return FirstRefusal({ProgramRefusal(e.Settings.Program), StorageRefusal(only)});
     },
     AlwaysCounts},
    {"parameters", TFieldBlock::Entry, false, [](const TWantedEntry& e) { return Text(e.Settings.Parameters); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.Parameters, AnsiOf(v)); },
     [](const TWantedEntry& e) {
         TEntrySettings only;
         only.Parameters = e.Settings.Parameters;
         return StorageRefusal(only);
     },
     AlwaysCounts},
    {"logToFile", TFieldBlock::Entry, false, [](const TWantedEntry& e) { return TJson(e.Settings.LogToFile); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.LogToFile, v.get<bool>()); }, NoRefusal, AlwaysCounts},
    {"logFile", TFieldBlock::Entry, false, [](const TWantedEntry& e) { return Text(e.Settings.LogFile); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.LogFile, AnsiOf(v)); },
     [](const TWantedEntry& e) {
         TEntrySettings only;
         only.LogFile = e.Settings.LogFile;
         return FirstRefusal({LogFileRefusal(e.Settings.LogToFile, e.Settings.LogFile), LogFolderRefusal(e.Settings),
                            StorageRefusal(only)});
     },
     // The window keeps the name while the entry logs to the event log.
     [](const TWantedEntry& e) { return e.Settings.LogToFile; }},
    {"installed", TFieldBlock::State, false, [](const TWantedEntry& e) { return TJson(e.Installed); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Installed, v.get<bool>()); }, NoRefusal, AlwaysCounts},
    {"running", TFieldBlock::State, false, [](const TWantedEntry& e) { return TJson(e.Running); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Running, v.get<bool>()); },
     [](const TWantedEntry& e) {
         return e.Running && !e.Installed ? TRefusal("Only an installed entry runs: \"installed\" must be true")
                                          : TRefusal();
     },
     AlwaysCounts},
    {"settings", TFieldBlock::Settings, false, [](const TWantedEntry& e) { return SettingsJson(e.Service); },
     SetSettings, [](const TWantedEntry& e) { return SettingsValueRefusal(e.Service); }, AlwaysCounts},
    {"password", TFieldBlock::DocumentOnly, false, [](const TWantedEntry&) { return TJson::object(); }, SetPassword,
     NoRefusal, AlwaysCounts},
};

std::string TypeName(const TJson& value)
{
    switch (value.type()) {
    case TJson::value_t::string: return "text";
    case TJson::value_t::boolean: return "true or false";
    case TJson::value_t::array: return "a list";
    case TJson::value_t::object: return "an object";
    case TJson::value_t::null: return "null";
    default: return "a number";
    }
}

bool SameType(const TJson& value, const TJson& expected)
{
    if (expected.is_number_integer())
        return value.is_number_integer();
    return value.type() == expected.type();
}

// Reads and checks one object's keys against what it may hold: unknown
// keys, wrong types and missing keys, each at its path.
class TFaults {
public:
    explicit TFaults(std::vector<TDocumentFault>& faults) : faults_(faults) {}
    void Add(const std::string& path, const std::string& message) { faults_.push_back({path, message}); }
    bool Typed(const std::string& path, const TJson& value, const TJson& expected)
    {
        if (SameType(value, expected))
            return true;
        Add(path, "must be " + TypeName(expected) + ", not " + TypeName(value));
        return false;
    }
    size_t Count() const { return faults_.size(); }

private:
    std::vector<TDocumentFault>& faults_;
};

std::string EntryPath(size_t index)
{
    return "$.entries[" + std::to_string(index) + "]";
}

// A value the single-byte calls cannot pass (an older Windows, whose code
// page lacks a character) would reach the catalogue as another text.
bool HeldByCodePage(const TJson& value)
{
    return !value.is_string() || Utf8FromAnsi(AnsiOf(value)) == value.get<std::string>();
}

std::optional<TWantedEntry> ReadEntry(const TJson& object, const std::string& path, TFaults& faults)
{
    if (!faults.Typed(path, object, TJson::object()))
        return std::nullopt;
    const size_t before = faults.Count();
    for (const auto& [key, value] : object.items())
        if (std::none_of(Fields.begin(), Fields.end(), [&](const TEntryField& f) { return key == f.Key; }))
            faults.Add(path + "." + key, "is not a key of an entry");
    TWantedEntry entry;
    for (const TEntryField& field : Fields) {
        const std::string at = path + "." + field.Key;
        const auto found = object.find(field.Key);
        if (found == object.end()) {
            if (field.Required)
                faults.Add(at, "is missing: every entry needs it");
        } else if (faults.Typed(at, *found, field.Get(TWantedEntry()))) {
            if (!HeldByCodePage(*found))
                faults.Add(at, UnpassableText(found->get<std::string>()));
            else if (const TRefusal refused = field.Set(entry, *found))
                faults.Add(at, refused.Reason());
        }
    }
    if (faults.Count() != before)
        return std::nullopt;
    // What add and edit would refuse, once the entry is whole.
    for (const TEntryField& field : Fields)
        if (const TRefusal refused = field.Refusal(entry))
            faults.Add(path + "." + field.Key, refused.Reason());
    if (faults.Count() != before)
        return std::nullopt;
    return entry;
}

} // namespace

const std::vector<TEntryField>& EntryFields()
{
    return Fields;
}

TServicesDocument ReadServicesDocument(const std::string& text)
{
    TServicesDocument document;
    TFaults faults(document.Faults);
    TJson root;
    try {
        root = TJson::parse(text);
    } catch (const TJson::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at line 2, ...": the
        // words after the library's tag.
        const std::string what = error.what();
        faults.Add("$", "is not JSON: " + what.substr(what.find(']') + 2));
        return document;
    }
    if (!faults.Typed("$", root, TJson::object()))
        return document;
    for (const auto& [key, value] : root.items())
        if (key != "schemaVersion" && key != "entries" && key != "$schema")
            faults.Add("$." + key, "is not a key of a services document");
    const auto version = root.find("schemaVersion");
    if (version == root.end())
        faults.Add("$.schemaVersion", "is missing: a services document says its version");
    else if (faults.Typed("$.schemaVersion", *version, TJson(ServicesSchemaVersion)) &&
             *version != ServicesSchemaVersion)
        faults.Add("$.schemaVersion", "is " + version->dump() + ": this qv reads version " +
                                          std::to_string(ServicesSchemaVersion));
    if (const auto schema = root.find("$schema"); schema != root.end())
        faults.Typed("$.$schema", *schema, TJson(""));
    const auto entries = root.find("entries");
    // Where each entry read whole stands in the document.
    std::vector<size_t> places;
    if (entries == root.end())
        faults.Add("$.entries", "is missing: a services document lists its entries (an empty list for none)");
    else if (faults.Typed("$.entries", *entries, TJson::array()))
        for (size_t index = 0; index < entries->size(); ++index)
            if (std::optional<TWantedEntry> entry = ReadEntry((*entries)[index], EntryPath(index), faults)) {
                document.Entries.push_back(*entry);
                places.push_back(index);
            }
    // Two entries of one description, letter case aside, would be one entry.
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < document.Entries.size(); ++i) {
        const auto [first, added] = seen.emplace(LowerCase(document.Entries[i].Settings.Description), places[i]);
        if (!added)
            faults.Add(EntryPath(places[i]) + ".description",
                       "is given already at " + EntryPath(first->second) + ".description");
    }
    return document;
}

nlohmann::ordered_json ServicesJson(const std::vector<TWantedEntry>& entries)
{
    TJson listed = TJson::array();
    for (const TWantedEntry& entry : entries) {
        TJson object = TJson::object();
        for (const TEntryField& field : Fields)
            if (field.Block != TFieldBlock::DocumentOnly)
                object[field.Key] = field.Get(entry);
        listed.push_back(object);
    }
    return {{"schemaVersion", ServicesSchemaVersion}, {"entries", listed}};
}

const char* StepName(TStepKind step)
{
    switch (step) {
    case TStepKind::Stop: return "stop";
    case TStepKind::Uninstall: return "uninstall";
    case TStepKind::Remove: return "remove";
    case TStepKind::Add: return "add";
    case TStepKind::Edit: return "edit";
    case TStepKind::Set: return "set";
    case TStepKind::Install: return "install";
    case TStepKind::Start: return "start";
    }
    return "";
}

std::vector<TStepKind> PlanEntry(const std::optional<TWantedEntry>& wanted, const std::optional<TPresentEntry>& present)
{
    std::vector<TStepKind> steps;
    if (!present) {
        if (wanted) {
            steps.push_back(TStepKind::Add);
            if (wanted->Service != TServiceSettings())
                steps.push_back(TStepKind::Set);
            if (wanted->Installed)
                steps.push_back(TStepKind::Install);
            if (wanted->Running)
                steps.push_back(TStepKind::Start);
        }
        return steps;
    }
    const TWantedEntry& now = present->Entry;
    if (!wanted) {
        if (now.Running)
            steps.push_back(TStepKind::Stop);
        if (present->Deployed)
            steps.push_back(TStepKind::Uninstall);
        steps.push_back(TStepKind::Remove);
        return steps;
    }
    auto differs = [&](TFieldBlock block) {
        for (const TEntryField& field : Fields)
            if (field.Block == block && field.Counts(*wanted) && field.Get(*wanted) != field.Get(now))
                return true;
        return false;
    };
    const bool edit = differs(TFieldBlock::Entry);
    const bool set = differs(TFieldBlock::Settings);
    // Half installed (recorded so, or registered, but not both) is
    // uninstalled first, so that an install starts afresh.
    const bool uninstall = present->Deployed && (!wanted->Installed || edit || !now.Installed);
    const bool install = wanted->Installed && (!now.Installed || uninstall);
    const bool stop = now.Running && (!wanted->Running || uninstall);
    const bool start = wanted->Running && (!now.Running || stop);
    for (auto [needed, step] : {std::pair(stop, TStepKind::Stop), {uninstall, TStepKind::Uninstall},
                                {edit, TStepKind::Edit}, {set, TStepKind::Set}, {install, TStepKind::Install},
                                {start, TStepKind::Start}})
        if (needed)
            steps.push_back(step);
    return steps;
}
