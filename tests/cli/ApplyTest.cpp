#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <functional>
#include <set>
#include <thread>

#include "catalogue/Catalogue.h"
#include "catalogue/StubCopy.h"
#include "cli/Apply.h"
#include "cli/CommandSupport.h"
#include "cli/Commands.h"
#include "cli/ServicesDocument.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "platform/Seam.h"
#include "platform/Services.h"
#include "tests/cli/QvRuns.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"
#include "toolkit/Paths.h"

// qv export and qv apply, run as a configuration tool runs them: the
// document's faults, the plan, the steps taken and what they left behind.
namespace {

using nlohmann::json;

const std::string A = "QV Apply A", B = "QV Apply B", C = "QV Apply C", D = "QV Apply D";

// The steps of an apply's report, as "description:step:result".
std::vector<std::string> Steps(const json& report)
{
    std::vector<std::string> steps;
    for (const json& step : report["steps"])
        steps.push_back(step["description"].get<std::string>() + ":" + step["step"].get<std::string>() + ":" +
                        step["result"].get<std::string>());
    return steps;
}

class ApplyTest : public ::testing::Test {
protected:
    TSavedCatalogue catalogue;
    TTempFolder folder;
    const std::string program = WindowsPath(TEST_PROGRAM);
    const std::string document = folder.File("services.json");

    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        for (const std::string& name : {A, B, C, D})
            RemoveTestServiceAndCopy(name);
    }
    // A document entry of the test program.
    json Entry(const std::string& description, const std::string& parameters, bool installed, bool running) const
    {
        return {{"description", description}, {"program", program}, {"parameters", parameters},
                {"installed", installed}, {"running", running}};
    }
    void Qv0(const std::string& arguments)
    {
        TProgramResult run = Qv(arguments);
        ASSERT_EQ(run.ExitCode, 0u) << arguments << ": " << run.Err;
    }
    // Runs apply on the document and reads its report.
    json Apply(const json& entries, const std::string& options, DWORD code)
    {
        WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", entries}}.dump());
        return Applied(options, code);
    }
    json Applied(const std::string& options, DWORD code)
    {
        TProgramResult run = Qv("apply \"" + document + "\" " + options);
        EXPECT_EQ(run.ExitCode, code) << run.Out << run.Err;
        return json::parse(run.Out);
    }
    json Shown(const std::string& name) { return json::parse(Qv("show --json \"" + name + "\"").Out); }
};

} // namespace

