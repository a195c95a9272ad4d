// test-labels: unit local tsan
#include "local_fixture.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/local/LocalFileProviderManagerDelegate.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/base/UndoManager.hpp"

#include <atomic>
#include <future>

using namespace localtest;
using platform::URL;
using platform::CocoaError;

namespace {

struct Report {
    bool succeeded;
    FileOperationType operation;
    ErrorRef error;
    bool onMainThread;
};

class RecordingDelegate : public FileProviderDelegate {
public:
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op) override {
        reports.add({true, op, nullptr, platform::MainQueue::isMainThread()});
    }
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op,
                             const ErrorRef& error) override {
        reports.add({false, op, error, platform::MainQueue::isMainThread()});
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
    Calls<Report> reports;
};

// Refuses the operations whose source ends with `refuse`; records every question.
class Gatekeeper : public FileOperationDelegate {
public:
    explicit Gatekeeper(std::string refuse) : refuse_(std::move(refuse)) {}
    bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op) override {
        asked.add(op);
        const auto& s = op.source();
        return refuse_.empty() || s.size() < refuse_.size() || s.compare(s.size() - refuse_.size(), refuse_.size(), refuse_) != 0;
    }
    bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                   const FileOperationType& op) override {
        proceeded.add(op);
        return true;
    }
    Calls<FileOperationType> asked;
    Calls<FileOperationType> proceeded;

private:
    std::string refuse_;
};

class LocalOperationsTest : public LocalProviderTest {
protected:
    void SetUp() override {
        LocalProviderTest::SetUp();
        delegate = std::make_shared<RecordingDelegate>();
        provider->setDelegate(delegate);
    }
    std::shared_ptr<RecordingDelegate> delegate;
};

} // namespace

TEST_F(LocalOperationsTest, CreateFolderMakesIntermediatesAndReportsOnTheMainQueue) {
    ProgressRef progress;
    EXPECT_FALSE(run([&](auto done) { return provider->create("a b", "x/y", done); }, &progress));
    EXPECT_TRUE(fs::is_directory(base / "x" / "y" / "a b"));
    ASSERT_TRUE(progress);
    const auto op = operationFromProgressValue(*progress->userInfoObject(fileProvderOperationTypeKey));
    ASSERT_TRUE(op);
    EXPECT_EQ(*op, FileOperationType::create("x/y/a b/"));
    EXPECT_EQ(progress->kind(), platform::Progress::kindFile);
    EXPECT_FALSE(progress->isCancellable());
    EXPECT_TRUE(progress->userInfoObject(startingTimeKey));
    EXPECT_EQ(progress->completedUnitCount(), 1);

    ASSERT_TRUE(delegate->reports.waitFor(1));
    const auto report = delegate->reports.first();
    EXPECT_TRUE(report.succeeded);
    EXPECT_EQ(report.operation, FileOperationType::create("x/y/a b/"));
    EXPECT_TRUE(report.onMainThread);
}

TEST_F(LocalOperationsTest, CopyAndMoveRefuseAnExistingDestinationWithoutOverwrite) {
    writeFile(base / "src.txt", "new");
    writeFile(base / "dst.txt", "old");
    for (bool move : {false, true}) {
        auto calls = std::make_shared<Calls<ErrorRef>>();
        auto done = [calls](ErrorRef e) { calls->add(e); };
        const auto progress = move ? provider->moveItem("src.txt", "dst.txt", false, done)
                                   : provider->copyItem("src.txt", "dst.txt", false, done);
        EXPECT_FALSE(progress);
        ASSERT_TRUE(calls->waitFor(1));
        EXPECT_EQ(cocoaCode(calls->first()), CocoaError::fileWriteFileExists);
        EXPECT_EQ(calls->first()->filePath(), "dst.txt");
    }
    EXPECT_EQ(readFile(base / "dst.txt"), "old");
    EXPECT_EQ(readFile(base / "src.txt"), "new");
}

