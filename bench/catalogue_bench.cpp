// Times the catalogue operations at 200 entries, its design size, and at
// 2,000: listing, appending, editing and deleting the first entry (which
// shifts every key after it). Cost should grow in step with the size.
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "bench/SampleCatalogue.h"
#include "catalogue/Catalogue.h"

namespace {

const char* const Operations[] = {"ListEntries", "AppendEntry", "UpdateEntry", "DeleteEntry(1)"};

std::map<std::string, double> Measure(const std::string& file, int entries, int runs)
{
    const std::string pristine = file + ".pristine";
    MakeCatalogue(pristine, entries);
    std::map<std::string, std::vector<double>> times;
    for (int run = 0; run < runs; ++run) {
        CopyFileA(pristine.c_str(), file.c_str(), FALSE);
        TCatalogue catalogue(file);
        size_t rows = 0;
        times["ListEntries"].push_back(Milliseconds([&] { rows = catalogue.ListEntries().size(); }));
        if (rows != static_cast<size_t>(entries))
            std::printf("ListEntries returned %zu rows\n", rows);
        times["AppendEntry"].push_back(Milliseconds(
            [&] { catalogue.AppendEntry("Appended service", "C:\\Programs\\new.exe", "--new", "", false); }));
        times["UpdateEntry"].push_back(Milliseconds([&] {
            catalogue.UpdateEntry(entries / 2, "Service number " + std::to_string(entries / 2),
                                  "C:\\Programs\\edited.exe", "--edited", "C:\\edited.log", true);
        }));
        times["DeleteEntry(1)"].push_back(Milliseconds([&] { catalogue.DeleteEntry(1); }));
    }
    DeleteFileA(pristine.c_str());
    DeleteFileA(file.c_str());
    std::map<std::string, double> medians;
    for (auto& [operation, values] : times)
        medians[operation] = Median(values);
    return medians;
}

} // namespace

int main()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string file = std::string(temp) + "qv_bench_catalogue.ini";
    const int runs = 11;
    std::map<std::string, double> small = Measure(file, 200, runs);
    std::map<std::string, double> large = Measure(file, 2000, runs);
    std::printf("catalogue operations, median of %d runs\n", runs);
    std::printf("%-16s %12s %12s %8s\n", "", "200 entries", "2000 entries", "ratio");
    for (const char* operation : Operations)
        std::printf("%-16s %9.2f ms %9.2f ms %8.2f\n", operation, small[operation], large[operation],
                    large[operation] / small[operation]);
    return 0;
}
