// test-labels: sftp tsan
// NMSSHClient against a real OpenSSH sshd on 127.0.0.1: links in listings, reads, downloads,
// host keys, and what a login does to a standing or a dead connection.

#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "SshServer.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Ostrane;
using ostrane_test::await;
using ostrane_test::SshServer;
namespace fs = std::filesystem;

std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    return bytes;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::size_t dataSize = (3 << 20) + 12345;
const std::string latin1Name = "x\xE9t\xE9.mkv";

// One server for the tests that only read; the tests that stop or re-key a server make their own.
SshServer& sharedServer() {
    static SshServer* server = [] {
        ostrane_test::useMemoryKeychain();
        auto* s = new SshServer();
        const fs::path root = s->root();
        writeFile(root / ".profile", "hidden\n");
        writeFile(root / "a.mkv", "1234567");
        writeFile(root / "empty.bin", "");
        writeFile(root / "data.bin", patterned(dataSize));
        writeFile(root / "sp ace ünï #?%.mkv", "odd name\n");
        fs::create_directories(root / "movies");
        writeFile(root / "movies" / "film.mkv", "film");
        fs::create_directories(root / "sub");
        fs::create_symlink("a.mkv", root / "latest");
        fs::create_symlink(root / "a.mkv", root / "absolute");
        fs::create_symlink("movies", root / "moviesLink");
        fs::create_symlink("../root/movies/./", root / "up");
        fs::create_symlink("nowhere.mkv", root / "dangling");
        fs::create_symlink("../a.mkv", root / "sub" / "inner");
        // Names are bytes: one in Latin-1, and a decoy that reads like its percent-encoded form.
        fs::create_directories(root / "bytes");
        writeFile(root / "bytes" / latin1Name, "latin-1 name\n");
        writeFile(root / "bytes" / "x%E9t%E9.mkv", "decoy\n");
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_symlink()) {
                fs::permissions(entry.path(), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
            }
        }
        Ostrane::SSHKnownHosts::setPath(s->knownHosts());
        s->start();
        return s;
    }();
    return *server;
}

// Points the clients at another server's known-hosts file for one test.
class KnownHostsFile {
public:
    explicit KnownHostsFile(const std::string& file) { Ostrane::SSHKnownHosts::setPath(file); }
    ~KnownHostsFile() { Ostrane::SSHKnownHosts::setPath(sharedServer().knownHosts()); }
};

class StopServers : public ::testing::Environment {
public:
    void TearDown() override { delete &sharedServer(); }
};
const auto* stopServers = ::testing::AddGlobalTestEnvironment(new StopServers);

class SftpClient : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = &sharedServer();
        std::string pattern = (fs::temp_directory_path() / "ostrane-sftp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    static std::shared_ptr<NMSSHClient> clientOf(const SshServer& server,
                                                 const std::string& password = SshServer::password) {
        auto info = server.record();
        info.setPassword(password);
        auto client = NMSSHClient::make(info);
        client->setTimeout(ostrane_test::hangLimit);
        return client;
    }
    static OstraneErrorRef login(const std::shared_ptr<NMSSHClient>& client) {
        auto error = await<OstraneErrorRef>([&](auto done) { client->login(done); });
        return error ? *error : OstraneError::make("no answer");
    }
    using Listing = std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>;
    static Listing list(const std::shared_ptr<NMSSHClient>& client, const std::shared_ptr<OstranePathComponent>& dir) {
        auto result = await<Listing>([&](auto done) {
            client->contents(dir, [done](auto contents, auto error) { done({std::move(contents), error}); });
        });
        return result ? *result : Listing{std::nullopt, OstraneError::make("no answer")};
    }
    using Names = std::pair<std::optional<std::vector<std::string>>, OstraneErrorRef>;
    static Names names(const std::shared_ptr<NMSSHClient>& client, const std::string& path) {
        auto result = await<Names>([&](auto done) {
            client->contents(path, [done](auto list, auto error) { done({std::move(list), error}); });
        });
        return result ? *result : Names{std::nullopt, OstraneError::make("no answer")};
    }
    static std::shared_ptr<OstranePathComponent> named(const OstranePathComponent::Contents& contents,
                                                       const std::string& name) {
        for (const auto& c : contents) {
            if (c->name() == name) return c;
        }
        return nullptr;
    }
    std::string remote(const std::string& relative) const { return server_->root().string() + "/" + relative; }

    SshServer* server_ = nullptr;
    fs::path scratch_;
};

