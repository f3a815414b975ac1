#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

// A monotonic clock in milliseconds, and the median of repeated runs.
inline double now_ms()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
