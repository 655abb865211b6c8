#pragma once
#include <cstdint>

// How long to wait before starting the program again. The first restart
// comes at once; each further quick failure doubles the wait, up to a
// ceiling; a run that lasted long enough counts as steady and starts the
// sequence afresh.
class TBackOff {
public:
    TBackOff(uint32_t firstDelayMs, uint32_t ceilingMs, uint32_t steadyRunMs)
        : first_(firstDelayMs), ceiling_(ceilingMs), steady_(steadyRunMs)
    {
    }

    // Called when a run ended (or a start failed, with a run time of 0);
    // gives the wait before the next start.
    uint32_t Next(uint64_t runMs);

private:
    uint32_t first_;
    uint32_t ceiling_;
    uint32_t steady_;
    uint32_t failures_ = 0;
};
