// test-labels: unit local tsan
// The metadata-query stand-in: gathering and live notifications on the main queue, item
// attributes, scopes, stopping and held-back updates.
#include "cloud_fixture.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/DispatchSemaphore.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/dispatch/NotificationCenter.hpp"

using namespace cloudtest;
using platform::MetadataQuery;

namespace {

struct Seen {
    std::string name;
    size_t resultCount;
    bool onMain;
    platform::ValueDictionary userInfo;
};

class MetadataQueryTest : public CloudTest {
protected:
    void TearDown() override {
        auto& center = platform::NotificationCenter::defaultCenter();
        for (auto token : tokens) center.removeObserver(token);
        if (query) query->stopQuery();
        CloudTest::TearDown();
    }

    std::shared_ptr<Calls<Seen>> observe(const std::shared_ptr<MetadataQuery>& q) {
        auto seen = std::make_shared<Calls<Seen>>();
        for (const char* name : {platform::NSMetadataQueryDidStartGatheringNotification,
                                 platform::NSMetadataQueryGatheringProgressNotification,
                                 platform::NSMetadataQueryDidFinishGatheringNotification,
                                 platform::NSMetadataQueryDidUpdateNotification}) {
            MetadataQuery* raw = q.get();
            tokens.push_back(platform::NotificationCenter::defaultCenter().addObserver(
                name, raw, nullptr, [seen, raw](const platform::Notification& n) {
                    seen->add({n.name, raw->resultCount(), platform::MainQueue::isMainThread(), n.userInfo});
                }));
        }
        return seen;
    }

    static std::vector<std::string> paths(const std::vector<platform::MetadataItemRef>& items) {
        std::vector<std::string> out;
        for (const auto& item : items) out.push_back(*item->valueForAttribute(platform::NSMetadataItemPathKey)->asString());
        std::sort(out.begin(), out.end());
        return out;
    }

    static bool waitForName(Calls<Seen>& seen, const std::string& name,
                            std::chrono::steady_clock::duration limit = ostrane_test::hangLimit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (size_t n = 1;; ++n) {
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= left.zero() || !seen.waitFor(n, left)) return false;
            if (seen.values()[n - 1].name == name) return true;
        }
    }

    std::vector<platform::NotificationCenter::ObserverToken> tokens;
    std::shared_ptr<MetadataQuery> query;
};

} // namespace

TEST_F(MetadataQueryTest, GathersOnTheMainQueueThenFinishes) {
    for (int i = 0; i < 150; ++i) writeFile(temp / "scope" / ("f " + std::to_string(i) + ".txt"), "x");
    writeFile(temp / "scope" / "skip.dat", "x");
    query = MetadataQuery::make();
    query->setPredicate(platform::Predicate::format("%K ENDSWITH '.txt'", {platform::NSMetadataItemFSNameKey}));
    query->setSearchScopes({platform::Value(platform::URL::fileURLWithPath((temp / "scope").string()))});
    auto seen = observe(query);
    ASSERT_TRUE(query->startQuery());
    EXPECT_FALSE(query->startQuery()) << "a query starts once";
    ASSERT_TRUE(waitForName(*seen, platform::NSMetadataQueryDidFinishGatheringNotification));

    const auto all = seen->values();
    EXPECT_EQ(all.front().name, platform::NSMetadataQueryDidStartGatheringNotification);
    size_t progress = 0;
    for (const auto& s : all) {
        EXPECT_TRUE(s.onMain) << s.name;
        if (s.name == platform::NSMetadataQueryGatheringProgressNotification) ++progress;
    }
    EXPECT_GE(progress, 2u) << "results arrive in batches";
    EXPECT_EQ(all.back().resultCount, 150u);
    EXPECT_EQ(query->resultCount(), 150u);
    EXPECT_FALSE(query->isGathering());
}

TEST_F(MetadataQueryTest, ItemsCarryTheirMetadataAttributes) {
    writeFile(temp / "s" / "file é.mp3", "12345");
    fs::create_directories(temp / "s" / "folder");
    fs::create_symlink("file é.mp3", temp / "s" / "link");
    struct Case {
        const char* name;
        const char* contentType;
        bool hasSize;
    };
    for (const auto& c : {Case{"file é.mp3", "public.data", true}, Case{"folder", "public.folder", false},
                          Case{"link", "public.symlink", false}}) {
        SCOPED_TRACE(c.name);
        const fs::path path = temp / "s" / c.name;
        auto item = platform::MetadataItem::make(platform::URL::fileURLWithPath(path.string()));
        ASSERT_TRUE(item);
        EXPECT_EQ(item->valueForAttribute(platform::NSMetadataItemPathKey), platform::Value(path.string()));
        EXPECT_EQ(item->valueForAttribute(platform::NSMetadataItemFSNameKey), platform::Value(c.name));
        EXPECT_EQ(item->valueForAttribute(platform::NSMetadataItemURLKey)->asURL()->path(), path.string());
        EXPECT_EQ(item->valueForAttribute(platform::NSMetadataItemContentTypeKey), platform::Value(c.contentType));
        const auto tree = item->valueForAttribute(platform::NSMetadataItemContentTypeTreeKey);
        ASSERT_TRUE(tree && tree->asArray());
        EXPECT_EQ(tree->asArray()->front(), platform::Value(c.contentType));
        EXPECT_EQ(item->valueForAttribute(platform::NSMetadataItemFSSizeKey).has_value(), c.hasSize);
        EXPECT_TRUE(item->valueForAttribute(platform::NSMetadataItemFSContentChangeDateKey));
    }
    EXPECT_FALSE(platform::MetadataItem::make(platform::URL::fileURLWithPath((temp / "nothing").string())));
    auto item = platform::MetadataItem::make(platform::URL::fileURLWithPath((temp / "s" / "folder").string()));
    EXPECT_FALSE(item->valuesForAttributes({"kMDItemNoSuchThing"}));
}

