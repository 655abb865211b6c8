#include "cli/ServicesDocument.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "catalogue/EntryRules.h"
#include "deploy/ServiceConfig.h"
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

// The entry checks add and edit make, about those values, in the words
// that name the value.
TRefusal EntryRefusal(const TWantedEntry& entry, std::initializer_list<TEntryCheck> checks)
{
    for (const TEntryRefusal& refused : EntryRefusals(entry.Settings, checks))
        return TRefusal(refused.Named);
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

// The type of the value, and the value itself when it is short.
std::string ValueName(const TJson& value)
{
    const std::string text = value.dump();
    return TypeName(value) + (value.is_primitive() && text.size() <= 40 ? " (" + text + ")" : "");
}

bool SameType(const TJson& value, const TJson& expected)
{
    if (expected.is_number_integer())
        return value.is_number_integer();
    return value.type() == expected.type();
}

// How many letters change one name into the other, letter case aside.
size_t Distance(const std::string& a, const std::string& b)
{
    const std::string x = LowerCase(a), y = LowerCase(b);
    std::vector<size_t> row(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= x.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= y.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// "is not a key of ...", with the known key it is nearest to when one is
// close enough to be a slip of the keyboard.
std::string UnknownKey(const std::string& of, const std::string& key, const std::vector<std::string>& known)
{
    std::string nearest;
    size_t best = std::max<size_t>(2, key.size() / 3) + 1;
    for (const std::string& name : known)
        if (const size_t distance = Distance(key, name); distance < best) {
            best = distance;
            nearest = name;
        }
    return "is not a key of " + of + (nearest.empty() ? "" : ": did you mean \"" + nearest + "\"?");
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
        Add(path, "must be " + TypeName(expected) + ", not " + ValueName(value));
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

// The path of the setting a refusal names by its label ("Working folder:
// ..."), or the settings' own.
std::string SettingPath(const std::string& at, const std::string& refusal)
{
    for (const TSettingInfo& info : SettingInfos())
        if (refusal.rfind(std::string(info.Label) + ":", 0) == 0)
            return at + "." + info.Option;
    return at;
}

// Each setting at its own path: a key that is not a setting, a value of
// the wrong type, a value set refuses. Whether any was at fault.
bool ReadSettings(TWantedEntry& entry, const TJson& object, const std::string& at, TFaults& faults)
{
    const size_t before = faults.Count();
    std::vector<std::string> options;
    for (const TSettingInfo& info : SettingInfos())
        options.push_back(info.Option);
    for (const auto& [key, value] : object.items()) {
        const std::string path = at + "." + key;
        const auto info = std::find_if(SettingInfos().begin(), SettingInfos().end(),
                                       [&](const TSettingInfo& i) { return key == i.Option; });
        if (info == SettingInfos().end()) {
            faults.Add(path, UnknownKey("the settings (qv set's options)", key, options));
        } else if (info->Form != TSettingForm::Variables) {
            if (!faults.Typed(path, value, TJson("")))
                continue;
            if (!HeldByCodePage(value))
                faults.Add(path, UnpassableText(value.get<std::string>()));
            else if (TRefusal refused = SetSetting(entry.Service, info->Setting, AnsiOf(value)))
                faults.Add(path, refused.Reason());
        } else if (faults.Typed(path, value, TJson::object())) {
            for (const auto& [name, text] : value.items()) {
                if (!faults.Typed(path + "." + name, text, TJson("")))
                    continue;
                if (TRefusal refused = SetVariable(entry.Service, AnsiFromUtf8(name), AnsiOf(text)))
                    faults.Add(path + "." + name, refused.Reason());
            }
        }
    }
    return faults.Count() != before;
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

// Read alone (not from a document), the first fault of the settings.
TRefusal SetSettings(TWantedEntry& entry, const TJson& object)
{
    std::vector<TDocumentFault> found;
    TFaults faults(found);
    ReadSettings(entry, object, "settings", faults);
    return found.empty() ? TRefusal() : TRefusal(found[0].Path + ": " + found[0].Message);
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
     [](const TWantedEntry& e) { return EntryRefusal(e, {TEntryCheck::Description}); }, AlwaysCounts},
    {"program", TFieldBlock::Entry, true, [](const TWantedEntry& e) { return Text(e.Settings.Program); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Settings.Program, AnsiOf(v)); },
     [](const TWantedEntry& e) {
         TEntrySettings only;
         only.Program = e.Settings.Program;
         return FirstRefusal({EntryRefusal(e, {TEntryCheck::Program}), StorageRefusal(only)});
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
         return FirstRefusal({EntryRefusal(e, {TEntryCheck::LogFile, TEntryCheck::LogFolder}), StorageRefusal(only)});
     },
     // The window keeps the name while the entry logs to the event log.
     [](const TWantedEntry& e) { return e.Settings.LogToFile; }, "logToFile"},
    {"installed", TFieldBlock::State, false, [](const TWantedEntry& e) { return TJson(e.Installed); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Installed, v.get<bool>()); }, NoRefusal, AlwaysCounts},
    {"running", TFieldBlock::State, false, [](const TWantedEntry& e) { return TJson(e.Running); },
     [](TWantedEntry& e, const TJson& v) { return Assign(e.Running, v.get<bool>()); },
     [](const TWantedEntry& e) {
         return e.Running && !e.Installed ? TRefusal("Only an installed entry runs: \"installed\" must be true")
                                          : TRefusal();
     },
     AlwaysCounts, "installed"},
    {"settings", TFieldBlock::Settings, false, [](const TWantedEntry& e) { return SettingsJson(e.Service); },
     SetSettings,
     [](const TWantedEntry& e) {
         return FirstRefusal({SettingsValueRefusal(e.Service),
                              ServiceSettingsRefusal(e.Service, e.Settings.Description)});
     },
     AlwaysCounts, "description"},
    {"password", TFieldBlock::DocumentOnly, false, [](const TWantedEntry&) { return TJson::object(); }, SetPassword,
     NoRefusal, AlwaysCounts},
};

// Reads one entry, finding every fault of it. The description read, when
// it was, comes back even for an entry at fault, so that one given twice
// is found too.
std::optional<TWantedEntry> ReadEntry(const TJson& object, const std::string& path, TFaults& faults,
                                      std::optional<TEntrySettings>& read)
{
    if (!faults.Typed(path, object, TJson::object()))
        return std::nullopt;
    const size_t before = faults.Count();
    std::vector<std::string> keys;
    for (const TEntryField& field : Fields)
        keys.push_back(field.Key);
    for (const auto& [key, value] : object.items())
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            faults.Add(path + "." + key, UnknownKey("an entry", key, keys));
    TWantedEntry entry;
    std::vector<std::string> faulty;
    for (const TEntryField& field : Fields) {
        const std::string at = path + "." + field.Key;
        const size_t seen = faults.Count();
        const auto found = object.find(field.Key);
        if (found == object.end()) {
            if (field.Required)
                faults.Add(at, "is missing: every entry needs it");
        } else if (!faults.Typed(at, *found, field.Get(TWantedEntry()))) {
        } else if (!HeldByCodePage(*found)) {
            faults.Add(at, UnpassableText(found->get<std::string>()));
        } else if (field.Block == TFieldBlock::Settings) {
            ReadSettings(entry, *found, at, faults);
        } else if (const TRefusal refused = field.Set(entry, *found)) {
            faults.Add(at, refused.Reason());
        }
        if (faults.Count() != seen || (found == object.end() && field.Required))
            faulty.push_back(field.Key);
    }
    // What add, edit and set would refuse, of the values that were read.
    auto at = [&](const char* key) { return std::find(faulty.begin(), faulty.end(), key) != faulty.end(); };
    for (const TEntryField& field : Fields)
        if (!at(field.Key) && !(field.Needs && at(field.Needs)))
            if (const TRefusal refused = field.Refusal(entry)) {
                const std::string where = path + "." + field.Key;
                faults.Add(field.Block == TFieldBlock::Settings ? SettingPath(where, refused.Reason()) : where,
                           refused.Reason());
                faulty.push_back(field.Key);
            }
    if (!at("description"))
        read = entry.Settings;
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
    const std::vector<std::string> keys = {"schemaVersion", "entries", "$schema"};
    for (const auto& [key, value] : root.items())
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            faults.Add("$." + key, UnknownKey("a services document", key, keys));
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
    // Each entry's settings as read, by its place in the document.
    std::vector<std::pair<size_t, TEntrySettings>> read;
    if (entries == root.end())
        faults.Add("$.entries", "is missing: a services document lists its entries (an empty list for none)");
    else if (faults.Typed("$.entries", *entries, TJson::array()))
        for (size_t index = 0; index < entries->size(); ++index) {
            std::optional<TEntrySettings> settings;
            if (std::optional<TWantedEntry> entry = ReadEntry((*entries)[index], EntryPath(index), faults, settings))
                document.Entries.push_back(std::move(*entry));
            if (settings)
                read.emplace_back(index, std::move(*settings));
        }
    // Two entries of one description, letter case aside, would be one
    // entry; two of one log file would write over each other.
    std::map<std::string, size_t> seen;
    std::map<std::string, std::pair<size_t, const TEntrySettings*>> logging;
    for (const auto& [index, settings] : read) {
        const auto [first, added] = seen.emplace(LowerCase(settings.Description), index);
        if (!added)
            faults.Add(EntryPath(index) + ".description",
                       "is given already at " + EntryPath(first->second) + ".description");
        if (!settings.LogToFile || settings.LogFile.empty())
            continue;
        const auto [earlier, logged] = logging.emplace(LogFileIdentity(settings.LogFile), std::pair(index, &settings));
        if (logged)
            continue;
        // Built by appending: GCC 12 warns wrongly on a literal added in
        // front of a temporary string.
        std::string message = "\"";
        message += Utf8FromAnsi(settings.LogFile) + "\" is the log file of \"" +
                   Utf8FromAnsi(earlier->second.second->Description) + "\" already, at " +
                   EntryPath(earlier->second.first) + ".logFile: two entries cannot log to one file";
        faults.Add(EntryPath(index) + ".logFile", message);
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
