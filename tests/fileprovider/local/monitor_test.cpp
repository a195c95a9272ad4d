// test-labels: unit local tsan
#include "local_fixture.hpp"

#include "platform/dispatch/MainQueue.hpp"

#include <sys/stat.h>

using namespace localtest;

namespace {

class LocalMonitorTest : public LocalProviderTest {
protected:
    struct Recorder {
        Calls<std::chrono::steady_clock::time_point> calls;
        std::atomic<bool> offMain{false};
    };

    std::shared_ptr<Recorder> watch(const std::string& path) {
        auto recorder = std::make_shared<Recorder>();
        provider->registerNotifcation(path, [recorder] {
            if (!platform::MainQueue::isMainThread()) recorder->offMain = true;
            recorder->calls.add(std::chrono::steady_clock::now());
        });
        passDeadTime();
        return recorder;
    }

    /// A monitor drops changes within 0.2 s of its start and of the last change it passed on, by
    /// the clock: here the time itself is what the test waits for.
    static void passDeadTime() { std::this_thread::sleep_for(std::chrono::milliseconds(300)); }

    static double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }
};

// Long enough for a burst to be passed on: a call that should not come would come within it.
constexpr auto burstWatch = std::chrono::milliseconds(800);

} // namespace

TEST_F(LocalMonitorTest, BurstInAFolderGivesOneDelayedCallOnTheMainQueue) {
    fs::create_directories(base / "watched dir");
    auto recorder = watch("watched dir");
    ASSERT_TRUE(provider->isRegisteredForNotification("watched dir"));

    // Two changes before the first is passed on are one burst. A machine too slow to make the
    // second change within the burst's 0.25 s tries again.
    size_t calls = 0;
    bool oneBurst = false;
    for (int attempt = 0; attempt < 5 && !oneBurst; ++attempt) {
        if (attempt > 0) passDeadTime();
        calls = recorder->calls.count();
        const auto first = std::chrono::steady_clock::now();
        writeFile(base / "watched dir" / ("one " + std::to_string(attempt)), "1");
        writeFile(base / "watched dir" / ("two " + std::to_string(attempt)), "2");
        oneBurst = recorder->calls.count() == calls;
        ASSERT_TRUE(recorder->calls.waitFor(calls + 1));
        EXPECT_GE(seconds(recorder->calls.values().at(calls) - first), 0.24);
    }
    ASSERT_TRUE(oneBurst);
    EXPECT_FALSE(recorder->calls.waitFor(calls + 2, burstWatch))
        << "the second change belongs to the same burst";
    EXPECT_FALSE(recorder->offMain);

    // A later change is another burst.
    writeFile(base / "watched dir" / "three", "3");
    EXPECT_TRUE(recorder->calls.waitFor(calls + 2));
}

TEST_F(LocalMonitorTest, FolderReportsEntriesNotTheirContents) {
    writeFile(base / "dir" / "existing", "1");
    auto recorder = watch("dir");
    writeFile(base / "dir" / "existing", "changed content");
    EXPECT_FALSE(recorder->calls.waitFor(1, burstWatch)) << "a child's content is no change of the folder";
    fs::rename(base / "dir" / "existing", base / "dir" / "renamed");
    EXPECT_TRUE(recorder->calls.waitFor(1));
}

TEST_F(LocalMonitorTest, FileReportsAttributesAndDeletion) {
    writeFile(base / "file.txt", "1");
    auto recorder = watch("file.txt");
    ::chmod((base / "file.txt").c_str(), 0600);
    ASSERT_TRUE(recorder->calls.waitFor(1));
    passDeadTime();
    fs::remove(base / "file.txt");
    EXPECT_TRUE(recorder->calls.waitFor(2));
}

TEST_F(LocalMonitorTest, RegistrationBookkeeping) {
    EXPECT_FALSE(provider->isRegisteredForNotification("missing"));
    provider->registerNotifcation("missing", [] {});
    EXPECT_FALSE(provider->isRegisteredForNotification("missing"));
    EXPECT_TRUE(provider->monitors().empty());

    fs::create_directories(base / "a b");
    provider->registerNotifcation("a b", [] {});
    provider->registerNotifcation("a b", [] {});
    EXPECT_EQ(provider->monitors().size(), 1u);
    EXPECT_TRUE(provider->isRegisteredForNotification("/a b/"));

    // A leading "/" names the same folder when unregistering too, and registering it again replaces.
    provider->registerNotifcation("/a b", [] {});
    EXPECT_EQ(provider->monitors().size(), 1u);
    provider->unregisterNotifcation("/a b");
    EXPECT_FALSE(provider->isRegisteredForNotification("a b"));
    EXPECT_TRUE(provider->monitors().empty());
}

TEST_F(LocalMonitorTest, UnregisteredAndStoppedMonitorsStaySilent) {
    fs::create_directories(base / "d");
    auto recorder = watch("d");
    provider->unregisterNotifcation("d");
    writeFile(base / "d" / "x", "1");
    EXPECT_FALSE(recorder->calls.waitFor(1, burstWatch));

    auto monitor = LocalFileMonitor::make(provider->url("d"), [recorder] { recorder->calls.add({}); });
    ASSERT_TRUE(monitor);
    EXPECT_TRUE(monitor->state());
    monitor->stop();
    EXPECT_FALSE(monitor->state());
    passDeadTime();
    writeFile(base / "d" / "y", "1");
    EXPECT_FALSE(recorder->calls.waitFor(1, burstWatch));
    // Starting again passes on what happened while stopped, once.
    monitor->start();
    EXPECT_TRUE(recorder->calls.waitFor(1));
}

TEST_F(LocalMonitorTest, ReleasingTheProviderEndsItsMonitors) {
    fs::create_directories(base / "d");
    auto recorder = watch("d");
    auto monitor = provider->monitors().at(0);
    provider.reset();
    EXPECT_FALSE(monitor->state());
    writeFile(base / "d" / "x", "1");
    EXPECT_FALSE(recorder->calls.waitFor(1, burstWatch));
}

TEST_F(LocalMonitorTest, ManyMonitorsAndSharedItems) {
    // More folders than the system's default count of inotify instances per user.
    constexpr int count = 200;
    for (int i = 0; i < count; ++i) fs::create_directories(base / ("d" + std::to_string(i)));
    for (int i = 0; i < count; ++i) provider->registerNotifcation("d" + std::to_string(i), [] {});
    for (int i = 0; i < count; ++i) EXPECT_TRUE(provider->isRegisteredForNotification("d" + std::to_string(i))) << i;

    // Two providers watching one folder both hear of it; one leaving does not silence the other.
    auto other = LocalFileProvider::make(platform::URL::fileURLWithPath(base.string(), true));
    auto mine = watch("d7");
    auto theirs = std::make_shared<Recorder>();
    other->registerNotifcation("d7", [theirs] { theirs->calls.add(std::chrono::steady_clock::now()); });
    passDeadTime();
    writeFile(base / "d7" / "x", "1");
    EXPECT_TRUE(mine->calls.waitFor(1));
    EXPECT_TRUE(theirs->calls.waitFor(1));

    provider->unregisterNotifcation("d7");
    passDeadTime();
    writeFile(base / "d7" / "y", "1");
    EXPECT_TRUE(theirs->calls.waitFor(2));
    EXPECT_EQ(mine->calls.count(), 1u);
}
