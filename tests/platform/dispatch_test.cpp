// test-labels: unit tsan
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/dispatch/RunLoop.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

constexpr double kLimit = ostrane_test::hangLimitSeconds;  // a wait that long means a hang

// Waits until everything queued so far on a serial queue has run.
void flush(const std::shared_ptr<DispatchQueue>& queue) {
    queue->sync([] {});
}

// A thread-safe record of the order in which items ran.
class Trace {
public:
    void add(int value) {
        std::lock_guard guard(mutex_);
        values_.push_back(value);
    }
    std::vector<int> values() const {
        std::lock_guard guard(mutex_);
        return values_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> values_;
};

std::vector<int> iota(int n) {
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i) v[i] = i;
    return v;
}

}  // namespace

TEST(DispatchTime, ArithmeticSaturatesInsteadOfOverflowing) {
    const auto now = DispatchTime::now();
    EXPECT_LT(now, now + 0.001);
    EXPECT_GT(now, now - 0.001);
    EXPECT_TRUE((now + 1e300).isDistantFuture());
    EXPECT_TRUE((DispatchTime::distantFuture() + 5).isDistantFuture());
    EXPECT_LT(now + -1e300, now);
    EXPECT_EQ(now + std::nan(""), now);
}

TEST(DispatchQueueSerial, RunsItemsOneAtATimeInOrder) {
    auto queue = DispatchQueue::make("test.serial");
    EXPECT_TRUE(queue->isSerial());
    EXPECT_EQ(queue->label(), "test.serial");
    // Deliberately unguarded: the queue's ordering is what makes this safe (TSan checks).
    std::vector<int> seen;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i) {
        queue->async([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            inside.fetch_sub(1);
        });
    }
    flush(queue);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(seen, iota(500));
}

TEST(DispatchQueueSerial, SyncReturnsValuesAndExceptionsInOrderWithQueuedItems) {
    auto queue = DispatchQueue::make("test.sync");
    std::vector<int> seen;
    for (int i = 0; i < 50; ++i) queue->async([&seen, i] { seen.push_back(i); });
    const size_t countAtSync = queue->sync([&seen] { return seen.size(); });
    EXPECT_EQ(countAtSync, 50u);
    const std::string text = queue->sync([] { return std::string("answer"); });
    EXPECT_EQ(text, "answer");
    EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
    // The queue goes on after a throwing sync item.
    queue->async([&seen] { seen.push_back(99); });
    EXPECT_EQ(queue->sync([&seen] { return seen.back(); }), 99);
}

