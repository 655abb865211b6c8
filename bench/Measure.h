#pragma once
#include <algorithm>
#include <chrono>
#include <vector>

// The middle value of a set of measurements (-1 for none).
inline double Median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Wall-clock milliseconds that work takes.
template <class F>
double Milliseconds(F&& work)
{
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
