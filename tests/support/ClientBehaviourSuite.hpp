#pragma once
// The tests of the client behaviour suite (see ClientBehaviour.hpp); include in one file per program.
#include "support/ClientBehaviour.hpp"


namespace ostrane_test {
namespace behaviour {

using namespace Ostrane;

inline std::shared_ptr<OstranePathComponent> childNamed(const OstranePathComponent::Contents& contents,
                                                        const std::string& name) {
    for (const auto& c : contents) {
        if (c->name() == name) return c;
    }
    return nullptr;
}

inline std::string readLocal(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace behaviour

TEST_P(ClientBehaviour, LogsInAndListsTheTreeSortedWithoutHiddenEntries) {
    using namespace ostrane_test::behaviour;
    auto client = newClient();
    login(client);
    EXPECT_TRUE(client->isConnected());

    auto root = client->baseDirItem();
    const auto [contents, error] = list(client, root);
    ASSERT_FALSE(error) << error->description();
    ASSERT_TRUE(contents);
    std::vector<std::string> names;
    for (const auto& c : *contents) names.push_back(c->name());
    if (!server().listsInServerOrder()) {
        EXPECT_TRUE(std::is_sorted(contents->begin(), contents->end(),
                                   [](const auto& a, const auto& b) { return *a < *b; }));
    }
    for (const auto& name : names) EXPECT_NE(name.front(), '.') << name;

    auto movies = childNamed(*contents, "Movies");
    ASSERT_NE(movies, nullptr);
    EXPECT_EQ(movies->type(), OstraneFileType::directory);
    EXPECT_FALSE(movies->contents()) << "a child directory is not listed yet";
    auto notes = std::dynamic_pointer_cast<OstraneFile>(childNamed(*contents, "notes.txt"));
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(notes->size(), static_cast<std::int64_t>(contentOf("notes.txt").size()));
    EXPECT_NE(childNamed(*contents, "Empty"), nullptr);

    auto [inMovies, moviesError] = list(client, movies);
    ASSERT_FALSE(moviesError);
    ASSERT_TRUE(inMovies);
    if (server().listsInServerOrder()) {
        std::stable_sort(inMovies->begin(), inMovies->end(), [](const auto& a, const auto& b) { return *a < *b; });
    }
    ASSERT_EQ(inMovies->size(), 2u);
    EXPECT_EQ((*inMovies)[0]->name(), "a.mkv");
    EXPECT_EQ((*inMovies)[0]->path(), movies->path() + "/a.mkv");
    EXPECT_EQ((*inMovies)[1]->name(), "b.mkv");

    // Listed once, kept: a file added on the server afterwards shows only in a new directory object.
    std::ofstream(server().contentRoot() / "Movies" / "later.mkv") << "later";
    const auto [again, againError] = list(client, movies);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), 2u);
    std::filesystem::remove(server().contentRoot() / "Movies" / "later.mkv");