TEST_F(LocalOperationsTest, OverwriteReplacesFilesAndFolders) {
    struct Case {
        const char* name;
        bool move;
        bool folder;
    } cases[] = {{"copy file", false, false}, {"move file", true, false},
                 {"copy folder", false, true}, {"move folder", true, true}};
    for (const auto& c : cases) {
        fs::remove_all(base);
        fs::create_directories(base);
        if (c.folder) {
            writeFile(base / "src" / "inner.txt", "new");
            writeFile(base / "dst" / "old1.txt", "old");
            writeFile(base / "dst" / "sub" / "old2.txt", "old");
        } else {
            writeFile(base / "src", "new");
            writeFile(base / "dst", "old");
        }
        const ErrorRef error = run([&](auto done) {
            return c.move ? provider->moveItem("src", "dst", true, done) : provider->copyItem("src", "dst", true, done);
        });
        EXPECT_FALSE(error) << c.name << ": " << (error ? error->localizedDescription() : "");
        if (c.folder) {
            EXPECT_EQ(readFile(base / "dst" / "inner.txt"), "new") << c.name;
            EXPECT_FALSE(fs::exists(base / "dst" / "old1.txt")) << c.name;
        } else {
            EXPECT_EQ(readFile(base / "dst"), "new") << c.name;
        }
        EXPECT_EQ(fs::exists(base / "src"), !c.move) << c.name;
        // No hidden leftovers of the swap.
        for (const auto& entry : fs::directory_iterator(base))
            EXPECT_NE(entry.path().filename().string().rfind(".ostrane-", 0), 0u) << c.name << entry.path();
    }
}

TEST_F(LocalOperationsTest, CopyFolderWithContentsAndHostileNames) {
    writeFile(base / "album #1" / "track?1.flac", "a");
    writeFile(base / "album #1" / "sub dir" / "ünï %20.txt", "b");
    fs::create_symlink("track?1.flac", base / "album #1" / "link");
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("album #1", "copy of \"album\"", false, done); }));
    EXPECT_EQ(readFile(base / "copy of \"album\"" / "track?1.flac"), "a");
    EXPECT_EQ(readFile(base / "copy of \"album\"" / "sub dir" / "ünï %20.txt"), "b");
    EXPECT_EQ(fs::read_symlink(base / "copy of \"album\"" / "link"), "track?1.flac");
}

TEST_F(LocalOperationsTest, CopyIntoItselfFailsWithoutEndlessRecursion) {
    writeFile(base / "a" / "f", "x");
    EXPECT_TRUE(run([&](auto done) { return provider->copyItem("a", "a/inside", false, done); }));
    EXPECT_FALSE(fs::exists(base / "a" / "inside"));
}

TEST_F(LocalOperationsTest, RemoveNeverChecksADestinationAndFailsForMissingItems) {
    writeFile(base / "dir" / "f", "x");
    EXPECT_FALSE(run([&](auto done) { return provider->removeItem("dir", done); }));
    EXPECT_FALSE(fs::exists(base / "dir"));
    const ErrorRef missing = run([&](auto done) { return provider->removeItem("dir", done); });
    EXPECT_TRUE(missing);
    ASSERT_TRUE(delegate->reports.waitFor(2));
    EXPECT_FALSE(delegate->reports.values()[1].succeeded);
}

TEST_F(LocalOperationsTest, PathsAboveTheBaseAndTheBaseItselfAreRefused) {
    writeFile(temp.path() / "outside.txt", "keep");
    writeFile(base / "outside.txt", "keep too");
    writeFile(base / "f", "x");
    struct Case {
        const char* name;
        std::function<ProgressRef(SimpleCompletionHandler)> start;
    } cases[] = {
        {"remove above", [&](auto d) { return provider->removeItem("../outside.txt", d); }},
        {"remove base", [&](auto d) { return provider->removeItem("/", d); }},
        {"remove base by dots", [&](auto d) { return provider->removeItem("a/..", d); }},
        {"move above", [&](auto d) { return provider->moveItem("f", "../../g", true, d); }},
        {"copy from above", [&](auto d) { return provider->copyItem("../outside.txt", "g", true, d); }},
        {"copy onto base", [&](auto d) { return provider->copyItem("f", "", true, d); }},
        {"move onto base", [&](auto d) { return provider->moveItem("f", "x/..", true, d); }},
        {"move base away", [&](auto d) { return provider->moveItem("", "elsewhere", false, d); }},
        {"write above", [&](auto d) { return provider->writeContentsOverwrite("../outside.txt", bytes("no"), true, d); }},
    };
    for (const auto& c : cases) {
        ProgressRef progress;
        const ErrorRef error = run(c.start, &progress);
        EXPECT_EQ(cocoaCode(error), CocoaError::fileWriteInvalidFileName) << c.name;
        EXPECT_FALSE(progress) << c.name;
    }
    EXPECT_EQ(readFile(temp.path() / "outside.txt"), "keep");
    EXPECT_EQ(readFile(base / "outside.txt"), "keep too");
    EXPECT_TRUE(fs::exists(base / "f"));
    EXPECT_FALSE(fs::exists(base / "g"));
}

