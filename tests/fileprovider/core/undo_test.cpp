// test-labels: unit tsan
#include "fileprovider/core/UndoBox.hpp"
#include "fileprovider/core/fake_provider.hpp"
#include "platform/MainQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace fptest;

namespace {

class MainQueueOnTestThread : public ::testing::Environment {
public:
    void SetUp() override { platform::MainQueue::setDrainedByHost(true); }
};
const auto* const mainQueueEnvironment = ::testing::AddGlobalTestEnvironment(new MainQueueOnTestThread);

template <class Pred>
bool waitFor(Pred done) {
    const auto end = std::chrono::steady_clock::now() + ostrane_test::hangLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        platform::MainQueue::drain(0.01);
    }
    return true;
}

class Undo : public ::testing::Test {
protected:
    void TearDown() override { platform::MainQueue::drain(0.05); }
};

TEST_F(Undo, CanUndoByOperationKind) {
    auto p = FakeProvider::make();
    struct Case {
        FileOperationType op;
        bool undoable;
    };
    const Case cases[] = {
        {FileOperationType::create("/n"), true},   {FileOperationType::copy("/a", "/b"), true},
        {FileOperationType::move("/a", "/b"), true}, {FileOperationType::link("/l", "/t"), true},
        {FileOperationType::modify("/m"), false},  {FileOperationType::remove("/r"), false},
        {FileOperationType::fetch("/f"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(p->canUndo(c.op), c.undoable) << c.op.description();
        auto progress = platform::Progress::make(1);
        progress->setUserInfoObject(progressValue(c.op), fileProvderOperationTypeKey);
        EXPECT_EQ(p->canUndo(progress), c.undoable) << c.op.description();
        // The JSON text form is read as well.
        progress->setUserInfoObject(platform::Value(*c.op.jsonString()), fileProvderOperationTypeKey);
        EXPECT_EQ(p->canUndo(progress), c.undoable) << c.op.description();
    }
    EXPECT_FALSE(p->canUndo(platform::Progress::make(1)));  // no operation stored
    EXPECT_FALSE(p->canUndo(ProgressRef()));
    auto odd = platform::Progress::make(1);
    odd->setUserInfoObject(platform::Value(3), fileProvderOperationTypeKey);
    EXPECT_FALSE(p->canUndo(odd));
}

TEST_F(Undo, NothingIsRecordedWithoutAManager) {
    auto p = FakeProvider::make();
    p->addFile("/a");
    p->copyItem("/a", "/b", nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    EXPECT_EQ(p->undoManager(), nullptr);
}

TEST_F(Undo, SetupKeepsAnExistingManager) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    auto first = p->undoManager();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->levelsOfUndo(), 10u);
    first->setLevelsOfUndo(3);
    p->setupUndoManager();
    EXPECT_EQ(p->undoManager(), first);
    EXPECT_EQ(first->levelsOfUndo(), 3u);
}

TEST_F(Undo, UndoingACopyRemovesTheCopy) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    p->addFile("/a");
    const auto progress = p->copyItem("/a", "/b", nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    EXPECT_TRUE(p->canUndo(progress));
    const auto manager = p->undoManager();
    EXPECT_EQ(manager->undoMenuItemTitle(), "Undo Copying");
    ASSERT_TRUE(manager->undo());
    ASSERT_TRUE(p->waitForCompletions(2));
    EXPECT_FALSE(p->exists("/b"));
    EXPECT_TRUE(p->exists("/a"));
    EXPECT_FALSE(manager->canUndo());  // a remove is not recorded
    const auto calls = p->calls();
    EXPECT_EQ(calls.back().name, "removeItem");
    EXPECT_EQ(calls.back().args, std::vector<std::string>{"/b"});
}

TEST_F(Undo, UndoingAMoveMovesBackAndIsRecordedAgain) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    p->addFile("/a");
    p->moveItem("/a", "/b", true, nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    const auto manager = p->undoManager();
    EXPECT_EQ(manager->undoMenuItemTitle(), "Undo Moving");
    ASSERT_TRUE(manager->undo());
    ASSERT_TRUE(p->waitForCompletions(2));
    EXPECT_TRUE(p->exists("/a"));
    EXPECT_FALSE(p->exists("/b"));
    const auto calls = p->calls();
    EXPECT_EQ(calls.back().args, (std::vector<std::string>{"/b", "/a", "keep"}));  // never overwrites
    // The move back succeeded, so it is an undoable move in turn.
    ASSERT_TRUE(waitFor([&] { return manager->canUndo(); }));
    EXPECT_EQ(manager->undoActionName(), "Moving");
    ASSERT_TRUE(manager->undo());
    ASSERT_TRUE(p->waitForCompletions(3));
    EXPECT_TRUE(p->exists("/b"));
}

TEST_F(Undo, UndoingACreateOrLinkRemovesWhatWasMade) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    p->create("new", "/docs", nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    EXPECT_EQ(p->undoManager()->undoMenuItemTitle(), "Undo Creating");
    ASSERT_TRUE(p->undoManager()->undo());
    ASSERT_TRUE(p->waitForCompletions(2));
    EXPECT_FALSE(p->exists("/docs/new"));

    // A folder that has been filled since is left alone: the undo did not make its contents.
    p->create("kept", "/docs", nullptr);
    ASSERT_TRUE(p->waitForCompletions(3));
    p->addFile("/docs/kept/mine.txt");
    ASSERT_TRUE(p->undoManager()->undo());
    const auto listed = [&] {
        for (const auto& c : p->calls())
            if (c.name == "contentsOfDirectory" && c.args == std::vector<std::string>{"/docs/kept"})
                return true;
        return false;
    };
    ASSERT_TRUE(waitFor(listed));
    EXPECT_FALSE(p->waitForCompletions(4, ostrane_test::quietPeriod));  // no remove follows the listing
    EXPECT_TRUE(p->exists("/docs/kept"));
    EXPECT_TRUE(p->exists("/docs/kept/mine.txt"));
    EXPECT_EQ(p->completions(), 3);

    // The box of a link removes the link, not its target.
    const UndoBox box(p, FileOperationType::link("/l", "/t"), FileOperationType::remove("/l"));
    box.doSimpleOperation(nullptr);
    ASSERT_TRUE(p->waitForCompletions(4));
    EXPECT_EQ(p->calls().back().args, std::vector<std::string>{"/l"});
}

TEST_F(Undo, FailedOperationsAreNotRecorded) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    p->copyItem("/missing", "/b", nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    EXPECT_FALSE(p->undoManager()->canUndo());
}

TEST_F(Undo, ReleasedProviderMakesTheUndoANoOp) {
    auto manager = std::make_shared<platform::UndoManager>();
    std::weak_ptr<FakeProvider> watch;
    {
        auto p = FakeProvider::make();
        p->setUndoManager(manager);
        p->addFile("/a");
        p->copyItem("/a", "/b", nullptr);
        ASSERT_TRUE(p->waitForCompletions(1));
        watch = p;
    }
    // Queue items and main-queue reports let go of the provider once they have run.
    ASSERT_TRUE(waitFor([&] { return watch.expired(); }));
    EXPECT_TRUE(manager->canUndo());
    EXPECT_TRUE(manager->undo());
    EXPECT_FALSE(manager->canUndo());
}

TEST_F(Undo, RecordingFromWorkerThreadsWhileTheHostUndoes) {
    auto p = FakeProvider::make();
    p->setupUndoManager();
    p->undoManager()->setLevelsOfUndo(0);
    constexpr int threads = 4, perThread = 25;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < perThread; ++i)
            p->addFile("/src" + std::to_string(t) + "_" + std::to_string(i));
    std::vector<std::thread> callers;
    for (int t = 0; t < threads; ++t)
        callers.emplace_back([p, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string n = std::to_string(t) + "_" + std::to_string(i);
                p->copyItem("/src" + n, "/copy" + n, nullptr);
            }
        });
    const auto manager = p->undoManager();
    int undone = 0;
    for (int i = 0; i < 2000 && undone < threads * perThread; ++i) {
        if (manager->undo())
            ++undone;
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        platform::MainQueue::drainPending();
    }
    for (auto& c : callers)
        c.join();
    ASSERT_TRUE(p->waitForCompletions(threads * perThread + undone));
    while (manager->undo())
        ++undone;
    EXPECT_EQ(undone, threads * perThread);
    ASSERT_TRUE(p->waitForCompletions(2 * threads * perThread));
    // Every copy was undone by removing exactly its own destination.
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < perThread; ++i) {
            const std::string n = std::to_string(t) + "_" + std::to_string(i);
            EXPECT_TRUE(p->exists("/src" + n));
            EXPECT_FALSE(p->exists("/copy" + n));
        }
}

} // namespace
