// Timing and reporting shared by the benchmarks: one line per figure with ours, the reference and
// their ratio.
#pragma once

#include "support/ServerScript.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrane_bench {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

/// Seconds a reference tool's command line takes (at most 10 minutes); throws when it fails.
inline double secondsOfCommand(const std::string& command) {
    const auto started = Clock::now();
    if (ostrane_test::runCommand(command, 600) != 0) throw std::runtime_error("failed: " + command);
    return seconds(Clock::now() - started);
}

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

/// MiB/s of reading [0, size) in steps of `chunk`; `read(offset)` answers whether it got them.
template <class Read>
double sequentialMiBps(std::int64_t size, std::int64_t chunk, Read&& read) {
    const auto started = Clock::now();
    for (std::int64_t offset = 0; offset < size; offset += chunk) {
        if (!read(offset)) throw std::runtime_error("read failed at " + std::to_string(offset));
    }
    return static_cast<double>(size) / (1 << 20) / seconds(Clock::now() - started);
}

/// Microseconds per read, one read at each offset.
template <class Read>
double microsecondsPerRead(const std::vector<std::int64_t>& offsets, Read&& read) {
    const auto started = Clock::now();
    for (auto offset : offsets) {
        if (!read(offset)) throw std::runtime_error("read failed at " + std::to_string(offset));
    }
    return seconds(Clock::now() - started) * 1e6 / static_cast<double>(offsets.size());
}

/// Ours and the raw library's reads, side by side, one line a round.
template <class Ours, class Raw>
void compareSequential(const std::string& what, std::int64_t size, std::int64_t chunk, int rounds, Ours&& ours, Raw&& raw) {
    for (int round = 0; round < rounds; ++round) {
        const double mine = sequentialMiBps(size, chunk, ours);
        line(what, mine, sequentialMiBps(size, chunk, raw), "MiB/s");
    }
}

template <class Ours, class Raw>
void compareRandom(const std::string& what, const std::vector<std::int64_t>& offsets, int rounds, Ours&& ours, Raw&& raw) {
    for (int round = 0; round < rounds; ++round) {
        const double mine = microsecondsPerRead(offsets, ours);
        line(what, mine, microsecondsPerRead(offsets, raw), "us");
    }
}

// A file of `sizeMiB` MiB of seeded random bytes, each MiB marked with its index, that the
// servers' own users may read.
inline void writeRandomFile(const std::filesystem::path& path, std::int64_t sizeMiB) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        std::vector<char> block(1 << 20);
        std::mt19937_64 random(7);
        for (auto& b : block) b = static_cast<char>(random());
        for (std::int64_t i = 0; i < sizeMiB; ++i) {
            block[0] = static_cast<char>(i);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    std::filesystem::permissions(path, std::filesystem::perms(0644));
}

}  // namespace ostrane_bench
