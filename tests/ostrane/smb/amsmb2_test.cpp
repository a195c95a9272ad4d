// test-labels: smb tsan
// The libsmbclient session against a real smbd on 127.0.0.1. SMB names cannot hold ? " * : < > | \\,
// so the hostile names here stop short of those.

#include "ostrane/smb/AMSMB2.hpp"
#include "support/SambaServer.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <atomic>
#include <thread>

#include <signal.h>

using namespace Ostrane;
using ostrane_test::SambaServer;

namespace {

SambaServer* server = nullptr;

constexpr std::int64_t bigSize = 5LL * 1024 * 1024 * 1024 + 12345;  // past 4 GiB, not step-aligned

// The byte at `offset` of the patterned regions written into the sparse file.
std::uint8_t pattern(std::int64_t offset) {
    return static_cast<std::uint8_t>((offset * 7 + offset / 251) & 0xFF);
}

const std::int64_t patternedRegions[][2] = {
    {0, 3 << 20},
    {(4LL << 30) - (1 << 20), 2 << 20},  // across the 4 GiB line
    {bigSize - (2 << 20), 2 << 20},
};

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class SambaEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server = new SambaServer();
        const auto root = server->shareDirectory();
        writeFile(root / "Movies" / "a.mkv", "1234567");
        writeFile(root / ".hidden", "h");
        writeFile(root / "notes.txt", "hello, world\n");
        std::filesystem::create_directories(root / "Empty");
        writeFile(root / "sp ace" / "it's #%& é ~!.mkv", "hostile");
        {
            std::ofstream big(root / "big.bin", std::ios::binary);
            for (const auto& region : patternedRegions) {
                std::string bytes(static_cast<std::size_t>(region[1]), '\0');
                for (std::int64_t i = 0; i < region[1]; ++i) {
                    bytes[static_cast<std::size_t>(i)] = static_cast<char>(pattern(region[0] + i));
                }
                big.seekp(region[0]);
                big.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            }
        }
        std::filesystem::resize_file(root / "big.bin", static_cast<std::uintmax_t>(bigSize));
        server->start();
    }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new SambaEnvironment);

std::optional<AMSMB2Error> waitFor(std::future<std::optional<AMSMB2Error>>& future) {
    if (!ostrane_test::becomesReady(future)) {
        ADD_FAILURE() << "no completion within " << ostrane_test::hangLimit.count() << " s";
        return AMSMB2Error(ETIMEDOUT, "timed out");
    }
    return future.get();
}

std::optional<AMSMB2Error> connect(const std::shared_ptr<AMSMB2>& session, const std::string& share) {
    std::promise<std::optional<AMSMB2Error>> done;
    auto future = done.get_future();
    session->connectShare(share, false, [&done](std::optional<AMSMB2Error> error) { done.set_value(std::move(error)); });
    return waitFor(future);
}

std::shared_ptr<AMSMB2> connected(std::chrono::milliseconds timeout = ostrane_test::hangLimit) {
    auto session = AMSMB2::make(server->url(), "", {SambaServer::user, SambaServer::password}, timeout);
    if (session == nullptr) {
        ADD_FAILURE() << "no session";
        return nullptr;
    }
    const auto error = connect(session, SambaServer::share);
    EXPECT_FALSE(error) << error->localizedDescription();
    return session;
}

bool matchesPattern(const std::vector<std::uint8_t>& data, std::int64_t offset) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] != pattern(offset + static_cast<std::int64_t>(i))) {
            return false;
        }
    }
    return true;
}

TEST(AMSMB2Session, AcceptsOnlySmbServerURLs) {
    const struct {
        const char* url;
        bool accepted;
    } cases[] = {
        {"smb://127.0.0.1:445", true},   {"SMB://nas.local", true},       {"smb://nas.local/ignored/path", true},
        {"smb://[::1]:445", true},       {"smb://[::1]", true},           {"smbnas", false},
        {"smb://", false},               {"smb://:445", false},           {"smb://user@nas", false},
        {"smb://nas:0", false},          {"smb://nas:65536", false},      {"smb://nas:44x", false},
        {"smb://[::1", false},           {"http://nas", false},           {"smb://na s", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AMSMB2::make(c.url, "", {"u", "p"}) != nullptr, c.accepted) << c.url;
    }
}

