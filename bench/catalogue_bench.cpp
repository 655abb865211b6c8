// Times the catalogue at its design size of 200 entries: listing them all
// and deleting the first (which shifts every key after it).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "catalogue/Catalogue.h"

namespace {



} // namespace

int main()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string file = std::string(temp) + "qv_bench_catalogue.ini";
    const int entries = 200, runs = 7;

    std::vector<double> list, remove;
    for (int run = 0; run < runs; ++run) {
        DeleteFileA(file.c_str());
        TCatalogue catalogue(file);
        for (int i = 1; i <= entries; ++i)
            catalogue.AppendEntry("Service number " + std::to_string(i), "C:\\Programs\\service" + std::to_string(i) +
                                  ".exe", "--port " + std::to_string(8000 + i), "", false);
        size_t rows = 0;
        list.push_back(Milliseconds([&] { rows = catalogue.ListEntries().size(); }));
        if (rows != entries)
            std::printf("ListEntries returned %zu rows\n", rows);
        remove.push_back(Milliseconds([&] { catalogue.DeleteEntry(1); }));
    }
    DeleteFileA(file.c_str());
    std::printf("catalogue of %d entries, %d runs\n", entries, runs);
    std::printf("ListEntries        median %8.2f ms\n", Median(list));
    std::printf("DeleteEntry(1)     median %8.2f ms\n", Median(remove));
    return 0;
}