TEST_F(SftpClient, TreeListingDropsHiddenNamesAndResolvesLinksOneLevel) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    auto root = client->baseDirItem();
    EXPECT_EQ(root->name(), server_->root().string());
    EXPECT_EQ(client->baseDir(), server_->root().string());

    const auto [contents, error] = list(client, root);
    ASSERT_FALSE(error) << error->description();
    ASSERT_TRUE(contents);
    std::vector<std::string> listed;
    for (const auto& c : *contents) listed.push_back(c->name());
    EXPECT_EQ(listed, (std::vector<std::string>{"a.mkv", "absolute", "bytes", "dangling", "data.bin", "empty.bin",
                                                "latest", "movies", "moviesLink", "sp ace ünï #?%.mkv", "sub", "up"}));
    ASSERT_TRUE(root->contents());
    EXPECT_EQ(root->contents()->size(), contents->size());

    auto a = std::dynamic_pointer_cast<OstraneFile>(named(*contents, "a.mkv"));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->size(), 7);
    EXPECT_EQ(named(*contents, "movies")->type(), OstraneFileType::directory);

    // Relative and absolute links to a file: the target is the real file, with its real path.
    for (const char* linkName : {"latest", "absolute"}) {
        SCOPED_TRACE(linkName);
        auto link = std::dynamic_pointer_cast<OstraneSymbolicLink>(named(*contents, linkName));
        ASSERT_NE(link, nullptr);
        auto target = std::dynamic_pointer_cast<OstraneFile>(link->target());
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(target->name(), "a.mkv");
        EXPECT_EQ(target->size(), 7);
        EXPECT_EQ(target->path(), remote("a.mkv"));
        EXPECT_FALSE(link->isDirectory());
    }
    auto latest = std::dynamic_pointer_cast<OstraneSymbolicLink>(named(*contents, "latest"));
    EXPECT_EQ(latest->target()->parent(), root) << "a relative target hangs under the link's directory";

    // Links to a directory, one of them through "..": the target is that directory and lists.
    for (const char* linkName : {"moviesLink", "up"}) {
        SCOPED_TRACE(linkName);
        auto link = std::dynamic_pointer_cast<OstraneSymbolicLink>(named(*contents, linkName));
        ASSERT_NE(link, nullptr);
        auto target = std::dynamic_pointer_cast<OstraneDirectory>(link->target());
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(target->path(), remote("movies"));
        EXPECT_TRUE(link->isDirectory());
        const auto [inside, insideError] = list(client, target);
        ASSERT_FALSE(insideError);
        ASSERT_TRUE(inside);
        ASSERT_EQ(inside->size(), 1u);
        EXPECT_EQ((*inside)[0]->path(), remote("movies/film.mkv"));
        auto url = NetworkFileManager::shared()->url(target, client);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->path(), remote("movies"));
        EXPECT_TRUE(url->hasDirectoryPath());
    }

    auto dangling = std::dynamic_pointer_cast<OstraneSymbolicLink>(named(*contents, "dangling"));
    ASSERT_NE(dangling, nullptr);
    EXPECT_EQ(dangling->target(), nullptr);

    // A link in a subfolder pointing up.
    const auto [sub, subError] = list(client, named(*contents, "sub"));
    ASSERT_TRUE(sub);
    ASSERT_EQ(sub->size(), 1u);
    auto inner = std::dynamic_pointer_cast<OstraneSymbolicLink>((*sub)[0]);
    ASSERT_NE(inner, nullptr);
    ASSERT_NE(inner->target(), nullptr);
    EXPECT_EQ(inner->target()->path(), remote("a.mkv"));
}