TEST(AMSMB2Session, ConnectFailuresAreReported) {
    const struct {
        const char* password;
        const char* share;
    } cases[] = {{"wrong password", SambaServer::share}, {SambaServer::password, "nosuchshare"}, {SambaServer::password, ""}};
    for (const auto& c : cases) {
        auto session = AMSMB2::make(server->url(), "", {SambaServer::user, c.password}, ostrane_test::hangLimit);
        ASSERT_NE(session, nullptr);
        const auto error = connect(session, c.share);
        ASSERT_TRUE(error) << c.share;
        EXPECT_FALSE(error->localizedDescription().empty());
        EXPECT_EQ(error->localizedDescription().find(SambaServer::password), std::string::npos);
        EXPECT_THROW(session->contentsOfDirectory("/"), AMSMB2Error);
        EXPECT_EQ(session->openFile("notes.txt"), nullptr);
    }
}

TEST(AMSMB2Session, NothingWorksBeforeTheShareIsConnected) {
    auto session = AMSMB2::make(server->url(), "", {SambaServer::user, SambaServer::password});
    ASSERT_NE(session, nullptr);
    EXPECT_THROW(session->contentsOfDirectory("/"), AMSMB2Error);
    EXPECT_EQ(session->openFile("/notes.txt"), nullptr);
    std::promise<std::optional<AMSMB2Error>> done;
    auto future = done.get_future();
    const auto target = server->directory() / "early.txt";
    session->downloadItem("/notes.txt", target.string(), [&done](auto error) { done.set_value(std::move(error)); });
    EXPECT_TRUE(waitFor(future));
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(AMSMB2Session, ListsEntriesWithTypesAndSizes) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    std::map<std::string, SMB2DirectoryEntry> byName;
    for (auto& entry : session->contentsOfDirectory("/")) {
        ASSERT_TRUE(entry.name);
        byName[*entry.name] = entry;
    }
    EXPECT_FALSE(byName.count("."));
    EXPECT_FALSE(byName.count(".."));
    ASSERT_TRUE(byName.count(".hidden"));
    ASSERT_TRUE(byName.count("Movies"));
    EXPECT_EQ(byName["Movies"].type, URLFileResourceType::directory);
    EXPECT_EQ(byName["notes.txt"].type, URLFileResourceType::regular);
    EXPECT_EQ(byName["notes.txt"].size, 13);
    EXPECT_EQ(byName["big.bin"].size, bigSize);

    const auto movies = session->contentsOfDirectory("/Movies/");
    ASSERT_EQ(movies.size(), 1u);
    EXPECT_EQ(movies[0].name, "a.mkv");
    EXPECT_TRUE(session->contentsOfDirectory("Empty").empty());
    EXPECT_THROW(session->contentsOfDirectory("/nosuchdir"), AMSMB2Error);
    EXPECT_THROW(session->contentsOfDirectory("/notes.txt"), AMSMB2Error);
}

TEST(AMSMB2Session, HostileNamesRoundTrip) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    const auto entries = session->contentsOfDirectory("/sp ace");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "it's #%& é ~!.mkv");
    auto file = session->openFile("/sp ace/" + *entries[0].name);
    ASSERT_NE(file, nullptr);
    const auto data = session->read(*file, 0, 100);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "hostile");
}

TEST(AMSMB2Session, RangedReadsOfAFileLargerThan4GiB) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    auto file = session->openFile("big.bin");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(session->sizeOfFile(*file), bigSize);

    const struct {
        const char* where;
        std::int64_t offset;
        std::int64_t size;
        std::int64_t expected;
    } cases[] = {
        {"start", 0, 4096, 4096},
        {"several steps", 100, (2 << 20) + 17, (2 << 20) + 17},
        {"across 4 GiB", (4LL << 30) - 1000, 3000, 3000},
        {"end", bigSize - 100, 100, 100},
        {"short at end", bigSize - 10, 4096, 10},
        {"at end", bigSize, 10, 0},
        {"past end", bigSize + (1LL << 30), 10, 0},
        {"empty", 5, 0, 0},
    };
    for (const auto& c : cases) {
        const auto data = session->read(*file, c.offset, c.size);
        ASSERT_TRUE(data) << c.where;
        EXPECT_EQ(static_cast<std::int64_t>(data->size()), c.expected) << c.where;
        EXPECT_TRUE(matchesPattern(*data, c.offset)) << c.where;
    }
    // The middle of the sparse hole reads as zeros.
    const auto hole = session->read(*file, 2LL << 30, 64);
    ASSERT_TRUE(hole);
    EXPECT_EQ(*hole, std::vector<std::uint8_t>(64, 0));
    EXPECT_FALSE(session->read(*file, -1, 10));
    EXPECT_FALSE(session->read(*file, 0, -1));
}

TEST(AMSMB2Session, OpenRefusesMissingFilesAndDirectories) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->openFile("/nosuch.mkv"), nullptr);
    EXPECT_EQ(session->openFile("/Movies"), nullptr);
    EXPECT_EQ(session->openFile("/"), nullptr);
    EXPECT_NE(session->openFile("/Movies/a.mkv"), nullptr);
}

