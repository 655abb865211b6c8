#include "stub/BackOff.h"

uint32_t TBackOff::Next(uint64_t runMs)
{
    if (runMs >= steady_)
        failures_ = 0;
    uint32_t wait = 0;
    if (failures_ > 0) {
        uint64_t grown = first_;
        for (uint32_t i = 1; i < failures_ && grown < ceiling_; ++i)
            grown *= 2;
        wait = static_cast<uint32_t>(grown < ceiling_ ? grown : ceiling_);
    }
    if (failures_ < UINT32_MAX)
        ++failures_;
    return wait;
}
