#include "cli/Apply.h"

#include <windows.h>

#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ServicesDocument.h"
#include "deploy/ServiceControl.h"
#include "deploy/ServiceState.h"
#include "toolkit/Error.h"
#include "toolkit/Text.h"

namespace {

using TJson = nlohmann::ordered_json;

void PrintDocument(const TJson& document)
{
    WriteUtf8(stdout, document.dump(2) + "\n");
}

TPresentEntry PresentOf(const TCatalogueSnapshot& catalogue, const TCatalogueEntry& entry, TServiceState state)
{
    const bool registered = state != TServiceState::NotRegistered && state != TServiceState::Foreign;
    TPresentEntry present;
    present.Entry.Settings = SettingsOf(entry);
    present.Entry.Installed = entry.Installed && registered;
    present.Entry.Running = registered && state != TServiceState::Stopped;
    present.Entry.Service = ReadServiceSettings(catalogue.Document(), entry.Description);
    present.Deployed = entry.Installed || registered;
    return present;
}

// Every entry of the catalogue as it is now, in list order.
std::vector<TPresentEntry> PresentEntries()
{
    const TCatalogueSnapshot catalogue;
    TServiceStates services;
    services.ListRegistered();
    std::vector<TPresentEntry> present;
    for (int index = 1; index <= catalogue.Count(); ++index) {
        const TCatalogueEntry entry = catalogue.Entry(index);
        present.push_back(PresentOf(catalogue, entry, services.State(entry.Description, StubCopyFile(entry.Description))));
    }
    return present;
}

// The entry of that description (letter case aside) as it is now.
std::optional<TPresentEntry> PresentEntry(const std::string& description)
{
    const TCatalogueSnapshot catalogue;
    const int index = catalogue.FindDescription(description);
    if (index == -1)
        return std::nullopt;
    const TCatalogueEntry entry = catalogue.Entry(index);
    return PresentOf(catalogue, entry, TServiceStates().State(entry.Description, StubCopyFile(entry.Description)));
}

// The document's text as UTF-8: as written, after a byte-order mark, or
// from the UTF-16 that Windows PowerShell 5 writes with ">".
std::optional<std::string> DocumentText(const std::string& fileName)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream read;
    read << file.rdbuf();
    std::string text = read.str();
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        return text.substr(3);
    if (text.rfind("\xFF\xFE", 0) != 0)
        return text;
    const std::wstring wide(reinterpret_cast<const wchar_t*>(text.data() + 2), (text.size() - 2) / 2);
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

// One entry's part of the plan.
struct TEntryPlan {
    std::string Description;
    std::optional<TWantedEntry> Wanted;
    std::vector<TStepKind> Steps;
};

std::vector<TEntryPlan> Plan(const std::vector<TWantedEntry>& wanted, bool prune)
{
    std::vector<TPresentEntry> present = PresentEntries();
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < present.size(); ++i)
        byName.emplace(LowerCase(present[i].Entry.Settings.Description), i);
    std::vector<bool> named(present.size(), false);
    std::vector<TEntryPlan> plan;
    for (const TWantedEntry& entry : wanted) {
        std::optional<TPresentEntry> now;
        if (auto found = byName.find(LowerCase(entry.Settings.Description)); found != byName.end()) {
            now = present[found->second];
            named[found->second] = true;
        }
        plan.push_back({entry.Settings.Description, entry, PlanEntry(entry, now)});
    }
    for (size_t i = 0; prune && i < present.size(); ++i)
        if (!named[i])
            plan.push_back({present[i].Entry.Settings.Description, std::nullopt, PlanEntry(std::nullopt, present[i])});
    return plan;
}

// qv set's options that take the settings from what they are to what the
// document wants: every setting given, the variables it does not name unset.
std::vector<std::pair<std::string, std::string>> SettingOptions(const TServiceSettings& now,
                                                                const TServiceSettings& wanted)
{
    std::vector<std::pair<std::string, std::string>> options;
    for (const auto& [name, value] : now.Environment)
        options.emplace_back("unset-env", name);
    for (const auto& [name, value] : wanted.Environment)
        options.emplace_back("env", name + "=" + value);
    for (const TSettingInfo& info : SettingInfos())
        if (info.Form != TSettingForm::Variables)
            options.emplace_back(info.Option, SettingText(wanted, info.Setting));
    return options;
}

// The command of qv that takes the step.
TCommand StepCommand(TStepKind step)
{
    switch (step) {
    case TStepKind::Stop: return Stop;
    case TStepKind::Uninstall: return Uninstall;
    case TStepKind::Remove: return Remove;
    case TStepKind::Install: return Install;
    case TStepKind::Start: return Start;
    case TStepKind::Set: return Set;
    case TStepKind::Add: return Add;
    case TStepKind::Edit: return Edit;
    }
    return Set;
}

