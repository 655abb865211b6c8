#pragma once

// Gives a value another for one scope and puts the old one back after, also
// when the scope raises: a flag held up while a step runs, or a seam table's
// entry swapped by a test.
template <class T>
class TScopedValue {
public:
    TScopedValue(T& value, T during) : value_(value), saved_(value) { value_ = during; }
    ~TScopedValue() { value_ = saved_; }
    TScopedValue(const TScopedValue&) = delete;
    TScopedValue& operator=(const TScopedValue&) = delete;

private:
    T& value_;
    T saved_;
};

// Swaps one entry of a seam table for the lifetime of the object, so a test
// can make a Windows call fail the way Wine will not.
template <class Fn>
using TSeamOverride = TScopedValue<Fn>;
