// Timing and reporting shared by the benchmarks: one line per figure with ours, the reference and
// their ratio.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace ostrane_bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

/// Small figures (seconds of a listing) want more decimals than throughputs.
inline void line(const std::string& what, double ours, double reference, const char* unit, int decimals = 1) {
    std::printf("%-62s ours %11.*f %-7s reference %11.*f %-7s ratio %.2f\n", what.c_str(), decimals, ours, unit, decimals,
                reference, unit, reference > 0 ? ours / reference : 0.0);
    std::fflush(stdout);
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

template <class F>
double bestSeconds(int rounds, F&& f) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        f();
        best = std::min(best, seconds(Clock::now() - t0));
    }
    return best;
}

/// The same offsets on every run, so ours and the reference read the same places.
inline std::vector<std::int64_t> randomOffsets(std::int64_t size, std::int64_t chunk, int count) {
    std::mt19937_64 random(42);
    std::vector<std::int64_t> offsets;
    for (int i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(size - chunk)));
    }
    return offsets;
}

}  // namespace ostrane_bench
