// Percentiles of timed samples, for the figures programs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

struct Spread {
    double P50;
    double P99;
};

// Nearest-rank percentiles of the samples, in their unit.
inline Spread Percentiles(std::vector<double> Samples) {
    std::sort(Samples.begin(), Samples.end());
    const auto rank = [&](double P) {
        const auto n = static_cast<double>(Samples.size());
        return Samples[static_cast<std::size_t>(std::max(std::ceil(P * n), 1.0)) - 1];
    };
    return {rank(0.50), rank(0.99)};
}
