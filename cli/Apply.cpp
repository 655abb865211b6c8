#include "cli/Apply.h"

#include <windows.h>

#include <algorithm>
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
#include "deploy/ReportedConfig.h"
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

// The catalogue as one read found it and the services as one list of them
// found them: what an entry is now.
class TMachine {
public:
    // For many entries the services are listed once; for one, asked for.
    explicit TMachine(bool many = true)
    {
        if (many)
            services_.ListRegistered();
    }

    // The entry at that list index as it is now. The settings that live in
    // the Service Control Manager are the service's own where it is
    // registered: a value the system did not take shows as not taken.
    TPresentEntry Present(int index) const
    {
        const TCatalogueEntry entry = catalogue_.Entry(index);
        const TServiceState state = services_.State(entry.Description, StubCopyFile(entry.Description));
        const bool registered = state != TServiceState::NotRegistered && state != TServiceState::Foreign;
        TPresentEntry present;
        present.Entry.Settings = SettingsOf(entry);
        present.Entry.Installed = entry.Installed && registered;
        present.Entry.Running = registered && state != TServiceState::Stopped;
        present.Entry.Service = ReadServiceSettings(catalogue_.Document(), entry.Description);
        if (registered) {
            if (!manager_)
                manager_ = ConnectServiceManager(SC_MANAGER_CONNECT);
            if (const std::optional<TServiceConfig> reported = ReportedServiceConfig(manager_.Get(), entry.Description))
                present.Entry.Service = SettingsAsHeld(present.Entry.Service, *reported, entry.Program);
        }
        present.Deployed = entry.Installed || registered;
        present.Pending = state == TServiceState::StartPending || state == TServiceState::StopPending ||
                          state == TServiceState::ContinuePending || state == TServiceState::PausePending;
        return present;
    }
    // The entry of that description (letter case aside) as it is now.
    std::optional<TPresentEntry> Present(const std::string& description) const
    {
        const int index = catalogue_.FindDescription(description);
        return index == -1 ? std::nullopt : std::optional<TPresentEntry>(Present(index));
    }
    int Count() const { return catalogue_.Count(); }

private:
    const TCatalogueSnapshot catalogue_;
    TServiceStates services_;
    // Asks for the settings of the services there are, once one is.
    mutable TServiceHandle manager_;
};

// Every entry of the catalogue as it is now, in list order.
std::vector<TPresentEntry> PresentEntries()
{
    const TMachine machine;
    std::vector<TPresentEntry> present;
    for (int index = 1; index <= machine.Count(); ++index)
        present.push_back(machine.Present(index));
    return present;
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
    std::optional<TPresentEntry> Present;
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
        plan.push_back({entry.Settings.Description, entry, now, PlanEntry(entry, now)});
    }
    for (size_t i = 0; prune && i < present.size(); ++i)
        if (!named[i])
            plan.push_back({present[i].Entry.Settings.Description, std::nullopt, present[i],
                            PlanEntry(std::nullopt, present[i])});
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

TApplyRun Invalid(const std::vector<TDocumentFault>& faults, bool check)
{
    TJson errors = TJson::array();
    for (const TDocumentFault& fault : faults) {
        errors.push_back({{"path", fault.Path}, {"message", fault.Message}});
        WriteUtf8(stderr, fault.Path + ": " + fault.Message + "\n");
    }
    return {ExitInvalidDocument, {{"changed", false}, {"check", check}, {"errors", errors}}};
}

bool TouchesService(TStepKind step)
{
    return step == TStepKind::Stop || step == TStepKind::Uninstall || step == TStepKind::Install ||
           step == TStepKind::Start;
}

// The entry's steps change the catalogue alone: none of them touches a
// service, and it has no service whose settings a set would change.
bool CatalogueOnly(const std::optional<TPresentEntry>& present, const std::vector<TStepKind>& steps)
{
    if (present && (present->Deployed || present->Entry.Installed))
        return false;
    return std::none_of(steps.begin(), steps.end(), TouchesService);
}

