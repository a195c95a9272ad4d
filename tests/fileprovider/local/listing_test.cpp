// test-labels: unit local
#include "local_fixture.hpp"

#include "platform/dispatch/Progress.hpp"
#include "platform/data/Predicate.hpp"

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

using namespace localtest;
using platform::URL;

namespace {

class LocalListingTest : public LocalProviderTest {
protected:
    struct Search {
        Listing result;
        std::vector<std::pair<std::string, int64_t>> found;  // name, completed count when reported
        size_t completions = 0;
    };

    Search search(const std::string& path, bool recursive, const std::string& format, bool cancelFirst = false) {
        auto calls = std::make_shared<Calls<Listing>>();
        auto found = std::make_shared<std::vector<std::pair<std::string, int64_t>>>();
        auto progressSlot = std::make_shared<ProgressRef>();
        auto started = std::make_shared<std::mutex>();
        std::unique_lock hold(*started);  // the found handler waits until the progress is known
        auto progress = provider->searchFiles(
            path, recursive, platform::Predicate::format(format),
            [found, progressSlot, started](FileObjectRef f) {
                std::lock_guard lock(*started);
                found->push_back({f->name(), (*progressSlot)->completedUnitCount()});
            },
            [calls](std::vector<FileObjectRef> files, ErrorRef error) { calls->add({std::move(files), error}); });
        EXPECT_TRUE(progress);
        *progressSlot = progress;
        if (cancelFirst) progress->cancel();
        hold.unlock();
        EXPECT_TRUE(calls->waitFor(1));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);
        Search s;
        s.completions = calls->count();
        if (s.completions) s.result = calls->first();
        std::lock_guard lock(*started);
        s.found = *found;
        EXPECT_EQ(progress->totalUnitCount(), -1);
        EXPECT_TRUE(progress->userInfoObject(platform::Progress::fileURLKey));
        return s;
    }
};

} // namespace

TEST_F(LocalListingTest, ListsOneLevelWithHiddenItems) {
    writeFile(base / "a b.txt", "1");
    writeFile(base / ".hidden", "2");
    writeFile(base / "sub" / "deep.txt", "3");
    writeFile(base / "what?#%.mkv", "4");
    const auto listing = list("");
    EXPECT_FALSE(listing.error);
    EXPECT_EQ(names(listing.files), (std::vector<std::string>{".hidden", "a b.txt", "sub", "what?#%.mkv"}));
    for (const auto& f : listing.files) EXPECT_EQ(f->path(), "/" + f->name());

    const auto sub = list("/sub/");
    EXPECT_EQ(names(sub.files), std::vector<std::string>{"deep.txt"});
    EXPECT_EQ(sub.files.at(0)->path(), "/sub/deep.txt");
}

TEST_F(LocalListingTest, ListingAFileOrNothingFails) {
    writeFile(base / "file.txt", "1");
    for (const char* path : {"file.txt", "missing"}) {
        const auto listing = list(path);
        EXPECT_TRUE(listing.error) << path;
        EXPECT_TRUE(listing.files.empty()) << path;
    }
}

TEST_F(LocalListingTest, ListingNeverLeavesTheBase) {
    writeFile(temp.path() / "outside.txt", "x");
    writeFile(base / "inside.txt", "y");
    EXPECT_EQ(names(list("..").files), std::vector<std::string>{"inside.txt"});
}

TEST_F(LocalListingTest, AttributesOfItems) {
    writeFile(base / "f.txt", "12345");
    Calls<std::pair<FileObjectRef, ErrorRef>> calls;
    provider->attributesOfItem("f.txt", [&](FileObjectRef f, ErrorRef e) { calls.add({f, e}); });
    provider->attributesOfItem("missing", [&](FileObjectRef f, ErrorRef e) { calls.add({f, e}); });
    ASSERT_TRUE(calls.waitFor(2));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    ASSERT_EQ(calls.count(), 2u);
    for (const auto& [file, error] : calls.values()) {
        if (file) {
            EXPECT_FALSE(error);
            EXPECT_EQ(file->size(), 5);
        } else {
            // A missing item is an error, not an entry-less success.
            EXPECT_EQ(cocoaCode(error), platform::CocoaError::fileReadNoSuchFile);
            EXPECT_EQ(error->filePath(), "missing");
        }
    }
    const auto values = calls.values();
    EXPECT_EQ(std::count_if(values.begin(), values.end(), [](auto& v) { return v.first == nullptr; }), 1);
}

TEST_F(LocalListingTest, SearchFlatAndRecursive) {
    writeFile(base / "song.mp3", "");
    writeFile(base / "Sub" / "Song two.mp3", "");
    writeFile(base / "Sub" / "deeper" / "song3.MP3", "");
    writeFile(base / "other.txt", "");

    auto flat = search("", false, "name BEGINSWITH[c] 'song'");
    EXPECT_FALSE(flat.result.error);
    EXPECT_EQ(names(flat.result.files), std::vector<std::string>{"song.mp3"});

    auto deep = search("", true, "name BEGINSWITH[c] 'song'");
    EXPECT_FALSE(deep.result.error);
    EXPECT_EQ(names(deep.result.files), (std::vector<std::string>{"Song two.mp3", "song.mp3", "song3.MP3"}));
    EXPECT_EQ(deep.completions, 1u);
}

