// test-labels: smb tsan
// What the SMB client does beyond the shared behaviour suite: how it reads its record, how it turns
// listed entries into the tree, and its failures against a real smbd.

#include "ostrane/smb/AMSMB2Client.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/SambaServer.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

using namespace Ostrane;
using ostrane_test::await;
using ostrane_test::SambaServer;

namespace {

SambaServer* server = nullptr;

class SambaEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ostrane_test::useMemoryKeychain();
        server = new SambaServer();
        const auto root = server->shareDirectory();
        std::filesystem::create_directories(root / "Movies");
        std::ofstream(root / "Movies" / "a.mkv") << "1234567";
        std::ofstream(root / "notes.txt") << "notes";
        std::ofstream(root / "empty.txt") << "";
        std::filesystem::permissions(root / "empty.txt", std::filesystem::perms(0644));
        std::filesystem::permissions(root / "Movies", std::filesystem::perms(0755));
        std::filesystem::permissions(root / "Movies" / "a.mkv", std::filesystem::perms(0644));
        std::filesystem::permissions(root / "notes.txt", std::filesystem::perms(0644));
        server->start();
    }
    void TearDown() override {
        delete server;
        server = nullptr;
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new SambaEnvironment);

OstraneInfo record(const std::string& host, std::optional<std::int64_t> port, std::optional<std::string> share) {
    OstraneInfo info(OstraneType::smb);
    info.host = host;
    info.port = port;
    info.baseDir = std::move(share);
    info.username = SambaServer::user;
    return info;
}

OstraneInfo liveRecord(std::optional<std::string> share = std::string(SambaServer::share)) {
    auto info = record("127.0.0.1", server->port(), std::move(share));
    info.setPassword(std::string(SambaServer::password));
    return info;
}

OstraneErrorRef loginError(const std::shared_ptr<AMSMB2Client>& client) {
    auto result = await<OstraneErrorRef>([&](auto done) { client->login(done); });
    return result ? *result : OstraneError::make("no answer");
}

TEST(AMSMB2ClientRecord, ServerURLFromHostAndPort) {
    const struct {
        const char* host;
        std::optional<std::int64_t> port;
        std::optional<std::string> url;
    } cases[] = {
        {"nas.local", 445, "smb://nas.local:445"},
        {"smb://nas.local", std::nullopt, "smb://nas.local"},
        {"SMB://nas.local", 1445, "SMB://nas.local:1445"},
        // A host that merely begins with "smb" is a host.
        {"smbnas", std::nullopt, "smb://smbnas"},
        {"192.168.1.2", std::nullopt, "smb://192.168.1.2"},
        {"fe80::1", 445, "smb://[fe80::1]:445"},
        {"::1", std::nullopt, "smb://[::1]"},
        {"[::1]", 445, "smb://[::1]:445"},
        // A host may carry its port; only an IPv6 literal gets brackets.
        {"nas.local:445", std::nullopt, "smb://nas.local:445"},
        {"[fe80::1]:445", std::nullopt, "smb://[fe80::1]:445"},
        {"nas.local:445", 1445, "smb://nas.local:1445"},
        {"smb://nas.local:445", std::nullopt, "smb://nas.local:445"},
        {"nas.local", 0, std::nullopt},
        {"nas.local", 70000, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"bad host", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        auto client = AMSMB2Client::make(record(c.host, c.port, "share"));
        const auto url = client->serverURL();
        EXPECT_EQ(url ? std::optional(url->absoluteString()) : std::nullopt, c.url) << c.host;
        // Computed once and kept.
        EXPECT_EQ(client->serverURL().has_value(), url.has_value());
    }
}

TEST(AMSMB2ClientRecord, ShareNameTrimsSlashesAndBlanks) {
    const std::pair<const char*, const char*> cases[] = {
        {" /Media/ ", "Media"}, {"share", "share"}, {"//a b//", "a b"}, {"", ""}, {" / ", ""}, {"a/b", "a/b"},
    };
    for (const auto& [baseDir, share] : cases) EXPECT_EQ(AMSMB2Client::shareName(baseDir), share) << baseDir;
}

TEST(AMSMB2ClientRecord, FixedAnswers) {
    auto client = AMSMB2Client::make(record("nas", std::nullopt, "share"));
    EXPECT_EQ(client->baseDir(), "/");
    auto root = client->baseDirItem();
    EXPECT_EQ(root->name(), "/");
    EXPECT_EQ(root->parent(), nullptr);
    EXPECT_FALSE(root->contents());
    EXPECT_EQ(client->baseDirItem(), root);
    EXPECT_FALSE(client->isConnected());
    const auto url = platform::URL::parse("calvora-internal://X/a.mkv").value();
    EXPECT_FALSE(client->address(url));
    EXPECT_FALSE(client->userpassword(url));

    auto answer = await<std::pair<std::optional<OstraneClient::Bytes>, OstraneErrorRef>>(
        [&](auto done) { client->data(url, [done](auto data, auto error) { done({std::move(data), error}); }); });
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->first);
    EXPECT_TRUE(answer->second);
}