TEST_F(SftpClient, NameListingKeepsEverythingButDirectories) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    const auto [list, error] = names(client, server_->root().string());
    ASSERT_FALSE(error);
    ASSERT_TRUE(list);
    std::set<std::string> got(list->begin(), list->end());
    EXPECT_EQ(got, (std::set<std::string>{".profile", "a.mkv", "absolute", "dangling", "data.bin", "empty.bin",
                                          "latest", "moviesLink", "sp ace ünï #?%.mkv", "up"}));
}

TEST_F(SftpClient, FailedListingsAnswerAnErrorAndStayUnlisted) {
    auto client = clientOf(*server_);
    // Before any login.
    const auto [early, earlyError] = list(client, client->baseDirItem());
    EXPECT_FALSE(early);
    ASSERT_TRUE(earlyError);
    const auto [earlyNames, earlyNamesError] = names(client, server_->root().string());
    EXPECT_FALSE(earlyNames);
    EXPECT_TRUE(earlyNamesError);

    ASSERT_FALSE(login(client));
    auto missing = OstraneDirectory::make(remote("no such folder"));
    const auto [contents, error] = list(client, missing);
    EXPECT_FALSE(contents);
    ASSERT_TRUE(error);
    EXPECT_NE(error->description().find("no such folder"), std::string::npos) << error->description();
    EXPECT_FALSE(missing->contents()) << "a failed listing is not cached as empty";
    const auto [missingNames, missingNamesError] = names(client, remote("a.mkv"));
    EXPECT_FALSE(missingNames);
    EXPECT_TRUE(missingNamesError);

    // A file given as a component: no list and no error, at once.
    bool called = false;
    client->contents(OstraneFile::make("a.mkv", nullptr, 7), [&](auto list, auto err) {
        called = true;
        EXPECT_FALSE(list);
        EXPECT_FALSE(err);
    });
    EXPECT_TRUE(called);
}

TEST_F(SftpClient, ReadsEqualTheFileSequentiallyAndAtRandom) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    const std::string expected = patterned(dataSize);
    auto fd = client->open(remote("data.bin"));
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(client->fileSize(fd), static_cast<std::int64_t>(dataSize));

    std::string sequential;
    for (int guard = 0; guard < 100; ++guard) {
        auto data = client->read(fd, static_cast<std::int64_t>(sequential.size()), 1 << 20);
        if (!data) break;
        sequential.append(data->begin(), data->end());
    }
    EXPECT_EQ(sequential.size(), dataSize);
    EXPECT_TRUE(sequential == expected);

    const struct {
        std::int64_t offset;
        std::ptrdiff_t size;
        std::size_t got;
    } cases[] = {
        {0, 65536, 65536},
        {static_cast<std::int64_t>(dataSize) - 100, 65536, 100},  // short at the end
        {1 << 20, 1, 1},
        {12345, (2 << 20) + 7, (2 << 20) + 7},                      // many packets in one read
        {0, 65536, 65536},                                          // back again
        {static_cast<std::int64_t>(dataSize) - 1, 1, 1},
        {0, std::ptrdiff_t(1) << 40, dataSize},                     // capped, then the file ends
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size));
        auto data = client->read(fd, c.offset, c.size);
        ASSERT_TRUE(data);
        ASSERT_EQ(data->size(), c.got);
        EXPECT_TRUE(std::string(data->begin(), data->end()) == expected.substr(c.offset, c.got));
    }
    for (const std::int64_t end : {static_cast<std::int64_t>(dataSize), static_cast<std::int64_t>(dataSize) + 99}) {
        const auto data = client->read(fd, end, 10);
        ASSERT_TRUE(data) << "at or past the end: empty bytes, not a failure";
        EXPECT_TRUE(data->empty());
    }
    EXPECT_FALSE(client->read(fd, 0, 0));
    EXPECT_FALSE(client->read(fd, -1, 10));
    EXPECT_FALSE(client->read(fd, 0, -1));
    client->close(fd);
    EXPECT_FALSE(client->read(fd, 0, 10)) << "a closed handle reads nothing";

    auto empty = client->open(remote("empty.bin"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(client->fileSize(empty), 0);
    const auto nothing = client->read(empty, 0, 100);
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
    client->close(empty);

    auto odd = client->open(remote("sp ace ünï #?%.mkv"));
    ASSERT_NE(odd, nullptr);
    auto data = client->read(odd, 0, 100);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "odd name\n");

    EXPECT_EQ(client->open(remote("no such file")), nullptr);
    class Foreign : public NetworkFileDescriptor {};
    EXPECT_FALSE(client->read(std::make_shared<Foreign>(), 0, 10));
    EXPECT_FALSE(client->fileSize(std::make_shared<Foreign>()));
    client->close(std::make_shared<Foreign>());
}

