// test-labels: unit tsan
#include "platform/dispatch/Progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace platform;

namespace {

// Records what an observer heard, from any thread.
class Heard {
public:
    Progress::Observer observer() {
        return [this](Progress&, Progress::Property p) {
            std::lock_guard guard(mutex_);
            properties_.push_back(p);
        };
    }
    std::vector<Progress::Property> properties() const {
        std::lock_guard guard(mutex_);
        return properties_;
    }
    size_t count(Progress::Property p) const {
        std::lock_guard guard(mutex_);
        return std::count(properties_.begin(), properties_.end(), p);
    }

private:
    mutable std::mutex mutex_;
    std::vector<Progress::Property> properties_;
};

}  // namespace

TEST(Progress, FractionAndStateFollowTheCounts) {
    struct Case {
        std::int64_t total;
        std::int64_t completed;
        double fraction;
        bool finished;
        bool indeterminate;
    };
    const Case cases[] = {
        {10, 5, 0.5, false, false},  {10, 10, 1.0, true, false}, {4, 8, 1.0, true, false},   // over the total: kept at 1
        {-1, 3, 0.0, false, true},   {0, 0, 0.0, false, false},  {10, -2, 0.0, false, true},  // a negative count is no progress
        {3, 0, 0.0, false, false},   {0, 1, 1.0, true, false},   // an empty job told it is done
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.total << "/" << c.completed);
        auto progress = Progress::make(c.total);
        progress->setCompletedUnitCount(c.completed);
        EXPECT_EQ(progress->totalUnitCount(), c.total);
        EXPECT_EQ(progress->completedUnitCount(), c.completed);
        EXPECT_DOUBLE_EQ(progress->fractionCompleted(), c.fraction);
        EXPECT_EQ(progress->isFinished(), c.finished);
        EXPECT_EQ(progress->isIndeterminate(), c.indeterminate);
    }
}

TEST(Progress, ChildrenReportTheirShareAndHandOverTheirUnitsWhenFinished) {
    auto parent = Progress::make(10);
    auto downloading = Progress::make(4, parent, 6);
    auto unknown = Progress::make(-1, parent, 4);
    downloading->setCompletedUnitCount(2);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.3);  // half of 6 units
    EXPECT_EQ(parent->completedUnitCount(), 0);

    auto grandchild = Progress::make(2, unknown, 1);
    grandchild->setCompletedUnitCount(1);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.3) << "an indeterminate child adds nothing";
    unknown->setTotalUnitCount(2);
    // unknown: half of its 1 pending unit from the grandchild = 0.25 of 2 -> 1 of parent's 4 units.
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.4);

    downloading->setCompletedUnitCount(4);
    EXPECT_EQ(parent->completedUnitCount(), 6);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.7);
    grandchild->setCompletedUnitCount(2);  // finishes: unknown gets its unit
    EXPECT_EQ(unknown->completedUnitCount(), 1);
    unknown->setCompletedUnitCount(2);
    EXPECT_EQ(parent->completedUnitCount(), 10);
    EXPECT_TRUE(parent->isFinished());
    // A let-go child no longer moves the parent.
    downloading->setCompletedUnitCount(0);
    EXPECT_EQ(parent->completedUnitCount(), 10);
}

TEST(Progress, AddChildRefusesLoopsSecondParentsAndNothing) {
    auto a = Progress::make(1);
    auto b = Progress::make(1, a, 1);
    auto c = Progress::make(1, b, 1);
    EXPECT_THROW(c->addChild(a, 1), std::invalid_argument);
    EXPECT_THROW(c->addChild(c, 1), std::invalid_argument);
    EXPECT_THROW(a->addChild(c, 1), std::invalid_argument) << "c already has a parent";
    EXPECT_THROW(a->addChild(nullptr, 1), std::invalid_argument);
    // A child that is already finished counts at once.
    auto done = Progress::make(2);
    done->setCompletedUnitCount(2);
    auto other = Progress::make(5);
    other->addChild(done, 3);
    EXPECT_EQ(other->completedUnitCount(), 3);
    // A child with nothing to do hands over its units once it is marked done.
    auto empty = Progress::make(0, other, 2);
    EXPECT_EQ(other->completedUnitCount(), 3);
    empty->setCompletedUnitCount(1);
    EXPECT_EQ(other->completedUnitCount(), 5);
}

