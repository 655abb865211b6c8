#include <gtest/gtest.h>

#include <windows.h>

#include <nlohmann/json.hpp>

#include "catalogue/StubCopy.h"
#include "deploy/ServiceEnd.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "tests/cli/QvRuns.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"

// qv metrics as the fleet recipe runs it: a Quorvane entry of its own that
// writes the textfile every few seconds and ends cleanly when its service
// stops; and qv status telling what a program's processes use.
namespace {

using nlohmann::json;

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

TProgramResult Expect(const std::string& arguments, DWORD code, const std::string& part = "")
{
    TProgramResult run = Qv(arguments);
    EXPECT_EQ(run.ExitCode, code) << arguments << "\nout: " << run.Out << "\nerr: " << run.Err;
    EXPECT_NE((run.Out + run.Err).find(part), std::string::npos) << arguments << ": " << run.Out << run.Err;
    return run;
}

// The collection time the file says, "" when there is no file.
std::string CollectedAt(const std::string& file)
{
    const std::string text = ReadTextFile(file);
    const std::string name = "\nquorvane_metrics_collected_timestamp_seconds ";
    const size_t at = text.find(name);
    return at == std::string::npos ? "" : text.substr(at + name.size(), text.find('\n', at + name.size()) - at - name.size());
}

} // namespace

TEST(MetricsCommand, RunsAsAQuorvaneEntryWritingEverySecondAndEndsWhenItsServiceStops)
{
    TSavedCatalogue catalogue;
    TTempFolder folder, logs;
    Expect("metrics --every 5", 2, "--every needs --textfile");
    Expect("metrics --textfile " + Quoted(folder.Path()) + " --every 0", 2, "--every takes a number of seconds");
    Expect("metrics --textfile " + Quoted(folder.File("gone")), 1, "does not exist");

    const std::string name = "QV Metrics Writer";
    const std::string file = folder.File("quorvane.prom");
    Expect("add " + Quoted(name) + " --program " + Quoted(WindowsPath(QV_EXE)) + " --parameters " +
               Quoted("metrics --textfile \\\"" + folder.Path() + "\\\" --every 1") + " --log-file " +
               Quoted(logs.File("writer.log")),
           0);
    Expect("install " + Quoted(name), 0);
    Expect("start " + Quoted(name), 0, "The service was successfully initiated !");
    ASSERT_TRUE(WaitFor([&] { return !CollectedAt(file).empty(); }, 10000)) << ReadTextFile(logs.File("writer.log"));
    const std::string first = CollectedAt(file);
    ASSERT_TRUE(WaitFor([&] { return CollectedAt(file) != first && !CollectedAt(file).empty(); }, 5000));
    // It tells of itself, as of every entry.
    EXPECT_NE(ReadTextFile(file).find("quorvane_program_state{service=\"" + name + "\",state=\"running\"} 1\n"),
              std::string::npos);

    // What its processes use, in words and in JSON.
    const TProgramResult status = Expect("status " + Quoted(name), 0, "CPU:          ");
    EXPECT_NE(status.Out.find("Memory:       "), std::string::npos) << status.Out;
    EXPECT_NE(status.Out.find("Processes:    "), std::string::npos) << status.Out;
    const json program = json::parse(Qv("status " + Quoted(name) + " --json").Out)["program"];
    EXPECT_GT(program["privateBytes"].get<uint64_t>(), 0u) << program;
    EXPECT_GE(program["peakProcesses"].get<unsigned>(), 1u) << program;
    EXPECT_TRUE(program["cpuUserMs"].is_number_unsigned()) << program;

    // The stop's Ctrl+C ends it at once, between two files.
    Expect("stop " + Quoted(name), 0, "The service was successfully stopped !");
    Expect("status " + Quoted(name), 0, "Last exit:    code 0");
    const std::string log = ReadTextFile(logs.File("writer.log"));
    EXPECT_EQ(log.find("err:"), std::string::npos) << log;
    EXPECT_NE(log.find(" files to \"" + folder.Path() + "\".\r\n"), std::string::npos) << log;
    RemoveTestService(name);
    DeleteFileA(StubCopyFile(name).c_str());
    DeleteFileA(ServiceEndPath(StubCopyFile(name)).c_str());
}
