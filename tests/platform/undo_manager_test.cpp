// test-labels: unit tsan
#include "platform/base/UndoManager.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using platform::UndoManager;

namespace {

// Records the actions run, in order.
struct Log {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(const std::string& s) {
        std::lock_guard lock(mutex);
        entries.push_back(s);
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(entries, {});
    }
};

UndoManager::Action logging(Log& log, std::string text) {
    return [&log, text](const std::shared_ptr<void>&) { log.add(text); };
}

TEST(UndoManager, GroupsUndoNewestFirstWithActionNames) {
    UndoManager m;
    Log log;
    EXPECT_EQ(m.undoMenuItemTitle(), "Undo");
    m.beginUndoGrouping();
    m.registerUndo(nullptr, logging(log, "a1"));
    m.registerUndo(nullptr, logging(log, "a2"));
    m.setActionName("Copying");
    m.endUndoGrouping();
    m.beginUndoGrouping();
    m.beginUndoGrouping();  // nested groups fold into the outer one
    m.registerUndo(nullptr, logging(log, "b"));
    m.endUndoGrouping();
    m.setActionName("Moving");
    m.endUndoGrouping();

    EXPECT_TRUE(m.canUndo());
    EXPECT_EQ(m.undoMenuItemTitle(), "Undo Moving");
    ASSERT_TRUE(m.undo());
    EXPECT_EQ(log.take(), std::vector<std::string>{"b"});
    EXPECT_EQ(m.undoActionName(), "Copying");
    ASSERT_TRUE(m.undo());
    EXPECT_EQ(log.take(), (std::vector<std::string>{"a2", "a1"}));
    EXPECT_FALSE(m.canUndo());
    EXPECT_FALSE(m.undo());
    EXPECT_FALSE(m.endUndoGrouping());  // nothing open
}

TEST(UndoManager, RegistrationsDuringUndoFormTheRedoStep) {
    UndoManager m;
    Log log;
    // An action that registers its own inverse, as a document would.
    std::function<void(bool)> perform = [&](bool forward) {
        log.add(forward ? "do" : "undo");
        m.registerUndo(nullptr, [&perform, forward](const std::shared_ptr<void>&) { perform(!forward); });
    };
    m.beginUndoGrouping();
    m.registerUndo(nullptr, [&](const std::shared_ptr<void>&) { perform(false); });
    m.setActionName("Moving");
    m.endUndoGrouping();

    ASSERT_TRUE(m.undo());
    EXPECT_FALSE(m.canUndo());
    EXPECT_TRUE(m.canRedo());
    EXPECT_EQ(m.redoMenuItemTitle(), "Redo Moving");
    ASSERT_TRUE(m.redo());
    EXPECT_TRUE(m.canUndo());
    EXPECT_FALSE(m.canRedo());
    EXPECT_EQ(log.take(), (std::vector<std::string>{"undo", "do"}));

    // A plain registration clears what could be redone.
    ASSERT_TRUE(m.undo());
    EXPECT_TRUE(m.canRedo());
    m.registerUndo(nullptr, logging(log, "other"));
    EXPECT_FALSE(m.canRedo());
}

TEST(UndoManager, LevelsDropTheOldestAndReleaseTargets) {
    UndoManager m;
    m.setLevelsOfUndo(2);
    auto first = std::make_shared<int>(1);
    std::weak_ptr<int> watch = first;
    Log log;
    m.registerUndo(std::move(first), logging(log, "1"));
    m.registerUndo(nullptr, logging(log, "2"));
    EXPECT_FALSE(watch.expired());  // the manager keeps its targets alive
    m.registerUndo(nullptr, logging(log, "3"));
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(m.undo());
    EXPECT_TRUE(m.undo());
    EXPECT_FALSE(m.undo());
    EXPECT_EQ(log.take(), (std::vector<std::string>{"3", "2"}));
}

TEST(UndoManager, RemoveActionsByTarget) {
    UndoManager m;
    auto a = std::make_shared<int>(1);
    Log log;
    m.registerUndo(a, logging(log, "a"));
    m.beginUndoGrouping();
    m.registerUndo(a, logging(log, "a2"));
    m.registerUndo(nullptr, logging(log, "b"));
    m.endUndoGrouping();
    m.removeAllActions(a);
    EXPECT_TRUE(m.undo());
    EXPECT_FALSE(m.undo());
    EXPECT_EQ(log.take(), std::vector<std::string>{"b"});
}

TEST(UndoManager, ActionMayUseTheManagerWithoutDeadlock) {
    UndoManager m;
    bool sawUndoing = false;
    m.registerUndo(nullptr, [&](const std::shared_ptr<void>&) {
        sawUndoing = m.isUndoing() && !m.canUndo();
        m.setActionName("Inner");
    });
    ASSERT_TRUE(m.undo());
    EXPECT_TRUE(sawUndoing);
    EXPECT_FALSE(m.isUndoing());
}

TEST(UndoManager, ThreadsRecordTheirOwnGroupsWhileAnotherUndoes) {
    UndoManager m;
    std::atomic<int> undone{0};
    constexpr int threads = 4, perThread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                m.beginUndoGrouping();
                m.registerUndo(nullptr, [&](const std::shared_ptr<void>&) { ++undone; });
                m.registerUndo(nullptr, [&](const std::shared_ptr<void>&) { ++undone; });
                m.setActionName("T" + std::to_string(t));
                m.endUndoGrouping();
            }
        });
    }
    std::thread undoer([&] {
        for (int i = 0; i < threads * perThread; ++i)
            m.undo();
    });
    for (auto& w : writers)
        w.join();
    undoer.join();
    while (m.undo()) {
    }
    // Every group kept its two actions together: nothing was lost or split.
    EXPECT_EQ(undone.load(), threads * perThread * 2);
    EXPECT_EQ(m.groupingLevel(), 0);
}

} // namespace
