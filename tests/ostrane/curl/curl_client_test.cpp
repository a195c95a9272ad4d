// test-labels: ftp tsan
// The FTP client's own behaviour beyond the shared suite: addresses and credentials, listings with
// links and summary lines, ranged reads, downloads that fail cleanly, a released client, and a
// large download in bounded memory.
#include "FTPTestServer.hpp"
#include "ostrane/ClientFactory.hpp"
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/curl/CURLClient.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/base/Trace.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/Wait.hpp"
#include "support/ServerScript.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Ostrane;
using ostrane_test::await;
using ostrane_test::FTPTestServer;

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251 + 1) & 0xFF);
    return bytes;
}

std::string readLocal(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Larger than the socket buffers, so the server is held back while nobody reads.
constexpr std::size_t streamSize = 24 << 20;

FTPTestServer& server(FTPTestServer::Kind kind) {
    static std::map<FTPTestServer::Kind, std::unique_ptr<FTPTestServer>> servers;
    auto& s = servers[kind];
    if (!s) {
        ostrane_test::useMemoryKeychain();
        s = std::make_unique<FTPTestServer>(kind);
        s->write("Movies/a b.mkv", "not a real movie\n");
        s->write("Movies/c.mkv", "c\n");
        s->write("Movies/.hidden.mkv", "hidden\n");
        std::filesystem::create_directories(s->root() / "Movies" / "Extras");
        std::filesystem::create_symlink("Movies", s->root() / "latest");
        std::filesystem::create_symlink("pattern.bin", s->root() / "pattern  link");
        std::filesystem::create_symlink("nowhere", s->root() / "dangling");
        s->write("empty.txt", "");
        s->write("pattern.bin", pattern(100000));
        s->write("stream.bin", pattern(streamSize));
        s->write("Latin1/ok.mkv", "ok\n");
        s->write("Latin1/\xE9t\xE9.mkv", "latin-1 name\n");
        s->start();
    }
    return *s;
}

class CURLClientTest : public ::testing::TestWithParam<FTPTestServer::Kind> {
protected:
    void SetUp() override {
        std::string folder = (std::filesystem::temp_directory_path() / "ostrane-ftp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        scratch_ = folder;
        if (ftp().tls()) ::setenv("SSL_CERT_FILE", ftp().certificate().c_str(), 1);
    }
    void TearDown() override {
        for (const auto& info : records_) info.cleanup();
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    FTPTestServer& ftp() { return server(GetParam()); }

    OstraneInfo record(const std::optional<std::string>& password = FTPTestServer::password) {
        OstraneInfo info(OstraneType::ftp);
        info.host = ftp().recordHost();
        info.port = ftp().port();
        info.username = FTPTestServer::user;
        info.setPassword(password);
        records_.push_back(info);
        return info;
    }
    std::shared_ptr<CURLClient> client(const std::optional<std::string>& password = FTPTestServer::password) {
        auto c = CURLClient::make(record(password));
        c->setTimeout(ostrane_test::hangLimit);
        return c;
    }
    OstraneErrorRef login(const std::shared_ptr<CURLClient>& c) {
        auto result = await<OstraneErrorRef>([&](auto done) { c->login(done); });
        return result ? *result : OstraneError::make("no answer");
    }
    using Listing = std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>;
    Listing list(const std::shared_ptr<CURLClient>& c, const std::shared_ptr<OstranePathComponent>& directory) {
        auto result = await<Listing>([&](auto done) {
            c->contents(directory, [done](auto contents, auto error) { done({std::move(contents), error}); });
        });
        return result ? *result : Listing{std::nullopt, OstraneError::make("no answer")};
    }
    OstraneErrorRef download(const std::shared_ptr<CURLClient>& c, const std::string& path,
                             const std::filesystem::path& to) {
        auto result = await<OstraneErrorRef>(
            [&](auto done) { c->download(path, platform::URL::fileURLWithPath(to.string(), false), done); });
        return result ? *result : OstraneError::make("no answer");
    }

    std::filesystem::path scratch_;
    std::vector<OstraneInfo> records_;
};

TEST_P(CURLClientTest, LoginListsAndOnlyASuccessConnects) {
    std::vector<std::string> traced;
    std::mutex tracedMutex;
    Util::setTraceSink([&](const Util::TraceLine& line) {
        std::lock_guard lock(tracedMutex);
        for (const auto& m : line.messages) traced.push_back(line.file + ":" + std::to_string(line.line) + " " + m);
    });
    auto good = client();
    EXPECT_FALSE(login(good));
    EXPECT_TRUE(good->isConnected());

    const std::string wrong = "Not-The-Password-77";
    auto bad = client(wrong);
    const auto error = login(bad);
    ASSERT_TRUE(error);
    EXPECT_FALSE(bad->isConnected());
    EXPECT_EQ(error->description().find(wrong), std::string::npos) << error->description();
    Util::setTraceSink(nullptr);

    // A password corrected in the keychain is the one the next login uses.
    bad->info().setPassword(std::string(FTPTestServer::password));
    EXPECT_FALSE(login(bad));
    EXPECT_TRUE(bad->isConnected());

    std::lock_guard lock(tracedMutex);
    ASSERT_FALSE(traced.empty());
    EXPECT_NE(traced.front().find("Ostrane/CURL/CURLClient:44"), std::string::npos) << traced.front();
    EXPECT_NE(traced.front().find("Movies"), std::string::npos) << traced.front();
    for (const auto& line : traced) {
        EXPECT_EQ(line.find(FTPTestServer::password), std::string::npos) << line;
        EXPECT_EQ(line.find(wrong), std::string::npos) << line;
    }
}

TEST_P(CURLClientTest, ListingKeepsDirectoriesLinksAndNamesWithBlanks) {
    auto c = client();
    ASSERT_FALSE(login(c));
    auto [top, error] = list(c, c->baseDirItem());
    ASSERT_FALSE(error) << error->description();
    ASSERT_TRUE(top);
    std::map<std::string, std::shared_ptr<OstranePathComponent>> byName;
    for (const auto& e : *top) byName[e->name()] = e;
    // Links are listed under their own names, with what they lead to.
    ASSERT_TRUE(byName.count("latest"));
    auto latest = std::dynamic_pointer_cast<OstraneSymbolicLink>(byName["latest"]);
    ASSERT_NE(latest, nullptr);
    ASSERT_NE(latest->target(), nullptr);
    EXPECT_EQ(latest->target()->type(), OstraneFileType::directory);
    EXPECT_TRUE(latest->isDirectory());
    auto toFile = std::dynamic_pointer_cast<OstraneSymbolicLink>(byName["pattern  link"]);
    ASSERT_NE(toFile, nullptr) << "names keep their runs of blanks";
    auto fileTarget = std::dynamic_pointer_cast<OstraneFile>(toFile->target());
    ASSERT_NE(fileTarget, nullptr);
    EXPECT_EQ(fileTarget->size(), 100000);
    EXPECT_EQ(fileTarget->path(), "/pattern  link");
    EXPECT_FALSE(toFile->isDirectory());
    auto dangling = std::dynamic_pointer_cast<OstraneSymbolicLink>(byName["dangling"]);
    ASSERT_NE(dangling, nullptr);
    EXPECT_EQ(dangling->target(), nullptr) << "a link that leads nowhere is not listed into";
    EXPECT_FALSE(dangling->isDirectory());

    auto [throughLink, linkError] = list(c, latest->target());
    ASSERT_FALSE(linkError) << linkError->description();
    ASSERT_TRUE(throughLink);
    EXPECT_EQ(throughLink->size(), 3u);
    EXPECT_FALSE(download(c, fileTarget->path(), scratch_ / "through link.bin"));
    EXPECT_EQ(readLocal(scratch_ / "through link.bin"), pattern(100000));
    auto rootNames = await<std::pair<std::optional<std::vector<std::string>>, OstraneErrorRef>>([&](auto done) {
        c->contents(std::string("/"), [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_TRUE(rootNames && rootNames->first);
    const std::set<std::string> rootFiles(rootNames->first->begin(), rootNames->first->end());
    EXPECT_TRUE(rootFiles.count("pattern  link")) << "a link to a file is one of the folder's files";
    EXPECT_FALSE(rootFiles.count("dangling"));
    EXPECT_FALSE(rootFiles.count("latest"));

    ASSERT_TRUE(byName.count("pattern.bin"));
    EXPECT_EQ(std::dynamic_pointer_cast<OstraneFile>(byName["pattern.bin"])->size(), 100000);
    EXPECT_EQ(std::dynamic_pointer_cast<OstraneFile>(byName["empty.txt"])->size(), 0);

    auto [movies, moviesError] = list(c, byName["Movies"]);
    ASSERT_TRUE(movies);
    std::vector<std::string> names;
    for (const auto& e : *movies) names.push_back(e->name());
    EXPECT_EQ(names, (std::vector<std::string>{"Extras", "a b.mkv", "c.mkv"}));
    EXPECT_EQ((*movies)[1]->path(), "/Movies/a b.mkv");

    auto files = await<std::pair<std::optional<std::vector<std::string>>, OstraneErrorRef>>([&](auto done) {
        c->contents(std::string("/Movies"), [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_TRUE(files && files->first);
    EXPECT_EQ(std::set<std::string>(files->first->begin(), files->first->end()),
              (std::set<std::string>{"a b.mkv", "c.mkv"}));
}

// Names that are not UTF-8 cannot be carried further; the rest of the listing stays.
TEST_P(CURLClientTest, NamesThatAreNotUTF8AreSkipped) {
    auto c = client();
    ASSERT_FALSE(login(c));
    auto [contents, error] = list(c, OstraneDirectory::make("Latin1", c->baseDirItem()));
    ASSERT_FALSE(error) << error->description();
    ASSERT_TRUE(contents);
    std::vector<std::string> names;
    for (const auto& e : *contents) names.push_back(e->name());
    // vsftpd sends the name's bytes as they are; pyftpdlib sends "?" for each byte it cannot decode.
    if (GetParam() == FTPTestServer::Kind::vsftpd) {
        EXPECT_EQ(names, std::vector<std::string>{"ok.mkv"});
    } else {
        EXPECT_EQ(names, (std::vector<std::string>{"?t?.mkv", "ok.mkv"}));
    }

    auto broken = await<std::pair<std::optional<std::vector<std::string>>, OstraneErrorRef>>([&](auto done) {
        c->contents(std::string("/Latin1\r\nRMD Latin1"), [done](auto list, auto error) { done({std::move(list), error}); });
    });
    ASSERT_TRUE(broken);
    ASSERT_TRUE(broken->second);
    EXPECT_EQ(broken->second->description(), "invalid address");
    EXPECT_TRUE(std::filesystem::exists(ftp().root() / "Latin1"));
}

// A failed listing is reported and not remembered as an empty folder.
TEST_P(CURLClientTest, AFailedListingLeavesTheDirectoryUnlisted) {
    auto c = client();
    ASSERT_FALSE(login(c));
    auto later = OstraneDirectory::make("Later", c->baseDirItem());
    auto [first, error] = list(c, later);
    EXPECT_TRUE(error);
    EXPECT_TRUE(!first || first->empty());
    EXPECT_FALSE(later->contents());

    ftp().write("Later/now.mkv", "now\n");
    auto [second, secondError] = list(c, later);
    EXPECT_FALSE(secondError);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->size(), 1u);
    EXPECT_EQ((*second)[0]->name(), "now.mkv");
    std::filesystem::remove_all(ftp().root() / "Later");
}

TEST_P(CURLClientTest, RangedReads) {
    auto c = client();
    ASSERT_FALSE(login(c));
    auto fd = c->open("/pattern.bin");
    ASSERT_NE(fd, nullptr);
    ASSERT_EQ(c->fileSize(fd), 100000);
    const auto bytes = pattern(100000);
    const struct {
        const char* where;
        std::int64_t offset;
        std::ptrdiff_t size;
        std::optional<std::size_t> expected;  // none: no answer
    } cases[] = {
        {"start", 0, 4096, 4096},
        {"100 for 50", 100, 50, 50},
        {"middle", 40000, 30000, 30000},
        {"short at the end", 99990, 100, 10},
        {"last byte", 99999, 1, 1},
        {"at the end", 100000, 10, 0},
        {"past the end", 250000, 10, 0},
        {"size 0", 10, 0, std::nullopt},
        {"negative size", 10, -5, std::nullopt},
        {"negative offset", -1, 10, std::nullopt},
        {"offset plus size past 64 bits", std::numeric_limits<std::int64_t>::max() - 2, 10, std::nullopt},
    };
    for (const auto& r : cases) {
        SCOPED_TRACE(r.where);
        const auto data = c->read(fd, r.offset, r.size);
        ASSERT_EQ(data.has_value(), r.expected.has_value());
        if (!data) continue;
        ASSERT_EQ(data->size(), *r.expected);
        if (*r.expected) {
            EXPECT_EQ(std::string(data->begin(), data->end()), bytes.substr(std::size_t(r.offset), *r.expected));
        }
    }

    auto empty = c->open("/empty.txt");
    ASSERT_NE(empty, nullptr) << "a file of no bytes opens";
    EXPECT_EQ(c->fileSize(empty), 0);
    EXPECT_EQ(c->read(empty, 0, 10), OstraneClient::Bytes{});

    EXPECT_EQ(c->open("/no such file.mkv"), nullptr);
    EXPECT_EQ(c->open("/Movies"), nullptr) << "a folder is not a file";
    EXPECT_EQ(c->open(""), nullptr);
    EXPECT_EQ(c->open("/Movies/"), nullptr);
    EXPECT_EQ(c->open("/pattern.bin\r\nDELE pattern.bin"), nullptr);

    class Foreign : public NetworkFileDescriptor {};
    auto foreign = std::make_shared<Foreign>();
    EXPECT_FALSE(c->fileSize(foreign));
    EXPECT_FALSE(c->read(foreign, 0, 10));
    c->close(fd);
}

// Reads in order come from one transfer; a read elsewhere starts another on the same login. Each
// answers the whole range asked, fewer bytes only at the end of the file.
TEST_P(CURLClientTest, ReadsKeepTheirLoginAndAnswerWholeRanges) {
    auto c = client();
    auto fd = std::dynamic_pointer_cast<CURLClientFileDescriptor>(c->open("/stream.bin"));
    ASSERT_NE(fd, nullptr);
    ASSERT_EQ(fd->size, std::int64_t(streamSize));
    const auto bytes = pattern(streamSize);
    constexpr std::int64_t MiB = 1 << 20;
    const struct {
        const char* what;
        std::int64_t offset;
        std::ptrdiff_t size;
    } steps[] = {
        {"first", 0, MiB},
        {"in order", MiB, 3 * MiB},
        {"in order, odd size", 4 * MiB, 12345},
        {"a little ahead", 4 * MiB + 12345 + 1000, 4096},
        {"back, while the server is held back", 100, 4 * MiB},
        {"far ahead", 20 * MiB, MiB},
        {"across the end", std::int64_t(streamSize) - 1000, MiB},
        {"after the transfer ended", 5 * MiB, 100},
        {"the last byte", std::int64_t(streamSize) - 1, 1},
        {"at the end", std::int64_t(streamSize), 10},
        {"the whole file", 0, std::ptrdiff_t(streamSize)},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto data = c->read(fd, step.offset, step.size);
        ASSERT_TRUE(data);
        const auto expected = step.offset >= std::int64_t(streamSize)
                                  ? std::string()
                                  : bytes.substr(std::size_t(step.offset), std::size_t(step.size));
        ASSERT_EQ(data->size(), expected.size());
        EXPECT_TRUE(std::string(data->begin(), data->end()) == expected);
    }
    EXPECT_EQ(fd->handle->logins(), 1) << "one login for the open file";

    c->close(fd);
    EXPECT_FALSE(c->read(fd, 0, 10)) << "a closed file reads nothing";
    c->close(fd);
}

TEST_P(CURLClientTest, DownloadsReplaceOrLeaveNothing) {
    auto c = client();
    ASSERT_FALSE(login(c));
    const auto target = scratch_ / "copy.bin";
    std::ofstream(target) << "old content";
    EXPECT_FALSE(download(c, "/pattern.bin", target));
    EXPECT_EQ(readLocal(target), pattern(100000));
    const std::string longName(250, 'n');
    EXPECT_FALSE(download(c, "/empty.txt", scratch_ / longName));
    EXPECT_TRUE(std::filesystem::exists(scratch_ / longName));
    std::filesystem::remove(scratch_ / longName);
    EXPECT_FALSE(download(c, "/empty.txt", scratch_ / "empty.txt"));
    EXPECT_TRUE(std::filesystem::exists(scratch_ / "empty.txt"));
    EXPECT_EQ(std::filesystem::file_size(scratch_ / "empty.txt"), 0u);

    const struct {
        const char* what;
        std::string remote;
        std::filesystem::path local;
        const char* text;  // expected error text, when fixed
    } failures[] = {
        {"missing file", "/no such.mkv", scratch_ / "missing.mkv", nullptr},
        {"a directory", "/Movies", scratch_ / "movies", "Cannot download /Movies: it is a folder"},
        {"a path ending in /", "/Movies/", scratch_ / "movies", "Cannot download /Movies/: it is a folder"},
        {"the empty path", "", scratch_ / "root", "Cannot download /: it is a folder"},
        {"a line break in the path", "/a\r\nDELE pattern.bin", scratch_ / "x", "invalid address"},
        {"a missing local folder", "/pattern.bin", scratch_ / "no folder" / "x", nullptr},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        const auto error = download(c, f.remote, f.local);
        ASSERT_TRUE(error);
        if (f.text) {
            EXPECT_EQ(error->description(), f.text);
        }
        EXPECT_FALSE(std::filesystem::exists(f.local));
    }
    std::set<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(scratch_)) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"copy.bin", "empty.txt"})) << "no temporary file stays behind";
    EXPECT_TRUE(std::filesystem::exists(ftp().root() / "pattern.bin"));
}

// The registry serves ranged reads of FTP files through the handle as well, though the host
// plays FTP media from their address.
TEST_P(CURLClientTest, RangedReadsThroughTheRegistry) {
    auto info = record();
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = *platform::URL::parse("calvora-internal://" + info.identifier + "/pattern.bin");
    EXPECT_TRUE(manager->canHandle(url));
    EXPECT_FALSE(manager->isResponsibleForStreaming(url));
    const auto address = manager->serverClient(url)->address(url);
    ASSERT_TRUE(address);
    const auto scheme = ftp().recordHost().substr(0, ftp().recordHost().find("://") + 3);
    EXPECT_EQ(*address, (ftp().tls() ? scheme : "ftp://") + ftp().hostPort() + "/pattern.bin");

    // The address plays: the curl program fetches it with the credentials userpassword gives. It
    // reads "ftps" as implicit TLS; "ftpes" is what it calls "ftp" with TLS demanded.
    const auto credentials = manager->serverClient(url)->userpassword(url);
    ASSERT_TRUE(credentials && credentials->first && credentials->second);
    std::string playable = *address, tlsArguments;
    if (playable.rfind("ftpes://", 0) == 0) playable = "ftp://" + playable.substr(8);
    if (ftp().tls()) tlsArguments = "--ssl-reqd --cacert " + ostrane_test::shellQuote(ftp().certificate().string()) + " ";
    const auto played = scratch_ / "played.bin";
    std::string output;
    EXPECT_EQ(ostrane_test::runCommand("curl -sS --max-time 60 " + tlsArguments + "--user " +
                                           ostrane_test::shellQuote(*credentials->first + ":" + *credentials->second) +
                                           " -o " + ostrane_test::shellQuote(played.string()) + " " +
                                           ostrane_test::shellQuote(playable),
                                       90, &output),
              0)
        << output;
    EXPECT_EQ(readLocal(played), pattern(100000));

    auto handle = NetworkFileHandle::make(url);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(handle->open());
    EXPECT_EQ(handle->size(), 100000);
    const auto bytes = pattern(100000);
    for (std::int64_t offset : {std::int64_t(0), std::int64_t(65536), std::int64_t(99000)}) {
        const auto data = handle->read(offset, 4096);
        ASSERT_TRUE(data);
        const auto expected = bytes.substr(std::size_t(offset), 4096);
        EXPECT_EQ(std::string(data->begin(), data->end()), expected) << offset;
    }
    handle->close();
    manager->close(info);
    manager->setServerInfos({});
}

// Work queued for a client that is gone still answers, once.
TEST_P(CURLClientTest, AReleasedClientStillAnswers) {
    auto c = client();
    auto queue = c->queue();
    std::atomic<bool> release{false};
    queue->async([&] {
        ostrane_test::waitUntil([&] { return release.load(); });
    });
    auto directory = OstraneDirectory::make("/");
    std::atomic<int> listed{0}, downloaded{0};
    OstraneErrorRef listError, downloadError;
    c->contents(directory, [&](auto, auto error) {
        listError = error;
        ++listed;
    });
    c->download("/pattern.bin", platform::URL::fileURLWithPath((scratch_ / "x").string(), false), [&](auto error) {
        downloadError = error;
        ++downloaded;
    });
    c.reset();
    release = true;
    queue->sync([] {});
    EXPECT_EQ(listed.load(), 1);
    EXPECT_EQ(downloaded.load(), 1);
    EXPECT_TRUE(listError);
    ASSERT_TRUE(downloadError);
    EXPECT_EQ(downloadError->description(), "invalid address");
    EXPECT_FALSE(std::filesystem::exists(scratch_ / "x"));
}

INSTANTIATE_TEST_SUITE_P(FTP, CURLClientTest,
                         ::testing::Values(FTPTestServer::Kind::pyftpdlib, FTPTestServer::Kind::vsftpd,
                                           FTPTestServer::Kind::pyftpdlibTLS,
                                           FTPTestServer::Kind::pyftpdlibImplicitTLS),
                         [](const auto& info) { return FTPTestServer::name(info.param); });

// Addresses and credentials come from the record alone; no server is asked.
TEST(CURLClientAddress, AddressesAndCredentials) {
    ostrane_test::useMemoryKeychain();
    const auto internal = [](const std::string& path) {
        return *platform::URL::parse("calvora-internal://ID" + path);
    };
    const struct {
        const char* what;
        std::string host;
        std::optional<std::int64_t> port;
        std::string username;
        std::optional<std::string> address;  // of /films/a%20b.mkv
        std::optional<std::string> user;
    } cases[] = {
        {"plain host", "media.example", std::nullopt, "anna", "ftp://media.example/films/a%20b.mkv", "anna"},
        {"with port", "media.example", 2121, " anna\n", "ftp://media.example:2121/films/a%20b.mkv", "anna"},
        {"scheme already written", "FTP://media.example", 21, "anna", "ftp://media.example:21/films/a%20b.mkv", "anna"},
        {"implicit TLS", "ftps://media.example", std::nullopt, "anna", "ftps://media.example/films/a%20b.mkv", "anna"},
        {"explicit TLS", "ftpes://media.example", 21, "anna", "ftpes://media.example:21/films/a%20b.mkv", "anna"},
        {"scheme in capitals", "FTPES://media.example", std::nullopt, "anna", "ftpes://media.example/films/a%20b.mkv", "anna"},
        {"blank user", "media.example", std::nullopt, " \t ", "ftp://media.example/films/a%20b.mkv", std::nullopt},
        {"IPv6 literal", "::1", 2121, "anna", "ftp://[::1]:2121/films/a%20b.mkv", "anna"},
        {"port out of range", "media.example", 70000, "anna", std::nullopt, "anna"},
        {"no host", "", std::nullopt, "anna", std::nullopt, "anna"},
        {"blank in host", "media example", std::nullopt, "anna", std::nullopt, "anna"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OstraneInfo info(OstraneType::ftp);
        info.host = c.host;
        info.port = c.port;
        info.username = c.username;
        info.setPassword("s3cret pass#?");
        auto client = makeClient(info);
        ASSERT_NE(std::dynamic_pointer_cast<CURLClient>(client), nullptr) << "FTP records get the FTP client";
        EXPECT_EQ(client->address(internal("/films/a%20b.mkv")), c.address);
        const auto credentials = client->userpassword(internal("/"));
        ASSERT_TRUE(credentials);
        EXPECT_EQ(credentials->first, c.user);
        EXPECT_EQ(credentials->second, "s3cret pass#?");
        if (!c.address) {
            auto error = await<OstraneErrorRef>([&](auto done) { client->login(done); });
            ASSERT_TRUE(error && *error);
            EXPECT_EQ((*error)->description(), "Invalid url");
            EXPECT_FALSE(client->isConnected());
        }
        info.cleanup();
    }

    OstraneInfo info(OstraneType::ftp);
    info.host = "media.example";
    auto client = makeClient(info);
    EXPECT_EQ(client->address(internal("/a%23b%3F%25c.mkv")), "ftp://media.example/a%23b%3F%25c.mkv");
    EXPECT_EQ(client->baseDir(), "/");
    EXPECT_EQ(client->baseDirItem()->name(), "/");
    const auto credentials = client->userpassword(internal("/"));
    ASSERT_TRUE(credentials);
    EXPECT_FALSE(credentials->first);
    EXPECT_FALSE(credentials->second);
}

// Peak resident memory of the process, in bytes, since the last reset.
std::int64_t peakResident() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

TEST(CURLClientLarge, AGibibyteDownloadsInBoundedMemory) {
    auto& vsftpd = server(FTPTestServer::Kind::vsftpd);
    const std::int64_t size = 1LL << 30;
    const auto remote = vsftpd.root() / "large.bin";
    {
        // Sparse, with marks at both ends to show the bytes arrive in order.
        std::ofstream out(remote, std::ios::binary);
        out << "first";
        out.seekp(size - 4);
        out << "last";
    }
    ::chmod(remote.c_str(), 0644);
    std::string folder = (std::filesystem::temp_directory_path() / "ostrane-ftp-large-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    const auto local = std::filesystem::path(folder) / "large.bin";

    OstraneInfo info(OstraneType::ftp);
    info.host = "127.0.0.1";
    info.port = vsftpd.port();
    info.username = FTPTestServer::user;
    info.setPassword(std::string(FTPTestServer::password));
    auto client = CURLClient::make(info);

    std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak count here
    const auto before = peakResident();
    auto error = await<OstraneErrorRef>(
        [&](auto done) { client->download("/large.bin", platform::URL::fileURLWithPath(local.string(), false), done); },
        std::chrono::seconds(600));
    const auto after = peakResident();
    ASSERT_TRUE(error);
    EXPECT_FALSE(*error) << (*error)->description();
    EXPECT_EQ(std::int64_t(std::filesystem::file_size(local)), size);
    std::ifstream in(local, std::ios::binary);
    std::string head(5, '\0'), tail(4, '\0');
    in.read(head.data(), 5);
    in.seekg(size - 4);
    in.read(tail.data(), 4);
    EXPECT_EQ(head, "first");
    EXPECT_EQ(tail, "last");
    EXPECT_LT(after - before, 128LL << 20) << "peak grew from " << before << " to " << after;

    info.cleanup();
    std::filesystem::remove_all(folder);
    std::filesystem::remove(remote);
}

}  // namespace
