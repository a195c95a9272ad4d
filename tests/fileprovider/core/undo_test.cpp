// test-labels: unit tsan
#include "fileprovider/core/UndoBox.hpp"
#include "fileprovider/core/fake_provider.hpp"
#include "platform/dispatch/MainQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
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
    ASSERT_TRUE(waitFor([&] { return p->listed("/docs/kept"); }));  // what the create made is recorded
    p->addFile("/docs/kept/mine.txt");
    ASSERT_TRUE(p->undoManager()->undo());
    ASSERT_TRUE(waitFor([&] { return p->listed("/docs/kept", 2); }));
    EXPECT_FALSE(p->waitForCompletions(4, ostrane_test::quietPeriod));  // no remove follows the listing
    EXPECT_TRUE(p->exists("/docs/kept"));
    EXPECT_TRUE(p->exists("/docs/kept/mine.txt"));
    EXPECT_EQ(p->completions(), 3);

    // The box of a link removes the link, not its target.
    p->addFile("/l");
    p->addFile("/t");
    const UndoBox box(p, FileOperationType::link("/l", "/t"), FileOperationType::remove("/l"));
    box.doSimpleOperation(nullptr);
    ASSERT_TRUE(p->waitForCompletions(4));
    EXPECT_EQ(p->calls().back().args, std::vector<std::string>{"/l"});
}

// Tells of failures, as the host's delegate.
struct FailureDelegate : FileProviderDelegate {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> failures;  // operation, error text
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {}
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op,
                             const ErrorRef& error) override {
        std::lock_guard lock(mutex);
        failures.emplace_back(op.description() + " " + op.source(), error ? error->localizedDescription() : "");
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
    size_t count() {
        std::lock_guard lock(mutex);
        return failures.size();
    }
};

// What the user does to an operation's result before undoing it, and what the undo must leave.
TEST_F(Undo, UndoRemovesOnlyWhatTheOperationMadeAndLeftUnchanged) {
    struct Case {
        const char* name;
        bool folder;                          // a folder copy (/src with a, b) or a file copy
        std::function<void(FakeProvider&)> user;
        std::vector<std::string> kept;        // what must exist afterwards below /dst
        std::vector<std::string> gone;
        bool failureReported;
    };
    const Case cases[] = {
        {"file unchanged", false, [](FakeProvider&) {}, {}, {"/dst"}, false},
        {"file changed", false, [](FakeProvider& p) { p.changeFile("/dst"); }, {"/dst"}, {}, true},
        {"folder unchanged", true, [](FakeProvider&) {}, {}, {"/dst", "/dst/a", "/dst/sub/b"}, false},
        {"folder with an added file", true, [](FakeProvider& p) { p.addFile("/dst/sub/mine"); },
         {"/dst", "/dst/sub", "/dst/sub/mine"}, {"/dst/a", "/dst/sub/b"}, true},
        {"folder with a changed file", true, [](FakeProvider& p) { p.changeFile("/dst/a"); },
         {"/dst", "/dst/a", "/dst/sub/b"}, {}, true},
        {"folder with a file the user removed", true, [](FakeProvider& p) { p.removeItem("/dst/a", nullptr); },
         {}, {"/dst", "/dst/sub/b"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = FakeProvider::make();
        auto delegate = std::make_shared<FailureDelegate>();
        p->setDelegate(delegate);
        if (c.folder) {
            p->addFile("/src", true);
            p->addFile("/src/a");
            p->addFile("/src/sub", true);
            p->addFile("/src/sub/b");
        } else {
            p->addFile("/src");
        }
        p->setupUndoManager();
        p->copyItem("/src", "/dst", false, nullptr);
        ASSERT_TRUE(p->waitForCompletions(1));
        ASSERT_TRUE(waitFor([&] { return c.folder ? p->listed("/dst/sub") : p->asked("/dst"); }));
        c.user(*p);
        const int before = p->completions();
        ASSERT_TRUE(p->undoManager()->undo());
        // Undone means: every removal it started has ended, or the failure was told.
        ASSERT_TRUE(waitFor([&] {
            for (const auto& path : c.gone)
                if (p->exists(path)) return false;
            return !c.failureReported || delegate->count() > 0;
        }));
        platform::MainQueue::drain(0.2);
        for (const auto& path : c.kept) EXPECT_TRUE(p->exists(path)) << path;
        for (const auto& path : c.gone) EXPECT_FALSE(p->exists(path)) << path;
        EXPECT_EQ(delegate->count() > 0, c.failureReported);
        if (c.failureReported && c.gone.empty()) {
            EXPECT_EQ(p->completions(), before);  // nothing removed at all
        }
        EXPECT_TRUE(p->exists("/src"));
    }
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