// Every fault of a document in one run, each at its own key, in words that
// name the value and the reason: several in one entry, and across entries.
TEST_F(ApplyTest, AFaultyDocumentIsRefusedWholeWithEachFaultAtItsPath)
{
    Qv0("add \"" + A + "\" --program \"" + program + "\"");
    const std::string log = folder.File("shared.log");
    json entries = json::array();
    entries.push_back({{"description", B}, {"program", program}, {"installed", "yes"}});
    entries.push_back({{"description", "CON"}, {"program", program}});
    entries.push_back({{"description", C}, {"program", "C:\\nowhere.exe"}, {"logToFile", true}});
    entries.push_back({{"description", A}, {"program", program}, {"port", 25}});
    entries.push_back(Entry(D, "", false, false));
    entries.push_back(Entry("qv apply d", "", false, false));
    entries.push_back({{"program", program}});
    entries.push_back(Entry("QV Apply E", "", false, true));
    entries.push_back({{"description", "QV Apply F"}, {"program", program}, {"settings", {{"colour", "red"}}},
                       {"logToFile", true}, {"logFile", log}});
    entries.push_back({{"description", "QV Apply G"}, {"program", program},
                       {"password", {{"env", "QV_APPLY_UNSET_VARIABLE"}}}, {"logToFile", true}, {"logFile", log}});
    // Eight mistakes in one entry.
    entries.push_back({{"description", "QV Apply H"}, {"program", "C:\\Tools\\web.exe"}, {"logToFile", true},
                       {"logFile", "C:\\nowhere\\web.log"}, {"installed", "yes"}, {"runing", true},
                       {"Parameters", "-v"},
                       {"settings", {{"stop-timout", "30"}, {"restart", "sometimes"}, {"env", {{"A", 1}}}}}});
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entrys", 1}, {"entries", entries}}.dump());
    const json report = Applied("", 11);
    std::map<std::string, std::string> faults;
    for (const json& error : report["errors"])
        faults[error["path"]] = error["message"];
    const std::map<std::string, std::string> expected = {
        {"$.entrys", "is not a key of a services document: did you mean \"entries\"?"},
        {"$.entries[0].installed", "must be true or false, not text (\"yes\")"},
        {"$.entries[1].description", "is a device name of Windows"},
        {"$.entries[2].program", "the program \"C:\\nowhere.exe\" does not exist"},
        {"$.entries[2].logFile", "no log file is given, and the entry logs to a file"},
        {"$.entries[3].port", "is not a key of an entry"},
        {"$.entries[5].description", "is given already at $.entries[4].description"},
        {"$.entries[6].description", "is missing: every entry needs it"},
        {"$.entries[7].running", "Only an installed entry runs: \"installed\" must be true"},
        {"$.entries[8].settings.colour", "is not a key of the settings"},
        {"$.entries[9].password", "the environment variable QV_APPLY_UNSET_VARIABLE is not set"},
        {"$.entries[9].logFile", "is the log file of \"QV Apply F\" already, at $.entries[8].logFile"},
        {"$.entries[10].program", "the program \"C:\\Tools\\web.exe\" does not exist"},
        {"$.entries[10].logFile", "the folder \"C:\\nowhere\" of the log file \"C:\\nowhere\\web.log\" does not exist"},
        {"$.entries[10].installed", "must be true or false, not text (\"yes\")"},
        {"$.entries[10].runing", "is not a key of an entry: did you mean \"running\"?"},
        {"$.entries[10].Parameters", "is not a key of an entry: did you mean \"parameters\"?"},
        {"$.entries[10].settings.stop-timout", "did you mean \"stop-timeout\"?"},
        {"$.entries[10].settings.restart", "sometimes"},
        {"$.entries[10].settings.env.A", "must be text, not a number (1)"}};
    for (const auto& [path, message] : expected)
        EXPECT_NE(faults[path].find(message), std::string::npos) << path << ": " << faults[path];
    EXPECT_EQ(faults.size(), expected.size()) << report.dump(1);
    EXPECT_EQ(report["changed"], false);
    // Nothing was done, not even for the entries without a fault.
    EXPECT_EQ(TCatalogue(catalogue.Path()).Count(), 1);
    EXPECT_EQ(Qv("show \"" + B + "\"").ExitCode, 3u);

    WriteTextFile(document, "{\"schemaVersion\": 1,\n \"entries\": [}");
    const json syntax = Applied("--check", 11);
    EXPECT_EQ(syntax["errors"][0]["path"], "$");
    EXPECT_NE(syntax["errors"][0]["message"].get<std::string>().find("line 2, column 14"), std::string::npos)
        << syntax.dump(1);
    WriteTextFile(document, "{\"schemaVersion\": 2, \"entries\": []}");
    EXPECT_EQ(Applied("", 11)["errors"][0]["path"], "$.schemaVersion");
}

