#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "catalogue/Catalogue.h"
#include "catalogue/IniFile.h"
#include "catalogue/StubCopy.h"
#include "fixtures/SavedCatalogue.h"
#include "fixtures/Watching.h"
#include "tests/cli/QvRuns.h"
#include "tests/support/MetricSamples.h"
#include "tests/support/Programs.h"
#include "tests/support/TempFiles.h"
#include "tests/support/TestServices.h"

// qv metrics on real services in every state a collector meets. The scripts
// beside this file run it and hand what qv wrote to Prometheus's own tools:
// promtool checks the text (metrics_promtool.sh); a node exporter and a
// Prometheus server read the file (metrics_prometheus.sh).
namespace {

using nlohmann::json;

class MetricsScene : public TQvServicesTest {
protected:
    TProgramResult Run(const std::string& arguments, std::initializer_list<DWORD> codes = {0})
    {
        TProgramResult run = Qv(arguments);
        EXPECT_NE(std::find(codes.begin(), codes.end(), run.ExitCode), codes.end())
            << arguments << "\nout: " << run.Out << "\nerr: " << run.Err;
        return run;
    }
    void Add(const std::string& name, const std::string& options)
    {
        services.push_back(name);
        Run("add " + Quoted(name) + " --program " + Quoted(program) + " " + options);
    }
    // Wine refuses the recovery actions that go with a maximum of restarts
    // (exit 6) and keeps the rest.
    void Install(const std::string& name) { Run("install " + Quoted(name), {0, 6}); }
    unsigned Starts(const std::string& name)
    {
        const json status = json::parse(Qv("status " + Quoted(name) + " --json").Out, nullptr, false);
        return status.contains("program") && status["program"].is_object()
                   ? status["program"].value("starts", 0u)
                   : 0u;
    }
};

std::string State(const std::string& family, const std::string& service, const std::string& state)
{
    return family + "{service=\"" + service + "\",state=\"" + state + "\"}";
}

} // namespace