TEST(Progress, CurrentProgressAdoptsTheFirstProgressMadeOnItsThread) {
    auto operation = Progress::make(2);
    EXPECT_EQ(Progress::current(), nullptr);
    operation->becomeCurrent(1);
    EXPECT_EQ(Progress::current(), operation);
    auto download = Progress::make(100);  // as a callee would make its own
    auto unrelated = Progress::make(100);
    std::shared_ptr<Progress> seenOnOtherThread = operation;
    std::thread([&] { seenOnOtherThread = Progress::current(); }).join();
    operation->resignCurrent();
    EXPECT_EQ(Progress::current(), nullptr);
    EXPECT_EQ(seenOnOtherThread, nullptr) << "current progress is per thread";

    download->setCompletedUnitCount(50);
    EXPECT_DOUBLE_EQ(operation->fractionCompleted(), 0.25);
    unrelated->setCompletedUnitCount(100);
    EXPECT_EQ(operation->completedUnitCount(), 0) << "only the first progress made becomes the child";
    download->setCompletedUnitCount(100);
    EXPECT_EQ(operation->completedUnitCount(), 1);

    // Current without any child made: the pending units count as done at resign.
    operation->becomeCurrent(1);
    operation->resignCurrent();
    EXPECT_EQ(operation->completedUnitCount(), 2);
    EXPECT_TRUE(operation->isFinished());

    EXPECT_THROW(operation->resignCurrent(), std::logic_error);
    auto outer = Progress::make(1);
    outer->becomeCurrent(1);
    EXPECT_THROW(operation->resignCurrent(), std::logic_error) << "not the innermost current";
    outer->resignCurrent();
}

TEST(Progress, CancellationHandlerRunsExactlyOnceWhoeverCancels) {
    auto progress = Progress::make(1);
    std::atomic<int> calls{0};
    progress->setCancellationHandler([&] { ++calls; });
    std::vector<std::thread> cancellers;
    for (int i = 0; i < 8; ++i) cancellers.emplace_back([&] { progress->cancel(); });
    for (auto& t : cancellers) t.join();
    progress->cancel();
    EXPECT_TRUE(progress->isCancelled());
    EXPECT_EQ(calls, 1);
    // A handler set after cancellation runs at once, once.
    std::atomic<int> late{0};
    progress->setCancellationHandler([&] { ++late; });
    progress->cancel();
    EXPECT_EQ(late, 1);
    EXPECT_EQ(calls, 1);
}

TEST(Progress, ReplacedHandlerNeverRunsAndCancellationFlowsDownOnly) {
    auto parent = Progress::make(2);
    auto child = Progress::make(1, parent, 1);
    auto sibling = Progress::make(1, parent, 1);
    std::atomic<int> first{0}, second{0}, childCalls{0}, parentCalls{0};
    sibling->setCancellationHandler([&] { ++first; });
    sibling->setCancellationHandler([&] { ++second; });  // as a page loop replaces it each pass
    child->setCancellationHandler([&] { ++childCalls; });
    parent->setCancellationHandler([&] { ++parentCalls; });

    child->cancel();
    EXPECT_FALSE(parent->isCancelled());
    EXPECT_EQ(parentCalls, 0);
    parent->cancel();
    EXPECT_TRUE(sibling->isCancelled());
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(childCalls, 1);
    EXPECT_EQ(parentCalls, 1);
    // Adopted by a cancelled parent: cancelled too.
    auto late = Progress::make(1, parent, 0);
    EXPECT_TRUE(late->isCancelled());
}

TEST(Progress, ObserversHearCountChangesWithoutOurLockAndCanBeRemoved) {
    auto parent = Progress::make(4);
    auto child = Progress::make(10, parent, 2);
    Heard onParent, onChild;
    // An observer that calls back into the progress would deadlock if called under its lock.
    std::atomic<double> lastFraction{-1};
    const auto reentrant = parent->addObserver([&](Progress& p, Progress::Property property) {
        if (property == Progress::Property::fractionCompleted) {
            lastFraction = p.fractionCompleted();
            p.setUserInfoObject(Value(p.fractionCompleted()), Progress::throughputKey);
        }
    });
    const auto parentToken = parent->addObserver(onParent.observer());
    child->addObserver(onChild.observer());

    child->setCompletedUnitCount(5);
    EXPECT_EQ(onChild.properties(),
              (std::vector{Progress::Property::completedUnitCount, Progress::Property::fractionCompleted}));
    EXPECT_EQ(onParent.properties(), (std::vector{Progress::Property::fractionCompleted}));
    EXPECT_DOUBLE_EQ(lastFraction, 0.25);
    child->setCompletedUnitCount(5);  // no change, no report
    EXPECT_EQ(onChild.properties().size(), 2u);

    parent->setTotalUnitCount(8);
    EXPECT_EQ(onParent.count(Progress::Property::totalUnitCount), 1u);
    child->setCompletedUnitCount(10);  // child finishes: parent's completed count moves
    EXPECT_EQ(onParent.count(Progress::Property::completedUnitCount), 1u);
    EXPECT_DOUBLE_EQ(lastFraction, 0.25);

    parent->removeObserver(parentToken);
    parent->removeObserver(reentrant);
    parent->removeObserver(12345);  // unknown token: nothing
    const size_t before = onParent.properties().size();
    parent->setCompletedUnitCount(8);
    parent->cancel();
    EXPECT_EQ(onParent.properties().size(), before);
}

