#pragma once
// The tests of the provider behaviour suite; include once per test program (see ProviderBehaviour.hpp).
#include "support/ProviderBehaviour.hpp"

#include "fileprovider/core/FileProvider.hpp"
#include "platform/base/Error.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/base/UndoManager.hpp"
#include "fileprovider/core/UndoBox.hpp"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>

namespace ostrane_test {

namespace behaviour_detail {
inline std::string readLocal(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void writeLocal(const std::filesystem::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
}
}  // namespace behaviour_detail

TEST_P(ProviderBehaviour, ListsAFolderWithTypesAndSizes) {
    auto [files, error] = list("/docs");
    ASSERT_EQ(error, nullptr) << error->localizedDescription();
    std::vector<std::string> seen;
    for (const auto& f : files) {
        seen.push_back(f->name());
        if (f->name() == "readme.txt") {
            EXPECT_TRUE(f->isRegularFile());
            EXPECT_EQ(f->size(), 5);
        }
        if (f->name() == "sub") { EXPECT_TRUE(f->isDirectory()); }
    }
    std::sort(seen.begin(), seen.end());
    // The listed folder itself is no entry of its listing.
    EXPECT_EQ(seen, (std::vector<std::string>{"readme.txt", "sub"}));
    EXPECT_TRUE(names("/empty").empty());
    // The same folder by other spellings of its path.
    EXPECT_EQ(names("docs"), seen);
    EXPECT_EQ(names("/docs/"), seen);
}

TEST_P(ProviderBehaviour, AMissingFolderIsAnErrorNotAnEmptyListing) {
    auto [files, error] = list("/no such folder");
    EXPECT_NE(error, nullptr);
    EXPECT_TRUE(files.empty());
}

TEST_P(ProviderBehaviour, AttributesOfFilesFoldersAndMissingItems) {
    auto [file, error] = attributes("/docs/readme.txt");
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name(), "readme.txt");
    EXPECT_EQ(file->size(), 5);
    EXPECT_TRUE(file->isRegularFile());
    auto [folder, folderError] = attributes("/docs/sub");
    ASSERT_EQ(folderError, nullptr);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isDirectory());
    auto [missing, missingError] = attributes("/docs/absent.txt");
    EXPECT_FALSE(missing);
    EXPECT_NE(missingError, nullptr);
}