TEST_F(LocalOperationsTest, UploadAndDownload) {
    TempFolder outside;
    writeFile(outside.path() / "local file.txt", "upload me");
    const URL local = URL::fileURLWithPath((outside.path() / "local file.txt").string());
    EXPECT_TRUE(run([&](auto done) { return provider->copyItem(local, "in/uploaded.txt", false, done); }))
        << "the folder it goes into must exist";
    fs::create_directories(base / "in");
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem(local, "in/uploaded.txt", false, done); }));
    EXPECT_EQ(readFile(base / "in" / "uploaded.txt"), "upload me");
    EXPECT_EQ(cocoaCode(run([&](auto done) { return provider->copyItem(local, "in/uploaded.txt", false, done); })),
              CocoaError::fileWriteFileExists);

    const URL target = URL::fileURLWithPath((outside.path() / "down load.txt").string());
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("in/uploaded.txt", target, done); }));
    EXPECT_EQ(readFile(outside.path() / "down load.txt"), "upload me");

    // A download never replaces a local file.
    writeFile(outside.path() / "down load.txt", "precious");
    EXPECT_EQ(cocoaCode(run([&](auto done) { return provider->copyItem("in/uploaded.txt", target, done); })),
              CocoaError::fileWriteFileExists);
    EXPECT_EQ(readFile(outside.path() / "down load.txt"), "precious");
}

TEST_F(LocalOperationsTest, OperationDelegateIsAskedPerItemWithProviderPaths) {
    auto gate = std::make_shared<Gatekeeper>("skip.txt");
    provider->setFileOperationDelegate(gate);
    writeFile(base / "dir" / "keep.txt", "k");
    writeFile(base / "dir" / "skip.txt", "s");
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("dir", "copy", false, done); }));
    EXPECT_TRUE(fs::exists(base / "copy" / "keep.txt"));
    EXPECT_FALSE(fs::exists(base / "copy" / "skip.txt"));
    const auto asked = gate->asked.values();
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0], FileOperationType::copy("dir", "copy"));
    EXPECT_NE(std::find(asked.begin(), asked.end(), FileOperationType::copy("dir/skip.txt", "copy/skip.txt")),
              asked.end());

    // Refusing the item itself: the operation ends with a cancellation, not a quiet success.
    writeFile(base / "skip.txt", "s");
    const ErrorRef refused = run([&](auto done) { return provider->removeItem("skip.txt", done); });
    EXPECT_EQ(cocoaCode(refused), CocoaError::userCancelled);
    EXPECT_TRUE(fs::exists(base / "skip.txt"));
}

