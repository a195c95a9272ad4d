#include "platform/dispatch/DispatchQueue.hpp"

#include "platform/dispatch/DispatchGroup.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>

#include <pthread.h>

namespace platform {

namespace {

// The queues whose items the calling thread is running, innermost last. A sync onto
// a serial queue found here would wait for itself.
thread_local std::vector<const DispatchQueue*> t_queueStack;
thread_local bool t_isLibraryMainThread = false;

struct StackFrame {
    explicit StackFrame(const DispatchQueue* queue) { t_queueStack.push_back(queue); }
    ~StackFrame() { t_queueStack.pop_back(); }
    StackFrame(const StackFrame&) = delete;
    StackFrame& operator=(const StackFrame&) = delete;
};

// Lends a sync caller's queue stack to the thread that runs its item for it.
struct InheritedStack {
    explicit InheritedStack(std::vector<const DispatchQueue*> stack) : saved(std::move(t_queueStack)) {
        t_queueStack = std::move(stack);
    }
    ~InheritedStack() { t_queueStack = std::move(saved); }
    InheritedStack(const InheritedStack&) = delete;
    InheritedStack& operator=(const InheritedStack&) = delete;
    std::vector<const DispatchQueue*> saved;
};

// Names show up in debuggers and `top -H`; at most 15 characters.
void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

void reportEscapedException(const std::string& where, const char* what) {
    std::fprintf(stderr, "platform: work item on '%s' threw: %s\n", where.c_str(), what);
}

// Threads are made when no idle one is left and leave after idling a while: a
// blocked item costs a thread, never another queue's progress.
class WorkerPool {
public:
    static WorkerPool& shared() {
        static WorkerPool* pool = new WorkerPool;  // outlives static destruction; workers may still run
        return *pool;
    }

    void submit(std::function<void()> task) {
        std::unique_lock lock(mutex_);
        tasks_.push_back(std::move(task));
        if (idle_ > 0) {
            --idle_;
            ++wakeTokens_;
            lock.unlock();
            wake_.notify_one();
            return;
        }
        lock.unlock();
        try {
            std::thread([this] { workerLoop(); }).detach();
        } catch (const std::system_error& e) {
            // The task stays queued; the next worker that finishes takes it.
            std::fprintf(stderr, "platform: cannot start a worker thread: %s\n", e.what());
        }
    }

private:
    static constexpr auto idleTimeout = std::chrono::seconds(5);

    void workerLoop() {
        nameThisThread("ostrane-worker");
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!tasks_.empty()) {
                auto task = std::move(tasks_.front());
                tasks_.pop_front();
                lock.unlock();
                try {
                    task();
                } catch (const std::exception& e) {
                    reportEscapedException("worker", e.what());
                } catch (...) {
                    reportEscapedException("worker", "unknown exception");
                }
                task = nullptr;
                lock.lock();
                continue;
            }
            ++idle_;
            if (!wake_.wait_for(lock, idleTimeout, [this] { return wakeTokens_ > 0; })) {
                --idle_;
                return;
            }
            --wakeTokens_;  // the submitter already took us off the idle count
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    size_t idle_ = 0;
    size_t wakeTokens_ = 0;
};

// One thread holds the delayed items and hands each to its queue when due; items due
// at the same time go in the order they were given.
class DelayedItems {
public:
    static DelayedItems& shared() {
        static DelayedItems* timers = new DelayedItems;
        return *timers;
    }

    void schedule(DispatchTime when, std::shared_ptr<DispatchQueue> queue, std::function<void()> work) {
        std::unique_lock lock(mutex_);
        heap_.push_back(Entry{when, nextSequence_++, std::move(queue), std::move(work)});
        std::push_heap(heap_.begin(), heap_.end(), later);
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        lock.unlock();
        changed_.notify_one();
    }

private:
    struct Entry {
        DispatchTime when;
        unsigned long long sequence;
        std::shared_ptr<DispatchQueue> queue;
        std::function<void()> work;
    };
    static bool later(const Entry& a, const Entry& b) {
        return a.when != b.when ? a.when > b.when : a.sequence > b.sequence;
    }