// Each kind of difference, planned the way a careful administrator would
// take the steps.
TEST(ApplyPlan, EachDifferenceGetsItsStepsInASafeOrder)
{
    auto entry = [](const std::string& parameters, bool installed, bool running) {
        TWantedEntry made;
        made.Settings = {"Relay", "C:\\relay.exe", parameters, "C:\\relay.log", false};
        made.Installed = installed;
        made.Running = running;
        return made;
    };
    auto present = [&](const std::string& parameters, bool installed, bool running, bool deployed) {
        return TPresentEntry{entry(parameters, installed, running), deployed};
    };
    auto plan = [](const std::optional<TWantedEntry>& wanted, const std::optional<TPresentEntry>& now) {
        std::string steps;
        for (TStepKind step : PlanEntry(wanted, now))
            steps += std::string(steps.empty() ? "" : " ") + StepName(step);
        return steps;
    };
    using S = std::string;
    EXPECT_EQ(plan(entry("", true, true), present("", true, true, true)), S());
    EXPECT_EQ(plan(entry("", true, true), std::nullopt), "add install start");
    EXPECT_EQ(plan(entry("", false, false), std::nullopt), "add");
    EXPECT_EQ(plan(entry("-v", false, false), present("", false, false, false)), "edit");
    EXPECT_EQ(plan(entry("-v", true, false), present("", true, false, true)), "uninstall edit install");
    EXPECT_EQ(plan(entry("-v", true, true), present("", true, true, true)), "stop uninstall edit install start");
    EXPECT_EQ(plan(entry("", true, false), present("", true, true, true)), "stop");
    EXPECT_EQ(plan(entry("", true, true), present("", true, false, true)), "start");
    EXPECT_EQ(plan(entry("", false, false), present("", true, true, true)), "stop uninstall");
    EXPECT_EQ(plan(entry("", true, true), present("", false, false, false)), "install start");
    // Recorded installed with its service gone: uninstalled and installed afresh.
    EXPECT_EQ(plan(entry("", true, false), present("", false, false, true)), "uninstall install");
    EXPECT_EQ(plan(std::nullopt, present("", true, true, true)), "stop uninstall remove");
    EXPECT_EQ(plan(std::nullopt, present("", false, false, false)), "remove");
    // How it runs is set also while it runs.
    TWantedEntry slower = entry("", true, true);
    slower.Service.StopTimeoutSeconds = 30;
    EXPECT_EQ(plan(slower, present("", true, true, true)), "set");
    EXPECT_EQ(plan(slower, std::nullopt), "add set install start");
    // A log file's name while logging to the event log asks for nothing.
    TWantedEntry renamedLog = entry("", false, false);
    renamedLog.Settings.LogFile = "C:\\other.log";
    EXPECT_EQ(plan(renamedLog, present("", false, false, false)), S());
    renamedLog.Settings.LogToFile = true;
    EXPECT_EQ(plan(renamedLog, present("", false, false, false)), "edit");
}