TEST(AMSMB2ClientRecord, EntriesBecomeComponents) {
    auto parent = OstraneDirectory::make("/");
    const struct {
        SMB2DirectoryEntry entry;
        std::optional<OstraneFileType> type;
        std::int64_t size;
    } cases[] = {
        {{"a.mkv", URLFileResourceType::regular, 7}, OstraneFileType::file, 7},
        {{"nosize.mkv", URLFileResourceType::regular, std::nullopt}, OstraneFileType::file, 0},
        {{"Movies", URLFileResourceType::directory, std::nullopt}, OstraneFileType::directory, 0},
        {{"link", URLFileResourceType::symbolicLink, std::nullopt}, OstraneFileType::symbolicLink, 0},
        {{".DS_Store", URLFileResourceType::regular, 6}, std::nullopt, 0},
        {{".hiddendir", URLFileResourceType::directory, std::nullopt}, std::nullopt, 0},
        {{"sda", URLFileResourceType::blockSpecial, std::nullopt}, std::nullopt, 0},
        {{"fifo", URLFileResourceType::namedPipe, std::nullopt}, std::nullopt, 0},
        {{std::nullopt, URLFileResourceType::regular, 1}, std::nullopt, 0},
        {{"untyped", std::nullopt, 1}, std::nullopt, 0},
        {{"", URLFileResourceType::regular, 1}, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto component = AMSMB2Client::component(c.entry, parent);
        const auto label = c.entry.name.value_or("(no name)");
        ASSERT_EQ(component != nullptr, c.type.has_value()) << label;
        if (!component) continue;
        EXPECT_EQ(component->type(), *c.type) << label;
        EXPECT_EQ(component->parent(), parent) << label;
        EXPECT_EQ(component->flags(), OstranePathComponent::Flag()) << label;
        if (auto file = std::dynamic_pointer_cast<OstraneFile>(component)) {
            EXPECT_EQ(file->size(), c.size);
        }
        if (auto directory = std::dynamic_pointer_cast<OstraneDirectory>(component)) {
            EXPECT_FALSE(directory->contents());
        }
    }
}

TEST(AMSMB2ClientRecord, NothingWorksBeforeALogin) {
    auto client = AMSMB2Client::make(record("127.0.0.1", server->port(), "share"));
    EXPECT_EQ(client->open("/notes.txt"), nullptr);
    EXPECT_FALSE(client->read(nullptr, 0, 1));
    EXPECT_FALSE(client->fileSize(nullptr));
    auto listing = await<OstraneErrorRef>([&](auto done) {
        client->contents(client->baseDirItem(), [done](auto, auto error) { done(error); });
    });
    ASSERT_TRUE(listing);
    EXPECT_TRUE(*listing);
    EXPECT_FALSE(client->baseDirItem()->contents());
    auto names = await<OstraneErrorRef>([&](auto done) { client->contents("/", [done](auto, auto e) { done(e); }); });
    ASSERT_TRUE(names);
    EXPECT_TRUE(*names);
    auto download = await<OstraneErrorRef>([&](auto done) {
        client->download("/notes.txt", platform::URL::fileURLWithPath("/tmp/never-written.txt"), done);
    });
    ASSERT_TRUE(download);
    EXPECT_TRUE(*download);
    EXPECT_FALSE(std::filesystem::exists("/tmp/never-written.txt"));
}

TEST(AMSMB2ClientLogin, RecordProblemsAnswerAtOnce) {
    const struct {
        OstraneInfo info;
        const char* error;
    } cases[] = {
        {record("bad host", std::nullopt, "share"), "invalid url"},
        {record("nas", 0, "share"), "invalid url"},
        {record("nas", std::nullopt, std::nullopt), "invalid share name"},
    };
    for (const auto& c : cases) {
        auto client = AMSMB2Client::make(c.info);
        OstraneErrorRef error;
        bool called = false;
        client->login([&](OstraneErrorRef e) {
            called = true;
            error = e;
        });
        EXPECT_TRUE(called) << c.error;
        ASSERT_TRUE(error) << c.error;
        EXPECT_EQ(error->description(), c.error);
    }
}

TEST(AMSMB2ClientLogin, ASessionTheLibraryRefusesStillAnswers) {
    // A URL, but credentials never travel in one: no session is made.
    auto client = AMSMB2Client::make(record("guest@127.0.0.1", server->port(), "share"));
    ASSERT_TRUE(client->serverURL());
    const auto error = loginError(client);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "Failed to connect");
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->session(), nullptr);
}