TEST_F(LocalOperationsTest, ManagerDelegateAnswersWithoutAnOperationDelegate) {
    auto fm = provider->opFileManager();
    auto d = fm->delegate();
    ASSERT_TRUE(d);
    const URL a = provider->url("a"), b = provider->url("b");
    const ErrorRef error = CocoaError::make(CocoaError::fileWriteUnknown);
    EXPECT_TRUE(d->shouldCopyItemAtURL(*fm, a, b));
    EXPECT_TRUE(d->shouldMoveItemAtURL(*fm, a, b));
    EXPECT_TRUE(d->shouldRemoveItemAtURL(*fm, a));
    EXPECT_TRUE(d->shouldLinkItemAtURL(*fm, a, b));
    EXPECT_FALSE(d->shouldProceedAfterErrorCopyingItemAtURL(*fm, error, a, b));
    EXPECT_FALSE(d->shouldProceedAfterErrorMovingItemAtURL(*fm, error, a, b));
    EXPECT_FALSE(d->shouldProceedAfterErrorRemovingItemAtURL(*fm, error, a));
    EXPECT_FALSE(d->shouldProceedAfterErrorLinkingItemAtURL(*fm, error, a, b));

    auto gate = std::make_shared<Gatekeeper>("");
    provider->setFileOperationDelegate(gate);
    EXPECT_TRUE(d->shouldProceedAfterErrorRemovingItemAtURL(*fm, error, a));
    EXPECT_TRUE(d->shouldLinkItemAtURL(*fm, a, b));
    EXPECT_EQ(gate->proceeded.first(), FileOperationType::remove("a"));
    EXPECT_EQ(gate->asked.first(), FileOperationType::link("a", "b"));

    // A released provider: the fixed answers again.
    LocalFileProviderManagerDelegate orphan{std::weak_ptr<LocalFileProvider>()};
    EXPECT_TRUE(orphan.shouldRemoveItemAtURL(*fm, a));
    EXPECT_FALSE(orphan.shouldProceedAfterErrorRemovingItemAtURL(*fm, error, a));
}

TEST_F(LocalOperationsTest, CoordinatedOperationsWaitForTheItem) {
    provider->setIsCoorinating(true);
    writeFile(base / "f", "x");
    // Another access holds the file for writing until released.
    std::promise<void> release;
    auto released = release.get_future().share();
    auto holding = std::make_shared<std::promise<void>>();
    auto holder = platform::OperationQueue::make("holder");
    platform::FileCoordinator::coordinate({platform::FileAccessIntent::writingIntent(provider->url("f"))}, holder,
                                          [released, holding](ErrorRef) {
                                              holding->set_value();
                                              released.wait_for(ostrane_test::hangLimit);
                                          });
    ASSERT_EQ(holding->get_future().wait_for(ostrane_test::hangLimit), std::future_status::ready);

    auto calls = std::make_shared<Calls<ErrorRef>>();
    EXPECT_TRUE(provider->moveItem("f", "g", false, [calls](ErrorRef e) { calls->add(e); }));
    EXPECT_FALSE(calls->waitFor(1, ostrane_test::quietPeriod)) << "the move ran while the file was held";
    EXPECT_TRUE(fs::exists(base / "f"));
    release.set_value();
    ASSERT_TRUE(calls->waitFor(1));
    EXPECT_FALSE(calls->first());
    EXPECT_TRUE(fs::exists(base / "g"));
    EXPECT_TRUE(holder->waitUntilAllOperationsAreFinished(ostrane_test::hangLimitSeconds));
}

TEST_F(LocalOperationsTest, CoordinationThatCannotGetTheItemFails) {
    auto holder = platform::OperationQueue::make("holder");
    std::promise<void> release;
    auto released = release.get_future().share();
    auto holding = std::make_shared<std::promise<void>>();
    platform::FileCoordinator::coordinate({platform::FileAccessIntent::writingIntent(provider->url("f"))}, holder,
                                          [released, holding](ErrorRef) {
                                              holding->set_value();
                                              released.wait_for(ostrane_test::hangLimit);
                                          });
    ASSERT_EQ(holding->get_future().wait_for(ostrane_test::hangLimit), std::future_status::ready);
    Calls<ErrorRef> calls;
    platform::FileCoordinator::coordinate({platform::FileAccessIntent::readingIntent(provider->url("f"))},
                                          platform::OperationQueue::make("reader"),
                                          [&](ErrorRef e) { calls.add(e); }, 0.1);
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_EQ(cocoaCode(calls.first()), CocoaError::fileLocking);
    release.set_value();
    EXPECT_TRUE(holder->waitUntilAllOperationsAreFinished(ostrane_test::hangLimitSeconds));
}