// Many threads mixing sync and async on one serial queue: the queue passes between
// its drainer and sync callers without ever letting two items overlap or losing one.
TEST(DispatchQueueSerial, SyncAndAsyncFromManyThreadsNeverOverlap) {
    auto queue = DispatchQueue::make("test.mixed");
    constexpr int threads = 8;
    constexpr int rounds = 200;
    long counter = 0;  // unguarded: only queue items touch it
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    auto item = [&] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        ++counter;
        inside.fetch_sub(1);
    };
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                if ((i + t) % 3 == 0) {
                    queue->sync(item);
                } else {
                    queue->async(item);
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(queue->sync([&] { return counter; }), threads * rounds);
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueueSerial, SyncOntoOwnQueueIsReportedNotADeadlock) {
    auto a = DispatchQueue::make("test.a");
    auto b = DispatchQueue::make("test.b");
    struct Case {
        const char* name;
        std::function<void()> reentry;  // runs on an item of queue a
    };
    const std::vector<Case> cases = {
        {"direct", [&] { a->sync([] {}); }},
        {"through another queue's sync", [&] { b->sync([&] { a->sync([] {}); }); }},
        {"value form", [&] { (void)a->sync([] { return 1; }); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DispatchSemaphore done(0);
        std::atomic<bool> reported{false};
        a->async([&] {
            try {
                c.reentry();
            } catch (const DispatchDeadlockError& e) {
                reported = std::string(e.what()).find("test.a") != std::string::npos;
            }
            done.signal();
        });
        ASSERT_EQ(done.wait(kLimit), DispatchTimeoutResult::success);
        EXPECT_TRUE(reported);
    }
    // And the queue still works afterwards.
    EXPECT_EQ(a->sync([] { return 7; }), 7);
}

TEST(DispatchQueue, KnowsWhetherTheCallerRunsOnIt) {
    auto outer = DispatchQueue::make("test.outer");
    auto inner = DispatchQueue::make("test.inner");
    auto concurrent = DispatchQueue::make("test.conc", DispatchQueue::Attributes::concurrent);
    EXPECT_FALSE(outer->isCurrent());
    EXPECT_EQ(DispatchQueue::currentLabel(), "");
    outer->sync([&] {
        EXPECT_TRUE(outer->isCurrent());
        inner->sync([&] {
            EXPECT_TRUE(inner->isCurrent());
            EXPECT_TRUE(outer->isCurrent());
            EXPECT_EQ(DispatchQueue::currentLabel(), "test.inner");
        });
    });
    DispatchSemaphore done(0);
    std::atomic<bool> onConcurrent{false};
    concurrent->async([&] {
        onConcurrent = concurrent->isCurrent() && !outer->isCurrent();
        // A sync onto the concurrent queue one runs on is fine.
        concurrent->sync([] {});
        done.signal();
    });
    ASSERT_EQ(done.wait(kLimit), DispatchTimeoutResult::success);
    EXPECT_TRUE(onConcurrent);
}

// The clients' pattern: a work item waits on a semaphore that another queue's item
// signals. With far more blocked items than cores, a fixed pool would starve the
// signalling items.
TEST(DispatchQueue, BlockedItemsNeverStarveOtherQueues) {
    const int blockedCount = 4 * static_cast<int>(std::max(2u, std::thread::hardware_concurrency())) + 16;
    std::vector<std::shared_ptr<DispatchQueue>> clients;
    std::vector<std::shared_ptr<DispatchSemaphore>> answers;
    auto provider = DispatchQueue::make("test.provider");
    auto finished = std::make_shared<DispatchGroup>();
    std::atomic<int> answered{0};
    for (int i = 0; i < blockedCount; ++i) {
        clients.push_back(DispatchQueue::make("test.client." + std::to_string(i)));
        answers.push_back(std::make_shared<DispatchSemaphore>(0));
        clients.back()->async(finished, [&answered, answer = answers.back(), provider] {
            provider->async([answer] { answer->signal(); });
            if (answer->wait(kLimit) == DispatchTimeoutResult::success) ++answered;
        });
    }
    // Also on the global concurrent queue: every item waits until the last one is in.
    auto gate = std::make_shared<DispatchSemaphore>(0);
    std::atomic<int> passed{0};
    for (int i = 0; i < blockedCount; ++i) {
        DispatchQueue::global()->async(finished, [gate, &passed] {
            if (gate->wait(kLimit) == DispatchTimeoutResult::success) ++passed;
        });
    }
    DispatchQueue::global()->async([gate, blockedCount] {
        for (int i = 0; i < blockedCount; ++i) gate->signal();
    });
    ASSERT_EQ(finished->wait(2 * kLimit), DispatchTimeoutResult::success);
    EXPECT_EQ(answered, blockedCount);
    EXPECT_EQ(passed, blockedCount);
}

TEST(DispatchQueue, AsyncAfterRunsByDeadlineThenBySubmission) {
    // A round shows the order only when every item was given before the first deadline came; on a
    // busy machine a round can stall longer than that, so the next one spaces its deadlines wider.
    for (double unit = 0.05; unit <= 6.4; unit *= 2) {
        auto queue = DispatchQueue::make("test.after");
        Trace trace;
        DispatchSemaphore done(0);
        const auto start = DispatchTime::now();
        // Given latest first; equal deadlines keep their submission order.
        queue->asyncAfter(start + 3 * unit, [&] {
            trace.add(4);
            done.signal();
        });
        queue->asyncAfter(start + 2 * unit, [&] { trace.add(2); });
        queue->asyncAfter(start + 2 * unit, [&] { trace.add(3); });
        queue->asyncAfter(start + unit, [&] { trace.add(1); });
        queue->asyncAfter(-1.0, [&] { trace.add(0); });  // already due
        const bool givenInTime = DispatchTime::now() < start + unit;
        ASSERT_EQ(done.wait(kLimit), DispatchTimeoutResult::success);
        // Every item has run before the round's trace goes.
        ASSERT_TRUE(ostrane_test::waitUntil([&] { return trace.values().size() == 5; }));
        if (!givenInTime) continue;
        EXPECT_GE(DispatchTime::now(), start + 3 * unit);
        EXPECT_EQ(trace.values(), iota(5));
        return;
    }
    FAIL() << "no round gave its items before the first deadline";
}

TEST(DispatchQueue, AsyncAfterKeepsTheQueueAliveUntilTheItemRan) {
    DispatchSemaphore done(0);
    std::string label;
    {
        auto queue = DispatchQueue::make("test.released");
        queue->asyncAfter(0.02, [&] {
            label = DispatchQueue::currentLabel();
            done.signal();
        });
    }
    ASSERT_EQ(done.wait(kLimit), DispatchTimeoutResult::success);
    EXPECT_EQ(label, "test.released");
}

TEST(DispatchQueue, SuspendHoldsLaterItemsUntilEveryResume) {
    for (auto attributes : {DispatchQueue::Attributes::serial, DispatchQueue::Attributes::concurrent}) {
        SCOPED_TRACE(attributes == DispatchQueue::Attributes::serial ? "serial" : "concurrent");
        auto queue = DispatchQueue::make("test.suspend", attributes);
        std::atomic<int> ran{0};
        queue->suspend();
        queue->suspend();
        auto group = std::make_shared<DispatchGroup>();
        for (int i = 0; i < 5; ++i) queue->async(group, [&ran] { ++ran; });
        EXPECT_EQ(group->wait(0.05), DispatchTimeoutResult::timedOut);
        queue->resume();
        EXPECT_EQ(group->wait(0.05), DispatchTimeoutResult::timedOut);
        EXPECT_EQ(ran, 0);
        queue->resume();
        ASSERT_EQ(group->wait(kLimit), DispatchTimeoutResult::success);
        EXPECT_EQ(ran, 5);
        EXPECT_THROW(queue->resume(), std::logic_error);
    }
    EXPECT_THROW(DispatchQueue::global()->suspend(), std::logic_error);
}

TEST(DispatchQueue, SyncOntoASuspendedSerialQueueWaitsForResume) {
    auto queue = DispatchQueue::make("test.suspended.sync");
    queue->suspend();
    std::atomic<bool> ran{false};
    std::thread caller([&] { queue->sync([&] { ran = true; }); });
    DispatchSemaphore never(0);
    (void)never.wait(0.05);
    EXPECT_FALSE(ran);
    queue->resume();
    caller.join();
    EXPECT_TRUE(ran);
}

TEST(DispatchQueue, AThrowingItemDoesNotStopTheQueue) {
    auto queue = DispatchQueue::make("test.throws");
    queue->async([] { throw std::runtime_error("item failed"); });
    std::atomic<bool> next{false};
    queue->async([&] { next = true; });
    flush(queue);
    EXPECT_TRUE(next);
}

TEST(DispatchQueue, RefusesEmptyWork) {
    auto queue = DispatchQueue::make("test.empty");
    EXPECT_THROW(queue->async(std::function<void()>()), std::invalid_argument);
    EXPECT_THROW(queue->asyncAfter(0.1, std::function<void()>()), std::invalid_argument);
}

TEST(DispatchSemaphore, CountsSignalsAndTimesOut) {
    DispatchSemaphore semaphore(1);
    EXPECT_EQ(semaphore.wait(0.0), DispatchTimeoutResult::success);
    EXPECT_EQ(semaphore.wait(0.02), DispatchTimeoutResult::timedOut);
    EXPECT_EQ(semaphore.signal(), 0);  // nobody waited
    EXPECT_EQ(semaphore.signal(), 0);
    EXPECT_EQ(semaphore.wait(DispatchTime::now()), DispatchTimeoutResult::success);
    EXPECT_EQ(semaphore.wait(0.0), DispatchTimeoutResult::success);
    EXPECT_EQ(semaphore.wait(0.0), DispatchTimeoutResult::timedOut);
    EXPECT_THROW(DispatchSemaphore(-1), std::invalid_argument);
}

TEST(DispatchSemaphore, WakesAWaiterOnAnotherThread) {
    DispatchSemaphore semaphore(0);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (semaphore.wait(kLimit) == DispatchTimeoutResult::success) ++woken;
        });
    }
    for (int i = 0; i < 4; ++i) semaphore.signal();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken, 4);
}