// The request that takes the step. A log file's name is handed on also for
// an entry that logs to the event log, as the window keeps it.
TCliRequest StepRequest(TStepKind step, const std::string& description, const std::optional<TWantedEntry>& wanted,
                        const TServiceSettings& now)
{
    TCliRequest request;
    request.Name = description;
    if (wanted)
        request.Password = wanted->Password;
    if (step == TStepKind::Set)
        request.Settings = SettingOptions(now, wanted->Service);
    if (step != TStepKind::Add && step != TStepKind::Edit)
        return request;
    const TEntrySettings& settings = wanted->Settings;
    request.Description = settings.Description;
    request.Program = settings.Program;
    request.Parameters = settings.Parameters;
    if (settings.LogToFile || !settings.LogFile.empty())
        request.LogFile = settings.LogFile;
    request.EventLog = !settings.LogToFile;
    return request;
}

TJson StepJson(const std::string& description, TStepKind step, const char* result)
{
    return {{"description", Utf8FromAnsi(description)}, {"step", StepName(step)}, {"result", result}};
}

std::string Words(std::string said)
{
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
        said.pop_back();
    return Utf8FromAnsi(said);
}

TExitCode Invalid(const std::vector<TDocumentFault>& faults, bool check)
{
    TJson errors = TJson::array();
    for (const TDocumentFault& fault : faults) {
        errors.push_back({{"path", fault.Path}, {"message", fault.Message}});
        WriteUtf8(stderr, fault.Path + ": " + fault.Message + "\n");
    }
    PrintDocument({{"changed", false}, {"check", check}, {"errors", errors}});
    return ExitInvalidDocument;
}

} // namespace

TExitCode Export(const TCliRequest&)
{
    std::vector<TWantedEntry> entries;
    for (const TPresentEntry& present : PresentEntries())
        entries.push_back(present.Entry);
    PrintDocument(ServicesJson(entries));
    return ExitSuccess;
}

TExitCode Apply(const TCliRequest& request)
{
    const std::optional<std::string> text = DocumentText(request.Name);
    if (!text)
        return Invalid({{"$", "The file \"" + Utf8FromAnsi(request.Name) + "\" cannot be read"}}, request.Check);
    const TServicesDocument document = ReadServicesDocument(*text);
    if (!document.Faults.empty())
        return Invalid(document.Faults, request.Check);

    const std::vector<TEntryPlan> plan = Plan(document.Entries, request.Prune);
    TJson steps = TJson::array();
    bool changed = false;
    TExitCode code = ExitSuccess;
    for (const TEntryPlan& entry : plan) {
        std::vector<TStepKind> todo = entry.Steps;
        if (request.Check || code != ExitSuccess) {
            for (TStepKind step : todo)
                steps.push_back(StepJson(entry.Description, step, request.Check ? "planned" : "not done"));
            changed = changed || (request.Check && !todo.empty());
            continue;
        }
        if (todo.empty())
            continue;
        // The entry's steps are planned again from what it is now and taken
        // under the catalogue's write lock: another apply, a script or the
        // window acts on the entry before them or after them, never between.
        const std::string& name = entry.Wanted ? entry.Wanted->Settings.Description : entry.Description;
        std::optional<TIniWriteLock> lock;
        std::optional<TPresentEntry> now;
        auto failed = [&](TExitCode failure, const std::string& message) {
            TJson record = StepJson(entry.Description, todo[0], "failed");
            record["exitCode"] = code = failure;
            record["message"] = Words(message);
            steps.push_back(record);
        };
        try {
            lock.emplace(CatalogueFileName);
            now = PresentEntry(name);
        } catch (const TServiceManagerError& error) {
            failed(ExitServiceManager, error.Message());
        } catch (const TError& error) {
            // The catalogue busy for too long, or not readable.
            failed(ExitFailure, error.Message());
        }
        size_t next = code == ExitSuccess ? 0 : 1;
        if (code == ExitSuccess)
            todo = PlanEntry(entry.Wanted, now);
        // The description the catalogue has for it, until an add or an edit
        // gives it the document's.
        std::string current = now ? now->Entry.Settings.Description : name;
        for (; next < todo.size() && code == ExitSuccess; ++next) {
            const TStepKind step = todo[next];
            const TStepRun run = CarryQuietly(
                StepCommand(step), StepRequest(step, current, entry.Wanted, now ? now->Entry.Service : TServiceSettings()));
            TJson record = StepJson(current, step, run.Code == ExitSuccess ? "done" : "failed");
            if (run.Code == ExitSuccess) {
                record["message"] = Words(run.Said);
                changed = true;
                if (step == TStepKind::Add || step == TStepKind::Edit)
                    current = name;
            } else {
                record["exitCode"] = run.Code;
                record["message"] = Words(run.Failure.Reason());
                code = run.Code;
            }
            steps.push_back(record);
        }
        for (; next < todo.size(); ++next)
            steps.push_back(StepJson(entry.Description, todo[next], "not done"));
    }
    PrintDocument({{"changed", changed}, {"check", request.Check}, {"steps", steps}});
    return code;
}