TEST_F(ApplyTest, ThePlanIsCarriedOutInItsOrderAndASecondRunChangesNothing)
{
    for (const std::string& name : {A, B, C})
        Qv0("add \"" + name + "\" --program \"" + program + "\" --parameters wait");
    for (const std::string& name : {A, B}) {
        Qv0("install \"" + name + "\"");
        Qv0("start --settle 0 \"" + name + "\"");
    }
    // How it runs is the document's too: set back to the defaults it gives.
    Qv0("set \"" + A + "\" --start-type manual --env GONE=1");
    const json entries = {Entry(A, "wait 2", true, true), Entry(B, "wait", false, false), Entry(D, "", true, false)};
    const std::vector<std::string> planned = {
        A + ":stop:planned", A + ":uninstall:planned", A + ":edit:planned", A + ":set:planned", A + ":install:planned",
        A + ":start:planned", B + ":stop:planned", B + ":uninstall:planned", D + ":add:planned",
        D + ":install:planned"};
    json report = Apply(entries, "--check", 0);
    EXPECT_EQ(Steps(report), planned);
    EXPECT_EQ(report["changed"], true);
    std::vector<std::string> pruned = planned;
    pruned.push_back(C + ":remove:planned");
    EXPECT_EQ(Steps(Applied("--check --prune", 0)), pruned);
    // The check changed nothing.
    EXPECT_EQ(Shown(A)["parameters"], "wait");
    EXPECT_EQ(ServiceState(A), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Qv("show \"" + D + "\"").ExitCode, 3u);

    report = Applied("", 0);
    std::vector<std::string> done;
    for (std::string step : planned)
        done.push_back(step.replace(step.rfind(':'), std::string::npos, ":done"));
    EXPECT_EQ(Steps(report), done) << report.dump(1);
    EXPECT_EQ(report["changed"], true);
    EXPECT_EQ(Shown(A)["parameters"], "wait 2");
    EXPECT_EQ(Shown(A)["settings"]["start-type"]["default"], true);
    EXPECT_EQ(Shown(A)["settings"]["env"]["default"], true);
    EXPECT_EQ(ServiceState(A), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(ServiceState(B), 0u);
    EXPECT_EQ(ServiceState(D), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(Shown(D)["installed"], true);

    report = Applied("", 0);
    EXPECT_EQ(report["changed"], false);
    EXPECT_TRUE(report["steps"].empty()) << report.dump(1);
    EXPECT_EQ(Steps(Applied("--prune", 0)), std::vector<std::string>{C + ":remove:done"});
    EXPECT_EQ(Qv("show \"" + C + "\"").ExitCode, 3u);
    EXPECT_EQ(Shown(A)["installed"], true);
}

TEST_F(ApplyTest, AFailedStepEndsTheRunAndTheReportSaysWhatWasNotDone)
{
    // A service of that name runs another program: installing is refused.
    ASSERT_TRUE(CreateTestService(B, "\"" + program + "\" wait"));
    const json report = Apply({Entry(B, "", true, true), Entry(D, "", false, false)}, "", 5);
    EXPECT_EQ(Steps(report), (std::vector<std::string>{B + ":add:done", B + ":install:failed", B + ":start:not done",
                                                       D + ":add:not done"}));
    EXPECT_EQ(report["steps"][1]["exitCode"], 5);
    EXPECT_NE(report["steps"][1]["message"].get<std::string>().find("belongs to another program"), std::string::npos)
        << report.dump(1);
    EXPECT_EQ(report["changed"], true);
    EXPECT_EQ(Qv("show \"" + D + "\"").ExitCode, 3u);
    EXPECT_EQ(ServiceBinary(B), "\"" + program + "\" wait");
}

// Two applies of one document, both held at the catalogue's lock once they
// planned: one takes the entry's steps, the other plans again and finds
// nothing left to do.
TEST_F(ApplyTest, TwoAppliesAtOnceTakeAnEntrysStepsOnce)
{
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {Entry(D, "", true, false)}}}.dump());
    std::vector<TProgramResult> runs(2);
    std::vector<std::thread> threads;
    {
        const TIniWriteLock held(CatalogueFileName);
        for (size_t run = 0; run < runs.size(); ++run)
            threads.emplace_back([this, &runs, run] { runs[run] = Qv("apply \"" + document + "\""); });
        EXPECT_TRUE(WaitFor([&] { return QvsWaiting(runs.size()); }, 20000, 300));
    }
    for (std::thread& thread : threads)
        thread.join();
    std::vector<std::string> steps;
    for (const TProgramResult& run : runs) {
        ASSERT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
        for (const std::string& step : Steps(json::parse(run.Out)))
            steps.push_back(step);
    }
    std::sort(steps.begin(), steps.end());
    EXPECT_EQ(steps, (std::vector<std::string>{D + ":add:done", D + ":install:done"}));
    EXPECT_EQ(ServiceState(D), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ApplyTest, AnExportAppliedToACleanCatalogueGivesTheSameEntriesAndServices)
{
    const std::string log = folder.File("a.log");
    const std::string odd = "QV Apply Caf\u00E9";
    // One argument with a blank, in quotes.
    Qv0("add \"" + A + "\" --program \"" + program + "\" --parameters \"\\\"out:C:\\Web App\\x.js\\\" wait\" --log-file \"" +
        log + "\"");
    Qv0("install \"" + A + "\"");
    Qv0("start --settle 0 \"" + A + "\"");
    Qv0("set \"" + A + "\" --stop-timeout 30 --env \"OPTS=-a b\"");
    const std::string oddLog = folder.File("b.log");
    Qv0("add \"" + odd + "\" --program \"" + program + "\" --log-file \"" + oddLog + "\"");
    Qv0("edit \"" + odd + "\" --event-log");

    TProgramResult exported = Qv("export");
    ASSERT_EQ(exported.ExitCode, 0u) << exported.Err;
    const json services = json::parse(exported.Out);
    ASSERT_EQ(services["entries"].size(), 2u);
    EXPECT_EQ(services["entries"][1]["description"], odd);
    EXPECT_EQ(services["entries"][1]["logToFile"], false);
    EXPECT_EQ(services["entries"][1]["logFile"], oddLog);
    EXPECT_EQ(services["entries"][0]["running"], true);
    EXPECT_EQ(services["entries"][0]["settings"], (json{{"env", {{"OPTS", "-a b"}}}, {"stop-timeout", "30"}}));
    // The schema beside qv.exe knows every key an export writes.
    const json schema = json::parse(ReadTextFile(FolderOf(WindowsPath(QV_EXE)) + "\\qv-services.schema.json"));
    std::set<std::string> known;
    for (const auto& [key, value] : schema["$defs"]["entry"]["properties"].items())
        known.insert(key);
    // A password is never written.
    EXPECT_EQ(known.erase("password"), 1u);
    std::set<std::string> written;
    for (const auto& [key, value] : services["entries"][0].items())
        written.insert(key);
    EXPECT_EQ(written, known);

    WriteTextFile(document, exported.Out);
    EXPECT_TRUE(Applied("--check", 0)["steps"].empty());

    // An empty document prunes nothing unless removing everything is said;
    // the plan names what goes.
    const json refused = Apply(json::array(), "--prune", 11);
    EXPECT_EQ(refused["errors"][0]["path"], "$.entries") << refused.dump(1);
    EXPECT_EQ(Applied("--check --prune", 11)["changed"], false);
    EXPECT_EQ(TCatalogue(catalogue.Path()).Count(), 2);
    EXPECT_EQ(Applied("--check --prune-all", 0)["removes"], (json{A, odd}));
    // Taken away by an empty document, then brought back by the export.
    const json emptied = Applied("--prune-all", 0);
    EXPECT_EQ(emptied["removes"], (json{A, odd}));
    EXPECT_EQ(Steps(emptied), (std::vector<std::string>{A + ":stop:done", A + ":uninstall:done", A + ":remove:done",
                                                         odd + ":remove:done"}));
    EXPECT_EQ(TCatalogue(catalogue.Path()).Count(), 0);
    EXPECT_EQ(ServiceState(A), 0u);
    WriteTextFile(document, exported.Out);
    EXPECT_EQ(Applied("", 0)["changed"], true);
    EXPECT_EQ(json::parse(Qv("export").Out), services);
    EXPECT_EQ(ServiceState(A), static_cast<DWORD>(SERVICE_RUNNING));
}

