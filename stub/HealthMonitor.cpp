#include "stub/HealthMonitor.h"

#include <algorithm>
#include <mutex>

#include "messaging/StatusPipe.h"
#include "stub/Guard.h"
#include "toolkit/Error.h"
#include "toolkit/System.h"

namespace {

// How long the monitor's end waits for its thread, whose check was called
// off: past it, the thread ends on its own with the state it shares.
constexpr DWORD ThreadEndMs = 2000;

std::string Failures(unsigned count)
{
    return std::to_string(count) + (count == 1 ? " failure" : " failures");
}

} // namespace

struct THealthMonitor::TState {
    std::shared_ptr<TStubLog> Log;
    std::mutex Lock;
    // Cleared when the monitor goes: nothing is published after.
    TPublish Publish;
    bool Quit = false;
    // A run is being checked; each run (and each end) has a generation of
    // its own, and a check's verdict counts only for its own.
    bool Active = false;
    unsigned long long Generation = 0;
    THealthPlan Plan;
    ULONGLONG RunStart = 0;
    ULONGLONG NextCheck = 0;
    bool PassedOnce = false;
    THealthReport Report;
    // Wakes the thread for a new run, an end or the monitor's end.
    TKernelHandle Wake{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    // Calls the check in progress off.
    TKernelHandle Cancel{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    TKernelHandle Restart{CreateEventA(nullptr, TRUE, FALSE, nullptr)};

    void Tell(TLogKind kind, const std::string& text) { Log->Event(kind, "health: " + text); }

    // What a check of this run found, at its start.
    void Judge(const THealthResult& result, ULONGLONG started)
    {
        const std::string what = HealthTargetText(Plan.Target);
        Report.CheckedAt = UtcNow();
        Report.Result = result.Result;
        ULONGLONG next = started + Plan.IntervalMs;
        if (result.Passed) {
            if (Report.Health == HealthUnhealthy)
                Tell(TLogKind::Information, "healthy again: " + what + " passed (" + result.Result + ")");
            else if (Report.Health != HealthHealthy)
                Tell(TLogKind::Information, "healthy: " + what + " passed (" + result.Result + ")");
            else if (Report.Failures > 0)
                Tell(TLogKind::Information, what + " passed (" + result.Result + ") after " + Failures(Report.Failures));
            Report.Health = HealthHealthy;
            Report.Failures = 0;
            PassedOnce = true;
        } else if (!PassedOnce && started - RunStart < Plan.StartPeriodMs) {
            // Starting: not counted, and tried again soon.
            next = started + std::min(Plan.StartIntervalMs, Plan.IntervalMs);
        } else {
            ++Report.Failures;
            if (Report.Health != HealthUnhealthy) {
                Tell(TLogKind::Warning, what + " failed: " + result.Result + " (" + std::to_string(Report.Failures) +
                                            " of " + std::to_string(Plan.Retries) + ")");
                if (Report.Failures >= Plan.Retries) {
                    Report.Health = HealthUnhealthy;
                    const bool restart = Plan.Action == THealthAction::Restart;
                    Tell(TLogKind::Warning, "unhealthy after " + Failures(Report.Failures) + "; " +
                                                (restart ? "restarting the program"
                                                         : "the program is left running (health action none)"));
                    if (restart)
                        SetEvent(Restart.Get());
                }
            }
        }
        NextCheck = std::max(next, GetTickCount64());
        if (Publish)
            Publish(Report);
    }
};

THealthMonitor::THealthMonitor(std::shared_ptr<TStubLog> log, TPublish publish) : state_(std::make_shared<TState>())
{
    state_->Log = std::move(log);
    state_->Publish = std::move(publish);
}

THealthMonitor::~THealthMonitor()
{
    {
        std::lock_guard<std::mutex> hold(state_->Lock);
        state_->Quit = true;
        state_->Publish = nullptr;
        SetEvent(state_->Cancel.Get());
        SetEvent(state_->Wake.Get());
    }
    if (thread_)
        WaitForSingleObject(thread_.Get(), ThreadEndMs);
}

void THealthMonitor::Begin(const std::optional<THealthPlan>& plan)
{
    {
        std::lock_guard<std::mutex> hold(state_->Lock);
        TState& state = *state_;
        ++state.Generation;
        state.Active = plan.has_value();
        state.Report = {};
        state.PassedOnce = false;
        state.RunStart = GetTickCount64();
        if (plan) {
            state.Plan = *plan;
            state.NextCheck = state.RunStart + std::min(plan->StartIntervalMs, plan->IntervalMs);
            state.Report.Health = HealthStarting;
            state.Report.Retries = plan->Retries;
        }
        ResetEvent(state.Restart.Get());
        SetEvent(state.Cancel.Get());
        SetEvent(state.Wake.Get());
        if (state.Publish)
            state.Publish(state.Report);
    }
    if (plan && !thread_) {
        thread_ = StartSharedThread("the health check", state_, Watch);
        if (!thread_) {
            const DWORD error = GetLastError();
            state_->Tell(TLogKind::Error, "the checks cannot run: no thread (" + SystemMessage(error) + ")");
        }
    }
}

void THealthMonitor::End()
{
    std::lock_guard<std::mutex> hold(state_->Lock);
    ++state_->Generation;
    state_->Active = false;
    ResetEvent(state_->Restart.Get());
    SetEvent(state_->Cancel.Get());
    SetEvent(state_->Wake.Get());
}

HANDLE THealthMonitor::RestartWanted() const
{
    return state_->Restart.Get();
}

void THealthMonitor::Watch(TState& state)
{
    THealthProbe probe;
    for (;;) {
        THealthPlan plan;
        unsigned long long generation = 0;
        ULONGLONG started = 0;
        {
            std::unique_lock<std::mutex> hold(state.Lock);
            if (state.Quit)
                return;
            DWORD waitMs = INFINITE;
            if (state.Active) {
                started = GetTickCount64();
                waitMs = state.NextCheck > started ? static_cast<DWORD>(state.NextCheck - started) : 0;
            }
            if (waitMs != 0) {
                hold.unlock();
                WaitForSingleObject(state.Wake.Get(), waitMs);
                continue;
            }
            plan = state.Plan;
            generation = state.Generation;
            // An end that comes from here on calls this check off.
            ResetEvent(state.Cancel.Get());
        }
        THealthResult result;
        try {
            result = probe.Run(plan, state.Cancel.Get());
        } catch (const TError& error) {
            // A check that cannot be made fails; the host goes on.
            result = {false, false, error.Message()};
        }
        std::lock_guard<std::mutex> hold(state.Lock);
        if (!state.Quit && !result.Cancelled && generation == state.Generation)
            state.Judge(result, started);
    }
}