    void loop() {
        nameThisThread("ostrane-timer");
        std::unique_lock lock(mutex_);
        for (;;) {
            if (heap_.empty() || heap_.front().when.isDistantFuture()) {
                changed_.wait(lock);
                continue;
            }
            const DispatchTime due = heap_.front().when;  // a copy: the heap may grow while we wait
            if (DispatchTime::now() < due) {
                changed_.wait_until(lock, due.uptime);
                continue;
            }
            std::pop_heap(heap_.begin(), heap_.end(), later);
            Entry entry = std::move(heap_.back());
            heap_.pop_back();
            lock.unlock();
            try {
                entry.queue->async(std::move(entry.work));
            } catch (const std::exception& e) {
                reportEscapedException(entry.queue->label(), e.what());
            }
            entry = Entry{};
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> heap_;
    unsigned long long nextSequence_ = 0;
    bool started_ = false;
};

}  // namespace

namespace detail {
void runOnPoolThread(std::function<void()> task) { WorkerPool::shared().submit(std::move(task)); }
}  // namespace detail

struct SyncTurn {
    bool granted = false;  // guarded by the queue's mutex
    std::condition_variable cv;
};

DispatchQueue::DispatchQueue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}

DispatchQueue::~DispatchQueue() = default;

std::shared_ptr<DispatchQueue> DispatchQueue::make(std::string label, Attributes attributes) {
    const Kind kind = attributes == Attributes::concurrent ? Kind::concurrent : Kind::serial;
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(std::move(label), kind));
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
    static auto* queue = [] {
        auto* q = new std::shared_ptr<DispatchQueue>(new DispatchQueue("main-thread", Kind::main));
        std::thread([q = *q] { q->mainThreadLoop(); }).detach();
        return q;
    }();
    return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
    static auto* queue = new std::shared_ptr<DispatchQueue>(new DispatchQueue("global", Kind::concurrent));
    return *queue;
}

bool DispatchQueue::isCurrent() const {
    return std::find(t_queueStack.begin(), t_queueStack.end(), this) != t_queueStack.end();
}

std::string DispatchQueue::currentLabel() { return t_queueStack.empty() ? std::string() : t_queueStack.back()->label(); }

void DispatchQueue::async(std::function<void()> work) {
    if (!work) throw std::invalid_argument("DispatchQueue.async: empty work item");
    enqueue(Item{std::move(work), nullptr});
}

void DispatchQueue::async(const std::shared_ptr<DispatchGroup>& group, std::function<void()> work) {
    if (!group) throw std::invalid_argument("DispatchQueue.async: no group");
    if (!work) throw std::invalid_argument("DispatchQueue.async: empty work item");
    group->enter();
    // The group is left when the item is gone, also when it never ran (queue dropped
    // while suspended), so a wait on the group ends.
    std::shared_ptr<void> leaver(nullptr, [group](void*) { group->leave(); });
    enqueue(Item{[leaver = std::move(leaver), work = std::move(work)] { work(); }, nullptr});
}

void DispatchQueue::asyncAfter(DispatchTime deadline, std::function<void()> work) {
    if (!work) throw std::invalid_argument("DispatchQueue.asyncAfter: empty work item");
    DelayedItems::shared().schedule(deadline, shared_from_this(), std::move(work));
}

void DispatchQueue::asyncAfter(double seconds, std::function<void()> work) {
    asyncAfter(DispatchTime::now() + seconds, std::move(work));
}

void DispatchQueue::enqueue(Item item) {
    std::unique_lock lock(mutex_);
    switch (kind_) {
    case Kind::serial: {
        items_.push_back(std::move(item));
        if (owned_ || suspendCount_ > 0) return;
        owned_ = true;
        lock.unlock();
        detail::runOnPoolThread([self = shared_from_this()] { self->drainSerial(); });
        return;
    }
    case Kind::concurrent: {
        if (suspendCount_ > 0) {
            heldWhileSuspended_.push_back(std::move(item.work));
            return;
        }
        lock.unlock();
        detail::runOnPoolThread(
            [self = shared_from_this(), work = std::move(item.work)]() mutable { self->runConcurrentItem(std::move(work)); });
        return;
    }
    case Kind::main:
        items_.push_back(std::move(item));
        lock.unlock();
        changed_.notify_all();
        return;
    }
}

void DispatchQueue::runItem(std::function<void()>& work) const {
    try {
        work();
    } catch (const std::exception& e) {
        reportEscapedException(label_, e.what());
    } catch (...) {
        reportEscapedException(label_, "unknown exception");
    }
}

void DispatchQueue::drainSerial() {
    StackFrame frame(this);
    std::unique_lock lock(mutex_);
    for (;;) {
        if (suspendCount_ > 0 || items_.empty()) {
            owned_ = false;
            return;
        }
        Item item = std::move(items_.front());
        items_.pop_front();
        if (item.turn) {
            // The waiting sync caller takes over the queue and hands it back when done.
            item.turn->granted = true;
            item.turn->cv.notify_one();
            return;
        }
        lock.unlock();
        runItem(item.work);
        item.work = nullptr;  // captured state is released before the lock is taken again
        lock.lock();
    }
}

void DispatchQueue::releaseSerialOwnership() {
    std::unique_lock lock(mutex_);
    if (items_.empty() || suspendCount_ > 0) {
        owned_ = false;
        return;
    }
    lock.unlock();
    detail::runOnPoolThread([self = shared_from_this()] { self->drainSerial(); });
}

void DispatchQueue::runConcurrentItem(std::function<void()> work) {
    StackFrame frame(this);
    runItem(work);
}

void DispatchQueue::syncImpl(const std::function<void()>& work) {
    switch (kind_) {
    case Kind::serial:
        return syncSerial(work);
    case Kind::concurrent:
        return syncConcurrent(work);
    case Kind::main:
        return syncMain(work);
    }
}

void DispatchQueue::syncSerial(const std::function<void()>& work) {
    if (isCurrent()) throw DispatchDeadlockError("sync onto serial queue '" + label_ + "' from its own work item");
    std::unique_lock lock(mutex_);
    if (!owned_ && suspendCount_ == 0 && items_.empty()) {
        owned_ = true;
    } else {
        auto turn = std::make_shared<SyncTurn>();
        items_.push_back(Item{nullptr, turn});
        if (!owned_ && suspendCount_ == 0) {
            owned_ = true;
            detail::runOnPoolThread([self = shared_from_this()] { self->drainSerial(); });
        }
        turn->cv.wait(lock, [&turn] { return turn->granted; });
    }
    lock.unlock();
    struct Release {
        DispatchQueue* queue;
        ~Release() { queue->releaseSerialOwnership(); }
    } release{this};
    StackFrame frame(this);
    work();
}

void DispatchQueue::syncConcurrent(const std::function<void()>& work) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return suspendCount_ == 0; });
    }
    StackFrame frame(this);
    work();
}