TEST(AMSMB2ClientLogin, ServerSideFailuresKeepTheClientDisconnected) {
    const struct {
        const char* label;
        std::optional<std::string> share;
        std::optional<std::string> password;
    } cases[] = {
        {"share missing", std::string("nosuchshare"), SambaServer::password},
        {"empty share name", std::string(" / "), SambaServer::password},
        {"wrong password", std::string(SambaServer::share), std::string("wrong")},
        {"no password stored", std::string(SambaServer::share), std::nullopt},
    };
    for (const auto& c : cases) {
        auto info = record("127.0.0.1", server->port(), c.share);
        info.setPassword(c.password);
        auto client = AMSMB2Client::make(info);
        const auto error = loginError(client);
        ASSERT_TRUE(error) << c.label;
        EXPECT_FALSE(error->description().empty()) << c.label;
        EXPECT_FALSE(client->isConnected()) << c.label;
        EXPECT_NE(client->session(), nullptr) << c.label;
    }
}

TEST(AMSMB2ClientLogin, AFailedLoginAfterASuccessfulOneDisconnects) {
    auto info = liveRecord();
    auto client = AMSMB2Client::make(info);
    ASSERT_FALSE(loginError(client));
    EXPECT_TRUE(client->isConnected());
    info.setPassword(std::string("changed elsewhere"));
    EXPECT_TRUE(loginError(client));
    EXPECT_FALSE(client->isConnected());
    info.setPassword(std::string(SambaServer::password));
    EXPECT_FALSE(loginError(client));
    EXPECT_TRUE(client->isConnected());
}

TEST(AMSMB2ClientLogin, ConcurrentLoginsShareOneAttempt) {
    auto client = AMSMB2Client::make(liveRecord());
    std::vector<std::future<OstraneErrorRef>> results;
    std::vector<std::shared_ptr<std::promise<OstraneErrorRef>>> promises;
    for (int i = 0; i < 4; ++i) {
        auto promise = std::make_shared<std::promise<OstraneErrorRef>>();
        results.push_back(promise->get_future());
        promises.push_back(promise);
    }
    std::shared_ptr<AMSMB2> first;
    for (auto& promise : promises) client->login([promise](OstraneErrorRef e) { promise->set_value(e); });
    for (auto& result : results) {
        ASSERT_TRUE(ostrane_test::becomesReady(result));
        EXPECT_FALSE(result.get());
    }
    EXPECT_TRUE(client->isConnected());
}

