#include "platform/dispatch/OperationQueue.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

namespace platform {

namespace {
thread_local std::vector<const OperationQueue*> t_operationQueues;
}

std::shared_ptr<OperationQueue> OperationQueue::make(std::string name) {
    return std::shared_ptr<OperationQueue>(new OperationQueue(std::move(name)));
}

std::string OperationQueue::name() const {
    std::lock_guard guard(mutex_);
    return name_;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard guard(mutex_);
    name_ = std::move(name);
}

int OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard guard(mutex_);
    return maxConcurrent_;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
    if (count < 1 && count != defaultMaxConcurrentOperationCount) {
        throw std::invalid_argument("OperationQueue.maxConcurrentOperationCount: must be -1 or positive");
    }
    std::unique_lock lock(mutex_);
    maxConcurrent_ = count;
    startRunnersLocked(lock);
}

size_t OperationQueue::limitLocked() const {
    return maxConcurrent_ < 0 ? std::numeric_limits<size_t>::max() : static_cast<size_t>(maxConcurrent_);
}

void OperationQueue::addOperation(std::function<void()> operation) {
    if (!operation) throw std::invalid_argument("OperationQueue.addOperation: empty operation");
    std::unique_lock lock(mutex_);
    pending_.push_back(std::move(operation));
    startRunnersLocked(lock);
}

void OperationQueue::startRunnersLocked(std::unique_lock<std::mutex>& lock) {
    const size_t limit = limitLocked();
    size_t wanted = 0;
    while (runners_ < limit && runners_ < pending_.size() + executing_) {
        ++runners_;
        ++wanted;
    }
    lock.unlock();
    for (size_t i = 0; i < wanted; ++i) detail::runOnPoolThread([self = shared_from_this()] { self->runOperations(); });
}

void OperationQueue::runOperations() {
    t_operationQueues.push_back(this);
    std::unique_lock lock(mutex_);
    while (!pending_.empty() && runners_ <= limitLocked()) {
        auto operation = std::move(pending_.front());
        pending_.pop_front();
        ++executing_;
        lock.unlock();
        try {
            operation();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "platform: operation on '%s' threw: %s\n", name().c_str(), e.what());
        } catch (...) {
            std::fprintf(stderr, "platform: operation on '%s' threw an unknown exception\n", name().c_str());
        }
        operation = nullptr;
        lock.lock();
        --executing_;
    }
    --runners_;
    const bool idle = pending_.empty() && executing_ == 0;
    lock.unlock();
    t_operationQueues.pop_back();
    if (idle) finished_.notify_all();
}

void OperationQueue::cancelAllOperations() {
    std::deque<std::function<void()>> dropped;
    std::unique_lock lock(mutex_);
    dropped.swap(pending_);
    const bool idle = executing_ == 0;
    lock.unlock();
    if (idle) finished_.notify_all();
    // `dropped` is destroyed here, outside the lock: captured state may call back in.
}

size_t OperationQueue::operationCount() const {
    std::lock_guard guard(mutex_);
    return pending_.size() + executing_;
}

bool OperationQueue::waitUntilAllOperationsAreFinished(double timeoutSeconds) {
    if (isCurrent()) {
        throw DispatchDeadlockError("OperationQueue.waitUntilAllOperationsAreFinished from an operation of the same queue");
    }
    std::unique_lock lock(mutex_);
    return waitUntil(finished_, lock, DispatchTime::now() + timeoutSeconds,
                     [this] { return pending_.empty() && executing_ == 0; });
}

bool OperationQueue::isCurrent() const {
    return std::find(t_operationQueues.begin(), t_operationQueues.end(), this) != t_operationQueues.end();
}

}  // namespace platform
