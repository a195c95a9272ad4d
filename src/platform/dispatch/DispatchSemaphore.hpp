#pragma once

#include "platform/dispatch/DispatchTime.hpp"

#include <condition_variable>
#include <mutex>

namespace platform {

/// A counting semaphore. Every wait takes a limit.
class DispatchSemaphore {
public:
    /// Throws std::invalid_argument for a negative value.
    explicit DispatchSemaphore(long value = 0);
    DispatchSemaphore(const DispatchSemaphore&) = delete;
    DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

    /// Returns 1 when a waiting thread was woken, else 0.
    long signal();
    DispatchTimeoutResult wait(DispatchTime deadline);
    DispatchTimeoutResult wait(double timeoutSeconds);

private:
    std::mutex mutex_;
    std::condition_variable available_;
    long value_;
    long waiters_ = 0;
};

}  // namespace platform