TEST_F(LocalListingTest, SearchReportsEachMatchAfterCounting) {
    writeFile(base / "a", "");
    writeFile(base / "b", "");
    writeFile(base / "c" / "d", "");
    auto all = search("", true, "TRUEPREDICATE");
    ASSERT_EQ(all.found.size(), 4u);
    for (size_t i = 0; i < all.found.size(); ++i) EXPECT_EQ(all.found[i].second, static_cast<int64_t>(i + 1));
    EXPECT_EQ(all.result.files.size(), 4u);
}

TEST_F(LocalListingTest, CancelledSearchStillCompletesOnce) {
    for (const char* name : {"a", "b", "c", "d", "e"}) writeFile(base / name, "");
    // The walk may hold one entry (its found handler waits for the cancel); it stops before the next.
    auto cancelled = search("", true, "TRUEPREDICATE", true);
    EXPECT_EQ(cancelled.completions, 1u);
    EXPECT_LE(cancelled.result.files.size(), 1u);
    EXPECT_FALSE(cancelled.result.error);
}

TEST_F(LocalListingTest, SearchOfAMissingFolderIsAnErrorNotNothing) {
    auto missing = search("missing", true, "TRUEPREDICATE");
    EXPECT_EQ(missing.completions, 1u);
    EXPECT_TRUE(missing.result.error);
}

TEST_F(LocalListingTest, SearchGoesOnPastAnUnreadableFolder) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    writeFile(base / "locked" / "hidden-from-us", "");
    writeFile(base / "open" / "seen", "");
    fs::permissions(base / "locked", fs::perms::none);
    auto result = search("", true, "TRUEPREDICATE");
    fs::permissions(base / "locked", fs::perms::owner_all);
    EXPECT_EQ(result.completions, 1u);
    EXPECT_TRUE(result.result.error) << "the folder that could not be read is reported";
    EXPECT_EQ(names(result.result.files), (std::vector<std::string>{"locked", "open", "seen"}));
}

TEST_F(LocalListingTest, StorageAndReachability) {
    Calls<VolumeObjectRef> volumes;
    provider->storageProperties([&](VolumeObjectRef v) { volumes.add(v); });
    ASSERT_TRUE(volumes.waitFor(1));
    const auto volume = volumes.first();
    ASSERT_TRUE(volume);
    EXPECT_GT(volume->totalCapacity(), 0);
    EXPECT_GE(volume->availableCapacity(), 0);
    EXPECT_TRUE(volume->url());

    Calls<std::pair<bool, ErrorRef>> reach;
    provider->isReachable([&](bool ok, ErrorRef e) { reach.add({ok, e}); });
    ASSERT_TRUE(reach.waitFor(1));
    EXPECT_TRUE(reach.first().first);
    EXPECT_FALSE(reach.first().second);

    fs::remove_all(base);
    Calls<std::pair<bool, ErrorRef>> gone;
    provider->isReachable([&](bool ok, ErrorRef e) { gone.add({ok, e}); });
    ASSERT_TRUE(gone.waitFor(1));
    EXPECT_FALSE(gone.first().first);
    EXPECT_EQ(cocoaCode(gone.first().second), platform::CocoaError::fileReadNoSuchFile);

    Calls<VolumeObjectRef> none;
    provider->storageProperties([&](VolumeObjectRef v) { none.add(v); });
    ASSERT_TRUE(none.waitFor(1));
    EXPECT_FALSE(none.first());
}

TEST_F(LocalListingTest, SearchGoesOnPastAFolderTooDeepToOpen) {
    // Folders nested past the longest path the system opens: the walk cannot enter the deepest one.
    writeFile(base / "seen.txt", "");
    const std::string name(200, 'd');
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < 22; ++level) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ::close(fd);

    auto result = search("", true, "name == 'seen.txt'");
    EXPECT_EQ(result.completions, 1u);
    EXPECT_TRUE(result.result.error) << "the folder that could not be read is reported";
    EXPECT_EQ(names(result.result.files), std::vector<std::string>{"seen.txt"});

    // Clean up from the bottom, as the path is too long to remove in one call.
    int top = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 21; level >= 0; --level) {
        int dir = ::dup(top);
        for (int i = 0; i < level; ++i) {
            const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(dir);
            dir = next;
        }
        ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
        ::close(dir);
    }
    ::close(top);
}

TEST_F(LocalListingTest, RecursiveSearchDoesNotFollowLinkedFolders) {
    writeFile(base / "a" / "match.txt", "");
    fs::create_directory_symlink(base, base / "a" / "loop");
    fs::create_directory_symlink("/", base / "root");
    auto result = search("", true, "name == 'match.txt'");
    EXPECT_FALSE(result.result.error);
    EXPECT_EQ(names(result.result.files), std::vector<std::string>{"match.txt"});
}
