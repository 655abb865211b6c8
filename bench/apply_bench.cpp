// Times qv apply: --check of a 500-entry document against a machine that
// matches it, against qv list over the same catalogue; and an apply that
// adds and installs 50 entries, in total and per entry. Prints the figures.
#include <windows.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "catalogue/Catalogue.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Kernel.h"
#include "toolkit/Paths.h"

namespace {

constexpr int Matching = 500;
constexpr int Installed = 50;
constexpr int Runs = 7;

// (Built by appending: GCC 12 warns wrongly on a literal added in front of
// a temporary string.)
std::string QvCommand(const std::string& arguments)
{
    std::string line = "\"";
    line += FolderOf(ExecutablePath());
    return line + "\\..\\dist\\qv.exe\" " + arguments;
}

// Milliseconds from CreateProcess to the end of the process, output to the
// file (NUL unless named); -1 when it did not start or failed.
double TimeRun(const std::string& arguments, const char* output = "NUL")
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle out(CreateFileA(output, GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    TProgramEnd end;
    double ms = Milliseconds([&] { end = RunToEnd(QvCommand(arguments), out.Get(), nullptr); });
    return end.Started && end.ExitCode == 0 ? ms : -1;
}

double MedianRun(const std::string& arguments)
{
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run)
        times.push_back(TimeRun(arguments));
    return Median(times);
}

void WriteDocument(const std::string& path, const nlohmann::json& entries)
{
    TKernelHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string text = nlohmann::json{{"schemaVersion", 1}, {"entries", entries}}.dump();
    DWORD written = 0;
    WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace

int main()
{
    TSavedCatalogue saved;
    const std::string program = ExecutablePath();
    const std::string document = FolderOf(program) + "\\apply_bench.json";
    {
        TCatalogue entries;
        for (int n = 1; n <= Matching; ++n)
            entries.AppendEntry("Bench entry " + std::to_string(n), program, "-n " + std::to_string(n), "", false);
    }
    TimeRun("export", document.c_str());
    TimeRun("list"); // the first start of a program pays for loading it
    const double list = MedianRun("list");
    const double check = MedianRun("apply \"" + document + "\" --check");
    std::printf("qv list, %d entries: median %.1f ms over %d runs\n", Matching, list, Runs);
    std::printf("qv apply --check, %d matching entries: median %.1f ms\n", Matching, check);
    std::printf("ratio: %.2f (target: at most 3)\n", check / list);

    WriteDocument(document, nlohmann::json::array());
    TimeRun("apply \"" + document + "\" --prune");
    nlohmann::json wanted = nlohmann::json::array();
    for (int n = 1; n <= Installed; ++n)
        wanted.push_back({{"description", "Bench service " + std::to_string(n)}, {"program", program},
                          {"installed", true}});
    WriteDocument(document, wanted);
    const double installing = TimeRun("apply \"" + document + "\"");
    std::printf("qv apply adding and installing %d entries: %.0f ms, %.1f ms per entry\n", Installed, installing,
                installing / Installed);
    WriteDocument(document, nlohmann::json::array());
    const double removing = TimeRun("apply \"" + document + "\" --prune");
    std::printf("qv apply --prune uninstalling and removing them: %.0f ms\n", removing);
    DeleteFileA(document.c_str());
    return 0;
}
