// Liveness query figures: the round trip from the question to the "IS
// currently active" box against a host that answers at once, with replies read
// inside the wait and with replies left to the 500 ms poll timer alone; and
// the CPU time a query uses while it waits out a full time-out.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/Measure.h"
#include "fixtures/StandInHost.h"
#include "messaging/Liveness.h"
#include "messaging/Protocol.h"
#include "toolkit/Prompter.h"


namespace {

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double CpuMilliseconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
               10000.0;
    };
    return ms(kernel) + ms(user);
}


// Notes when the box is shown instead of showing it.
class TTimingPrompter : public TPrompter {
public:
    void Information(const std::string&) override { shownAt = Now(); }
    void Error(const std::string&) override {}
    bool Confirm(const std::string&) override { return false; }
    void StandardError(const std::string&) override {}
    double shownAt = 0;
};

double RoundTrip(TLiveness& live, TTimingPrompter& prompter, int serviceID)
{
    std::vector<double> times;
    for (int run = 0; run < 50; ++run) {
        prompter.shownAt = 0;
        double start = Now();
        bool answered = live.Query(serviceID);
        times.push_back(answered && prompter.shownAt > 0 ? prompter.shownAt - start : 1e9);
        // Without checks inside the wait, start every question at another
        // place of the 500 ms poll cycle.
        if (live.WaitCheckInterval() == 0)
            Sleep(static_cast<DWORD>(run * 97 % 500));
    }
    return Median(times);
}

} // namespace

int main()
{
    TTimingPrompter prompter;
    SetPrompter(&prompter);
    TLiveness live;
    live.ShowActive = [&](const std::string&) { prompter.Information(""); };
    live.Start();
    live.SetActiveService(501, "Bench", 1);
    live.SetCheckMode(TCheckMode::Box);

    {
        TStandInHost host(501, Saying(ReplyBody + std::to_string(501)));
        double checked = RoundTrip(live, prompter, 501);
        std::printf("round trip, replies read inside the wait (every %u ms): median %.2f ms (50 queries)\n",
                    live.WaitCheckInterval(), checked);
        unsigned interval = live.WaitCheckInterval();
        live.SetWaitCheckInterval(0);
        double ticked = RoundTrip(live, prompter, 501);
        live.SetWaitCheckInterval(interval);
        std::printf("round trip, replies read at the 500 ms poll tick only: median %.2f ms (50 queries)\n",
                    ticked);
        std::printf("ratio: %.3f\n", checked / ticked);
    }

    std::vector<double> cpu;
    std::vector<double> wall;
    for (int run = 0; run < 3; ++run) {
        double cpuStart = CpuMilliseconds();
        double start = Now();
        live.Query(502); // nobody listens: a full time-out
        wall.push_back(Now() - start);
        cpu.push_back(CpuMilliseconds() - cpuStart);
    }
    double medianCpu = Median(cpu);
    double medianWall = Median(wall);
    std::printf("full time-out: median %.0f ms waited, %.1f ms CPU, %.2f %% of one core (3 queries)\n", medianWall,
                medianCpu, 100.0 * medianCpu / medianWall);

    // For comparison: a wait that keeps processing events without sleeping.
    double cpuStart = CpuMilliseconds();
    double start = Now();
    MSG message;
    while (Now() - start < 1000) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    double spinCpu = CpuMilliseconds() - cpuStart;
    std::printf("spinning wait for comparison: %.0f ms CPU in %.0f ms, %.1f %% of one core\n", spinCpu,
                Now() - start, 100.0 * spinCpu / (Now() - start));

    live.Shutdown();
    SetPrompter(nullptr);
    return 0;
}