void DispatchQueue::syncMain(const std::function<void()>& work) {
    if (isCurrent()) throw DispatchDeadlockError("sync onto the main queue from its own work item");
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    if (servesOnCallingThreadLocked()) {
        // The host's draining thread, outside any main-queue item: nobody else would
        // run the item, so run what is queued and then the work right here.
        if (suspendCount_ > 0) throw DispatchDeadlockError("sync onto the suspended main queue from the thread that drains it");
        changed_.wait(lock, [&] { return mainOwner_ == std::thread::id{} || mainOwner_ == me; });
        lock.unlock();
        drainMain(DispatchTime::now(), std::numeric_limits<size_t>::max());
        lock.lock();
        const auto previous = mainOwner_;
        mainOwner_ = me;
        lock.unlock();
        struct Release {
            DispatchQueue* queue;
            std::thread::id previous;
            ~Release() {
                {
                    std::lock_guard guard(queue->mutex_);
                    queue->mainOwner_ = previous;
                }
                queue->changed_.notify_all();
            }
        } release{this, previous};
        StackFrame frame(this);
        work();
        return;
    }
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
        std::exception_ptr error;
    };
    auto done = std::make_shared<Done>();
    auto stack = t_queueStack;
    stack.push_back(this);
    items_.push_back(Item{[&work, done, stack = std::move(stack)]() mutable {
                              {
                                  InheritedStack inherited(std::move(stack));
                                  try {
                                      work();
                                  } catch (...) {
                                      done->error = std::current_exception();
                                  }
                              }
                              {
                                  std::lock_guard guard(done->mutex);
                                  done->finished = true;
                              }
                              done->cv.notify_all();
                          },
                          nullptr});
    lock.unlock();
    changed_.notify_all();
    std::unique_lock doneLock(done->mutex);
    done->cv.wait(doneLock, [&done] { return done->finished; });
    if (done->error) std::rethrow_exception(done->error);
}

