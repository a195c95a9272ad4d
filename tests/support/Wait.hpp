// How every test waits: for the event it expects, with one generous bound that only guards against a
// hang. A machine busy with other builds may be slow by tens of seconds; it never fails a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ostrane_test {

/// The bound on any wait for something that is expected to happen: reaching it means a hang.
inline constexpr std::chrono::seconds hangLimit{120};
/// The same bound in seconds, for library time-outs that take a count of seconds.
inline constexpr double hangLimitSeconds = static_cast<double>(hangLimit.count());

/// How long a test watches for something that must not happen. Only a late wrong event can slip
/// through a short watch; it never fails a correct run.
inline constexpr std::chrono::milliseconds quietPeriod{200};

/// Polls `done` until it holds; false when `limit` passed first.
template <class Predicate>
bool waitUntil(Predicate&& done, std::chrono::steady_clock::duration limit = hangLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// Waits on a condition variable under `lock` until `done` holds; false when `limit` passed first.
template <class Lock, class Predicate>
bool waitUntil(std::condition_variable& changed, Lock& lock, Predicate&& done,
               std::chrono::steady_clock::duration limit = hangLimit) {
    return changed.wait_for(lock, limit, std::forward<Predicate>(done));
}

/// True when the future is ready within `limit`.
template <class Future>
bool becomesReady(Future& future, std::chrono::steady_clock::duration limit = hangLimit) {
    return future.wait_for(limit) == std::future_status::ready;
}

/// The future's value; throws (failing the test with the message) when it does not come in time.
template <class T>
T awaitValue(std::future<T>& future, std::chrono::steady_clock::duration limit = hangLimit) {
    if (!becomesReady(future, limit)) throw std::runtime_error("timed out waiting for a completion");
    return future.get();
}

/// Where a fixture's thread waits until the test lets it go on. Held by a shared_ptr that the
/// waiter keeps too, as a waiter may outlive the test's scope.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    /// True once open; false when `limit` passed first.
    bool pass(std::chrono::steady_clock::duration limit = hangLimit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

/// Opens a gate when it goes, so that no waiter is left behind by a test that stops early.
class GateOpener {
public:
    explicit GateOpener(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    ~GateOpener() { gate_->open(); }
    GateOpener(const GateOpener&) = delete;
    GateOpener& operator=(const GateOpener&) = delete;

private:
    std::shared_ptr<Gate> gate_;
};

/// What went wrong on a fixture's own threads, kept until the test reports it.
class FixtureFailures {
public:
    void record(std::string what) {
        std::lock_guard lock(mutex_);
        failures_.push_back(std::move(what));
    }
    /// Records the exception being handled.
    void recordCurrentException(const std::string& where) {
        try {
            throw;
        } catch (const std::exception& e) {
            record(where + ": " + e.what());
        } catch (...) {
            record(where + ": an exception of unknown type");
        }
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return failures_;
    }
    /// Fails the running test once for each failure recorded since the last report.
    void report() {
        std::vector<std::string> pending;
        {
            std::lock_guard lock(mutex_);
            pending.swap(failures_);
        }
        for (const auto& f : pending) ADD_FAILURE() << f;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> failures_;
};

/// A fixture's thread: what its body throws is recorded instead of ending the process, and
/// reported as a failure of the test when the thread is joined.
class FixtureThread {
public:
    FixtureThread() = default;
    template <class Body>
    FixtureThread(std::string name, Body&& body) {
        thread_ = std::thread([this, name = std::move(name), body = std::forward<Body>(body)]() mutable {
            try {
                body();
            } catch (...) {
                failures_.recordCurrentException(name);
            }
        });
    }
    FixtureThread(const FixtureThread&) = delete;
    FixtureThread& operator=(const FixtureThread&) = delete;
    ~FixtureThread() { join(); }

    void join() {
        if (thread_.joinable()) thread_.join();
        failures_.report();
    }

private:
    FixtureFailures failures_;
    std::thread thread_;
};

}  // namespace ostrane_test