// A named account's password comes from the file the document names, reaches
// the service and is kept and shown nowhere.
TEST_F(ApplyTest, APasswordComesFromItsSourceAndIsShownNowhere)
{
    char user[256] = {};
    DWORD size = sizeof user;
    ASSERT_TRUE(GetUserNameA(user, &size));
    const std::string secret = folder.File("secret.txt");
    WriteTextFile(secret, "s3cret-pw\r\n");
    json entry = Entry(D, "", true, false);
    entry["settings"] = {{"account", user}};
    entry["password"] = {{"file", secret}};
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {entry}}}.dump());
    // The file's line end, CR LF as a Windows editor writes it, is no part of it.
    const TServicesDocument read = ReadServicesDocument(ReadTextFile(document));
    ASSERT_EQ(read.Entries.size(), 1u);
    ASSERT_TRUE(read.Entries[0].Password);
    EXPECT_EQ(std::string(read.Entries[0].Password->Chars()), "s3cret-pw");
    const TProgramResult check = Qv("apply \"" + document + "\" --check");
    const TProgramResult run = Qv("apply \"" + document + "\"");
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_EQ(Steps(json::parse(run.Out)),
              (std::vector<std::string>{D + ":add:done", D + ":set:done", D + ":install:done"}));
    EXPECT_EQ(ServiceAccount(D), std::string(".\\") + user);
    for (const std::string& seen : {ReadTextFile(catalogue.Path()), check.Out + check.Err, run.Out + run.Err,
                                    Qv("export").Out})
        EXPECT_EQ(seen.find("-pw"), std::string::npos) << seen;
}