    // A file is not a directory: no list and no error.
    const auto [ofFile, ofFileError] = list(client, notes);
    EXPECT_FALSE(ofFile);
    EXPECT_FALSE(ofFileError);
}

TEST_P(ClientBehaviour, ListsNamesOfFilesOnly) {
    using namespace ostrane_test::behaviour;
    auto client = newClient();
    login(client);
    const auto [list, error] = names(client, remote("Movies"));
    ASSERT_FALSE(error);
    ASSERT_TRUE(list);
    EXPECT_EQ(std::set<std::string>(list->begin(), list->end()), (std::set<std::string>{"a.mkv", "b.mkv"}));
    const auto [top, topError] = names(client, server().remoteRoot());
    ASSERT_TRUE(top);
    for (const auto& name : *top) {
        EXPECT_NE(name, "Movies");
        if (!server().namesShowHidden()) {
            EXPECT_NE(name.front(), '.');
        }
    }
    const auto [missing, missingError] = names(client, remote("no such folder"));
    EXPECT_TRUE(missingError);
    EXPECT_TRUE(!missing || missing->empty());
}

TEST_P(ClientBehaviour, HostileNamesListOpenReadAndDownload) {
    using namespace ostrane_test::behaviour;
    auto client = newClient();
    login(client);
    auto root = client->baseDirItem();
    const auto [top, topError] = list(client, root);
    ASSERT_TRUE(top);
    auto folder = childNamed(*top, "hostile names");
    ASSERT_NE(folder, nullptr);
    const auto [contents, error] = list(client, folder);
    ASSERT_FALSE(error);
    ASSERT_TRUE(contents);
    std::set<std::string> listed;
    for (const auto& c : *contents) listed.insert(c->name());

    for (const auto& name : hostileNames(server())) {
        SCOPED_TRACE(name);
        if (name.front() == '.') {
            EXPECT_FALSE(listed.count(name)) << "hidden entries are not listed";
        } else {
            EXPECT_TRUE(listed.count(name));
        }
        const auto path = remote("hostile names/" + name);
        {
            auto fd = client->open(path);
            ASSERT_NE(fd, nullptr);
            EXPECT_EQ(client->fileSize(fd), static_cast<std::int64_t>(contentOf(name).size()));
            const auto data = client->read(fd, 0, 1000);
            ASSERT_TRUE(data);
            EXPECT_EQ(std::string(data->begin(), data->end()), contentOf(name));
            client->close(fd);
        }
        const auto target = scratch_ / "copy";
        EXPECT_FALSE(download(client, path, target));
        EXPECT_EQ(readLocal(target), contentOf(name));
    }

    // The registry's URLs carry the names encoded once and give them back decoded.
    for (const auto& c : *contents) {
        auto url = Ostrane::NetworkFileManager::shared()->url(c, client);
        ASSERT_TRUE(url) << c->name();
        EXPECT_EQ(url->path(), c->path());
    }
}

TEST_P(ClientBehaviour, DownloadCopiesTheFileOrLeavesNothing) {
    using namespace ostrane_test::behaviour;
    auto client = newClient();
    login(client);
    const auto target = scratch_ / "a.mkv";
    EXPECT_FALSE(download(client, remote("Movies/a.mkv"), target));
    EXPECT_EQ(readLocal(target), contentOf("a.mkv"));

    const auto missing = scratch_ / "missing.mkv";
    EXPECT_TRUE(download(client, remote("Movies/no such.mkv"), missing));
    EXPECT_FALSE(std::filesystem::exists(missing));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(scratch_)) ++files;
    EXPECT_EQ(files, 1u) << "no partial file is left behind";
}

TEST_P(ClientBehaviour, RegistryListsAndDownloadsByInternalURL) {
    using namespace ostrane_test::behaviour;
    auto manager = Ostrane::NetworkFileManager::shared();
    const auto folder = internalURL(remote("Movies/"));
    auto listing = await<std::pair<std::optional<std::vector<platform::URL>>, OstraneErrorRef>>(
        [&](auto done) {
            manager->contentsOfDirectory(folder, [done](auto urls, auto error) { done({std::move(urls), error}); });
        });
    ASSERT_TRUE(listing);
    ASSERT_FALSE(listing->second) << listing->second->description();
    ASSERT_TRUE(listing->first);
    std::set<std::string> paths;
    for (const auto& url : *listing->first) paths.insert(url.path());
    EXPECT_TRUE(paths.count(remote("Movies/a.mkv")));
    EXPECT_TRUE(paths.count(remote("Movies/b.mkv")));

    const auto target = platform::URL::fileURLWithPath((scratch_ / "b.mkv").string());
    auto error = await<OstraneErrorRef>([&](auto done) {
        manager->downloadFile(internalURL(remote("Movies/b.mkv")), target, done);
    });
    ASSERT_TRUE(error);
    EXPECT_FALSE(*error);
    EXPECT_EQ(readLocal(scratch_ / "b.mkv"), contentOf("b.mkv"));
    EXPECT_EQ(manager->isResponsibleForStreaming(folder), server().streams());
}

TEST_P(ClientBehaviour, StreamsRangesOfALargeFile) {
    using namespace ostrane_test::behaviour;
    const auto size = server().largeFileSize();
    auto handle = Ostrane::NetworkFileHandle::make(internalURL(remote("large.bin")));
    ASSERT_NE(handle, nullptr);
    EXPECT_FALSE(handle->read(0, 10)) << "no descriptor before open()";
    ASSERT_TRUE(handle->open());
    EXPECT_EQ(handle->size(), size);
    struct Case {
        const char* where;
        std::int64_t offset;
        std::int64_t size;
        std::int64_t expected;
    };
    std::vector<Case> cases = {
        {"start", 0, 65536, 65536},
        {"middle of the hole", size / 2, 4096, 4096},
        {"end", size - 4096, 4096, 4096},
        {"short at the end", size - 100, 65536, 100},
        {"past the end", size + 10, 100, 0},
    };
    if (size > (4LL << 30) + (4 << 20)) cases.push_back({"across 4 GiB", (4LL << 30) - 3000, 1 << 20, 1 << 20});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const auto data = handle->read(c.offset, static_cast<std::ptrdiff_t>(c.size));
        if (c.expected == 0 && server().endOfFileGivesNoBytes()) {
            EXPECT_FALSE(data);
            continue;
        }
        ASSERT_TRUE(data);
        EXPECT_EQ(static_cast<std::int64_t>(data->size()), c.expected);
        EXPECT_TRUE(matchesLargeFile(*data, c.offset, size));
    }
    EXPECT_FALSE(handle->read(-1, 10));
    handle->close();
    handle->close();
    EXPECT_FALSE(handle->read(0, 10));

    auto missing = Ostrane::NetworkFileHandle::make(internalURL(remote("no such file.mkv")));
    ASSERT_NE(missing, nullptr);
    EXPECT_FALSE(missing->open());
    EXPECT_EQ(missing->size(), -1);
}