TEST(AMSMB2Session, AHandleOfAnotherSessionIsRefused) {
    auto one = connected();
    auto two = connected();
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    auto file = one->openFile("notes.txt");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(two->read(*file, 0, 5));
    EXPECT_FALSE(two->sizeOfFile(*file));
    // The handle keeps its own session's context alive.
    one.reset();
    two.reset();
}

std::optional<AMSMB2Error> download(const std::shared_ptr<AMSMB2>& session, const std::string& from,
                                    const std::filesystem::path& to) {
    std::promise<std::optional<AMSMB2Error>> done;
    auto future = done.get_future();
    session->downloadItem(from, to.string(), [&done](auto error) { done.set_value(std::move(error)); });
    return waitFor(future);
}

std::size_t filesIn(const std::filesystem::path& directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) {
        ++count;
    }
    return count;
}

TEST(AMSMB2Session, DownloadWritesTheFileOrNothing) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    const auto target = server->directory() / "downloads";
    std::filesystem::create_directories(target);

    EXPECT_FALSE(download(session, "/sp ace/it's #%& é ~!.mkv", target / "copy.mkv"));
    std::ifstream copy(target / "copy.mkv", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "hostile");
    EXPECT_EQ(filesIn(target), 1u);

    // A failed download replaces nothing and leaves no partial file behind.
    writeFile(target / "keep.txt", "mine");
    EXPECT_TRUE(download(session, "/nosuch", target / "keep.txt"));
    std::ifstream keep(target / "keep.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(keep), {}), "mine");
    EXPECT_TRUE(download(session, "/Movies", target / "dir.bin"));
    EXPECT_TRUE(download(session, "/notes.txt", target / "missing-folder" / "x.txt"));
    EXPECT_EQ(filesIn(target), 2u);
}

TEST(AMSMB2Session, ConcurrentReadsAndADownloadInterleave) {
    auto session = connected();
    ASSERT_NE(session, nullptr);
    auto file = session->openFile("big.bin");
    ASSERT_NE(file, nullptr);
    const auto target = server->directory() / "concurrent-download.txt";
    std::promise<std::optional<AMSMB2Error>> done;
    auto future = done.get_future();
    session->downloadItem("Movies/a.mkv", target.string(), [&done](auto error) { done.set_value(std::move(error)); });

    std::vector<std::thread> readers;
    std::atomic<int> good{0};
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&, t] {
            auto own = connected();  // a second session in the same process
            for (int i = 0; i < 8; ++i) {
                const std::int64_t offset = (i * 131071 + t * 7) % (3 << 20);
                auto& reader = (t == 0 || own == nullptr) ? session : own;
                auto handle = (t == 0 || own == nullptr) ? file : own->openFile("big.bin");
                if (handle == nullptr) {
                    continue;
                }
                const auto data = reader->read(*handle, offset, 65536);
                if (data && data->size() == 65536 && matchesPattern(*data, offset)) {
                    ++good;
                }
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(good.load(), 24);
    EXPECT_FALSE(waitFor(future));
}

// A server that stops answering (but keeps its connection) costs a read its timeout, not a hang.
TEST(AMSMB2SessionServerGone, ReadsFromAFrozenServerTimeOut) {
    auto session = connected(std::chrono::seconds(2));
    ASSERT_NE(session, nullptr);
    auto file = session->openFile("notes.txt");
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(session->read(*file, 0, 5));
    const int group = server->processGroup();
    ASSERT_GT(group, 1);
    ASSERT_EQ(::kill(-group, SIGSTOP), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto data = session->read(*file, 0, 5);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ::kill(-group, SIGCONT);
    EXPECT_FALSE(data);
    EXPECT_LT(elapsed, ostrane_test::hangLimit / 2);
}

// Last: stops the server under an open file.
TEST(AMSMB2SessionServerGone, ReadsFailCleanlyAfterTheServerStops) {
    // Reads of a stopped server fail without waiting for the time-out, far longer than they may take.
    auto session = connected(ostrane_test::hangLimit);
    ASSERT_NE(session, nullptr);
    auto file = session->openFile("big.bin");
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(session->read(*file, 0, 1 << 20));
    server->stop();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(session->read(*file, 1 << 20, 1 << 20));
    EXPECT_THROW(session->contentsOfDirectory("/"), AMSMB2Error);
    EXPECT_LT(std::chrono::steady_clock::now() - started, ostrane_test::hangLimit / 2);
    server->start();
}

}  // namespace
