#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace lento::bench {

// The median and the slowest of `runs` runs of `work`, in milliseconds.
struct Times {
    double median = 0;
    double slowest = 0;
};

inline Times timesMs(int runs, const std::function<void()>& work) {
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.back()};
}

} // namespace lento::bench