TEST_P(ClientBehaviour, ReadsAtTheEndAndOfAnEmptyFileAnswerEmptyBytes) {
    auto client = newClient();
    login(client);
    const auto size = static_cast<std::int64_t>(contentOf("notes.txt").size());
    auto fd = client->open(remote("notes.txt"));
    ASSERT_NE(fd, nullptr);
    const struct {
        const char* where;
        std::int64_t offset;
        std::string expected;
    } cases[] = {
        {"the last bytes", size - 4, contentOf("notes.txt").substr(static_cast<std::size_t>(size - 4))},
        {"at the end", size, ""},
        {"past the end", size + 100, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const auto data = client->read(fd, c.offset, 100);
        ASSERT_TRUE(data) << "a read at the end is no failure";
        EXPECT_EQ(std::string(data->begin(), data->end()), c.expected);
    }
    client->close(fd);

    auto empty = client->open(remote("empty.bin"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(client->fileSize(empty), 0);
    const auto data = client->read(empty, 0, 100);
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->empty());
    client->close(empty);
}

TEST_P(ClientBehaviour, AFolderIsNoFileAndAFileIsNoFolder) {
    using namespace ostrane_test::behaviour;
    auto client = newClient();
    login(client);
    for (const auto* folder : {"Movies", "Empty"}) {
        SCOPED_TRACE(folder);
        EXPECT_EQ(client->open(remote(folder)), nullptr) << "opening a folder fails at open";

        // A download of a folder fails and leaves what was at the destination as it was.
        const auto target = scratch_ / "existing.mkv";
        std::ofstream(target) << "kept";
        const auto error = download(client, remote(folder), target);
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->description().empty());
        EXPECT_EQ(readLocal(target), "kept");
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(scratch_)) ++files;
        EXPECT_EQ(files, 1u) << "no partial file is left behind";
    }

    // Listing a file as a folder fails, by path and by a folder node that names a file.
    const auto [listed, listError] = names(client, remote("notes.txt"));
    EXPECT_FALSE(listed);
    EXPECT_TRUE(listError);
    const auto [contents, error] = list(client, Ostrane::OstraneDirectory::make(remote("notes.txt")));
    EXPECT_FALSE(contents);
    EXPECT_TRUE(error);
}

TEST_P(ClientBehaviour, AWrongPasswordFailsTheLogin) {
    auto client = newClient(std::string("not the password"));
    const auto error = loginError(client);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->description().empty());
    EXPECT_EQ(error->description().find(server().password()), std::string::npos);
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->open(remote("notes.txt")), nullptr);
}

TEST_P(ClientBehaviour, ZZServerGoneFailsCleanly) {
    auto client = newClient();
    login(client);
    auto fd = client->open(remote("large.bin"));
    ASSERT_NE(fd, nullptr);
    ASSERT_TRUE(client->read(fd, 0, 1 << 20));
    server().stop();
    const auto started = std::chrono::steady_clock::now();
    if (fd && server().readsAhead()) {
        // What arrived before the stop may still be read; a bounded number of reads later they fail.
        std::int64_t offset = 1 << 20;
        int reads = 0;
        for (std::optional<Ostrane::OstraneClient::Bytes> data; reads < 64; ++reads, offset += 1 << 20) {
            if (!(data = client->read(fd, offset, 1 << 20))) break;
        }
        EXPECT_LT(reads, 64);
    } else if (fd) {
        EXPECT_FALSE(client->read(fd, 1 << 20, 1 << 20));
    }
    auto fresh = client->baseDirItem();
    auto [contents, error] = list(client, Ostrane::OstraneDirectory::make(server().remoteRoot()));
    EXPECT_TRUE(error);
    EXPECT_TRUE(!contents || contents->empty());
    EXPECT_TRUE(download(client, remote("notes.txt"), scratch_ / "gone.txt"));
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "gone.txt"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, hangLimit / 2);
    server().start();
}

}  // namespace ostrane_test
