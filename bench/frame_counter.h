// Shared between the preloaded frame counter and the program that reads it:
// one record in a file both map.
#pragma once

#include <cstdint>
#include <ctime>

struct FrameCounters {
    std::uint64_t frames;      // buffer swaps so far
    std::int64_t firstSwapNs;  // CLOCK_MONOTONIC at the end of the first swap
    std::int64_t drawNsTotal;  // glClear to the end of the swap, summed
    std::uint64_t drawsTimed;
};

inline std::int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
