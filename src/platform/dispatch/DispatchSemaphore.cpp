#include "platform/dispatch/DispatchSemaphore.hpp"

#include <stdexcept>

namespace platform {

DispatchSemaphore::DispatchSemaphore(long value) : value_(value) {
    if (value < 0) throw std::invalid_argument("DispatchSemaphore: negative initial value");
}

long DispatchSemaphore::signal() {
    // Notified under the lock: a waiter that returns may destroy the semaphore at once.
    std::lock_guard guard(mutex_);
    ++value_;
    if (waiters_ == 0) return 0;
    available_.notify_one();
    return 1;
}

DispatchTimeoutResult DispatchSemaphore::wait(DispatchTime deadline) {
    std::unique_lock lock(mutex_);
    ++waiters_;
    const bool got = waitUntil(available_, lock, deadline, [this] { return value_ > 0; });
    --waiters_;
    if (!got) return DispatchTimeoutResult::timedOut;
    --value_;
    return DispatchTimeoutResult::success;
}

DispatchTimeoutResult DispatchSemaphore::wait(double timeoutSeconds) { return wait(DispatchTime::now() + timeoutSeconds); }

}  // namespace platform