TEST(DispatchGroup, WaitAndNotifyFollowTheCount) {
    auto group = std::make_shared<DispatchGroup>();
    EXPECT_EQ(group->wait(0.0), DispatchTimeoutResult::success);
    auto queue = DispatchQueue::make("test.group");
    DispatchSemaphore notified(0);
    std::atomic<bool> notifiedOnQueue{false};
    group->enter();
    group->enter();
    group->notify(queue, [&] {
        notifiedOnQueue = queue->isCurrent();
        notified.signal();
    });
    group->leave();
    EXPECT_EQ(group->wait(0.02), DispatchTimeoutResult::timedOut);
    EXPECT_EQ(notified.wait(0.02), DispatchTimeoutResult::timedOut);
    group->leave();
    EXPECT_EQ(group->wait(kLimit), DispatchTimeoutResult::success);
    ASSERT_EQ(notified.wait(kLimit), DispatchTimeoutResult::success);
    EXPECT_TRUE(notifiedOnQueue);
    EXPECT_THROW(group->leave(), std::logic_error);
    // Notify on an empty group runs at once.
    group->notify(queue, [&] { notified.signal(); });
    EXPECT_EQ(notified.wait(kLimit), DispatchTimeoutResult::success);
}

TEST(DispatchGroup, IsLeftWhenAnItemNeverRuns) {
    auto group = std::make_shared<DispatchGroup>();
    {
        auto queue = DispatchQueue::make("test.dropped");
        queue->suspend();
        queue->async(group, [] { ADD_FAILURE() << "a suspended, released queue ran an item"; });
    }
    EXPECT_EQ(group->wait(kLimit), DispatchTimeoutResult::success);
}