// Whether anything apply compares differs between two reads of an entry.
bool Differs(const std::optional<TPresentEntry>& a, const std::optional<TPresentEntry>& b)
{
    if (a.has_value() != b.has_value())
        return true;
    if (!a)
        return false;
    if (a->Deployed != b->Deployed)
        return true;
    for (const TEntryField& field : EntryFields())
        if (field.Block != TFieldBlock::DocumentOnly && field.Get(a->Entry) != field.Get(b->Entry))
            return true;
    return false;
}

// The steps of one run and what they came to.
class TReport {
public:
    TJson Steps = TJson::array();
    bool Changed = false;
    TExitCode Code = ExitSuccess;

    bool Failed() const { return Code != ExitSuccess; }
    void Done(const std::string& description, TStepKind step, const std::string& said)
    {
        TJson record = StepJson(description, step, "done");
        record["message"] = Words(said);
        Steps.push_back(record);
        Changed = true;
    }
    void Fail(const std::string& description, TStepKind step, TExitCode code, const std::string& message)
    {
        TJson record = StepJson(description, step, "failed");
        record["exitCode"] = Code = code;
        record["message"] = Words(message);
        Steps.push_back(record);
    }
    void NotDone(const std::string& description, const std::vector<TStepKind>& steps, size_t from)
    {
        for (size_t next = from; next < steps.size(); ++next)
            Steps.push_back(StepJson(description, steps[next], "not done"));
    }
};

// Why a step failed: the command's own words, or, for a command that left
// them to the service host (which says them on standard error), what its
// exit code means.
std::string FailureWords(const TStepRun& run)
{
    if (run.Failure)
        return run.Failure.Reason();
    std::string meaning;
    switch (run.Code) {
    case ExitForeignService: meaning = "a service of that name belongs to another program"; break;
    case ExitServiceManager: meaning = "the Service Control Manager refused some of its settings"; break;
    default: meaning = "the service host's run failed"; break;
    }
    const std::string said = Words(run.Said);
    return (said.empty() ? "" : said + " ") + "It ended with exit code " + std::to_string(run.Code) + ": " +
           meaning + " (the service host said why on standard error)";
}

// Why a step could not be taken, for a fault met around it (the catalogue
// busy or not written, the Service Control Manager out of reach).
TStepRun FaultRun(const TError& error)
{
    const bool manager = dynamic_cast<const TServiceManagerError*>(&error) != nullptr;
    return {manager ? ExitServiceManager : ExitFailure, "", TRefusal(ConsoleText(error.Message()))};
}

// The description a step names: the catalogue's for an entry it has, until
// an add or an edit gives it the document's.
std::string CurrentName(const TEntryPlan& entry, const std::optional<TPresentEntry>& now)
{
    if (now)
        return now->Entry.Settings.Description;
    return entry.Wanted ? entry.Wanted->Settings.Description : entry.Description;
}

// The name the entry is found by again: the document's.
std::string WantedName(const TEntryPlan& entry)
{
    return entry.Wanted ? entry.Wanted->Settings.Description : entry.Description;
}

