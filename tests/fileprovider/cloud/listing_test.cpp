// test-labels: unit local tsan
// iCloud listing, attributes and search through metadata queries, over hostile names.
#include "cloud_fixture.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/dispatch/NotificationCenter.hpp"
#include "platform/dispatch/Progress.hpp"

#include <atomic>

using namespace cloudtest;

namespace {

class CloudListingTest : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        makeProvider();
        ASSERT_TRUE(provider);
        // Neighbours whose paths begin like the searched folder's must stay out of its results.
        writeFile(container() / "docs" / "a 'q' ?.txt", "12345");
        writeFile(container() / "docs" / "b #%.mp4", "1");
        writeFile(container() / "docs" / "été" / "deep.txt", "deep");
        writeFile(container() / "docs" / "été" / "deeper" / "deepest.txt", "x");
        writeFile(container() / "docs2" / "neighbour.txt", "n");
        writeFile(container() / "Docs" / "other case.txt", "c");
        writeFile(container() / "docs " / "trailing space.txt", "t");
        fs::create_directory_symlink(container() / "docs2", container() / "docs" / "link");
    }

    struct SearchResult {
        std::vector<FileObjectRef> files;
        ErrorRef error;
        std::vector<std::string> found;
        bool foundOffMain = false;
    };

    SearchResult search(const std::string& path, bool recursive, const std::string& format,
                        bool withFoundHandler = true) {
        auto found = std::make_shared<Calls<std::string>>();
        auto offMain = std::make_shared<std::atomic<bool>>(false);
        Calls<Listing> calls;
        FoundItemHandler handler;
        if (withFoundHandler)
            handler = [found, offMain](FileObjectRef f) {
                if (!platform::MainQueue::isMainThread()) *offMain = true;
                found->add(f->name());
            };
        provider->searchFiles(path, recursive, platform::Predicate::format(format), handler,
                              [&](std::vector<FileObjectRef> files, ErrorRef error) { calls.add({files, error}); });
        EXPECT_TRUE(calls.waitFor(1));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);
        EXPECT_EQ(calls.count(), 1u);
        SearchResult r;
        if (calls.count()) {
            r.files = calls.values().front().files;
            r.error = calls.values().front().error;
        }
        r.found = found->values();
        std::sort(r.found.begin(), r.found.end());
        r.foundOffMain = *offMain;
        return r;
    }
};

} // namespace

TEST_F(CloudListingTest, ListsOnlyTheDirectChildrenOfThatFolder) {
    for (const std::string spelling : {"docs", "/docs", "/docs/", "docs/./"}) {
        SCOPED_TRACE(spelling);
        auto [files, error] = list(spelling);
        ASSERT_EQ(error, nullptr);
        EXPECT_EQ(names(files), (std::vector<std::string>{"a 'q' ?.txt", "b #%.mp4", "link", "été"}));
        for (const auto& f : files) {
            if (f->name() == "a 'q' ?.txt") {
                EXPECT_TRUE(f->isRegularFile());
                EXPECT_EQ(f->size(), 5);
                EXPECT_EQ(f->path(), "docs/a 'q' ?.txt");
                EXPECT_EQ(f->url().absoluteURL().path(), (container() / "docs" / "a 'q' ?.txt").string());
                EXPECT_TRUE(f->modifiedDate());
            }
            if (f->name() == "été") {
                EXPECT_TRUE(f->isDirectory());
                EXPECT_EQ(f->path(), "docs/été");
            }
            if (f->name() == "link") { EXPECT_TRUE(f->isSymLink()); }
        }
    }
    EXPECT_EQ(names(list("").files), (std::vector<std::string>{"Docs", "docs", "docs ", "docs2"}));
    EXPECT_EQ(names(list("docs ").files), std::vector<std::string>{"trailing space.txt"});
}