TEST_F(SftpClient, StreamsThroughTheRegistryAndTheHandle) {
    auto info = server_->record();
    info.setPassword(std::string(SshServer::password));
    auto manager = NetworkFileManager::shared();
    auto infos = manager->serverInfos();
    infos.push_back(info);
    manager->setServerInfos(infos);
    const auto url = platform::URL::parse(std::string("calvora-internal://") + info.identifier + server_->root().string() +
                                          "/data.bin");
    ASSERT_TRUE(url);
    EXPECT_TRUE(manager->isResponsibleForStreaming(*url));
    auto handle = NetworkFileHandle::make(*url);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(handle->open());
    EXPECT_EQ(handle->size(), static_cast<std::int64_t>(dataSize));
    auto data = handle->read(1000, 5000);
    ASSERT_TRUE(data);
    const std::string expected = patterned(dataSize);
    EXPECT_TRUE(std::string(data->begin(), data->end()) == expected.substr(1000, 5000));
    handle->close();
    manager->close(info);
    manager->setServerInfos({});
    info.cleanup();
}

TEST_F(SftpClient, LoginOnAStandingChannelKeepsOpenFilesUsable) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    auto channel = client->sftp();
    auto fd = client->open(remote("a.mkv"));
    ASSERT_NE(fd, nullptr);
    ASSERT_FALSE(login(client));
    EXPECT_EQ(client->sftp(), channel) << "the standing channel is kept";
    auto data = client->read(fd, 0, 100);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "1234567");
}

TEST_F(SftpClient, ThreadsReadLoginAndLetDescriptorsGoAtOnce) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    const std::string expected = patterned(dataSize);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                // Each descriptor goes on this thread, not on the client's queue: its handle closes here.
                auto fd = client->open(remote("data.bin"));
                if (!fd) {
                    ++mismatches;
                    continue;
                }
                for (int i = 0; i < 4; ++i) {
                    const std::int64_t offset = (t * 7919 + round * 104729 + i * 65537) % (dataSize - 70000);
                    auto data = client->read(fd, offset, 65536);
                    if (!data || std::string(data->begin(), data->end()) != expected.substr(offset, 65536)) ++mismatches;
                }
                if (round % 2 == 0) client->close(fd);
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 10; ++i) {
            if (login(client) || !client->isConnected()) ++mismatches;
            client->baseDirItem();
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(SftpClient, DownloadsIntoPlaceOrLeavesNothing) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    const auto download = [&](const std::string& path, const fs::path& to) {
        auto error = await<OstraneErrorRef>([&](auto done) {
            client->download(path, platform::URL::fileURLWithPath(to.string()), done);
        });
        return error ? *error : OstraneError::make("no answer");
    };

    const auto target = scratch_ / "data copy.bin";
    writeFile(target, "old content");
    EXPECT_FALSE(download(remote("data.bin"), target));
    EXPECT_TRUE(readFile(target) == patterned(dataSize)) << "the old file is replaced";
    EXPECT_FALSE(download(remote("sp ace ünï #?%.mkv"), scratch_ / "odd"));
    EXPECT_EQ(readFile(scratch_ / "odd"), "odd name\n");
    EXPECT_FALSE(download(remote("empty.bin"), scratch_ / "empty"));
    EXPECT_TRUE(fs::exists(scratch_ / "empty"));

    // A destination that cannot be written answers at once, on the caller's thread.
    std::atomic<bool> answered{false};
    OstraneErrorRef unwritable;
    client->download(remote("a.mkv"), platform::URL::fileURLWithPath((scratch_ / "no folder" / "a.mkv").string()),
                     [&](OstraneErrorRef error) {
                         unwritable = error;
                         answered = true;
                     });
    ASSERT_TRUE(answered.load());
    ASSERT_TRUE(unwritable);
    EXPECT_EQ(unwritable->description(), "dst file open failed");
    const auto intoFolder = download(remote("a.mkv"), scratch_);
    EXPECT_TRUE(intoFolder) << "a folder is no file destination";

    // A remote failure leaves neither the file nor a temporary one.
    const auto error = download(remote("no such.mkv"), scratch_ / "missing.mkv");
    ASSERT_TRUE(error);
    EXPECT_NE(error->description().find("no such.mkv"), std::string::npos) << error->description();
    EXPECT_FALSE(fs::exists(scratch_ / "missing.mkv"));
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(scratch_)) left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"data copy.bin", "odd", "empty"}));

    // Before any login.
    auto fresh = clientOf(*server_);
    auto early = await<OstraneErrorRef>([&](auto done) {
        fresh->download(remote("a.mkv"), platform::URL::fileURLWithPath((scratch_ / "early").string()), done);
    });
    ASSERT_TRUE(early);
    EXPECT_TRUE(*early);
    EXPECT_FALSE(fs::exists(scratch_ / "early"));
}

