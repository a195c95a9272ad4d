#pragma once

#include "platform/dispatch/DispatchTime.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform {

class DispatchGroup;
class MainQueue;
class RunLoop;

/// Thrown by `sync` onto a serial queue whose item is already running further up the
/// calling thread's stack: waiting there could never end.
class DispatchDeadlockError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

/// A queue of work items. Serial queues run one item at a time in the order given;
/// concurrent queues start every item at once. Items run on threads taken on demand
/// from an elastic pool, so an item that blocks never holds back another queue.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Attributes { serial, concurrent };

    static std::shared_ptr<DispatchQueue> make(std::string label, Attributes attributes = Attributes::serial);

    /// The serial queue of delegate reports; see MainQueue for who drains it.
    static std::shared_ptr<DispatchQueue> main();
    /// The process-wide concurrent queue.
    static std::shared_ptr<DispatchQueue> global();

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;
    ~DispatchQueue();

    const std::string& label() const { return label_; }
    bool isSerial() const { return kind_ != Kind::concurrent; }
    /// True while the calling thread runs an item of this queue (also from inside a
    /// `sync` that this queue's item made onto another queue).
    bool isCurrent() const;
    /// Label of the innermost queue the calling thread runs an item of, or empty.
    static std::string currentLabel();

    void async(std::function<void()> work);
    /// Enters the group now and leaves it when the item has run.
    void async(const std::shared_ptr<DispatchGroup>& group, std::function<void()> work);
    void asyncAfter(DispatchTime deadline, std::function<void()> work);
    void asyncAfter(double seconds, std::function<void()> work);

    /// Runs `work` after every item queued before it and returns its result; an
    /// exception thrown by `work` reaches the caller. Throws DispatchDeadlockError
    /// when called from this serial queue's own item.
    template <class F>
    auto sync(F&& work) -> std::remove_cvref_t<std::invoke_result_t<F&>> {
        using R = std::remove_cvref_t<std::invoke_result_t<F&>>;
        if constexpr (std::is_void_v<R>) {
            syncImpl([&work] { work(); });
        } else {
            std::optional<R> result;
            syncImpl([&work, &result] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    /// Items already running finish; later ones wait until every suspend is matched
    /// by a resume. Resuming more often than suspending, or suspending the global
    /// queue, throws std::logic_error.
    void suspend();
    void resume();

private:
    enum class Kind { serial, concurrent, main };
    struct Item {
        std::function<void()> work;
        // Set for a sync caller waiting its turn on a serial queue.
        std::shared_ptr<struct SyncTurn> turn;
    };

    DispatchQueue(std::string label, Kind kind);

    void syncImpl(const std::function<void()>& work);
    void syncSerial(const std::function<void()>& work);
    void syncConcurrent(const std::function<void()>& work);
    void syncMain(const std::function<void()>& work);
    void enqueue(Item item);
    void drainSerial();
    void releaseSerialOwnership();
    void runConcurrentItem(std::function<void()> work);
    void runItem(std::function<void()>& work) const;

    // Main queue, used by MainQueue and RunLoop.
    friend class MainQueue;
    friend class RunLoop;
    size_t drainMain(DispatchTime firstItemDeadline, size_t limit);
    bool servesOnCallingThreadLocked() const;
    void mainThreadLoop();

    const std::string label_;
    const Kind kind_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> items_;
    int suspendCount_ = 0;
    // Serial: a drainer or a sync caller owns the queue.
    bool owned_ = false;
    // Concurrent: items held back while suspended.
    std::vector<std::function<void()>> heldWhileSuspended_;
    // Main: the thread now running a main-queue item, and whether the host drains.
    std::thread::id mainOwner_{};
    bool drainedByHost_ = false;
    std::thread::id hostThread_{};
};

namespace detail {
/// Runs `task` on a pool thread: an idle one when there is one, else a new one.
/// Idle threads leave after a while, so the pool grows with blocked work and shrinks back.
void runOnPoolThread(std::function<void()> task);
}  // namespace detail

}  // namespace platform