TEST_F(LocalOperationsTest, UndoRemovesOnlyWhatTheOperationMade) {
    provider->setupUndoManager();
    auto undo = provider->undoManager();
    writeFile(base / "src", "s");
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("src", "made", false, done); }));
    ASSERT_TRUE(undo->canUndo());
    undo->undo();
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return !fs::exists(base / "made"); }));

    // A copy that replaced an item: undoing it would remove what was there before, so it is not recorded.
    undo->removeAllActions();
    writeFile(base / "existing", "old");
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("src", "existing", true, done); }));
    EXPECT_FALSE(undo->canUndo());

    // Making a folder that already exists is no change to undo.
    fs::create_directories(base / "there");
    EXPECT_FALSE(run([&](auto done) { return provider->create("there", "", done); }));
    EXPECT_FALSE(undo->canUndo());

    // A download leaves the base: its undo would act on a path that is no provider path.
    TempFolder outside;
    EXPECT_FALSE(run([&](auto done) {
        return provider->copyItem("src", URL::fileURLWithPath((outside.path() / "d").string()), done);
    }));
    EXPECT_FALSE(undo->canUndo());
}

TEST_F(LocalOperationsTest, SymbolicLinksPointInsideTheBase) {
    writeFile(base / "music" / "song.mp3", "la");
    EXPECT_FALSE(run([&](auto done) {
        provider->createSymbolicLink("link to song", "music/song.mp3", done);
        return nullptr;
    }));
    EXPECT_EQ(readFile(base / "link to song"), "la") << "other programs follow the link too";
    EXPECT_TRUE(fs::read_symlink(base / "link to song").is_absolute());

    Calls<std::pair<FileObjectRef, ErrorRef>> dest;
    provider->destination("link to song", [&](FileObjectRef f, ErrorRef e) { dest.add({f, e}); });
    ASSERT_TRUE(dest.waitFor(1));
    ASSERT_TRUE(dest.first().first);
    EXPECT_EQ(dest.first().first->path(), "/music/song.mp3");

    // A relative link made elsewhere resolves from the link's folder.
    fs::create_symlink("song.mp3", base / "music" / "relative");
    Calls<std::pair<FileObjectRef, ErrorRef>> rel;
    provider->destination("music/relative", [&](FileObjectRef f, ErrorRef e) { rel.add({f, e}); });
    ASSERT_TRUE(rel.waitFor(1));
    ASSERT_TRUE(rel.first().first);
    EXPECT_EQ(rel.first().first->path(), "/music/song.mp3");

    // A link out of the base is not answered with an entry inside it.
    fs::create_symlink("/etc/hostname", base / "escape");
    Calls<std::pair<FileObjectRef, ErrorRef>> out;
    provider->destination("escape", [&](FileObjectRef f, ErrorRef e) { out.add({f, e}); });
    ASSERT_TRUE(out.waitFor(1));
    EXPECT_FALSE(out.first().first);
    EXPECT_TRUE(out.first().second);

    // Dangling, and not a link.
    fs::create_symlink(base / "nothing", base / "dangling");
    Calls<std::pair<FileObjectRef, ErrorRef>> more;
    provider->destination("dangling", [&](FileObjectRef f, ErrorRef e) { more.add({f, e}); });
    provider->destination("music/song.mp3", [&](FileObjectRef f, ErrorRef e) { more.add({f, e}); });
    ASSERT_TRUE(more.waitFor(2));
    int errors = 0, empty = 0;
    for (const auto& [f, e] : more.values()) {
        EXPECT_FALSE(f);
        errors += e != nullptr;
        empty += e == nullptr;
    }
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(empty, 1);

    // An existing link name fails.
    EXPECT_TRUE(run([&](auto done) {
        provider->createSymbolicLink("link to song", "music", done);
        return nullptr;
    }));
}

TEST_F(LocalOperationsTest, ManyOperationsAtOnceEachCompleteOnce) {
    constexpr int count = 24;
    auto calls = std::make_shared<Calls<ErrorRef>>();
    for (int i = 0; i < count; ++i) {
        writeFile(base / ("f" + std::to_string(i)), std::to_string(i));
        provider->copyItem("f" + std::to_string(i), "c" + std::to_string(i), false,
                           [calls](ErrorRef e) { calls->add(e); });
        provider->writeContents("w" + std::to_string(i), bytes("w"), [calls](ErrorRef e) { calls->add(e); });
    }
    ASSERT_TRUE(calls->waitFor(2 * count));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_EQ(calls->count(), 2u * count);
    for (const auto& e : calls->values()) EXPECT_FALSE(e) << e->localizedDescription();
    for (int i = 0; i < count; ++i) EXPECT_EQ(readFile(base / ("c" + std::to_string(i))), std::to_string(i));
}