TEST_F(SftpClient, AWrongPasswordIsRefused) {
    auto client = clientOf(*server_, "not the password");
    const auto error = login(client);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description().find("not the password"), std::string::npos);
    EXPECT_NE(error->description().find("uthenticat"), std::string::npos) << error->description();
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->open(remote("a.mkv")), nullptr);
}

std::size_t passwordAttempts(const SshServer& server) {
    std::ifstream log(server.log());
    std::string line;
    std::size_t count = 0;
    while (std::getline(log, line)) {
        if (line.find(" password for ") != std::string::npos) ++count;
    }
    return count;
}

TEST_F(SftpClient, AChangedHostKeyRefusesTheLoginBeforeThePassword) {
    SshServer server;
    server.start();
    const auto file = server.knownHosts();
    KnownHostsFile knownHosts(file);
    auto first = clientOf(server);
    ASSERT_FALSE(login(first)) << "first use records the key";
    const std::string recorded = readFile(file);
    EXPECT_TRUE(std::regex_search(recorded, std::regex("^\\[127\\.0\\.0\\.1\\]:" + std::to_string(server.port()) +
                                                       " ssh-ed25519 [A-Za-z0-9+/=]+\n$")))
        << recorded;
    auto second = clientOf(server);
    EXPECT_FALSE(login(second)) << "the recorded key is accepted";
    EXPECT_EQ(readFile(file), recorded) << "nothing recorded twice";

    server.stop();
    server.replaceHostKey();
    server.start();
    const auto attempts = passwordAttempts(server);
    auto third = clientOf(server);
    const auto error = login(third);
    ASSERT_TRUE(error);
    EXPECT_NE(error->description().find("[127.0.0.1]:" + std::to_string(server.port())), std::string::npos)
        << error->description();
    EXPECT_NE(error->description().find("changed"), std::string::npos) << error->description();
    EXPECT_EQ(error->description().find(SshServer::password), std::string::npos);
    EXPECT_FALSE(third->isConnected());
    EXPECT_EQ(readFile(file), recorded) << "a changed key is not recorded";
    EXPECT_EQ(passwordAttempts(server), attempts) << "no password reached the server";
}

