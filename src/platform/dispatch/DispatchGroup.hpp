#pragma once

#include "platform/dispatch/DispatchTime.hpp"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

class DispatchQueue;

/// Counts work in flight; waiters and notifications run when the count is back at zero.
class DispatchGroup {
public:
    DispatchGroup() = default;
    DispatchGroup(const DispatchGroup&) = delete;
    DispatchGroup& operator=(const DispatchGroup&) = delete;

    void enter();
    /// Throws std::logic_error when there is no matching enter.
    void leave();
    DispatchTimeoutResult wait(DispatchTime deadline);
    DispatchTimeoutResult wait(double timeoutSeconds);
    /// Queues `work` on `queue` once the group is empty (at once when it is empty now).
    void notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> work);

private:
    std::mutex mutex_;
    std::condition_variable empty_;
    long count_ = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, std::function<void()>>> notifications_;
};

}  // namespace platform