TEST_F(MetadataQueryTest, UbiquitousScopesAreTheContainersAndTheirDocuments) {
    writeFile(root / "one" / "top.txt", "1");
    writeFile(root / "one" / "Documents" / "doc.txt", "1");
    writeFile(root / "two" / "Documents" / "other.txt", "1");
    writeFile(temp / "outside.txt", "1");
    const auto run = [&](const char* scope) {
        auto q = MetadataQuery::make();
        q->setPredicate(platform::Predicate::format("%K ENDSWITH '.txt'", {platform::NSMetadataItemFSNameKey}));
        q->setSearchScopes({platform::Value(scope)});
        auto seen = observe(q);
        EXPECT_TRUE(q->startQuery());
        EXPECT_TRUE(waitForName(*seen, platform::NSMetadataQueryDidFinishGatheringNotification));
        q->stopQuery();
        return paths(q->results());
    };
    EXPECT_EQ(run(platform::NSMetadataQueryUbiquitousDocumentsScope),
              (std::vector<std::string>{(root / "one" / "Documents" / "doc.txt").string(),
                                        (root / "two" / "Documents" / "other.txt").string()}));
    EXPECT_EQ(run(platform::NSMetadataQueryUbiquitousDataScope).size(), 3u);
}

TEST_F(MetadataQueryTest, StoppedQueriesPostNothingMore) {
    writeFile(temp / "scope" / "a.txt", "1");
    query = MetadataQuery::make();
    EXPECT_FALSE(query->startQuery()) << "no predicate";
    query->setPredicate(platform::Predicate::value(true));
    EXPECT_FALSE(query->startQuery()) << "nothing to search";
    query->setSearchScopes({platform::Value(platform::URL::fileURLWithPath((temp / "scope").string()))});
    auto seen = observe(query);
    // The main queue is held from the start to the stop: on a busy machine the whole gathering
    // could otherwise finish, rightly posting, before the stop.
    auto held = std::make_shared<platform::DispatchSemaphore>(0);
    platform::DispatchQueue::main()->async([held] { held->wait(ostrane_test::hangLimitSeconds); });
    ASSERT_TRUE(query->startQuery());
    query->stopQuery();
    held->signal();
    EXPECT_TRUE(query->isStopped());
    EXPECT_FALSE(waitForName(*seen, platform::NSMetadataQueryDidFinishGatheringNotification, std::chrono::milliseconds(1500)));
    EXPECT_FALSE(query->startQuery());
}

TEST_F(MetadataQueryTest, LiveUpdatesAreHeldBackWhileDisabled) {
    writeFile(temp / "scope" / "a.txt", "1");
    query = MetadataQuery::make();
    query->setPredicate(platform::Predicate::value(true));
    query->setSearchScopes({platform::Value(platform::URL::fileURLWithPath((temp / "scope").string()))});
    query->setNotificationBatchingInterval(0.2);
    auto seen = observe(query);
    ASSERT_TRUE(query->startQuery());
    ASSERT_TRUE(waitForName(*seen, platform::NSMetadataQueryDidFinishGatheringNotification));
    EXPECT_EQ(query->resultCount(), 2u) << "the scope folder and its file";

    query->disableUpdates();
    writeFile(temp / "scope" / "b é.txt", "2");
    EXPECT_FALSE(waitForName(*seen, platform::NSMetadataQueryDidUpdateNotification, std::chrono::seconds(1)));
    EXPECT_EQ(query->resultCount(), 2u);
    query->enableUpdates();
    ASSERT_TRUE(waitForName(*seen, platform::NSMetadataQueryDidUpdateNotification));
    const auto update = seen->values().back();
    EXPECT_EQ(update.resultCount, 3u);
    const auto* added = platform::find(update.userInfo, platform::NSMetadataQueryUpdateAddedItemsKey);
    ASSERT_TRUE(added && added->asArray());
    ASSERT_EQ(added->asArray()->size(), 1u);
    EXPECT_EQ(*added->asArray()->front().find(platform::NSMetadataItemFSNameKey), platform::Value("b é.txt"));
}

TEST_F(MetadataQueryTest, SearchItemsAreLookedAtAlone) {
    writeFile(temp / "folder" / "inside.txt", "1");
    query = MetadataQuery::make();
    query->setPredicate(platform::Predicate::value(true));
    query->setSearchItems({platform::URL::fileURLWithPath((temp / "folder").string())});
    auto seen = observe(query);
    ASSERT_TRUE(query->startQuery());
    ASSERT_TRUE(waitForName(*seen, platform::NSMetadataQueryDidFinishGatheringNotification));
    EXPECT_EQ(paths(query->results()), std::vector<std::string>{(temp / "folder").string()});
}
