#pragma once

// Swaps one entry of a seam table for the lifetime of the object, so a test
// can make a Windows call fail the way Wine will not.
template <class Fn>
class TSeamOverride {
public:
    TSeamOverride(Fn& slot, Fn replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~TSeamOverride() { slot_ = saved_; }
    TSeamOverride(const TSeamOverride&) = delete;
    TSeamOverride& operator=(const TSeamOverride&) = delete;

private:
    Fn& slot_;
    Fn saved_;
};
