#include "platform/dispatch/DispatchGroup.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <stdexcept>

namespace platform {

void DispatchGroup::enter() {
    std::lock_guard guard(mutex_);
    ++count_;
}

void DispatchGroup::leave() {
    std::unique_lock lock(mutex_);
    if (count_ == 0) throw std::logic_error("DispatchGroup.leave: no matching enter");
    if (--count_ > 0) return;
    auto notifications = std::move(notifications_);
    notifications_.clear();
    empty_.notify_all();  // under the lock: a waiter that returns may destroy the group
    lock.unlock();
    for (auto& [queue, work] : notifications) queue->async(std::move(work));
}

DispatchTimeoutResult DispatchGroup::wait(DispatchTime deadline) {
    std::unique_lock lock(mutex_);
    return waitUntil(empty_, lock, deadline, [this] { return count_ == 0; }) ? DispatchTimeoutResult::success
                                                                            : DispatchTimeoutResult::timedOut;
}

DispatchTimeoutResult DispatchGroup::wait(double timeoutSeconds) { return wait(DispatchTime::now() + timeoutSeconds); }

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> work) {
    if (!queue) throw std::invalid_argument("DispatchGroup.notify: no queue");
    if (!work) throw std::invalid_argument("DispatchGroup.notify: empty work item");
    std::unique_lock lock(mutex_);
    if (count_ > 0) {
        notifications_.emplace_back(std::move(queue), std::move(work));
        return;
    }
    lock.unlock();
    queue->async(std::move(work));
}

}  // namespace platform