// By default the library's own thread serves the main queue.
TEST(MainQueueLibraryThread, RunsItemsInOrderOnItsOwnThread) {
    ASSERT_FALSE(MainQueue::isDrainedByHost());
    auto main = DispatchQueue::main();
    EXPECT_FALSE(MainQueue::isMainThread());
    Trace trace;
    std::atomic<bool> flags{true};
    for (int i = 0; i < 20; ++i) {
        main->async([&, i] {
            if (!MainQueue::isMainThread() || !main->isCurrent()) flags = false;
            trace.add(i);
        });
    }
    flush(main);
    EXPECT_EQ(trace.values(), iota(20));
    EXPECT_TRUE(flags);
    EXPECT_THROW(MainQueue::drain(0.01), std::logic_error);
    DispatchSemaphore done(0);
    std::atomic<bool> reported{false};
    main->async([&] {
        try {
            main->sync([] {});
        } catch (const DispatchDeadlockError&) {
            reported = true;
        }
        done.signal();
    });
    ASSERT_EQ(done.wait(kLimit), DispatchTimeoutResult::success);
    EXPECT_TRUE(reported);
}

// A main-queue item that waits on the run loop keeps the main queue served.
TEST(MainQueueLibraryThread, RunLoopWaitInsideAnItemServesLaterItems) {
    auto main = DispatchQueue::main();
    std::atomic<bool> later{false};
    std::atomic<bool> sawLater{false};
    DispatchSemaphore done(0);
    main->async([&] {
        main->async([&] { later = true; });
        sawLater = RunLoop::runUntil([&] { return later.load(); }, kLimit);
        done.signal();
    });
    ASSERT_EQ(done.wait(kLimit + 1), DispatchTimeoutResult::success);
    EXPECT_TRUE(sawLater);
}