namespace {

// What a subclass (the iCloud provider) does: its own type label, the shared runner.
class LabelledProvider : public LocalFileProvider {
public:
    static std::shared_ptr<LabelledProvider> make(const URL& base) {
        std::shared_ptr<LabelledProvider> p(new LabelledProvider(base));
        p->didInitialize();
        return p;
    }
    std::string type() const override { return "iCloudDrive"; }
    bool isCoorinating() const override { return true; }
    using LocalFileProvider::doOperation;

private:
    explicit LabelledProvider(const URL& base) : LocalFileProvider(base, "iCloudDrive") {}
};

} // namespace

TEST_F(LocalOperationsTest, SubclassesShareTheRunner) {
    auto sub = LabelledProvider::make(URL::fileURLWithPath(base.string(), true));
    EXPECT_EQ(sub->dispatch_queue()->label(), "FileProvider.iCloudDrive");
    EXPECT_EQ(sub->operation_queue()->name(), "FileProvider.iCloudDrive.Operation");
    EXPECT_TRUE(sub->opFileManager()->delegate());

    TempFolder outside;
    writeFile(outside.path() / "in.txt", "from outside");
    const std::string local = URL::fileURLWithPath((outside.path() / "in.txt").string()).absoluteString();
    EXPECT_FALSE(run([&](auto done) {
        return sub->doOperation(FileOperationType::copy(local, "copied.txt"), std::nullopt, false, false, true, done);
    }));
    EXPECT_EQ(readFile(base / "copied.txt"), "from outside");

    // Without forUploading a "file://" text is a provider path like any other: it stays in the base.
    EXPECT_TRUE(run([&](auto done) {
        return sub->doOperation(FileOperationType::copy(local, "again.txt"), std::nullopt, false, false, false, done);
    }));
    EXPECT_FALSE(fs::exists(base / "again.txt"));

    // Operations the runner has no work for still answer once.
    EXPECT_EQ(cocoaCode(run([&](auto done) {
                  return sub->doOperation(FileOperationType::fetch("copied.txt"), std::nullopt, true, false, false, done);
              })),
              CocoaError::featureUnsupported);
}

TEST_F(LocalOperationsTest, EveryOperationKindRunsCoordinated) {
    provider->setIsCoorinating(true);
    EXPECT_FALSE(run([&](auto done) { return provider->create("dir", "", done); }));
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("dir/f", bytes("1"), done); }));
    EXPECT_FALSE(run([&](auto done) { return provider->writeContents("dir/f", bytes("2"), true, true, done); }));
    EXPECT_FALSE(run([&](auto done) { return provider->copyItem("dir/f", "dir/g", false, done); }));
    EXPECT_FALSE(run([&](auto done) { return provider->moveItem("dir/g", "h", false, done); }));
    EXPECT_EQ(readFile(base / "h"), "2");
    EXPECT_FALSE(run([&](auto done) { return provider->removeItem("dir", done); }));
    EXPECT_FALSE(fs::exists(base / "dir"));
    // A copy onto itself neither waits for itself nor loses the file.
    run([&](auto done) { return provider->copyItem("h", "h", true, done); });
    EXPECT_EQ(readFile(base / "h"), "2");
}

TEST_F(LocalOperationsTest, RemovingAFolderLeavesWhatItsLinksPointTo) {
    TempFolder outside;
    writeFile(outside.path() / "precious" / "keep.txt", "keep");
    writeFile(base / "dir" / "own.txt", "x");
    fs::create_directory_symlink(outside.path() / "precious", base / "dir" / "link to outside");
    EXPECT_FALSE(run([&](auto done) { return provider->removeItem("dir", done); }));
    EXPECT_FALSE(fs::exists(base / "dir"));
    EXPECT_EQ(readFile(outside.path() / "precious" / "keep.txt"), "keep");
}
