#include "stub/RestartRule.h"

#include <algorithm>

#include "stub/StubSettings.h"

TRestartRule::TRestartRule(const TServiceSettings& settings, uint32_t firstMs, uint32_t ceilingMs,
                           uint32_t steadyRunMs)
    : settings_(settings), firstMs_(firstMs), ceilingMs_(ceilingMs), steadyRunMs_(steadyRunMs),
      backOff_(firstMs, ceilingMs, steadyRunMs)
{
}

void TRestartRule::Update(const TServiceSettings& settings, uint32_t firstMs, uint32_t ceilingMs)
{
    if (firstMs != firstMs_ || ceilingMs != ceilingMs_)
        backOff_ = TBackOff(firstMs_ = firstMs, ceilingMs_ = ceilingMs, steadyRunMs_);
    settings_ = settings;
}

TRestartDecision TRestartRule::After(std::optional<unsigned long> exitCode, uint64_t ranMs, uint64_t nowMs,
                                     bool unhealthy)
{
    TRestartDecision decision;
    const std::vector<unsigned long>& success = settings_.SuccessCodes;
    const bool succeeded =
        !unhealthy && exitCode && std::find(success.begin(), success.end(), *exitCode) != success.end();
    const std::string ended = unhealthy ? "the program was unhealthy and was stopped" +
                                              (exitCode ? " (exit code " + std::to_string(*exitCode) + ")" : "")
                              : exitCode ? "the program ended with code " + std::to_string(*exitCode)
                                         : "the program could not be started";
    const bool ran = exitCode || unhealthy;
    if (settings_.Restart == TRestartPolicy::Never ||
        (settings_.Restart == TRestartPolicy::OnFailure && succeeded)) {
        decision.Restart = false;
        decision.ServiceExitCode = succeeded ? 0 : ProgramFailedExitCode;
        decision.Reason = ran ? TEndReason::NotRestarted : TEndReason::CannotStart;
        decision.Why = ended + (settings_.Restart == TRestartPolicy::Never
                                    ? " and is never restarted"
                                    : ", a success, and is restarted only after a failure");
        return decision;
    }
    if (settings_.RestartWindowSeconds > 0)
        while (!restarts_.empty() && nowMs - restarts_.front() >= settings_.RestartWindowSeconds * 1000ull)
            restarts_.pop_front();
    if (settings_.MaxRestarts > 0 && restarts_.size() >= settings_.MaxRestarts) {
        decision.Restart = false;
        decision.ServiceExitCode = TooManyRestartsExitCode;
        decision.Reason = ran ? TEndReason::GaveUp : TEndReason::CannotStart;
        // The first start and every restart the window still holds.
        decision.CountedStarts = static_cast<unsigned>(restarts_.size()) + 1;
        decision.WindowSeconds = settings_.RestartWindowSeconds;
        decision.Why = ended + " after " + std::to_string(restarts_.size()) + " restarts " +
                       (settings_.RestartWindowSeconds > 0
                            ? "within " + std::to_string(settings_.RestartWindowSeconds) + " s"
                            : std::string("since the service started")) +
                       ", the most allowed";
        return decision;
    }
    // Only the latest restarts up to the maximum can refuse one: older ones
    // are let go, so a program that keeps ending does not grow the host.
    restarts_.push_back(nowMs);
    while (restarts_.size() > settings_.MaxRestarts)
        restarts_.pop_front();
    decision.WaitMs = backOff_.Next(ranMs);
    return decision;
}
