// test-labels: unit tsan
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

using namespace platform;

namespace {

constexpr double kLimit = ostrane_test::hangLimitSeconds;  // a wait that long means a hang

// Counts operations in flight and remembers the most seen at once.
struct Occupancy {
    std::atomic<int> now{0};
    std::atomic<int> peak{0};
    void enter() {
        const int n = ++now;
        int seen = peak.load();
        while (n > seen && !peak.compare_exchange_weak(seen, n)) {
        }
    }
    void leave() { --now; }
};

}  // namespace

TEST(OperationQueue, KeepsItsNameAndRefusesBadCounts) {
    auto queue = OperationQueue::make("FileProvider.WebDAV.Operation");
    EXPECT_EQ(queue->name(), "FileProvider.WebDAV.Operation");
    queue->setName("WebDAV.Operation");
    EXPECT_EQ(queue->name(), "WebDAV.Operation");
    EXPECT_EQ(queue->maxConcurrentOperationCount(), OperationQueue::defaultMaxConcurrentOperationCount);
    for (int bad : {0, -2, -100}) EXPECT_THROW(queue->setMaxConcurrentOperationCount(bad), std::invalid_argument) << bad;
    EXPECT_THROW(queue->addOperation(nullptr), std::invalid_argument);
}

TEST(OperationQueue, OneAtATimeRunsInOrderWithoutOverlap) {
    auto queue = OperationQueue::make("serial");
    queue->setMaxConcurrentOperationCount(1);
    std::vector<int> order;  // unguarded on purpose: a serial queue orders the writes
    Occupancy occupancy;
    for (int i = 0; i < 200; ++i) {
        queue->addOperation([&, i] {
            occupancy.enter();
            order.push_back(i);
            occupancy.leave();
        });
    }
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
    EXPECT_EQ(occupancy.peak, 1);
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
    EXPECT_EQ(queue->operationCount(), 0u);
}

// Each operation holds its slot until the gate opens, so the peak shows the limit.
TEST(OperationQueue, RunsUpToTheLimitAtOnce) {
    struct Case {
        int limit;
        int operations;
        int expectedPeak;
    };
    for (const Case c : {Case{3, 12, 3}, Case{5, 5, 5}, Case{-1, 64, 64}}) {
        SCOPED_TRACE(c.limit);
        auto queue = OperationQueue::make("limited");
        queue->setMaxConcurrentOperationCount(c.limit);
        Occupancy occupancy;
        auto gate = std::make_shared<DispatchSemaphore>(0);
        std::atomic<int> started{0};
        for (int i = 0; i < c.operations; ++i) {
            queue->addOperation([&, gate] {
                occupancy.enter();
                ++started;
                (void)gate->wait(kLimit);
                occupancy.leave();
            });
        }
        // Wait (bounded) until the first wave is in, then let everything through.
        const auto deadline = DispatchTime::now() + kLimit;
        while (started < c.expectedPeak && DispatchTime::now() < deadline) (void)DispatchSemaphore(0).wait(0.001);
        for (int i = 0; i < c.operations; ++i) gate->signal();
        ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
        EXPECT_EQ(occupancy.peak, c.expectedPeak);
        EXPECT_EQ(started, c.operations);
    }
}

TEST(OperationQueue, RaisingTheLimitStartsWaitingOperations) {
    auto queue = OperationQueue::make("raise");
    queue->setMaxConcurrentOperationCount(1);
    auto gate = std::make_shared<DispatchSemaphore>(0);
    std::atomic<int> started{0};
    for (int i = 0; i < 3; ++i) {
        queue->addOperation([&started, gate] {
            ++started;
            (void)gate->wait(kLimit);
        });
    }
    EXPECT_FALSE(queue->waitUntilAllOperationsAreFinished(0.05));
    EXPECT_EQ(started, 1);
    EXPECT_EQ(queue->operationCount(), 3u);
    queue->setMaxConcurrentOperationCount(3);
    const auto deadline = DispatchTime::now() + kLimit;
    while (started < 3 && DispatchTime::now() < deadline) (void)DispatchSemaphore(0).wait(0.001);
    EXPECT_EQ(started, 3);
    for (int i = 0; i < 3; ++i) gate->signal();
    EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
}

TEST(OperationQueue, CancelAllDropsWhatHasNotStarted) {
    auto queue = OperationQueue::make("cancel");
    queue->setMaxConcurrentOperationCount(1);
    DispatchSemaphore running(0);
    auto release = std::make_shared<DispatchSemaphore>(0);
    std::atomic<int> ran{0};
    queue->addOperation([&, release] {
        running.signal();
        (void)release->wait(kLimit);
        ++ran;
    });
    for (int i = 0; i < 10; ++i) queue->addOperation([&] { ++ran; });
    ASSERT_EQ(running.wait(kLimit), DispatchTimeoutResult::success);
    queue->cancelAllOperations();
    EXPECT_EQ(queue->operationCount(), 1u);
    release->signal();
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
    EXPECT_EQ(ran, 1);
    // The queue takes new work afterwards.
    queue->addOperation([&] { ++ran; });
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
    EXPECT_EQ(ran, 2);
}

TEST(OperationQueue, WaitingFromItsOwnOperationIsReported) {
    auto queue = OperationQueue::make("self");
    std::atomic<bool> reported{false};
    std::atomic<bool> current{false};
    queue->addOperation([&] {
        current = queue->isCurrent();
        try {
            (void)queue->waitUntilAllOperationsAreFinished(kLimit);
        } catch (const DispatchDeadlockError&) {
            reported = true;
        }
    });
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kLimit));
    EXPECT_TRUE(reported);
    EXPECT_TRUE(current);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(OperationQueue, ThrowingOperationDoesNotStopTheQueueAndReleasedQueueFinishesItsWork) {
    std::atomic<int> ran{0};
    DispatchSemaphore last(0);
    {
        auto queue = OperationQueue::make("released");
        queue->setMaxConcurrentOperationCount(1);
        queue->addOperation([] { throw std::runtime_error("operation failed"); });
        for (int i = 0; i < 20; ++i) queue->addOperation([&] { ++ran; });
        queue->addOperation([&] { last.signal(); });
    }
    ASSERT_EQ(last.wait(kLimit), DispatchTimeoutResult::success);
    EXPECT_EQ(ran, 20);
}
