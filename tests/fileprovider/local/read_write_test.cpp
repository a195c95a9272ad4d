// test-labels: unit local
#include "local_fixture.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Progress.hpp"

#include <sys/stat.h>

using namespace localtest;
using platform::CocoaError;

namespace {

class LocalReadWriteTest : public LocalProviderTest {
protected:
    Read read(const std::string& path, int64_t offset, int64_t length, ProgressRef* progressOut = nullptr) {
        auto calls = std::make_shared<Calls<Read>>();
        auto onQueue = std::make_shared<std::atomic<bool>>(false);
        auto queue = provider->dispatch_queue();
        auto progress = provider->contents(path, offset, length, [calls, onQueue, queue](std::optional<Data> d, ErrorRef e) {
            onQueue->store(queue->isCurrent());
            calls->add({std::move(d), e});
        });
        if (progressOut) *progressOut = progress;
        EXPECT_TRUE(calls->waitFor(1));
        EXPECT_TRUE(onQueue->load()) << "completions run on dispatch_queue";
        std::this_thread::sleep_for(ostrane_test::quietPeriod);
        EXPECT_EQ(calls->count(), 1u);
        return calls->count() ? calls->first() : Read{};
    }

    Read readWhole(const std::string& path) {
        auto calls = std::make_shared<Calls<Read>>();
        provider->contents(path, [calls](std::optional<Data> d, ErrorRef e) { calls->add({std::move(d), e}); });
        EXPECT_TRUE(calls->waitFor(1));
        return calls->count() ? calls->first() : Read{};
    }

    static std::string text(const Read& r) { return r.data ? std::string(r.data->begin(), r.data->end()) : "<none>"; }
};

} // namespace

TEST_F(LocalReadWriteTest, RangedReads) {
    writeFile(base / "ten.bin", "0123456789");
    writeFile(base / "empty", "");
    fs::create_directories(base / "folder");
    struct Case {
        const char* path;
        int64_t offset;
        int64_t length;
        std::string expected;  // data, or "!<code>" for an error
    } cases[] = {
        {"ten.bin", 0, 4, "0123"},
        {"ten.bin", 6, 100, "6789"},
        {"ten.bin", 3, -1, "3456789"},
        {"ten.bin", 9, 1, "9"},
        {"ten.bin", 4, 0, ""},
        {"ten.bin", 10, 1, "!263"},
        {"ten.bin", -1, 4, "!263"},
        {"empty", 0, 1, "!263"},
        {"folder", 0, 1, "!263"},
        {"missing", 0, 1, "!4"},
    };
    for (const auto& c : cases) {
        const Read r = read(c.path, c.offset, c.length);
        if (c.expected[0] == '!') {
            EXPECT_FALSE(r.data) << c.path << " @" << c.offset;
            EXPECT_EQ(std::to_string(cocoaCode(r.error)), c.expected.substr(1)) << c.path << " @" << c.offset;
            if (r.error) {
                EXPECT_EQ(r.error->filePath(), c.path);
            }
        } else {
            EXPECT_FALSE(r.error) << c.path << " @" << c.offset;
            EXPECT_EQ(text(r), c.expected) << c.path << " @" << c.offset;
        }
    }
}

TEST_F(LocalReadWriteTest, RangedReadProgressCountsTheFile) {
    writeFile(base / "ten.bin", "0123456789");
    ProgressRef progress;
    EXPECT_EQ(text(read("ten.bin", 2, 3, &progress)), "234");
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->totalUnitCount(), 10);
    EXPECT_EQ(progress->completedUnitCount(), 10);
    EXPECT_EQ(operationFromProgressValue(*progress->userInfoObject(fileProvderOperationTypeKey)),
              FileOperationType::fetch("ten.bin"));
    EXPECT_EQ(progress->fileOperationKind(), platform::ProgressFileOperationKind::receiving);

    ProgressRef failed;
    read("ten.bin", 20, 3, &failed);
    EXPECT_TRUE(failed->isCancelled());
}

TEST_F(LocalReadWriteTest, WholeReads) {
    writeFile(base / "a b?.txt", "hello");
    writeFile(base / "empty", "");
    EXPECT_EQ(text(readWhole("a b?.txt")), "hello");
    const Read empty = readWhole("empty");
    EXPECT_FALSE(empty.error);
    EXPECT_EQ(text(empty), "") << "a whole read of an empty file is empty data, not an error";
    const Read missing = readWhole("missing");
    EXPECT_FALSE(missing.data);
    EXPECT_EQ(cocoaCode(missing.error), CocoaError::fileReadNoSuchFile);
    fs::create_directories(base / "dir");
    EXPECT_TRUE(readWhole("dir").error);
}

TEST_F(LocalReadWriteTest, CoordinatedReadsWork) {
    provider->setIsCoorinating(true);
    writeFile(base / "f", "coordinated");
    EXPECT_EQ(text(readWhole("f")), "coordinated");
    EXPECT_EQ(text(read("f", 0, 5)), "coord");
}