TEST_P(ProviderBehaviour, SearchFindsByNameInSubfolders) {
    if (!target().searches()) GTEST_SKIP() << target().kind() << " does not search";
    std::mutex m;
    std::vector<std::string> found;
    auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>([&](auto done) {
        provider().searchFiles("/docs", true, std::string("inner"),
                               [&](FileObjectRef f) {
                                   std::lock_guard lock(m);
                                   found.push_back(f->name());
                               },
                               done);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<1>(*r), nullptr);
    std::vector<std::string> result;
    for (const auto& f : std::get<0>(*r)) result.push_back(f->name());
    EXPECT_EQ(result, std::vector<std::string>{"inner note.txt"});
    std::lock_guard lock(m);
    EXPECT_EQ(found, std::vector<std::string>{"inner note.txt"});
}

TEST_P(ProviderBehaviour, HostileNamesListReadAndDownload) {
    const auto hostile = providerHostileNames(target());
    std::vector<std::string> expected = hostile;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names("/hostile"), expected);
    for (const auto& name : hostile) {
        SCOPED_TRACE(name);
        auto [content, error] = read("/hostile/" + name);
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(content, providerContentOf(name));
        const auto local = scratch_ / "download";
        std::filesystem::remove(local);
        EXPECT_EQ(download("/hostile/" + name, local), nullptr);
        EXPECT_EQ(behaviour_detail::readLocal(local), providerContentOf(name));
        // Written and read back under the same name.
        EXPECT_EQ(write(work() + "/" + name, name, false), nullptr);
        EXPECT_EQ(read(work() + "/" + name).first, name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names(work()), expected);
}

TEST_P(ProviderBehaviour, CreateCopyMoveAndRemove) {
    ASSERT_EQ(create("folder", work()), nullptr);
    ASSERT_EQ(write(work() + "/folder/a.txt", "alpha", false), nullptr);
    EXPECT_EQ(names(work() + "/folder"), std::vector<std::string>{"a.txt"});

    EXPECT_EQ(copy(work() + "/folder/a.txt", work() + "/b.txt", false), nullptr);
    EXPECT_EQ(read(work() + "/b.txt").first, "alpha");
    EXPECT_EQ(read(work() + "/folder/a.txt").first, "alpha");

    EXPECT_EQ(move(work() + "/b.txt", work() + "/folder/c.txt", false), nullptr);
    EXPECT_EQ(names(work() + "/folder"), (std::vector<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(names(work()), std::vector<std::string>{"folder"});

    // A whole folder copies and moves with its content.
    EXPECT_EQ(copy(work() + "/folder", work() + "/folder copy", false), nullptr);
    EXPECT_EQ(names(work() + "/folder copy"), (std::vector<std::string>{"a.txt", "c.txt"}));
    EXPECT_EQ(move(work() + "/folder copy", work() + "/moved", false), nullptr);
    EXPECT_EQ(read(work() + "/moved/c.txt").first, "alpha");

    EXPECT_EQ(remove(work() + "/folder/a.txt"), nullptr);
    EXPECT_EQ(remove(work() + "/moved"), nullptr);
    EXPECT_EQ(names(work()), std::vector<std::string>{"folder"});
    EXPECT_EQ(names(work() + "/folder"), std::vector<std::string>{"c.txt"});
    EXPECT_NE(remove(work() + "/never there"), nullptr);
    EXPECT_NE(copy(work() + "/never there", work() + "/x", false), nullptr);
}

TEST_P(ProviderBehaviour, OverwriteOnlyWhenAsked) {
    ASSERT_EQ(write(work() + "/f.txt", "first", false), nullptr);
    ASSERT_EQ(write(work() + "/g.txt", "other", false), nullptr);

    EXPECT_NE(write(work() + "/f.txt", "second", false), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "first");
    EXPECT_EQ(write(work() + "/f.txt", "second", true), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "second");

    EXPECT_NE(copy(work() + "/g.txt", work() + "/f.txt", false), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "second");
    if (!target().replacesOnCopyAndMove()) {
        // A service that never replaces refuses the overwriting copy and move, and loses nothing.
        EXPECT_NE(copy(work() + "/g.txt", work() + "/f.txt", true), nullptr);
        EXPECT_NE(move(work() + "/g.txt", work() + "/f.txt", true), nullptr);
        EXPECT_EQ(read(work() + "/f.txt").first, "second");
        EXPECT_EQ(read(work() + "/g.txt").first, "other");
        return;
    }
    EXPECT_EQ(copy(work() + "/g.txt", work() + "/f.txt", true), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "other");

    ASSERT_EQ(write(work() + "/h.txt", "third", false), nullptr);
    EXPECT_NE(move(work() + "/h.txt", work() + "/f.txt", false), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "other");
    EXPECT_EQ(read(work() + "/h.txt").first, "third");
    EXPECT_EQ(move(work() + "/h.txt", work() + "/f.txt", true), nullptr);
    EXPECT_EQ(read(work() + "/f.txt").first, "third");
}

TEST_P(ProviderBehaviour, UploadAndDownloadKeepEveryByte) {
    const std::string large = providerLargeFile();
    const auto local = scratch_ / "large upload.bin";
    behaviour_detail::writeLocal(local, large);
    ASSERT_EQ(upload(local, work() + "/large.bin", false), nullptr);
    EXPECT_NE(upload(local, work() + "/large.bin", false), nullptr) << "an upload must not replace unasked";

    const auto back = scratch_ / "large back.bin";
    ASSERT_EQ(download(work() + "/large.bin", back), nullptr);
    EXPECT_TRUE(behaviour_detail::readLocal(back) == large);

    // An existing local file is never replaced; a failed download leaves nothing behind.
    behaviour_detail::writeLocal(scratch_ / "mine.bin", "mine");
    EXPECT_NE(download(work() + "/large.bin", scratch_ / "mine.bin"), nullptr);
    EXPECT_EQ(behaviour_detail::readLocal(scratch_ / "mine.bin"), "mine");
    EXPECT_NE(download(work() + "/absent.bin", scratch_ / "absent.bin"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "absent.bin"));

    // A folder is no file to upload.
    EXPECT_NE(upload(scratch_, work() + "/folder.bin", false), nullptr);
}

TEST_P(ProviderBehaviour, RangedAndStreamedReads) {
    const std::string large = providerLargeFile();
    const std::string path = "/media/large.bin";
    struct Range {
        int64_t offset, length;
    };
    for (const Range r : {Range{0, 10}, Range{100000, 65536}, Range{static_cast<int64_t>(large.size()) - 7, -1}, Range{5, 1}}) {
        SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.length));
        auto [data, error] = read(path, r.offset, r.length);
        EXPECT_EQ(error, nullptr);
        ASSERT_TRUE(data);
        EXPECT_TRUE(*data == large.substr(static_cast<size_t>(r.offset),
                                          r.length < 0 ? std::string::npos : static_cast<size_t>(r.length)));
    }
    auto [empty, emptyError] = read(path, 10, 0);
    EXPECT_EQ(emptyError, nullptr);
    EXPECT_EQ(empty, std::string());
    auto [missing, missingError] = read("/media/absent.bin", 0, 10);
    EXPECT_NE(missingError, nullptr);
    EXPECT_FALSE(missing);

    auto* progressive = dynamic_cast<RiridOzizevud::FileProviderReadWriteProgressive*>(&provider());
    if (!progressive) return;
    std::mutex m;
    std::string got;
    int64_t next = 1'000'000;
    bool inOrder = true;
    auto r = awaitCompletion<ErrorRef>([&](auto done) {
        progressive->contents(
            path, 1'000'000, 1'000'000, nullptr,
            [&](int64_t position, const platform::Data& piece) {
                std::lock_guard lock(m);
                inOrder = inOrder && position == next;
                next += static_cast<int64_t>(piece.size());
                got.append(piece.begin(), piece.end());
            },
            done);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<0>(*r), nullptr);
    std::lock_guard lock(m);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(got == large.substr(1'000'000, 1'000'000));
}

// --- Data safety: nothing the user has is lost, whatever the operation or its failure -------------

TEST_P(ProviderBehaviour, NothingReplacesAFolder) {
    ASSERT_EQ(create("folder", work()), nullptr);
    ASSERT_EQ(write(work() + "/folder/inner.txt", "inner", false), nullptr);
    ASSERT_EQ(write(work() + "/file.txt", "file", false), nullptr);
    const auto local = scratch_ / "local.txt";
    behaviour_detail::writeLocal(local, "local");
    const std::string folder = work() + "/folder";
    struct Case {
        const char* name;
        std::function<ErrorRef()> overwrite;
        bool (ProviderTarget::*refused)() const;  // whether this target refuses it yet
    };
    constexpr auto writes = &ProviderTarget::keepsFoldersFromOverwritingWrites;
    constexpr auto transfers = &ProviderTarget::keepsFoldersFromOverwritingTransfers;
    constexpr auto moves = &ProviderTarget::keepsFoldersFromOverwritingMoves;
    const Case cases[] = {
        {"write", [&] { return write(folder, "new", true); }, writes},
        {"atomic write", [&] {
             auto r = awaitCompletion<ErrorRef>([&](auto done) {
                 provider().writeContents(folder, platform::Data{'n', 'e', 'w'}, true, true, done);
             });
             return r ? std::get<0>(*r) : platform::URLError::make(platform::URLError::timedOut);
         }, writes},
        {"copy", [&] { return copy(work() + "/file.txt", folder, true); }, transfers},
        {"move", [&] { return move(work() + "/file.txt", folder, true); }, moves},
        {"upload", [&] { return upload(local, folder, true); }, transfers},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!(target().*c.refused)()) continue;
        EXPECT_NE(c.overwrite(), nullptr) << "a file must not take a folder's place";
        auto [entry, error] = attributes(folder);
        ASSERT_TRUE(entry) << (error ? error->localizedDescription() : "");
        EXPECT_TRUE(entry->isDirectory());
        EXPECT_EQ(read(folder + "/inner.txt").first, "inner");
        EXPECT_EQ(read(work() + "/file.txt").first, "file") << "the refused file stays where it was";
    }
}

TEST_P(ProviderBehaviour, DownloadsNeverReplaceOrRemoveLocalItems) {
    ASSERT_EQ(write(work() + "/remote.txt", "remote", false), nullptr);
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> make;  // what the user has there
        std::function<void(const std::filesystem::path&)> check;
    };
    const auto keepsFile = [](const std::filesystem::path& p) { EXPECT_EQ(behaviour_detail::readLocal(p), "mine"); };
    const Case cases[] = {
        {"a file", [](const auto& p) { behaviour_detail::writeLocal(p, "mine"); }, keepsFile},
        {"an empty folder", [](const auto& p) { std::filesystem::create_directory(p); },
         [](const auto& p) { EXPECT_TRUE(std::filesystem::is_directory(p)); }},
        {"a folder with a file", [](const auto& p) {
             std::filesystem::create_directory(p);
             behaviour_detail::writeLocal(p / "inside.txt", "mine");
         },
         [&](const auto& p) { keepsFile(p / "inside.txt"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto folder = scratch_ / c.name;
        std::filesystem::create_directory(folder);
        const auto destination = folder / "destination";
        c.make(destination);
        const auto before = localNames(folder);
        // For the existing item and for a failed download alike.
        EXPECT_NE(download(work() + "/remote.txt", destination), nullptr);
        EXPECT_NE(download(work() + "/absent.txt", destination), nullptr);
        c.check(destination);
        EXPECT_EQ(localNames(folder), before) << "nothing is left beside the destination";
    }
    // Into a folder that is not there: nothing is made.
    EXPECT_NE(download(work() + "/remote.txt", scratch_ / "missing" / "d.txt"), nullptr);
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "missing"));
    // An upload replaces a remote file only when asked.
    behaviour_detail::writeLocal(scratch_ / "up.txt", "uploaded");
    EXPECT_NE(upload(scratch_ / "up.txt", work() + "/remote.txt", false), nullptr);
    EXPECT_EQ(read(work() + "/remote.txt").first, "remote");
    EXPECT_EQ(upload(scratch_ / "up.txt", work() + "/remote.txt", true), nullptr);
    EXPECT_EQ(read(work() + "/remote.txt").first, "uploaded");
}

TEST_P(ProviderBehaviour, ATransferCutShortLeavesNothingBehind) {
    const std::string large = providerLargeFile();
    const std::string source = "/media/large.bin";
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "onto an existing file" : "onto a new name");
        const auto folder = scratch_ / (existing ? "existing" : "new");
        std::filesystem::create_directory(folder);
        const auto destination = folder / "large.bin";
        if (existing) behaviour_detail::writeLocal(destination, "mine");
        const bool dropped = target().dropNextDownloadAfter(256 * 1024);
        std::atomic<bool> finished{false};
        RiridOzizevud::ProgressRef progress;
        auto r = awaitCompletion<ErrorRef>([&](auto done) {
            progress = provider().copyItem(source, platform::URL::fileURLWithPath(destination.string()),
                                           [&finished, done](ErrorRef error) {
                                               finished = true;
                                               done(error);
                                           });
            // A real server's transfer is cut short by cancelling it once bytes have come.
            if (!dropped && progress) {
                eventually([&] { return finished.load() || progress->completedUnitCount() > 0; });
                progress->cancel();
            }
        });
        ASSERT_TRUE(r);
        const ErrorRef error = std::get<0>(*r);
        if (dropped) {
            EXPECT_NE(error, nullptr) << "a cut answer is no download";
        }
        if (existing) {
            EXPECT_EQ(behaviour_detail::readLocal(destination), "mine");
        } else if (error) {
            EXPECT_FALSE(std::filesystem::exists(destination));
        } else {
            EXPECT_TRUE(behaviour_detail::readLocal(destination) == large) << "a download is whole or nothing";
        }
        EXPECT_EQ(localNames(folder).size(), existing ? 1u : (error ? 0u : 1u));
    }
}