namespace {

// A document of entries "QV Bulk <n>" of the test program, none installed,
// each with the parameters the function gives.
json Bulk(const std::string& program, int count, const std::function<std::string(int)>& parameters)
{
    json entries = json::array();
    for (int n = 1; n <= count; ++n)
        entries.push_back({{"description", "QV Bulk " + std::to_string(n)}, {"program", program},
                           {"parameters", parameters(n)}});
    return entries;
}

} // namespace

// A thousand entries: added in one run; a second run and a check find
// nothing to do; a change another program makes in the middle of a run is
// kept.
TEST_F(ApplyTest, AThousandEntriesGoInOneRunAndAChangeMadeMeanwhileIsKept)
{
    constexpr int Count = 1000;
    const json added = Apply(Bulk(program, Count, [](int n) { return "-n " + std::to_string(n); }), "", 0);
    ASSERT_EQ(added["steps"].size(), static_cast<size_t>(Count));
    EXPECT_EQ(added["steps"][Count - 1]["result"], "done");
    EXPECT_EQ(added["changed"], true);
    TCatalogueSnapshot read(catalogue.Path());
    ASSERT_EQ(read.Count(), Count);
    std::set<int> ids;
    for (int n = 1; n <= Count; ++n)
        ids.insert(read.Entry(n).ServiceID);
    EXPECT_EQ(ids.size(), static_cast<size_t>(Count));
    EXPECT_EQ(read.Entry(Count).Parameters, "-n 1000");

    for (const char* options : {"", "--check"}) {
        const json again = Applied(options, 0);
        EXPECT_EQ(again["changed"], false) << options;
        EXPECT_TRUE(again["steps"].empty()) << options;
    }

    // Every entry but the 500th is to change; another program changes that
    // one while apply waits for the catalogue's lock, after its plan.
    WriteTextFile(document, json{{"schemaVersion", 1},
                                 {"entries", Bulk(program, Count, [](int n) {
                                      return (n == 500 ? "-n " : "-m ") + std::to_string(n);
                                  })}}.dump());
    TProgramResult run;
    std::thread applying;
    {
        const TIniWriteLock held(CatalogueFileName);
        applying = std::thread([&] { run = Qv("apply \"" + document + "\""); });
        EXPECT_TRUE(WaitFor([] { return QvsWaiting(1); }, 20000, 300));
        TCatalogue other(catalogue.Path());
        const TCatalogueEntry entry = TCatalogueSnapshot(catalogue.Path()).Entry(500);
        TEntrySettings changed = SettingsOf(entry);
        changed.Parameters = "by hand";
        EXPECT_EQ(other.ChangeEntry({entry.Description, entry.ServiceID}, SettingsOf(entry), changed),
                  TEntryOutcome::Done);
    }
    applying.join();
    ASSERT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    const json report = json::parse(run.Out);
    EXPECT_EQ(report["steps"].size(), static_cast<size_t>(Count - 1));
    read = TCatalogueSnapshot(catalogue.Path());
    EXPECT_EQ(read.Entry(500).Parameters, "by hand");
    EXPECT_EQ(read.Entry(499).Parameters, "-m 499");
    EXPECT_EQ(read.Entry(Count).Parameters, "-m 1000");
}

