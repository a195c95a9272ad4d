// Records every call a completion receives, in order, and waits for them with a bound.
#pragma once

#include "support/Wait.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace ostrane_test {

template <class T>
class Calls {
public:
    void add(T value) {
        // Notified under the lock: a waiter on the stack may return and destroy this at once.
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    /// True once `count` calls came; false when `limit` passed first.
    bool waitFor(std::size_t count, std::chrono::steady_clock::duration limit = hangLimit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return values_.size() >= count; });
    }
    std::vector<T> values() {
        std::lock_guard lock(mutex_);
        return values_;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return values_.size();
    }
    T first() {
        std::lock_guard lock(mutex_);
        return values_.at(0);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace ostrane_test
