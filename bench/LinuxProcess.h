#pragma once
// What Linux knows of the Wine processes a benchmark measures, read through
// drive Z:.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Kernel.h"

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Wine runs every Windows process as a Linux one; Linux counts how often
// each thread was switched to, which is how often it woke. The Linux
// process whose command line holds marker, or "".
inline std::string LinuxProcess(const std::string& marker)
{
    WIN32_FIND_DATAA found;
    TKernelHandle search(FindFirstFileA("Z:\\proc\\*", &found));
    if (!search)
        return "";
    do {
        std::string name = found.cFileName;
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            ReadText("Z:\\proc\\" + name + "\\cmdline").find(marker) != std::string::npos) {
            FindClose(search.Release());
            return name;
        }
    } while (FindNextFileA(search.Get(), &found));
    FindClose(search.Release());
    return "";
}

// Context switches of every thread of a Linux process so far.
inline long long Wakeups(const std::string& process)
{
    long long total = 0;
    const std::string tasks = "Z:\\proc\\" + process + "\\task\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((tasks + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    do {
        if (found.cFileName[0] == '.')
            continue;
        std::istringstream status(ReadText(tasks + found.cFileName + "\\status"));
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::atoll(line.c_str() + line.find(':') + 1);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return total;
}

// CPU milliseconds a Linux process has used so far, as Linux counts them
// (GetProcessTimes of another process counts several times that here).
inline double LinuxCpuMs(const std::string& process)
{
    std::string stat = ReadText("Z:\\proc\\" + process + "\\stat");
    size_t end = stat.rfind(')');
    if (process.empty() || end == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    long long ticks = 0;
    // After the name: state is field 3, user time 14 and kernel time 15, in
    // hundredths of a second.
    for (int number = 3; number <= 15 && fields >> field; ++number)
        if (number >= 14)
            ticks += std::atoll(field.c_str());
    return static_cast<double>(ticks) * 10.0;
}