namespace {

// A system that refuses delayed starts, as an older Windows or Wine does,
// and so reports none; every other call reaches the real one.
BOOL WINAPI RefusingDelay(SC_HANDLE service, DWORD level, LPVOID info)
{
    if (level == SERVICE_CONFIG_DELAYED_AUTO_START_INFO)
        return SetLastError(ERROR_INVALID_LEVEL), FALSE;
    return ::ChangeServiceConfig2A(service, level, info);
}

BOOL WINAPI ReportingNoDelay(SC_HANDLE service, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    if (level != SERVICE_CONFIG_DELAYED_AUTO_START_INFO)
        return ::QueryServiceConfig2A(service, level, buffer, size, needed);
    reinterpret_cast<SERVICE_DELAYED_AUTO_START_INFO*>(buffer)->fDelayedAutostart = FALSE;
    return TRUE;
}

// A system that takes dependencies and keeps none, as Wine does.
BOOL WINAPI KeepingNoDependencies(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size, LPDWORD needed)
{
    static char none[2] = {};
    if (!::QueryServiceConfigA(service, config, size, needed))
        return FALSE;
    config->lpDependencies = none;
    return TRUE;
}

TCliRequest Request(const std::string& name, bool check = false)
{
    TCliRequest request;
    request.Name = name;
    request.Check = check;
    return request;
}

std::vector<std::string> Steps(const nlohmann::ordered_json& report)
{
    return Steps(json::parse(report.dump()));
}

} // namespace

// A setting the system refuses is refused again on every run until it is
// taken: set, show, apply --check and apply compare with what the service
// holds, not only with what the catalogue asked for.
TEST_F(ApplyTest, ASettingTheSystemRefusedIsRefusedOnEveryRunUntilTaken)
{
    Qv0("add \"" + D + "\" --program \"" + program + "\"");
    Qv0("install \"" + D + "\"");
    const TSeamOverride<decltype(TServiceApi::ChangeServiceConfig2A)> change{ServiceApi().ChangeServiceConfig2A,
                                                                              RefusingDelay};
    const TSeamOverride<decltype(TServiceApi::QueryServiceConfig2A)> query{ServiceApi().QueryServiceConfig2A,
                                                                            ReportingNoDelay};
    TCliRequest delayed = Request(D);
    delayed.Settings = {{"start-type", "delayed"}};
    for (int run = 1; run <= 2; ++run) {
        const TStepRun set = CarryQuietly(Set, delayed);
        EXPECT_EQ(set.Code, ExitServiceManager) << run << ": " << set.Said;
        EXPECT_NE(set.Failure.Reason().find("Start type:"), std::string::npos) << run << ": " << set.Failure.Reason();
    }
    const TStepRun shown = CarryQuietly(Show, Request(D));
    EXPECT_NE(shown.Said.find("Start type: the service holds automatic, not what is asked"), std::string::npos)
        << shown.Said;

    json entry = Entry(D, "", true, false);
    entry["settings"] = {{"start-type", "delayed"}};
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {entry}}}.dump());
    TApplyRun check = ApplyDocument(Request(document, true));
    EXPECT_EQ(Steps(check.Report), std::vector<std::string>{D + ":set:planned"});
    EXPECT_EQ(check.Report["changed"], true);
    // A step that failed after changing the catalogue changed the machine.
    entry["settings"]["stop-timeout"] = "30";
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {entry}}}.dump());
    const TApplyRun applied = ApplyDocument(Request(document));
    EXPECT_EQ(applied.Code, ExitServiceManager);
    EXPECT_EQ(Steps(applied.Report), std::vector<std::string>{D + ":set:failed"});
    EXPECT_NE(applied.Report["steps"][0]["message"].get<std::string>().find("Start type:"), std::string::npos);
    EXPECT_EQ(applied.Report["changed"], true);
    EXPECT_EQ(Shown(D)["settings"]["stop-timeout"]["value"], "30");
    check = ApplyDocument(Request(document, true));
    EXPECT_EQ(Steps(check.Report), std::vector<std::string>{D + ":set:planned"});

    // Taken but not kept: the set is done, and the entry still differs.
    const TSeamOverride<decltype(TServiceApi::QueryServiceConfigA)> forget{ServiceApi().QueryServiceConfigA,
                                                                            KeepingNoDependencies};
    entry["settings"] = {{"stop-timeout", "30"}, {"depends-on", "RpcSs"}};
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {entry}}}.dump());
    const TApplyRun unkept = ApplyDocument(Request(document));
    EXPECT_EQ(unkept.Code, ExitFailure);
    EXPECT_EQ(Steps(unkept.Report), (std::vector<std::string>{D + ":set:done", D + ":set:failed"}));
    EXPECT_NE(unkept.Report["steps"][1]["message"].get<std::string>().find("(it holds Depends on: none)"), std::string::npos)
        << unkept.Report.dump(1);
}

