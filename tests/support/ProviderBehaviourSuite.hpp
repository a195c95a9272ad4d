#pragma once
// The tests of the provider behaviour suite; include once per test program (see ProviderBehaviour.hpp).
#include "support/ProviderBehaviour.hpp"

#include "fileprovider/core/FileProvider.hpp"
#include "platform/Error.hpp"
#include "platform/Progress.hpp"

#include <algorithm>
#include <fstream>
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

}  // namespace ostrane_test