TEST_F(CloudListingTest, AFolderThatCannotBeListedIsAnError) {
    for (const std::string path : {"no such folder", "docs/a 'q' ?.txt"}) {
        SCOPED_TRACE(path);
        auto [files, error] = list(path);
        EXPECT_NE(error, nullptr);
        EXPECT_TRUE(files.empty());
    }
}

TEST_F(CloudListingTest, AttributesNameExactlyOneItem) {
    auto [file, error] = attributes("/docs/a 'q' ?.txt");
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name(), "a 'q' ?.txt");
    EXPECT_EQ(file->size(), 5);

    auto [folder, folderError] = attributes("docs/été/");
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isDirectory());
    EXPECT_EQ(folder->path(), "docs/été");

    auto [base, baseError] = attributes("");
    ASSERT_TRUE(base);
    EXPECT_TRUE(base->isDirectory());

    // Wildcards and letter case in the asked path match nothing else.
    for (const std::string path : {"docs/a 'q' *.txt", "docs/a 'Q' ?.txt", "DOCS/a 'q' ?.txt", "docs/never.txt"}) {
        SCOPED_TRACE(path);
        auto [missing, missingError] = attributes(path);
        EXPECT_FALSE(missing);
        EXPECT_EQ(cocoaCode(missingError), platform::CocoaError::fileReadNoSuchFile);
    }
}

TEST_F(CloudListingTest, SearchesStayInsideTheFolderAndHandEachFindOutOnTheMainQueue) {
    const size_t observersBefore = platform::NotificationCenter::defaultCenter().observerCount();
    auto recursive = search("docs", true, "name ENDSWITH '.txt'");
    ASSERT_EQ(recursive.error, nullptr);
    EXPECT_EQ(names(recursive.files), (std::vector<std::string>{"a 'q' ?.txt", "deep.txt", "deepest.txt"}));
    EXPECT_EQ(recursive.found, names(recursive.files)) << "every match is handed out before the end";
    EXPECT_FALSE(recursive.foundOffMain);

    auto flat = search("docs", false, "name ENDSWITH '.txt'");
    EXPECT_EQ(names(flat.files), std::vector<std::string>{"a 'q' ?.txt"});

    auto withoutHandler = search("docs/été", true, "TRUEPREDICATE", false);
    EXPECT_EQ(names(withoutHandler.files), (std::vector<std::string>{"deep.txt", "deeper", "deepest.txt"}));
    EXPECT_TRUE(withoutHandler.found.empty());

    // Every search took its observers away again.
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(), observersBefore);
}

TEST_F(CloudListingTest, QueriesOnTypePathAndSizeKeepTheirMeaning) {
    struct Case {
        const char* format;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"type == 'directory'", {"deeper", "été"}},
        {"type == 'regular'", {"a 'q' ?.txt", "b #%.mp4", "deep.txt", "deepest.txt"}},
        {"type == 'symbolicLink'", {"link"}},
        {"NOT (type == 'directory')", {"a 'q' ?.txt", "b #%.mp4", "deep.txt", "deepest.txt", "link"}},
        {"type != 'regular' AND name BEGINSWITH[c] 'D'", {"deeper"}},
        {"path BEGINSWITH 'docs/été/deeper'", {"deeper", "deepest.txt"}},
        {"NOT (path CONTAINS 'deep')", {"a 'q' ?.txt", "b #%.mp4", "link", "été"}},
        {"filesize >= 4", {"a 'q' ?.txt", "deep.txt"}},
        {"name == 'b #%.mp4'", {"b #%.mp4"}},
        {"isHidden == YES", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        auto r = search("docs", true, c.format);
        EXPECT_EQ(r.error, nullptr);
        EXPECT_EQ(names(r.files), c.expected);
        EXPECT_EQ(r.found, c.expected);
    }
}

