#pragma once
#include <set>
#include <vector>

#include "messaging/Liveness.h"
#include "toolkit/Refusal.h"

// Asks service hosts from before the status pipe whether their programs
// run: through the liveness mailslot, on the manager's reply mailslot, held
// for as long as the questions are asked. The window owns that mailslot
// while it runs: then nothing is asked and nothing taken.
class TOlderHosts {
public:
    TOlderHosts();
    ~TOlderHosts();
    TOlderHosts(const TOlderHosts&) = delete;
    TOlderHosts& operator=(const TOlderHosts&) = delete;

    // Takes the reply mailslot, or says who holds it: the window, or
    // another check.
    [[nodiscard]] TRefusal Take();
    // Asks them all, then waits the one reply time-out for their answers:
    // the IDs that answered their own question.
    std::set<int> ActiveAmong(const std::vector<int>& serviceIDs);

private:
    TLiveness liveness_;
};
