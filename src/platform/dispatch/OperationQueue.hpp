#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

/// A named queue of operations that runs up to `maxConcurrentOperationCount` of them at
/// once (1: one after another in the order added), each on a pool thread.
class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    /// As many at once as there are operations.
    static constexpr int defaultMaxConcurrentOperationCount = -1;

    static std::shared_ptr<OperationQueue> make(std::string name = {});

    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    std::string name() const;
    void setName(std::string name);

    int maxConcurrentOperationCount() const;
    /// -1 or a positive count; anything else throws std::invalid_argument.
    void setMaxConcurrentOperationCount(int count);

    void addOperation(std::function<void()> operation);
    /// Operations not yet started are dropped; running ones finish.
    void cancelAllOperations();
    /// Operations added and not yet finished.
    size_t operationCount() const;
    /// Waits until no operation is queued or running; false when `timeoutSeconds` passed
    /// first. From one of this queue's own operations it throws DispatchDeadlockError.
    bool waitUntilAllOperationsAreFinished(double timeoutSeconds = 60);

    /// True while the calling thread runs an operation of this queue.
    bool isCurrent() const;

private:
    explicit OperationQueue(std::string name) : name_(std::move(name)) {}

    size_t limitLocked() const;
    void startRunnersLocked(std::unique_lock<std::mutex>& lock);
    void runOperations();

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::string name_;
    int maxConcurrent_ = defaultMaxConcurrentOperationCount;
    std::deque<std::function<void()>> pending_;
    size_t runners_ = 0;    // pool tasks taking operations from pending_
    size_t executing_ = 0;  // operations running now
};

}  // namespace platform