TEST_F(SftpClient, AStoppedServerFailsReadsAndALaterLoginStartsAfresh) {
    SshServer server;
    // Larger than what is read ahead, so the stop is met before the file ends.
    const auto big = server.root() / "big.bin";
    writeFile(big, "start");
    fs::resize_file(big, 256 << 20);
    fs::permissions(big, fs::perms::others_read, fs::perm_options::add);
    KnownHostsFile knownHosts(server.knownHosts());
    server.start();
    // Failing reads of a stopped server must not wait for the time-out: it is far longer than they may take.
    auto client = clientOf(server);
    client->setTimeout(ostrane_test::hangLimit);
    ASSERT_FALSE(login(client));
    auto fd = client->open(big.string());
    ASSERT_NE(fd, nullptr);
    ASSERT_TRUE(client->read(fd, 0, 1 << 20));
    auto oldChannel = client->sftp();

    server.stop();
    const auto started = std::chrono::steady_clock::now();
    // What arrived before the stop may still be read; then the reads fail.
    std::int64_t offset = 1 << 20;
    int reads = 0;
    while (reads < 200) {
        ++reads;
        auto data = client->read(fd, offset, 1 << 20);
        if (!data) break;
        ASSERT_EQ(data->size(), 1u << 20) << "a read is whole or fails";
        offset += static_cast<std::int64_t>(data->size());
    }
    EXPECT_LT(reads, 200);
    EXPECT_LT(offset, 256 << 20);
    EXPECT_FALSE(client->fileSize(fd));
    EXPECT_FALSE(client->isConnected());
    const auto [contents, error] = list(client, OstraneDirectory::make(server.root().string()));
    EXPECT_FALSE(contents);
    EXPECT_TRUE(error);
    EXPECT_LT(std::chrono::steady_clock::now() - started, ostrane_test::hangLimit / 2);

    server.start();
    ASSERT_FALSE(login(client));
    EXPECT_TRUE(client->isConnected());
    EXPECT_NE(client->sftp(), oldChannel) << "a dead channel is replaced";
    EXPECT_FALSE(client->read(fd, 0, 10)) << "a descriptor of the dead session stays dead";
    auto again = client->open(big.string());
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(client->read(again, 0, 10));
    client->close(fd);
    client->close(again);
}

TEST_F(SftpClient, AFrozenServerCostsAReadItsTimeout) {
    SshServer server;
    const auto big = server.root() / "big.bin";
    writeFile(big, "start");
    fs::resize_file(big, 256 << 20);
    fs::permissions(big, fs::perms::others_read, fs::perm_options::add);
    KnownHostsFile knownHosts(server.knownHosts());
    server.start();
    auto client = clientOf(server);
    const auto timeout = std::chrono::seconds(5);
    client->setTimeout(timeout);
    ASSERT_FALSE(login(client));
    auto fd = client->open(big.string());
    ASSERT_NE(fd, nullptr);
    ASSERT_TRUE(client->read(fd, 0, 1 << 20));

    // Only the connection's processes freeze: the listener is not the subject.
    ASSERT_GT(server.signalConnections(SIGSTOP), 0u);
    const auto started = std::chrono::steady_clock::now();
    std::int64_t offset = 1 << 20;
    int reads = 0;
    while (reads < 200) {
        ++reads;
        auto data = client->read(fd, offset, 1 << 20);
        if (!data) break;
        EXPECT_EQ(data->size(), 1u << 20) << "what arrived before the stall is no success";
        offset += static_cast<std::int64_t>(data->size());
    }
    const auto waited = std::chrono::steady_clock::now() - started;
    server.signalConnections(SIGCONT);
    EXPECT_LT(reads, 200);
    EXPECT_GE(waited, timeout - std::chrono::milliseconds(500)) << "the read waited for its timeout";
    EXPECT_LT(waited, ostrane_test::hangLimit / 2) << "one time-out, not one per read";
    EXPECT_FALSE(client->isConnected()) << "a timed-out connection is not used again";
    // Later calls fail at once instead of waiting again.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->read(fd, 0, 10));
    EXPECT_EQ(client->open(big.string()), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - again, timeout);
    client->close(fd);
}

