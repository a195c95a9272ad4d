#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace platform {

/// A point on the monotonic clock, as dispatch deadlines and wait limits are given.
struct DispatchTime {
    using Clock = std::chrono::steady_clock;

    Clock::time_point uptime{};

    static DispatchTime now() { return DispatchTime{Clock::now()}; }
    /// A deadline that never comes; for waits that are bounded elsewhere.
    static DispatchTime distantFuture() { return DispatchTime{Clock::time_point::max()}; }

    bool isDistantFuture() const { return uptime == Clock::time_point::max(); }

    /// Seconds may be fractional or negative; NaN counts as zero, and more than about
    /// thirty years ahead is the distant future.
    friend DispatchTime operator+(DispatchTime t, double seconds) {
        constexpr double horizon = 1e9;
        if (t.isDistantFuture() || std::isnan(seconds)) return t;
        if (seconds >= horizon) return distantFuture();
        if (seconds < -horizon) seconds = -horizon;
        return DispatchTime{t.uptime + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))};
    }
    friend DispatchTime operator-(DispatchTime t, double seconds) { return t + (-seconds); }

    friend bool operator==(const DispatchTime&, const DispatchTime&) = default;
    friend auto operator<=>(const DispatchTime&, const DispatchTime&) = default;
};

/// Outcome of a bounded wait.
enum class DispatchTimeoutResult { success, timedOut };

/// Waits on `cv` until `ready()` holds or the deadline passes; true when ready.
template <class Predicate>
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DispatchTime deadline, Predicate ready) {
    if (deadline.isDistantFuture()) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_until(lock, deadline.uptime, ready);
}

}  // namespace platform