class MainQueueHostDrained : public ::testing::Test {
protected:
    void SetUp() override { MainQueue::setDrainedByHost(true); }
    void TearDown() override {
        MainQueue::drainPending();
        MainQueue::setDrainedByHost(false);
    }
};

TEST_F(MainQueueHostDrained, ItemsRunOnlyWhenAndWhereTheHostDrains) {
    auto main = DispatchQueue::main();
    EXPECT_TRUE(MainQueue::isMainThread());
    const auto host = std::this_thread::get_id();
    Trace trace;
    std::atomic<bool> onHost{true};
    auto poster = DispatchQueue::make("test.poster");
    for (int i = 0; i < 10; ++i) {
        poster->async([&, i] {
            main->async([&, i] {
                if (std::this_thread::get_id() != host) onHost = false;
                trace.add(i);
            });
        });
    }
    flush(poster);
    DispatchSemaphore pause(0);
    (void)pause.wait(0.05);
    EXPECT_TRUE(trace.values().empty()) << "the library's thread ran a main-queue item in host mode";
    EXPECT_EQ(MainQueue::drainPending(), 10u);
    EXPECT_EQ(trace.values(), iota(10));
    EXPECT_TRUE(onHost);
    EXPECT_EQ(MainQueue::drain(0.02), 0u);  // nothing queued: returns after the limit
}

TEST_F(MainQueueHostDrained, DrainWaitsForTheFirstItemAndRunsOnlyWhatWasQueued) {
    auto main = DispatchQueue::main();
    std::atomic<int> ran{0};
    // An item that queues another: the second waits for the next drain, so a drain ends.
    DispatchQueue::global()->asyncAfter(0.02, [&] {
        main->async([&] {
            ++ran;
            main->async([&] { ++ran; });
        });
    });
    EXPECT_EQ(MainQueue::drain(kLimit), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(MainQueue::drainPending(), 1u);
    EXPECT_EQ(ran, 2);
}

TEST_F(MainQueueHostDrained, SyncFromAnotherThreadRunsOnTheHostThread) {
    auto main = DispatchQueue::main();
    const auto host = std::this_thread::get_id();
    std::atomic<bool> ranOnHost{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> deadlockReported{false};
    auto worker = DispatchQueue::make("test.worker");
    worker->async([&] {
        const int value = main->sync([&] {
            ranOnHost = std::this_thread::get_id() == host;
            // The worker waits for us: a sync back onto it would never end.
            try {
                worker->sync([] {});
            } catch (const DispatchDeadlockError&) {
                deadlockReported = true;
            }
            return 5;
        });
        returned = value == 5;
    });
    ASSERT_TRUE(RunLoop::runUntil([&] { return returned.load(); }, kLimit));
    EXPECT_TRUE(ranOnHost);
    EXPECT_TRUE(deadlockReported);
    // On the host thread itself, sync runs in place after what is queued.
    Trace trace;
    main->async([&] { trace.add(1); });
    main->sync([&] { trace.add(2); });
    EXPECT_EQ(trace.values(), (std::vector<int>{1, 2}));
}

TEST_F(MainQueueHostDrained, RunLoopServesTheMainQueueOnlyOnTheHostThread) {
    auto main = DispatchQueue::main();
    std::atomic<bool> ran{false};
    main->async([&] { ran = true; });
    // Another thread running its run loop leaves the main queue alone.
    std::thread other([&] { RunLoop::run(0.05); });
    other.join();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(RunLoop::runUntil([&] { return ran.load(); }, kLimit));
    // A wait that never comes true ends at its limit.
    EXPECT_FALSE(RunLoop::runUntil([] { return false; }, 0.03));
}
