// test-labels: unit local tsan
// iCloud monitors: one live metadata query per watched path, its handler on the main queue.
#include "cloud_fixture.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/dispatch/NotificationCenter.hpp"
#include "support/Wait.hpp"

#include <atomic>

using namespace cloudtest;
using ostrane_test::waitUntil;

namespace {

class CloudMonitorTest : public CloudTest {
protected:
    struct Recorder {
        Calls<int> calls;
        std::atomic<bool> offMain{false};
    };

    void SetUp() override {
        CloudTest::SetUp();
        // Every query's gathering and walks, to wait for them instead of for time.
        auto& center = platform::NotificationCenter::defaultCenter();
        gatheredToken = center.addObserver(platform::NSMetadataQueryDidFinishGatheringNotification, nullptr, nullptr,
                                           [n = gathered](const platform::Notification&) { ++*n; });
        updatedToken = center.addObserver(platform::NSMetadataQueryDidUpdateNotification, nullptr, nullptr,
                                          [n = updated](const platform::Notification&) { ++*n; });
        makeProvider();
        ASSERT_TRUE(provider);
    }
    void TearDown() override {
        CloudTest::TearDown();
        auto& center = platform::NotificationCenter::defaultCenter();
        center.removeObserver(gatheredToken);
        center.removeObserver(updatedToken);
    }

    std::shared_ptr<Recorder> watch(const std::string& path) {
        auto recorder = std::make_shared<Recorder>();
        const int before = *gathered;
        provider->registerNotifcation(path, [recorder] {
            if (!platform::MainQueue::isMainThread()) recorder->offMain = true;
            recorder->calls.add(1);
        });
        // The query has its first results, so the change that follows is one it sees happen.
        EXPECT_TRUE(waitUntil([&] { return *gathered > before; })) << "the query of " << path << " never finished gathering";
        return recorder;
    }

    /// Makes a change and waits until a query has walked past it and its handlers have run.
    template <class Change>
    void changeAndWalk(Change&& change) {
        const int before = *updated;
        change();
        ASSERT_TRUE(waitUntil([&] { return *updated > before; })) << "no query saw the change";
        // The monitor's handler runs on the main queue, in the same post or soon after it.
        auto drained = std::make_shared<std::atomic<bool>>(false);
        platform::DispatchQueue::main()->async([drained] { *drained = true; });
        ASSERT_TRUE(waitUntil([&] { return drained->load(); }));
    }

    // Shared with the observers: a call under way may outlive the test.
    std::shared_ptr<std::atomic<int>> gathered = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::atomic<int>> updated = std::make_shared<std::atomic<int>>(0);
    platform::NotificationCenter::ObserverToken gatheredToken{};
    platform::NotificationCenter::ObserverToken updatedToken{};
};

// A stopped query walks no more: watching two of its intervals shows a call that should not come.
constexpr auto stoppedWatch = std::chrono::milliseconds(2500);

} // namespace

TEST_F(CloudMonitorTest, AFolderReportsItsEntriesOnTheMainQueue) {
    fs::create_directories(container() / "watched 'q' #%");
    auto recorder = watch("/watched 'q' #%/");
    EXPECT_TRUE(provider->isRegisteredForNotification("watched 'q' #%"));
    EXPECT_TRUE(provider->isRegisteredForNotification("/watched 'q' #%"));

    writeFile(container() / "watched 'q' #%" / "new é.txt", "1");
    ASSERT_TRUE(recorder->calls.waitFor(1));
    EXPECT_FALSE(recorder->offMain);

    // A change two levels down is not the folder's.
    const size_t seen = recorder->calls.count();
    fs::create_directories(container() / "watched 'q' #%" / "sub");
    ASSERT_TRUE(recorder->calls.waitFor(seen + 1)) << "a new child folder is reported";
    const size_t afterSub = recorder->calls.count();
    changeAndWalk([&] { writeFile(container() / "watched 'q' #%" / "sub" / "deep.txt", "2"); });
    EXPECT_EQ(recorder->calls.count(), afterSub);

    // Unregistered by any spelling: no more calls.
    provider->unregisterNotifcation("watched 'q' #%/");
    EXPECT_FALSE(provider->isRegisteredForNotification("watched 'q' #%"));
    const size_t before = recorder->calls.count();
    writeFile(container() / "watched 'q' #%" / "later.txt", "3");
    EXPECT_FALSE(recorder->calls.waitFor(before + 1, stoppedWatch));
}

TEST_F(CloudMonitorTest, AFileAndAPathNotYetThereAreWatched) {
    writeFile(container() / "song.mp3", "a");
    auto file = watch("song.mp3");
    auto later = watch("arrives later");
    EXPECT_TRUE(provider->isRegisteredForNotification("arrives later"));
    writeFile(container() / "song.mp3", "longer content");
    fs::create_directories(container() / "arrives later");
    EXPECT_TRUE(file->calls.waitFor(1));
    EXPECT_TRUE(later->calls.waitFor(1));
}

TEST_F(CloudMonitorTest, OneQueryPerPathAndNoneLeftWithTheProvider) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const size_t before = center.observerCount();
    fs::create_directories(container() / "dir");
    auto first = watch("dir");
    auto second = watch("/dir");
    EXPECT_EQ(center.observerCount(), before + 1) << "registering again replaces";
    writeFile(container() / "dir" / "x", "1");
    EXPECT_TRUE(second->calls.waitFor(1));
    EXPECT_EQ(first->calls.count(), 0u);

    std::weak_ptr<CloudFileProvider> weak = provider;
    provider.reset();
    EXPECT_TRUE(weak.expired()) << "a monitor holds no provider";
    EXPECT_EQ(center.observerCount(), before);
    const size_t calls = second->calls.count();
    writeFile(container() / "dir" / "y", "2");
    EXPECT_FALSE(second->calls.waitFor(calls + 1, stoppedWatch));
}

TEST_F(CloudMonitorTest, RegisteringOnePathFromManyThreadsKeepsOneMonitor) {
    auto& center = platform::NotificationCenter::defaultCenter();
    const size_t before = center.observerCount();
    fs::create_directories(container() / "dir");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([this] {
            for (int i = 0; i < 25; ++i) provider->registerNotifcation("dir", [] {});
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(center.observerCount(), before + 1) << "a replaced monitor still observes";

    provider->unregisterNotifcation("dir");
    EXPECT_FALSE(provider->isRegisteredForNotification("dir"));
    EXPECT_EQ(center.observerCount(), before);
}