TEST(AMSMB2ClientLogin, AReleasedClientStillAnswers) {
    auto client = AMSMB2Client::make(liveRecord());
    auto promise = std::make_shared<std::promise<OstraneErrorRef>>();
    auto future = promise->get_future();
    // Hold the queue so the login's work item runs only after the client is gone.
    auto gate = std::make_shared<std::promise<void>>();
    auto queue = client->queue();
    queue->async([opened = gate->get_future().share()] { opened.wait_for(ostrane_test::hangLimit); });
    client->login([promise](OstraneErrorRef e) { promise->set_value(e); });
    auto listed = std::make_shared<std::promise<OstraneErrorRef>>();
    auto listedFuture = listed->get_future();
    client->contents("/", [listed](auto, OstraneErrorRef e) { listed->set_value(e); });
    client.reset();
    gate->set_value();
    ASSERT_TRUE(ostrane_test::becomesReady(future));
    EXPECT_TRUE(future.get());
    ASSERT_TRUE(ostrane_test::becomesReady(listedFuture));
    EXPECT_TRUE(listedFuture.get());
}

TEST(AMSMB2ClientListing, AFailedListingIsNotCachedAsEmpty) {
    auto client = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(client));
    auto missing = OstraneDirectory::make("Later", client->baseDirItem());
    auto first = await<std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>>([&](auto done) {
        client->contents(missing, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->second);
    EXPECT_FALSE(first->first);
    EXPECT_FALSE(missing->contents());

    // Once the folder exists, the same directory object lists it.
    const auto folder = server->shareDirectory() / "Later";
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms(0755));
    std::ofstream(folder / "x.mkv") << "x";
    std::filesystem::permissions(folder / "x.mkv", std::filesystem::perms(0644));
    auto second = await<std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>>([&](auto done) {
        client->contents(missing, [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->second);
    ASSERT_TRUE(second->first);
    ASSERT_EQ(second->first->size(), 1u);
    EXPECT_EQ((*second->first)[0]->path(), "/Later/x.mkv");
    std::filesystem::remove_all(folder);
}

TEST(AMSMB2ClientStreaming, DescriptorsBelongToTheirClientAndSurviveANewLogin) {
    auto client = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(client));
    for (const char* path : {"/Movies/a.mkv", "Movies/a.mkv", "/Movies/a.mkv/"}) {
        auto fd = client->open(path);
        ASSERT_NE(fd, nullptr) << path;
        EXPECT_EQ(client->fileSize(fd), 7);
    }
    EXPECT_EQ(client->open("/Movies"), nullptr);
    EXPECT_EQ(client->open("/missing.mkv"), nullptr);

    auto fd = client->open("/Movies/a.mkv");
    ASSERT_NE(fd, nullptr);
    auto other = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(other));
    struct Foreign : NetworkFileDescriptor {};
    EXPECT_FALSE(client->read(std::make_shared<Foreign>(), 0, 4));
    EXPECT_FALSE(client->fileSize(std::make_shared<Foreign>()));

    ASSERT_FALSE(loginError(client));  // a new session replaces the old one
    const auto data = client->read(fd, 2, 3);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "345");
    EXPECT_FALSE(client->read(fd, 0, -1));
    client->close(fd);
    EXPECT_TRUE(client->read(fd, 0, 1)) << "close sends nothing; the descriptor's release closes the file";
}