// Apply waits for a service to stop without the catalogue's lock: a set of
// another entry meanwhile goes through at once.
TEST_F(ApplyTest, ASetOfAnotherEntryGoesThroughWhileApplyWaitsForAStop)
{
    Qv0("add \"" + A + "\" --program \"" + program + "\" --parameters \"nobreak wait\" --stop-timeout 12");
    Qv0("install \"" + A + "\"");
    Qv0("start --settle 0 \"" + A + "\"");
    Qv0("add \"" + B + "\" --program \"" + program + "\"");
    json stopped = Entry(A, "nobreak wait", true, false);
    stopped["settings"] = {{"stop-timeout", "12"}};
    WriteTextFile(document, json{{"schemaVersion", 1}, {"entries", {stopped}}}.dump());
    TProgramResult run;
    std::thread applying([&] { run = Qv("apply \"" + document + "\""); });
    EXPECT_TRUE(WaitFor([&] { return ServiceState(A) == SERVICE_STOP_PENDING; }, 20000));
    const TProgramResult set = Qv("set \"" + B + "\" --stop-timeout 7");
    EXPECT_EQ(ServiceState(A), static_cast<DWORD>(SERVICE_STOP_PENDING)) << "the set came after the stop";
    applying.join();
    EXPECT_EQ(set.ExitCode, 0u) << set.Err;
    EXPECT_EQ(run.ExitCode, 0u) << run.Out << run.Err;
    EXPECT_EQ(Steps(json::parse(run.Out)), std::vector<std::string>{A + ":stop:done"});
    EXPECT_EQ(Shown(B)["settings"]["stop-timeout"]["value"], "7");
}

// Two entries never log to one file: qv add and edit refuse it naming the
// other entry, and so does an apply whose step would make it so.
TEST_F(ApplyTest, TwoEntriesNamingOneLogFileAreRefusedWithTheOtherNamed)
{
    const std::string log = folder.File("one.log");
    Qv0("add \"" + A + "\" --program \"" + program + "\" --log-file \"" + log + "\"");
    const std::string said = "is the log file of the service \"" + A + "\" already";
    TProgramResult added = Qv("add \"" + B + "\" --program \"" + program + "\" --log-file \"" + log + "\"");
    EXPECT_EQ(added.ExitCode, 4u);
    EXPECT_NE(added.Err.find(said), std::string::npos) << added.Err;
    Qv0("add \"" + B + "\" --program \"" + program + "\" --log-file \"" + folder.File("two.log") + "\"");
    // Another spelling of the same file.
    TProgramResult edited = Qv("edit \"" + B + "\" --log-file \"" + folder.File(".\\ONE.log") + "\"");
    EXPECT_EQ(edited.ExitCode, 4u);
    EXPECT_NE(edited.Err.find(said), std::string::npos) << edited.Err;
    // The entry's own file is no other entry's.
    Qv0("edit \"" + A + "\" --parameters -v");

    json entry = Entry(C, "", false, false);
    entry["logToFile"] = true;
    entry["logFile"] = log;
    const json report = Apply(json::array({entry}), "", 4);
    EXPECT_EQ(Steps(report), std::vector<std::string>{C + ":add:failed"});
    EXPECT_NE(report["steps"][0]["message"].get<std::string>().find(said), std::string::npos) << report.dump(1);
    EXPECT_EQ(Qv("show \"" + C + "\"").ExitCode, 3u);
}
