// Times the two things that grow with a large catalogue, at 1,000 entries and
// at 10,000: qv removing the first entry (every key after it shifts), from
// process start to exit, and the window listing every entry. Ten times the
// entries should cost about ten times as much (target: a ratio of at most 12).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "bench/SampleCatalogue.h"
#include "catalogue/Catalogue.h"
#include "fixtures/Programs.h"
#include "fixtures/SavedCatalogue.h"
#include "platform/Kernel.h"
#include "toolkit/Paths.h"
#include "ui/uServiceManager.h"

namespace {

constexpr int Runs = 7;

// Milliseconds from qv's start to its end, output to NUL; the catalogue is
// made afresh before each run.
double QvRemoveFirst(int entries)
{
    std::string qv = "\"";
    qv += FolderOf(ExecutablePath());
    qv += "\\..\\dist\\qv.exe\" remove \"Service number 1\"";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run) {
        MakeCatalogue(WindowsDirectory() + "\\" + CatalogueFileName, entries);
        TProgramEnd end;
        times.push_back(Milliseconds([&] { end = RunToEnd(qv, nul.Get(), nul.Get()); }));
        if (!end.Started || end.ExitCode != 0 || TCatalogue().Count() != entries - 1)
            std::printf("qv remove did not remove the entry (exit code %lu)\n", end.ExitCode);
    }
    return Median(times);
}

// Milliseconds the open window takes to list the catalogue again.
double WindowList(const std::string& file, int entries)
{
    MakeCatalogue(file, entries);
    TfrmServiceManager form(file);
    form.QuitOnClose = false;
    form.Show();
    std::vector<double> times;
    for (int run = 0; run < Runs; ++run)
        times.push_back(Milliseconds([&] { form.LoadList(); }));
    if (form.List().Captions().size() != static_cast<size_t>(entries))
        std::printf("the window listed %zu rows\n", form.List().Captions().size());
    return Median(times);
}

void Report(const char* what, double small, double large)
{
    std::printf("%-26s %10.1f ms %10.1f ms %8.2f\n", what, small, large, large / small);
}

} // namespace

int main()
{
    TSavedCatalogue saved;
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "qv_bench_scale.ini";
    QvRemoveFirst(10); // the first start of a program pays for loading it
    const double removeSmall = QvRemoveFirst(1000), removeLarge = QvRemoveFirst(10000);
    const double listSmall = WindowList(file, 1000), listLarge = WindowList(file, 10000);
    DeleteFileA(file.c_str());
    std::printf("median of %d runs%19s %13s %8s\n", Runs, "1,000 entries", "10,000 entries", "ratio");
    Report("qv remove of the first", removeSmall, removeLarge);
    Report("window's list", listSmall, listLarge);
    return 0;
}