TEST_F(MetricsScene, EveryStateOfAServiceAndItsProgramIsTold)
{
    TTempFolder logs;
    Add("QV Metrics Idle", "");
    Add("QV Metrics Stopped", "");
    Install("QV Metrics Stopped");
    Add("QV Metrics Up", "--parameters \"alloc:16 wait\" --log-file " + Quoted(logs.File("up.log")));
    Install("QV Metrics Up");
    Run("start --settle 0 \"QV Metrics Up\"");
    Add("QV Metrics Waiting", "--parameters exit:3 --restart-delay 60");
    Install("QV Metrics Waiting");
    Run("start \"QV Metrics Waiting\"", {10});
    Add("QV Metrics Gave Up", "--parameters exit:3 --restart-delay 1 --max-restarts 1 --restart-window 60");
    Install("QV Metrics Gave Up");
    // Its host may be gone before the start asks it (qv start then cannot
    // tell): what counts here is that the service gave up.
    Run("start --settle 0 \"QV Metrics Gave Up\"");
    ASSERT_TRUE(WaitForServiceState("QV Metrics Gave Up", SERVICE_STOPPED));
    // A host copy that takes every question and answers none.
    const std::string hung = "QV Metrics Hung";
    Add(hung, "");
    const json shown = json::parse(Qv("show " + Quoted(hung) + " --json").Out);
    const std::string copy = StubCopyFile(hung);
    CreateDirectoryA(StubFolder().c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(WindowsPath(TEST_SERVICE).c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CreateTestService(hung, Quoted(copy) + " " + Quoted(hung) + " hang-status " +
                                            std::to_string(shown["serviceId"].get<int>())));
    TIniFile(CatalogueFileName).WriteString(hung, VantorerKey, copy);
    TIniFile(CatalogueFileName).WriteBool(hung, InstalledKey, true);
    Run("start --settle 0 " + Quoted(hung));
    ASSERT_TRUE(WaitFor([&] { return ReadTextFile(logs.File("up.log")).find("allocated 16 MiB") != std::string::npos; },
                        10000));

    const TProgramResult run = Run("metrics");
    const std::string& text = run.Out;
    EXPECT_EQ("# HELP ", text.substr(0, 7));
    EXPECT_EQ(std::string::npos, text.find('\r'));
    if (const char* out = std::getenv("QUORVANE_METRICS_OUT"))
        WriteTextFile(WindowsPath(out), text);

    EXPECT_EQ("0", Sample(text, "quorvane_service_installed{service=\"QV Metrics Idle\"}"));
    EXPECT_EQ("1", Sample(text, State("quorvane_service_state", "QV Metrics Stopped", "stopped")));
    EXPECT_EQ("1", Sample(text, State("quorvane_service_state", "QV Metrics Up", "running")));
    EXPECT_EQ("1", Sample(text, State("quorvane_program_state", "QV Metrics Up", "running")));
    EXPECT_EQ("1", Sample(text, State("quorvane_program_state", "QV Metrics Waiting", "backing_off")));
    EXPECT_EQ("1", Sample(text, State("quorvane_service_state", "QV Metrics Gave Up", "stopped")));
    EXPECT_EQ("1", Sample(text, "quorvane_service_last_end{service=\"QV Metrics Gave Up\",reason=\"gave_up\"}"));
    EXPECT_EQ("3", Sample(text, "quorvane_program_last_exit_code{service=\"QV Metrics Gave Up\"}"));
    EXPECT_EQ("1", Sample(text, State("quorvane_service_state", hung, "running")));
    EXPECT_EQ("1", Sample(text, State("quorvane_program_state", hung, "unknown")));
    EXPECT_EQ("", Sample(text, "quorvane_program_running{service=\"" + hung + "\"}"));
    // The program's own figures, from its host.
    EXPECT_EQ("1", Sample(text, "quorvane_program_starts_total{service=\"QV Metrics Up\"}"));
    EXPECT_GE(std::atof(Sample(text, "quorvane_program_private_bytes{service=\"QV Metrics Up\"}").c_str()), 16 << 20);
    EXPECT_GE(std::atoi(Sample(text, "quorvane_program_processes{service=\"QV Metrics Up\"}").c_str()), 1);
    EXPECT_EQ("0", Sample(text, "quorvane_log_dropped_bytes_total{service=\"QV Metrics Up\"}"));
    EXPECT_NE(std::string::npos, text.find("quorvane_service_info{service=\"QV Metrics Up\",service_id=\""));
    EXPECT_NE(std::string::npos, text.find("host_version=\"1.02\"}"));
    EXPECT_EQ("6", Sample(text, "quorvane_metrics_entries"));

    // The same into a folder, for the textfile collector.
    TTempFolder textfile;
    Run("metrics --textfile " + Quoted(textfile.Path()));
    const std::string file = ReadTextFile(textfile.File("quorvane.prom"));
    EXPECT_EQ("# HELP ", file.substr(0, 7));
    EXPECT_EQ("1", Sample(file, State("quorvane_program_state", hung, "unknown")));
}

// Only metrics_prometheus.sh runs this: it names the folder its node
// exporter reads, and asks Prometheus afterwards.
TEST_F(MetricsScene, ACrashIsCountedInTheCollectorsFolder)
{
    const char* folder = std::getenv("QUORVANE_TEXTFILE_DIR");
    if (!folder)
        GTEST_SKIP() << "run by metrics_prometheus.sh, which names the collector's folder";
    const std::string name = "QV Metrics Crash";
    Add(name, "--parameters \"sleep:1000 crash\"");
    Install(name);
    Run("start --settle 0 " + Quoted(name));
    ASSERT_TRUE(WaitFor([&] { return Starts(name) >= 2; }, 20000));
    const TProgramResult run = Run("metrics --textfile " + Quoted(folder));
    const std::string file = ReadTextFile(std::string(folder) + "\\quorvane.prom");
    const std::string starts = Sample(file, "quorvane_program_starts_total{service=\"" + name + "\"}");
    ASSERT_FALSE(starts.empty()) << file;
    EXPECT_GE(std::atoi(starts.c_str()), 2);
    std::printf("starts written: %s\n", starts.c_str());
}