TEST_P(ProviderBehaviour, UndoRemovesOnlyWhatTheOperationMadeAndLeftUnchanged) {
    auto* undoable = dynamic_cast<RiridOzizevud::FileProvideUndoable*>(&provider());
    if (!undoable) GTEST_SKIP() << target().kind() << " records no undo";
    struct Failures : RiridOzizevud::FileProviderDelegate {
        std::atomic<int> count{0};
        void fileProviderDidSucceed(const std::shared_ptr<RiridOzizevud::FileProviderOperations>&,
                                    const RiridOzizevud::FileOperationType&) override {}
        void fileProviderDidFail(const std::shared_ptr<RiridOzizevud::FileProviderOperations>&,
                                 const RiridOzizevud::FileOperationType&, const ErrorRef&) override { ++count; }
        void fileProviderProgress(const std::shared_ptr<RiridOzizevud::FileProviderOperations>&,
                                  const RiridOzizevud::FileOperationType&, float) override {}
    };
    auto failures = std::make_shared<Failures>();
    provider().setDelegate(failures);
    ASSERT_EQ(write(work() + "/a.txt", "a", false), nullptr);
    ASSERT_EQ(create("folder", work()), nullptr);
    ASSERT_EQ(write(work() + "/folder/x.txt", "x", false), nullptr);
    const auto exists = [&](const std::string& path) { return attributes(path).first != nullptr; };
    struct Case {
        const char* name;
        std::string from, to;
        std::function<void()> user;  // what the user does to the result before undoing
        std::vector<std::string> kept, gone;
        bool failureReported;
    };
    const std::string w = work();
    const Case cases[] = {
        {"an unchanged copy", w + "/a.txt", w + "/b.txt", [] {}, {}, {w + "/b.txt"}, false},
        {"a changed copy", w + "/a.txt", w + "/c.txt", [&] { ASSERT_EQ(write(w + "/c.txt", "the user's", true), nullptr); },
         {w + "/c.txt"}, {}, true},
        {"a folder copy the user added to", w + "/folder", w + "/copied",
         [&] { ASSERT_EQ(write(w + "/copied/mine.txt", "mine", false), nullptr); }, {w + "/copied", w + "/copied/mine.txt"},
         {w + "/copied/x.txt"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = std::make_shared<platform::UndoManager>();
        undoable->setUndoManager(manager);
        ASSERT_EQ(copy(c.from, c.to, false), nullptr);
        ASSERT_TRUE(eventually([&] { return manager->canUndo() && RiridOzizevud::UndoRecord::pending() == 0; }));
        // The user's own change is no step of the host's undo.
        undoable->setUndoManager(nullptr);
        c.user();
        undoable->setUndoManager(manager);
        const int failed = failures->count.load();
        ASSERT_TRUE(manager->undo());
        ASSERT_TRUE(eventually([&] {
            for (const auto& path : c.gone)
                if (exists(path)) return false;
            return !c.failureReported || failures->count.load() > failed;
        }));
        for (const auto& path : c.kept) EXPECT_TRUE(exists(path)) << path;
    }
    EXPECT_EQ(read(w + "/c.txt").first, "the user's");
    EXPECT_EQ(read(w + "/copied/mine.txt").first, "mine");
    EXPECT_EQ(read(w + "/a.txt").first, "a");
    undoable->setUndoManager(nullptr);
}

}  // namespace ostrane_test
