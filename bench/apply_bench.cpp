// Times qv apply at scale: adding 100, 1,000 and 10,000 entries (not
// installed) to an empty catalogue, --check of 10,000 entries the machine
// matches against qv list of them, and the memory a check of a 10 MB
// document takes; then an apply that adds and installs 50 entries. Prints
// medians and ratios. "apply_bench quick" leaves out the 10,000-entry add.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "bench/ProcessMemory.h"
#include "catalogue/Catalogue.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Kernel.h"
#include "toolkit/Paths.h"

namespace {

constexpr int Matching = 10000;
constexpr int Installed = 50;
constexpr int Runs = 7;
// Adding 10,000 takes seconds: fewer runs.
constexpr int LargeRuns = 3;
// Parameters long enough for 10,000 entries to make a 10 MB document.
constexpr size_t LongParameters = 1000;

// (Built by appending: GCC 12 warns wrongly on a literal added in front of
// a temporary string.)
std::string QvCommand(const std::string& arguments)
{
    std::string line = "\"";
    line += FolderOf(ExecutablePath());
    return line + "\\..\\dist\\qv.exe\" " + arguments;
}

struct TRun {
    double Ms = -1;
    // The most memory the run held at once, in MiB.
    double PeakMiB = -1;
};

// A run of qv to its end, its output to NUL, its peak working set asked
// for while it runs (Wine forgets it once the process has ended); Ms is -1
// when it did not start or failed.
TRun TimeRun(const std::string& arguments, const char* output = "NUL")
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle out(CreateFileA(output, GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.Get();
    PROCESS_INFORMATION started = {};
    std::string line = QvCommand(arguments);
    TRun run;
    DWORD code = 1;
    const double ms = Milliseconds([&] {
        if (!StartProcess(line.data(), TRUE, 0, nullptr, &startup, &started))
            return;
        CloseHandle(started.hThread);
        TKernelHandle process(started.hProcess);
        for (;;) {
            run.PeakMiB = std::max(run.PeakMiB, MemoryOf(process.Get()).PeakWorkingSetSize / 1048576.0);
            if (WaitForSingleObject(process.Get(), 20) == WAIT_OBJECT_0)
                break;
        }
        GetExitCodeProcess(process.Get(), &code);
    });
    if (code == 0)
        run.Ms = ms;
    return run;
}

double MedianRun(const std::string& arguments, int runs = Runs)
{
    std::vector<double> times;
    for (int run = 0; run < runs; ++run)
        times.push_back(TimeRun(arguments).Ms);
    return Median(times);
}

void WriteDocument(const std::string& path, const nlohmann::json& entries)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string text = nlohmann::json{{"schemaVersion", 1}, {"entries", entries}}.dump(1);
    DWORD written = 0;
    WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

nlohmann::json Entries(int count, const std::string& program, const std::string& parameters = "")
{
    nlohmann::json entries = nlohmann::json::array();
    for (int n = 1; n <= count; ++n)
        entries.push_back({{"description", "Bench entry " + std::to_string(n)}, {"program", program},
                           {"parameters", parameters + "-n " + std::to_string(n)}});
    return entries;
}

void EmptyCatalogue(const TSavedCatalogue& saved)
{
    DeleteFileA(saved.Path().c_str());
}

// The median of applies of a document of that many new entries, each into
// an empty catalogue.
double Adding(const TSavedCatalogue& saved, const std::string& document, const std::string& program, int count,
              int runs)
{
    WriteDocument(document, Entries(count, program));
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        EmptyCatalogue(saved);
        times.push_back(TimeRun("apply \"" + document + "\"").Ms);
    }
    const double median = Median(times);
    std::printf("qv apply adding %d entries: median %.0f ms over %d runs, %.2f ms per entry\n", count, median, runs,
                median / count);
    return median;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::string(argv[1]) == "quick";
    TSavedCatalogue saved;
    const std::string program = ExecutablePath();
    const std::string document = FolderOf(program) + "\\apply_bench.json";
    TimeRun("list"); // the first start of a program pays for loading it

    const double hundred = Adding(saved, document, program, 100, Runs);
    const double thousand = Adding(saved, document, program, 1000, Runs);
    std::printf("ratio 1,000 / 100: %.2f (target: at most 12)\n", thousand / hundred);
    if (!quick) {
        const double tenThousand = Adding(saved, document, program, Matching, LargeRuns);
        std::printf("ratio 10,000 / 1,000: %.2f\n", tenThousand / thousand);
    } else {
        // The same entries, written in one go.
        EmptyCatalogue(saved);
        WriteDocument(document, Entries(Matching, program));
        TIniDocument ini(CatalogueFileName);
        ini.WriteInteger(StatusSection, LastServiceIDKey, Matching);
        ini.WriteInteger(StatusSection, NumServicesKey, Matching);
        for (int n = 1; n <= Matching; ++n) {
            const std::string section = "Bench entry " + std::to_string(n);
            ini.WriteString(StatusSection, ServiceKey(n), section);
            ini.WriteString(section, ProgramKey, program);
            ini.WriteString(section, ParametersKey, "-n " + std::to_string(n));
            ini.WriteString(section, LogFileKey, "");
            ini.WriteBool(section, LogToFileKey, false);
            ini.WriteBool(section, InstalledKey, false);
            ini.WriteInteger(section, ServiceIDKey, n);
        }
        ini.Save();
    }

    // The catalogue now holds the 10,000 entries the document names.
    const double list = MedianRun("list");
    const double check = MedianRun("apply \"" + document + "\" --check");
    std::printf("qv list, %d entries: median %.0f ms over %d runs\n", Matching, list, Runs);
    std::printf("qv apply --check, %d matching entries: median %.0f ms\n", Matching, check);
    std::printf("ratio check / list: %.2f (target: at most 3)\n", check / list);

    WriteDocument(document, Entries(Matching, program, std::string(LongParameters, 'p') + " "));
    WIN32_FILE_ATTRIBUTE_DATA size = {};
    GetFileAttributesExA(document.c_str(), GetFileExInfoStandard, &size);
    const TRun big = TimeRun("apply \"" + document + "\" --check");
    std::printf("qv apply --check of a %.1f MB document (%d entries, each to edit): %.0f ms, peak working set "
                "%.0f MiB (target: under 100)\n",
                size.nFileSizeLow / 1e6, Matching, big.Ms, big.PeakMiB);

    EmptyCatalogue(saved);
    nlohmann::json wanted = nlohmann::json::array();
    for (int n = 1; n <= Installed; ++n)
        wanted.push_back({{"description", "Bench service " + std::to_string(n)}, {"program", program},
                          {"installed", true}});
    WriteDocument(document, wanted);
    const double installing = TimeRun("apply \"" + document + "\"").Ms;
    std::printf("qv apply adding and installing %d entries: %.0f ms, %.1f ms per entry\n", Installed, installing,
                installing / Installed);
    WriteDocument(document, nlohmann::json::array());
    const double removing = TimeRun("apply \"" + document + "\" --prune-all").Ms;
    std::printf("qv apply --prune uninstalling and removing them: %.0f ms\n", removing);
    DeleteFileA(document.c_str());
    return 0;
}