void DispatchQueue::suspend() {
    // Everyone's concurrent work runs there; holding it back would stall unrelated callers.
    if (this == global().get()) throw std::logic_error("DispatchQueue.suspend: the global queue cannot be suspended");
    std::lock_guard guard(mutex_);
    ++suspendCount_;
}

void DispatchQueue::resume() {
    std::unique_lock lock(mutex_);
    if (suspendCount_ == 0) throw std::logic_error("DispatchQueue.resume: queue '" + label_ + "' is not suspended");
    if (--suspendCount_ > 0) return;
    switch (kind_) {
    case Kind::serial:
        if (owned_ || items_.empty()) return;
        owned_ = true;
        lock.unlock();
        detail::runOnPoolThread([self = shared_from_this()] { self->drainSerial(); });
        return;
    case Kind::concurrent: {
        auto held = std::move(heldWhileSuspended_);
        heldWhileSuspended_.clear();
        lock.unlock();
        changed_.notify_all();
        for (auto& work : held) {
            detail::runOnPoolThread(
                [self = shared_from_this(), work = std::move(work)]() mutable { self->runConcurrentItem(std::move(work)); });
        }
        return;
    }
    case Kind::main:
        lock.unlock();
        changed_.notify_all();
        return;
    }
}

size_t DispatchQueue::drainMain(DispatchTime firstItemDeadline, size_t limit) {
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    const auto ready = [&] {
        return suspendCount_ == 0 && !items_.empty() && (mainOwner_ == std::thread::id{} || mainOwner_ == me);
    };
    if (!waitUntil(changed_, lock, firstItemDeadline, ready)) return 0;
    const size_t budget = std::min(limit, items_.size());
    const auto previous = mainOwner_;
    mainOwner_ = me;
    size_t ran = 0;
    while (ran < budget && suspendCount_ == 0 && !items_.empty()) {
        Item item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        {
            StackFrame frame(this);
            runItem(item.work);
        }
        item.work = nullptr;
        ++ran;
        lock.lock();
    }
    mainOwner_ = previous;
    lock.unlock();
    changed_.notify_all();
    return ran;
}

bool DispatchQueue::servesOnCallingThreadLocked() const {
    return drainedByHost_ ? hostThread_ == std::this_thread::get_id() : t_isLibraryMainThread;
}

void DispatchQueue::mainThreadLoop() {
    nameThisThread("ostrane-main");
    t_isLibraryMainThread = true;
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] {
            return !drainedByHost_ && suspendCount_ == 0 && !items_.empty() && mainOwner_ == std::thread::id{};
        });
        Item item = std::move(items_.front());
        items_.pop_front();
        mainOwner_ = me;
        lock.unlock();
        {
            StackFrame frame(this);
            runItem(item.work);
        }
        item.work = nullptr;
        lock.lock();
        mainOwner_ = std::thread::id{};
        changed_.notify_all();
    }
}

}  // namespace platform