// Takes the steps of the entries from first on that change the catalogue
// alone, in one batch: one locked read, each entry planned again from it
// (another program may have changed it since the plan) and its steps taken
// through the commands, and one write at the end. Stops before an entry
// whose steps touch a service, as planned or as it is now. Returns the
// first entry not taken.
size_t TakeBatch(const std::vector<TEntryPlan>& plan, size_t first, TReport& report)
{
    TReport batched;
    size_t next = first;
    try {
        TCatalogueBatch batch;
        const TMachine machine;
        for (; next < plan.size() && !batched.Failed(); ++next) {
            const TEntryPlan& entry = plan[next];
            if (entry.Steps.empty())
                continue;
            if (!CatalogueOnly(entry.Present, entry.Steps))
                break;
            const std::optional<TPresentEntry> now = machine.Present(WantedName(entry));
            const std::vector<TStepKind> todo = PlanEntry(entry.Wanted, now);
            if (!CatalogueOnly(now, todo))
                break;
            std::string current = CurrentName(entry, now);
            for (size_t step = 0; step < todo.size(); ++step) {
                const TStepRun run = CarryQuietly(
                    StepCommand(todo[step]),
                    StepRequest(todo[step], current, entry.Wanted, now ? now->Entry.Service : TServiceSettings()));
                if (run.Code != ExitSuccess) {
                    batched.Fail(current, todo[step], run.Code, FailureWords(run));
                    batched.NotDone(entry.Description, todo, step + 1);
                    break;
                }
                batched.Done(current, todo[step], run.Said);
                current = WantedName(entry);
            }
        }
        batch.Commit();
    } catch (const TError& error) {
        // Busy, or not written: none of the batch's steps happened. The
        // first is reported failed for it, the others not done.
        const TStepRun fault = FaultRun(error);
        TReport undone;
        for (const TJson& record : batched.Steps) {
            TJson kept = record;
            if (record["result"] == "done" && !undone.Failed()) {
                kept["result"] = "failed";
                kept["exitCode"] = undone.Code = fault.Code;
                kept["message"] = Words(fault.Failure.Reason());
            } else if (record["result"] == "done") {
                kept = {{"description", record["description"]}, {"step", record["step"]}, {"result", "not done"}};
            }
            undone.Steps.push_back(kept);
        }
        if (!undone.Failed() && !batched.Failed()) {
            // The lock was never had: the first entry's first step fails.
            const TEntryPlan& entry = plan[first];
            undone.Fail(entry.Description, entry.Steps[0], fault.Code, fault.Failure.Reason());
            undone.NotDone(entry.Description, entry.Steps, 1);
            next = first + 1;
        }
        undone.Code = fault.Code;
        batched = std::move(undone);
    }
    for (TJson& record : batched.Steps)
        report.Steps.push_back(std::move(record));
    report.Changed = report.Changed || batched.Changed;
    if (batched.Failed())
        report.Code = batched.Code;
    return next;
}

// The entry as it is now, from a read of its own.
std::optional<TPresentEntry> PresentNow(const std::string& description)
{
    return TMachine(false).Present(description);
}

// Takes an entry's steps one at a time, each planned again from what the
// entry is just before it. Waiting for its service (to stop, to start, to
// settle) happens without the catalogue's write lock, so that other
// programs change other entries meanwhile; every other step is planned and
// taken under the lock, so that another apply, a script or the window acts
// on the entry before it or after it, never between.
void TakeStepByStep(const TEntryPlan& entry, TReport& report)
{
    const std::string name = WantedName(entry);
    std::optional<TStepKind> previous;
    std::vector<TStepKind> todo = entry.Steps;
    for (bool settled = false;;) {
        std::optional<TPresentEntry> now;
        std::optional<TIniWriteLock> lock;
        try {
            lock.emplace(CatalogueFileName);
            now = PresentNow(name);
            if (now && now->Pending && !settled) {
                // Waited for without the lock, then planned again from
                // where the service got to.
                lock.reset();
                TServiceStates().SettledState(name, StubCopyFile(name), SettleLimitMs);
                settled = true;
                continue;
            }
        } catch (const TError& error) {
            const TStepRun fault = FaultRun(error);
            report.Fail(entry.Description, todo[0], fault.Code, fault.Failure.Reason());
            report.NotDone(entry.Description, todo, 1);
            return;
        }
        todo = PlanEntry(entry.Wanted, now);
        if (todo.empty())
            return;
        const std::string current = CurrentName(entry, now);
        const TStepKind step = todo[0];
        if (previous == step) {
            // Done, and still wanted: the system keeps the entry from it.
            std::string settings;
            for (const TSettingInfo& info : SettingInfos())
                if (now && entry.Wanted && info.Form != TSettingForm::Variables &&
                    SettingText(now->Entry.Service, info.Setting) != SettingText(entry.Wanted->Service, info.Setting))
                    settings += std::string(settings.empty() ? " (it holds " : ", ") + info.Label + ": " +
                                SettingDisplay(now->Entry.Service, info.Setting, now->Entry.Settings.Program);
            report.Fail(current, step, ExitFailure,
                        "The step \"" + std::string(StepName(step)) + "\" was done, but \"" + current +
                            "\" is still not as the document says: the system did not keep what it was given" +
                            (settings.empty() ? "" : settings + ")"));
            report.NotDone(entry.Description, todo, 1);
            return;
        }
        if (step == TStepKind::Stop || step == TStepKind::Start)
            lock.reset();
        const TStepRun run =
            CarryQuietly(StepCommand(step), StepRequest(step, current, entry.Wanted, now ? now->Entry.Service
                                                                                          : TServiceSettings()));
        lock.reset();
        if (run.Code != ExitSuccess) {
            report.Fail(current, step, run.Code, FailureWords(run));
            report.NotDone(entry.Description, todo, 1);
            // What the step did before it failed is a change all the same.
            try {
                report.Changed = report.Changed || Differs(now, PresentNow(name));
            } catch (const TError&) {
                report.Changed = true;
            }
            return;
        }
        report.Done(current, step, run.Said);
        previous = step;
        settled = false;
    }
}

