#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

// Calls work(i) for every i below count, on up to most threads at once, the
// calling thread among them; returns when every call has. For calls that
// mostly wait on another process, each i handled by exactly one thread.
template <class TWork>
void AtOnce(size_t count, size_t most, const TWork& work)
{
    std::atomic<size_t> next{0};
    auto take = [&] {
        for (size_t i = next++; i < count; i = next++)
            work(i);
    };
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < std::min(count, most); ++i)
        helpers.emplace_back(take);
    take();
    for (std::thread& helper : helpers)
        helper.join();
}
