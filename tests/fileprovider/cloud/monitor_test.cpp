// test-labels: unit local tsan
// iCloud monitors: one live metadata query per watched path, its handler on the main queue.
#include "cloud_fixture.hpp"

#include "platform/MainQueue.hpp"
#include "platform/NotificationCenter.hpp"

#include <atomic>

using namespace cloudtest;

namespace {

class CloudMonitorTest : public CloudTest {
protected:
    struct Recorder {
        Calls<int> calls;
        std::atomic<bool> offMain{false};
    };

    void SetUp() override {
        CloudTest::SetUp();
        makeProvider();
        ASSERT_TRUE(provider);
    }

    std::shared_ptr<Recorder> watch(const std::string& path) {
        auto recorder = std::make_shared<Recorder>();
        provider->registerNotifcation(path, [recorder] {
            if (!platform::MainQueue::isMainThread()) recorder->offMain = true;
            recorder->calls.add(1);
        });
        // Let the query finish gathering, so the change below is one it sees happen.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return recorder;
    }
};

} // namespace

TEST_F(CloudMonitorTest, AFolderReportsItsEntriesOnTheMainQueue) {
    fs::create_directories(container() / "watched 'q' #%");
    auto recorder = watch("/watched 'q' #%/");
    EXPECT_TRUE(provider->isRegisteredForNotification("watched 'q' #%"));
    EXPECT_TRUE(provider->isRegisteredForNotification("/watched 'q' #%"));

    writeFile(container() / "watched 'q' #%" / "new é.txt", "1");
    ASSERT_TRUE(recorder->calls.waitFor(1, 6));
    EXPECT_FALSE(recorder->offMain);

    // A change two levels down is not the folder's.
    const size_t seen = recorder->calls.count();
    fs::create_directories(container() / "watched 'q' #%" / "sub");
    ASSERT_TRUE(recorder->calls.waitFor(seen + 1, 6)) << "a new child folder is reported";
    const size_t afterSub = recorder->calls.count();
    writeFile(container() / "watched 'q' #%" / "sub" / "deep.txt", "2");
    EXPECT_FALSE(recorder->calls.waitFor(afterSub + 1, 2.5));

    // Unregistered by any spelling: no more calls.
    provider->unregisterNotifcation("watched 'q' #%/");
    EXPECT_FALSE(provider->isRegisteredForNotification("watched 'q' #%"));
    const size_t before = recorder->calls.count();
    writeFile(container() / "watched 'q' #%" / "later.txt", "3");
    EXPECT_FALSE(recorder->calls.waitFor(before + 1, 2.5));
}

TEST_F(CloudMonitorTest, AFileAndAPathNotYetThereAreWatched) {
    writeFile(container() / "song.mp3", "a");
    auto file = watch("song.mp3");
    auto later = watch("arrives later");
    EXPECT_TRUE(provider->isRegisteredForNotification("arrives later"));
    writeFile(container() / "song.mp3", "longer content");
    fs::create_directories(container() / "arrives later");
    EXPECT_TRUE(file->calls.waitFor(1, 6));
    EXPECT_TRUE(later->calls.waitFor(1, 6));
}

TEST_F(CloudMonitorTest, OneQueryPerPathAndNoneLeftWithTheProvider) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const size_t before = center.observerCount();
    fs::create_directories(container() / "dir");
    auto first = watch("dir");
    auto second = watch("/dir");
    EXPECT_EQ(center.observerCount(), before + 1) << "registering again replaces";
    writeFile(container() / "dir" / "x", "1");
    EXPECT_TRUE(second->calls.waitFor(1, 6));
    EXPECT_EQ(first->calls.count(), 0u);

    std::weak_ptr<CloudFileProvider> weak = provider;
    provider.reset();
    EXPECT_TRUE(weak.expired()) << "a monitor holds no provider";
    EXPECT_EQ(center.observerCount(), before);
    const size_t calls = second->calls.count();
    writeFile(container() / "dir" / "y", "2");
    EXPECT_FALSE(second->calls.waitFor(calls + 1, 2.5));
}
