// Times qv.exe from process start to exit for "list" over a 200-entry
// catalogue, against a bare console program started the same way (this
// benchmark itself, run with --bare). Prints the medians and their ratio.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "catalogue/Catalogue.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Kernel.h"
#include "toolkit/Paths.h"

namespace {

constexpr int Entries = 200;
constexpr int Runs = 15;

// Milliseconds from CreateProcess to the end of the process, output to NUL.
double TimeRun(const std::string& command)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    TProgramEnd end;
    double ms = Milliseconds([&] { end = RunToEnd(command, nul.Get(), nul.Get()); });
    return end.Started ? ms : -1;
}

double MedianRun(const std::string& command)
{
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run)
        times.push_back(TimeRun(command));
    return Median(times);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--bare")
        return 0;

    TSavedCatalogue saved;
    {
        TCatalogue entries;
        for (int n = 1; n <= Entries; ++n)
            entries.AppendEntry("Bench entry " + std::to_string(n), "C:\\bench\\program.exe", "", "", false);
    }
    const std::string qv = "\"" + FolderOf(ExecutablePath()) + "\\..\\dist\\qv.exe\" list";
    const std::string bare = "\"" + ExecutablePath() + "\" --bare";
    TimeRun(qv); // the first start of a program pays for loading it
    double list = MedianRun(qv);
    double baseline = MedianRun(bare);
    std::printf("qv list, %d entries: median %.1f ms over %d runs\n", Entries, list, Runs);
    std::printf("bare console program: median %.1f ms\n", baseline);
    std::printf("ratio: %.2f (target: at most 2)\n", list / baseline);
    return 0;
}