TEST(AMSMB2ClientStreaming, EndsOfFilesAndWrongKindsOfEntries) {
    auto client = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(client));
    // At and after the end of a file, and in an empty one: empty bytes, not a failure.
    const struct {
        const char* path;
        std::int64_t offset;
    } ends[] = {{"/notes.txt", 5}, {"/notes.txt", 1000}, {"/empty.txt", 0}};
    for (const auto& end : ends) {
        auto fd = client->open(end.path);
        ASSERT_NE(fd, nullptr) << end.path;
        const auto data = client->read(fd, end.offset, 100);
        ASSERT_TRUE(data) << end.path << " at " << end.offset;
        EXPECT_TRUE(data->empty()) << end.path << " at " << end.offset;
    }
    EXPECT_EQ(client->open("/Movies"), nullptr) << "a folder fails at open";

    const auto target = server->directory() / "folder-download";
    auto download = await<OstraneErrorRef>([&](auto done) {
        client->download("/Movies", platform::URL::fileURLWithPath(target.string()), done);
    });
    ASSERT_TRUE(download);
    ASSERT_TRUE(*download) << "downloading a folder fails";
    EXPECT_EQ((*download)->description(), "Is a directory");
    EXPECT_FALSE(std::filesystem::exists(target));

    auto listing = await<OstraneErrorRef>([&](auto done) {
        client->contents("/notes.txt", [done](auto, auto error) { done(error); });
    });
    ASSERT_TRUE(listing);
    ASSERT_TRUE(*listing) << "listing a file as a folder fails";
    EXPECT_EQ((*listing)->description(), "Not a directory");
}

TEST(AMSMB2ClientStreaming, SynchronousCallsWorkFromTheClientsOwnCompletions) {
    auto client = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(client));
    auto read = await<std::optional<OstraneClient::Bytes>>([&](auto done) {
        client->contents("/Movies", [client, done](auto, auto) {
            auto fd = client->open("/Movies/a.mkv");
            done(fd ? client->read(fd, 0, 3) : std::nullopt);
        });
    });
    ASSERT_TRUE(read);
    ASSERT_TRUE(*read);
    EXPECT_EQ(std::string((*read)->begin(), (*read)->end()), "123");
}

TEST(AMSMB2ClientStreaming, StreamsAndDownloadsOfSeveralClientsInterleave) {
    // A file of distinct bytes, large enough that the transfers overlap.
    const auto path = server->shareDirectory() / "Movies" / "long.bin";
    std::string content(6 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 31 + i / 4093) & 0xFF);
    std::ofstream(path, std::ios::binary) << content;
    std::filesystem::permissions(path, std::filesystem::perms(0644));

    auto downloader = AMSMB2Client::make(liveRecord());
    ASSERT_FALSE(loginError(downloader));
    const auto target = server->directory() / "long-copy.bin";
    auto downloaded = std::make_shared<std::promise<OstraneErrorRef>>();
    auto downloadedFuture = downloaded->get_future();
    downloader->download("/Movies/long.bin", platform::URL::fileURLWithPath(target.string(), false),
                         [downloaded](OstraneErrorRef e) { downloaded->set_value(e); });

    std::atomic<int> good{0};
    std::vector<std::thread> streams;
    for (int t = 0; t < 3; ++t) {
        streams.emplace_back([&, t] {
            auto client = t == 0 ? downloader : AMSMB2Client::make(liveRecord());
            if (t != 0 && loginError(client)) return;
            auto fd = client->open("/Movies/long.bin");
            if (!fd) return;
            bool same = true;
            for (std::int64_t offset = t * 4096; offset < static_cast<std::int64_t>(content.size()); offset += 700000) {
                const auto data = client->read(fd, offset, 300000);
                const auto expected = content.substr(static_cast<std::size_t>(offset), 300000);
                same = same && data && std::string(data->begin(), data->end()) == expected;
            }
            if (same) ++good;
        });
    }
    for (auto& stream : streams) stream.join();
    EXPECT_EQ(good.load(), 3);
    ASSERT_TRUE(ostrane_test::becomesReady(downloadedFuture));
    EXPECT_FALSE(downloadedFuture.get());
    std::ifstream copy(target, std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(copy), {}) == content);
    std::filesystem::remove(path);
    std::filesystem::remove(target);
}

}  // namespace
