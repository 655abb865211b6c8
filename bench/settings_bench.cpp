// Times qv.exe from process start to exit: "set" of one setting on an
// installed entry, and "show" of an entry with every setting against "show"
// of one without any. Prints the medians and the ratio.
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

constexpr int Runs = 15;
const std::string Plain = "Bench plain", Full = "Bench settings";

// Milliseconds from CreateProcess to the end of the process, output to NUL;
// the exit code goes to code.
double TimeRun(const std::string& command, DWORD& code)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    TKernelHandle nul(CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    TProgramEnd end;
    double ms = Milliseconds([&] { end = RunToEnd(command, nul.Get(), nul.Get()); });
    code = end.ExitCode;
    return end.Started ? ms : -1;
}

double MedianRun(const std::vector<std::string>& commands)
{
    std::vector<double> times;
    DWORD code = 0;
    for (int run = 0; run < Runs; ++run)
        times.push_back(TimeRun(commands[static_cast<size_t>(run) % commands.size()], code));
    if (code != 0)
        std::printf("  (%s ended with exit code %lu)\n", commands.back().c_str(), code);
    return Median(times);
}

TServiceSettings EverySetting()
{
    TServiceSettings settings;
    const std::pair<TSetting, const char*> values[] = {
        {TSetting::Account, "LocalService"}, {TSetting::WorkingFolder, "C:\\windows"},
        {TSetting::StartType, "manual"}, {TSetting::DependsOn, "RpcSs"}, {TSetting::StopTimeout, "10"},
        {TSetting::Restart, "on-failure"}, {TSetting::SuccessCodes, "0,3"}, {TSetting::MaxRestarts, "5"},
        {TSetting::RestartWindow, "600"}, {TSetting::RestartDelay, "2"}, {TSetting::RestartDelayMax, "120"},
        {TSetting::Priority, "below-normal"}, {TSetting::LogMaxSize, "10M"}, {TSetting::LogDaily, "on"},
        {TSetting::LogKeep, "14"}, {TSetting::LogTimestamps, "off"}, {TSetting::ServiceText, "A benchmark"}};
    // A refused value would leave the entry short of a setting: said, not hidden.
    auto say = [](const TRefusal& refused) {
        if (refused)
            std::fprintf(stderr, "%s\n", refused.Reason().c_str());
    };
    for (const auto& [setting, text] : values)
        say(SetSetting(settings, setting, text));
    for (int n = 0; n < 5; ++n)
        say(SetVariable(settings, "BENCH_" + std::to_string(n), " value with \"quotes\" and = " + std::to_string(n)));
    return settings;
}

} // namespace

int main()
{
    TSavedCatalogue saved;
    const std::string program = ExecutablePath();
    {
        TCatalogue entries;
        entries.AddEntry({Plain, program, "", "", false});
        entries.AddEntry({Full, program, "", "", false}, EverySetting());
    }
    const std::string qv = "\"" + FolderOf(ExecutablePath()) + "\\..\\dist\\qv.exe\" ";
    DWORD code = 0;
    TimeRun(qv + "show \"" + Plain + "\"", code); // the first start of a program pays for loading it
    TimeRun(qv + "install \"" + Full + "\"", code);
    // 6: installed, with a setting this system refuses (Wine: recovery on the host's own exit).
    if (code == 6)
        std::printf("qv install: installed; the system refused a setting (exit code 6)\n");
    else if (code != 0)
        std::printf("qv install ended with exit code %lu: qv set is timed on an entry that is not installed\n", code);

    double set = MedianRun({qv + "set \"" + Full + "\" --stop-timeout 11", qv + "set \"" + Full + "\" --stop-timeout 12"});
    double full = MedianRun({qv + "show \"" + Full + "\""});
    double plain = MedianRun({qv + "show \"" + Plain + "\""});
    TimeRun(qv + "uninstall \"" + Full + "\"", code);

    std::printf("qv set of one setting on an installed entry: median %.1f ms over %d runs\n", set, Runs);
    std::printf("qv show, every setting set: median %.1f ms\n", full);
    std::printf("qv show, no setting set:    median %.1f ms\n", plain);
    std::printf("ratio: %.2f (target: at most 1.5)\n", full / plain);
    return 0;
}