TEST_F(CloudListingTest, TheMetadataPredicateNeverDropsWhatTheCallersKeeps) {
    struct Case {
        const char* format;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"name == 'a'", "kMDItemFSName == \"a\""},
        {"filesize > 3", "kMDItemFSSize > 3"},
        {"type == 'directory'", "ANY kMDItemContentTypeTree == \"public.directory\""},
        {"type == 'other'", "ANY kMDItemContentTypeTree == \"public.data\""},
        {"path == 'a'", "TRUEPREDICATE"},
        {"NOT url == 'a'", "NOT FALSEPREDICATE"},
        {"mimeType == 'x' OR name == 'a'", "TRUEPREDICATE OR kMDItemFSName == \"a\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(CloudFileProvider::metadataPredicate(platform::Predicate::format(c.format))->predicateFormat(),
                  platform::Predicate::format(c.expected)->predicateFormat());
    }
}

TEST_F(CloudListingTest, ACancelledSearchEndsOnceWithUserCancelled) {
    writeFile(container() / "many" / "x", "x");
    for (int i = 0; i < 300; ++i) writeFile(container() / "many" / ("f" + std::to_string(i)), "x");
    Calls<Listing> calls;
    auto progress = provider->searchFiles("many", true, platform::Predicate::value(true), nullptr,
                                          [&](std::vector<FileObjectRef> files, ErrorRef error) { calls.add({files, error}); });
    ASSERT_TRUE(progress);
    progress->cancel();
    ASSERT_TRUE(calls.waitFor(1));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    ASSERT_EQ(calls.count(), 1u);
    EXPECT_EQ(cocoaCode(calls.values().front().error), platform::CocoaError::userCancelled);

    // No predicate: an error, once.
    Calls<Listing> none;
    provider->searchFiles("docs", true, platform::PredicateRef(), nullptr,
                          [&](std::vector<FileObjectRef> files, ErrorRef error) { none.add({files, error}); });
    ASSERT_TRUE(none.waitFor(1));
    EXPECT_NE(none.values().front().error, nullptr);
}

TEST_F(CloudListingTest, SearchProgressCarriesTheURLAndTheStart) {
    Calls<Listing> calls;
    auto progress = provider->searchFiles("docs", false, platform::Predicate::value(true), nullptr,
                                          [&](std::vector<FileObjectRef> files, ErrorRef error) { calls.add({files, error}); });
    ASSERT_TRUE(progress);
    const auto url = progress->userInfoObject(platform::Progress::fileURLKey);
    ASSERT_TRUE(url && url->asURL());
    EXPECT_EQ(url->asURL()->absoluteURL().path(), (container() / "docs").string());
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_TRUE(progress->userInfoObject(startingTimeKey));
    EXPECT_TRUE(progress->isFinished());
}

TEST_F(CloudListingTest, AProviderLetGoDuringItsListingStillAnswersOnce) {
    auto calls = std::make_shared<Calls<Listing>>();
    std::weak_ptr<CloudFileProvider> weak = provider;
    provider->contentsOfDirectory("docs", [calls](std::vector<FileObjectRef> files, ErrorRef error) {
        calls->add({std::move(files), error});
    });
    provider->attributesOfItem("docs", [calls](FileObjectRef file, ErrorRef error) {
        calls->add({{file}, error});
    });
    provider.reset();
    ASSERT_TRUE(calls->waitFor(2));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_EQ(calls->count(), 2u);
    for (const auto& c : calls->values()) EXPECT_EQ(c.error, nullptr);
    EXPECT_TRUE(weak.expired());
}

TEST_F(CloudListingTest, AProviderOnAFolderOutsideEveryContainerListsIt) {
    writeFile(temp / "own folder" / "x #1.txt", "x");
    writeFile(temp / "own folder" / "sub" / "y.txt", "y");
    provider = CloudFileProvider::make(platform::URL::fileURLWithPath((temp / "own folder").string(), true));
    EXPECT_EQ(names(list("").files), (std::vector<std::string>{"sub", "x #1.txt"}));
    auto found = search("", true, "name ENDSWITH '.txt'");
    EXPECT_EQ(names(found.files), (std::vector<std::string>{"x #1.txt", "y.txt"}));
    auto [file, error] = attributes("sub/y.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path(), "sub/y.txt");
}