TEST_F(LocalReadWriteTest, WriteRulesForNewAndExistingFiles) {
    ProgressRef progress;
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("new file.txt", bytes("one"), false, false, done); },
                     &progress));
    ASSERT_TRUE(progress);
    EXPECT_EQ(operationFromProgressValue(*progress->userInfoObject(fileProvderOperationTypeKey)),
              FileOperationType::create("new file.txt"));
    EXPECT_EQ(readFile(base / "new file.txt"), "one");
    EXPECT_EQ(progress->completedUnitCount(), 3);

    ProgressRef refused;
    const ErrorRef exists =
        run([&](auto done) { return provider->writeContents("new file.txt", bytes("two"), false, false, done); }, &refused);
    EXPECT_FALSE(refused);
    EXPECT_EQ(cocoaCode(exists), CocoaError::fileWriteFileExists);
    EXPECT_EQ(exists->filePath(), "new file.txt");
    EXPECT_EQ(readFile(base / "new file.txt"), "one");

    for (bool atomically : {false, true}) {
        ProgressRef modify;
        const std::string contents = atomically ? "three, atomically" : "three";
        EXPECT_FALSE(run([&](auto done) {
            return provider->writeContents("new file.txt", bytes(contents), atomically, true, done);
        }, &modify));
        EXPECT_EQ(operationFromProgressValue(*modify->userInfoObject(fileProvderOperationTypeKey)),
                  FileOperationType::modify("new file.txt"));
        EXPECT_EQ(readFile(base / "new file.txt"), contents);
    }
    for (const auto& entry : fs::directory_iterator(base))
        EXPECT_NE(entry.path().filename().string().rfind(".ostrane-", 0), 0u) << entry.path();
}

TEST_F(LocalReadWriteTest, AtomicWriteKeepsTheFileMode) {
    writeFile(base / "script", "old");
    fs::permissions(base / "script", fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("script", bytes("new"), true, true, done); }));
    EXPECT_EQ(readFile(base / "script"), "new");
    EXPECT_EQ(fs::status(base / "script").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::owner_exec);
}

TEST_F(LocalReadWriteTest, WritingNoContentsMakesAnEmptyFile) {
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("empty.txt", std::nullopt, done); }));
    ASSERT_TRUE(fs::exists(base / "empty.txt")) << "success must mean the file is there";
    EXPECT_EQ(fs::file_size(base / "empty.txt"), 0u);
}

TEST_F(LocalReadWriteTest, WritingIntoAMissingFolderFails) {
    const ErrorRef error = run([&](auto done) { return provider->writeContents("no/such/dir/f", bytes("x"), done); });
    EXPECT_TRUE(error);
    EXPECT_FALSE(fs::exists(base / "no"));
}

TEST_F(LocalReadWriteTest, OnlyRegularFilesOrLinksToThemAreRead) {
    writeFile(base / "ten.bin", "0123456789");
    fs::create_directories(base / "folder");
    ASSERT_EQ(::mkfifo((base / "pipe").c_str(), 0600), 0);
    fs::create_symlink("ten.bin", base / "link");
    fs::create_symlink("pipe", base / "link to pipe");
    for (bool coordinating : {false, true}) {
        SCOPED_TRACE(coordinating ? "coordinated" : "plain");
        provider->setIsCoorinating(coordinating);
        // A named pipe would block in open until a writer came, holding the item's coordination.
        for (const char* path : {"pipe", "link to pipe"}) {
            EXPECT_TRUE(readWhole(path).error) << path;
            const Read ranged = read(path, 0, 4);
            EXPECT_FALSE(ranged.data) << path;
            EXPECT_EQ(cocoaCode(ranged.error), CocoaError::fileReadTooLarge) << path;
        }
        // A link is read as the file it leads to, whole or in part; its own size does not count.
        EXPECT_EQ(text(readWhole("link")), "0123456789");
        ProgressRef progress;
        EXPECT_EQ(text(read("link", 6, 100, &progress)), "6789");
        EXPECT_EQ(progress->totalUnitCount(), 10);
        EXPECT_EQ(text(read("link", 9, 1)), "9");
        EXPECT_TRUE(readWhole("folder").error);
    }
    // The coordination of the pipe was let go: a write to it is not held up.
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("other", bytes("x"), done); }));
}

TEST_F(LocalReadWriteTest, AWriteNeverReplacesAFolder) {
    fs::create_directories(base / "folder" / "inner");
    writeFile(base / "folder" / "inner" / "keep.txt", "kept");
    for (bool atomically : {false, true}) {
        SCOPED_TRACE(atomically ? "atomically" : "in place");
        EXPECT_TRUE(run([&](auto done) { return provider->writeContents("folder", bytes("file"), atomically, true, done); }));
        EXPECT_TRUE(fs::is_directory(base / "folder"));
        EXPECT_EQ(readFile(base / "folder" / "inner" / "keep.txt"), "kept");
    }
    for (const auto& entry : fs::directory_iterator(base))
        EXPECT_NE(entry.path().filename().string().rfind(".ostrane-", 0), 0u) << entry.path();
}