TEST(Progress, ConcurrentUpdatesAddUpExactly) {
    constexpr int workers = 8;
    constexpr int steps = 500;
    auto parent = Progress::make(workers);
    std::vector<std::shared_ptr<Progress>> children;
    for (int i = 0; i < workers; ++i) children.push_back(Progress::make(steps, parent, 1));
    std::atomic<int> reports{0};
    std::atomic<bool> outOfRange{false};
    parent->addObserver([&](Progress& p, Progress::Property property) {
        if (property != Progress::Property::fractionCompleted) return;
        ++reports;
        const double f = p.fractionCompleted();
        if (f < 0 || f > 1) outOfRange = true;
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < workers; ++i) {
        threads.emplace_back([&, i] {
            for (int step = 1; step <= steps; ++step) {
                children[i]->setCompletedUnitCount(step);
                if (step % 50 == 0) children[i]->setUserInfoObject(Value(step), Progress::fileURLKey);
                (void)parent->fractionCompleted();
            }
        });
    }
    // A reader and a canceller-free writer of unrelated state meanwhile.
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            (void)parent->userInfo();
            (void)parent->isFinished();
        }
    });
    for (auto& t : threads) t.join();
    reader.join();
    EXPECT_EQ(parent->completedUnitCount(), workers);
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
    EXPECT_TRUE(parent->isFinished());
    EXPECT_FALSE(outOfRange);
    EXPECT_GE(reports, workers * steps);
}

TEST(Progress, KindsAndUserInformationUseThePlatformStrings) {
    const std::pair<ProgressFileOperationKind, const char*> kinds[] = {
        {ProgressFileOperationKind::downloading, "NSProgressFileOperationKindDownloading"},
        {ProgressFileOperationKind::receiving, "NSProgressFileOperationKindReceiving"},
        {ProgressFileOperationKind::copying, "NSProgressFileOperationKindCopying"},
        {ProgressFileOperationKind::uploading, "NSProgressFileOperationKindUploading"},
    };
    for (const auto& [kind, raw] : kinds) {
        EXPECT_EQ(rawValue(kind), raw);
        EXPECT_EQ(progressFileOperationKindFromRawValue(raw), kind);
    }
    EXPECT_EQ(progressFileOperationKindFromRawValue("NSProgressFileOperationKindDownloadin"), std::nullopt);

    auto progress = Progress::make(1);
    EXPECT_EQ(progress->kind(), std::nullopt);
    progress->setKind(Progress::kindFile);
    EXPECT_EQ(progress->kind(), "NSProgressKindFile");
    progress->setFileOperationKind(ProgressFileOperationKind::downloading);
    EXPECT_EQ(progress->fileOperationKind(), ProgressFileOperationKind::downloading);
    EXPECT_EQ(progress->userInfoObject("NSProgressFileOperationKindKey"), Value("NSProgressFileOperationKindDownloading"));
    progress->setUserInfoObject(Value(Date(5)), "NSProgressStartingTimeKey");
    EXPECT_EQ(progress->userInfo().size(), 2u);
    progress->setUserInfoObject(std::nullopt, "NSProgressStartingTimeKey");
    progress->setFileOperationKind(std::nullopt);
    EXPECT_TRUE(progress->userInfo().empty());
    EXPECT_TRUE(progress->isCancellable());
    progress->setCancellable(false);
    EXPECT_FALSE(progress->isCancellable());
    progress->cancel();  // not cancellable is only a hint
    EXPECT_TRUE(progress->isCancelled());
}
