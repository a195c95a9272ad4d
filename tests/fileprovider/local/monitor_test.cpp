// test-labels: unit local tsan
#include "local_fixture.hpp"

#include "platform/MainQueue.hpp"

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
        // Changes in the first 0.2 s of a monitor are dropped by design.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return recorder;
    }

    static double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }
};

} // namespace

TEST_F(LocalMonitorTest, BurstInAFolderGivesOneDelayedCallOnTheMainQueue) {
    fs::create_directories(base / "watched dir");
    auto recorder = watch("watched dir");
    ASSERT_TRUE(provider->isRegisteredForNotification("watched dir"));

    const auto first = std::chrono::steady_clock::now();
    writeFile(base / "watched dir" / "one", "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writeFile(base / "watched dir" / "two", "2");
    ASSERT_TRUE(recorder->calls.waitFor(1, 5));
    const double delay = seconds(recorder->calls.first() - first);
    EXPECT_GE(delay, 0.24);
    EXPECT_LT(delay, 2.0);
    EXPECT_FALSE(recorder->calls.waitFor(2, 0.8)) << "the second change belongs to the same burst";
    EXPECT_FALSE(recorder->offMain);

    // A later change is another burst.
    writeFile(base / "watched dir" / "three", "3");
    EXPECT_TRUE(recorder->calls.waitFor(2, 5));
}

TEST_F(LocalMonitorTest, FolderReportsEntriesNotTheirContents) {
    writeFile(base / "dir" / "existing", "1");
    auto recorder = watch("dir");
    writeFile(base / "dir" / "existing", "changed content");
    EXPECT_FALSE(recorder->calls.waitFor(1, 0.8)) << "a child's content is no change of the folder";
    fs::rename(base / "dir" / "existing", base / "dir" / "renamed");
    EXPECT_TRUE(recorder->calls.waitFor(1, 5));
}

TEST_F(LocalMonitorTest, FileReportsAttributesAndDeletion) {
    writeFile(base / "file.txt", "1");
    auto recorder = watch("file.txt");
    ::chmod((base / "file.txt").c_str(), 0600);
    ASSERT_TRUE(recorder->calls.waitFor(1, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::remove(base / "file.txt");
    EXPECT_TRUE(recorder->calls.waitFor(2, 5));
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
    EXPECT_FALSE(recorder->calls.waitFor(1, 0.8));

    auto monitor = LocalFileMonitor::make(provider->url("d"), [recorder] { recorder->calls.add({}); });
    ASSERT_TRUE(monitor);
    EXPECT_TRUE(monitor->state());
    monitor->stop();
    EXPECT_FALSE(monitor->state());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeFile(base / "d" / "y", "1");
    EXPECT_FALSE(recorder->calls.waitFor(1, 0.8));
    // Starting again passes on what happened while stopped, once.
    monitor->start();
    EXPECT_TRUE(recorder->calls.waitFor(1, 5));
}

TEST_F(LocalMonitorTest, ReleasingTheProviderEndsItsMonitors) {
    fs::create_directories(base / "d");
    auto recorder = watch("d");
    auto monitor = provider->monitors().at(0);
    provider.reset();
    EXPECT_FALSE(monitor->state());
    writeFile(base / "d" / "x", "1");
    EXPECT_FALSE(recorder->calls.waitFor(1, 0.8));
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
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeFile(base / "d7" / "x", "1");
    EXPECT_TRUE(mine->calls.waitFor(1, 5));
    EXPECT_TRUE(theirs->calls.waitFor(1, 5));

    provider->unregisterNotifcation("d7");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    writeFile(base / "d7" / "y", "1");
    EXPECT_TRUE(theirs->calls.waitFor(2, 5));
    EXPECT_EQ(mine->calls.count(), 1u);
}