// The entries the document does not name, as a prune takes them away.
TJson Removals(const std::vector<TEntryPlan>& plan)
{
    TJson removes = TJson::array();
    for (const TEntryPlan& entry : plan)
        if (!entry.Wanted)
            removes.push_back(Utf8FromAnsi(entry.Description));
    return removes;
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

TApplyRun ApplyDocument(const TCliRequest& request)
{
    std::vector<TWantedEntry> wanted;
    {
        const std::optional<std::string> text = DocumentText(request.Name);
        if (!text)
            return Invalid({{"$", "The file \"" + Utf8FromAnsi(request.Name) + "\" cannot be read"}}, request.Check);
        TServicesDocument document = ReadServicesDocument(*text);
        if (!document.Faults.empty())
            return Invalid(document.Faults, request.Check);
        // An empty document with --prune would take every entry away: only
        // when that is said.
        if (request.Prune && !request.PruneAll && document.Entries.empty())
            return Invalid({{"$.entries", "names no entry: with --prune every entry of this machine would be "
                                          "stopped, uninstalled and removed; --prune-all says that is meant"}},
                           request.Check);
        wanted = std::move(document.Entries);
    }

    const std::vector<TEntryPlan> plan = Plan(wanted, request.Prune);
    TReport report;
    if (request.Check) {
        for (const TEntryPlan& entry : plan)
            for (TStepKind step : entry.Steps)
                report.Steps.push_back(StepJson(entry.Description, step, "planned"));
        report.Changed = !report.Steps.empty();
    }
    for (size_t next = 0; !request.Check && next < plan.size();) {
        if (report.Failed()) {
            report.NotDone(plan[next].Description, plan[next].Steps, 0);
            ++next;
        } else if (plan[next].Steps.empty()) {
            ++next;
        } else if (CatalogueOnly(plan[next].Present, plan[next].Steps)) {
            const size_t after = TakeBatch(plan, next, report);
            if (after == next)
                TakeStepByStep(plan[next++], report);
            else
                next = after;
        } else {
            TakeStepByStep(plan[next++], report);
        }
    }
    TApplyRun run{report.Code, {{"changed", report.Changed}, {"check", request.Check}}};
    if (request.Prune)
        run.Report["removes"] = Removals(plan);
    run.Report["steps"] = std::move(report.Steps);
    return run;
}

TExitCode Apply(const TCliRequest& request)
{
    const TApplyRun run = ApplyDocument(request);
    PrintDocument(run.Report);
    return run.Code;
}