TEST_F(SftpClient, AKilledConnectionFailsTheReadInProgress) {
    SshServer server;
    const auto big = server.root() / "big.bin";
    writeFile(big, "start");
    fs::resize_file(big, 1LL << 32);
    fs::permissions(big, fs::perms::others_read, fs::perm_options::add);
    KnownHostsFile knownHosts(server.knownHosts());
    server.start();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto client = clientOf(server);
        ASSERT_FALSE(login(client));
        auto fd = client->open(big.string());
        ASSERT_NE(fd, nullptr);
        std::atomic<int> reads{0};
        std::atomic<bool> reading{false};
        std::atomic<bool> failed{false};
        std::vector<std::size_t> shortReads;
        // Reads 1 MiB ranges, sequential and scattered, until they fail.
        std::thread reader([&] {
            std::int64_t offset = 0;
            for (int i = 0; i < 4000 && !failed.load(); ++i) {
                offset = i % 3 == 2 ? (offset * 7 + 12345) % (1LL << 31) : offset + (1 << 20);
                reading = true;
                const auto data = client->read(fd, offset, 1 << 20);
                reading = false;
                if (!data) {
                    failed = true;
                } else if (data->size() != 1u << 20) {
                    shortReads.push_back(data->size());
                }
                ++reads;
            }
        });
        // Kills the connection while a read is under way, after a few whole ones.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((reads.load() < 5 + round * 7 || !reading.load()) && !failed.load() &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::yield();
        }
        EXPECT_GT(server.signalConnections(SIGKILL), 0u);
        reader.join();
        EXPECT_TRUE(failed.load()) << "reads go on failing once the connection is gone";
        EXPECT_TRUE(shortReads.empty()) << "a read came back short: " << shortReads.front();
        EXPECT_FALSE(client->isConnected());
        client->close(fd);
    }
}

TEST_F(SftpClient, FoldersAreNoFilesAndFilesNoFolders) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    EXPECT_EQ(client->open(remote("movies")), nullptr) << "a folder fails at open";
    EXPECT_NE(client->session()->lastError().value_or("").find("Is a directory"), std::string::npos);

    const auto to = scratch_ / "movies";
    auto error = await<OstraneErrorRef>([&](auto done) {
        client->download(remote("movies"), platform::URL::fileURLWithPath(to.string()), done);
    });
    ASSERT_TRUE(error && *error) << "downloading a folder fails";
    EXPECT_NE((*error)->description().find("Is a directory"), std::string::npos) << (*error)->description();
    EXPECT_TRUE(fs::is_empty(scratch_)) << "nothing is left behind";

    auto asFolder = OstraneDirectory::make(remote("a.mkv"));
    const auto [contents, listError] = list(client, asFolder);
    EXPECT_FALSE(contents);
    ASSERT_TRUE(listError);
    EXPECT_NE(listError->description().find("Not a directory"), std::string::npos) << listError->description();
    const auto [fileNames, namesError] = names(client, remote("a.mkv"));
    EXPECT_FALSE(fileNames);
    ASSERT_TRUE(namesError);
    EXPECT_NE(namesError->description().find("Not a directory"), std::string::npos) << namesError->description();
}

TEST_F(SftpClient, NamesAreExactBytes) {
    auto client = clientOf(*server_);
    ASSERT_FALSE(login(client));
    const auto [contents, error] = list(client, OstraneDirectory::make(remote("bytes")));
    ASSERT_TRUE(contents) << error->description();
    std::vector<std::string> listed;
    for (const auto& c : *contents) listed.push_back(c->name());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"x%E9t%E9.mkv", latin1Name}));
    const auto [list, namesError] = names(client, remote("bytes"));
    ASSERT_TRUE(list);
    EXPECT_EQ(std::set<std::string>(list->begin(), list->end()), (std::set<std::string>{"x%E9t%E9.mkv", latin1Name}));

    auto fd = client->open(remote("bytes/" + latin1Name));
    ASSERT_NE(fd, nullptr);
    auto data = client->read(fd, 0, 100);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "latin-1 name\n");
    client->close(fd);

    const auto to = scratch_ / "latin1.mkv";
    auto downloaded = await<OstraneErrorRef>([&](auto done) {
        client->download(remote("bytes/" + latin1Name), platform::URL::fileURLWithPath(to.string()), done);
    });
    ASSERT_TRUE(downloaded);
    EXPECT_FALSE(*downloaded);
    EXPECT_EQ(readFile(to), "latin-1 name\n");
}

TEST_F(SftpClient, ALoginThatCannotConnectSaysWhy) {
    auto info = server_->record();
    info.port = ostrane_test::freeLoopbackPort();
    auto client = NMSSHClient::make(info);
    const auto error = login(client);
    ASSERT_TRUE(error);
    EXPECT_NE(error->description().find("127.0.0.1"), std::string::npos) << error->description();
    EXPECT_FALSE(client->isConnected());

    info.port = 70000;
    EXPECT_TRUE(login(NMSSHClient::make(info)));
}

}  // namespace
