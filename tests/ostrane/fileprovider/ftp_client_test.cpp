// test-labels: ftp tsan
// A FileProviderClient made directly for an FTP record drives the FTP provider against pyftpdlib.
#include "fileprovider/core/FileProvider.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "ostrane/fileprovider/FileProviderClient.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

using namespace Ostrane;
using ostrane_test::await;
using ostrane_test::FTPTestServer;
namespace fs = std::filesystem;

namespace {

const std::string trailer = "not a real movie, seventeen and more bytes\n";

class FTPBridge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ostrane_test::useMemoryKeychain();
        server_ = new FTPTestServer(FTPTestServer::Kind::pyftpdlib);
        server_->write("README.txt", "read me\n");
        server_->write("Movies/Trailer #1.mkv", trailer);
        server_->write(".hidden", "hidden\n");
        fs::create_directories(server_->root() / "Empty");
        server_->start();
    }
    static void TearDownTestSuite() {
        server_->stop();
        delete server_;
    }

    void SetUp() override {
        info_.host = "127.0.0.1";
        info_.port = server_->port();
        info_.username = FTPTestServer::user;
        info_.setPassword(std::string(FTPTestServer::password));
        client_ = makeClient(info_);
    }
    void TearDown() override { info_.cleanup(); }

    static std::shared_ptr<FileProviderClient> makeClient(const OstraneInfo& info) {
        auto client = FileProviderClient::make(info);
        client->setTimeout(ostrane_test::hangLimit);
        return client;
    }
    static OstraneErrorRef login(const std::shared_ptr<FileProviderClient>& client) {
        return *await<OstraneErrorRef>([&](auto done) { client->login(done); });
    }
    using Listing = std::pair<std::optional<OstranePathComponent::Contents>, OstraneErrorRef>;
    Listing list(const std::shared_ptr<OstranePathComponent>& dir) {
        return *await<Listing>([&](auto done) {
            client_->contents(dir, [done](auto list, auto error) { done({std::move(list), error}); });
        });
    }
    OstraneErrorRef download(const std::string& file, const fs::path& to) {
        return *await<OstraneErrorRef>([&](auto done) {
            client_->download(file, platform::URL::fileURLWithPath(to.string()), done);
        });
    }

    static FTPTestServer* server_;
    OstraneInfo info_{OstraneType::ftp};
    std::shared_ptr<FileProviderClient> client_;
};

FTPTestServer* FTPBridge::server_ = nullptr;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_F(FTPBridge, LogsInListsAndDownloads) {
    ASSERT_EQ(login(client_), nullptr);
    EXPECT_TRUE(client_->isConnected());
    const auto base = client_->provider()->fileProvider()->baseURL();
    ASSERT_TRUE(base);
    EXPECT_EQ(base->absoluteString(), "ftp://127.0.0.1:" + std::to_string(server_->port()) + "/");

    const auto [root, error] = list(client_->baseDirItem());
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(root);
    std::map<std::string, std::shared_ptr<OstranePathComponent>> tree;
    for (const auto& node : *root)
        tree[node->name()] = node;
    EXPECT_EQ(tree.size(), 3u) << "the dot name is left out";
    ASSERT_TRUE(tree.count("README.txt") && tree.count("Movies") && tree.count("Empty"));
    EXPECT_EQ(tree["README.txt"]->type(), OstraneFileType::file);
    EXPECT_EQ(std::dynamic_pointer_cast<OstraneFile>(tree["README.txt"])->size(), 8);
    EXPECT_EQ(tree["Movies"]->type(), OstraneFileType::directory);
    EXPECT_TRUE(client_->baseDirItem()->contents()) << "a listing is kept on its directory";

    const auto [movies, moviesError] = list(tree["Movies"]);
    ASSERT_EQ(moviesError, nullptr);
    ASSERT_TRUE(movies);
    ASSERT_EQ(movies->size(), 1u);
    EXPECT_EQ(movies->front()->name(), "Trailer #1.mkv");
    EXPECT_EQ(movies->front()->path(), "/Movies/Trailer #1.mkv");
    EXPECT_EQ(std::dynamic_pointer_cast<OstraneFile>(movies->front())->size(),
              static_cast<std::int64_t>(trailer.size()));

    const auto names = *await<std::pair<std::optional<std::vector<std::string>>, OstraneErrorRef>>([&](auto done) {
        client_->contents("/", [done](auto names, auto error) { done({std::move(names), error}); });
    });
    ASSERT_EQ(names.second, nullptr);
    ASSERT_TRUE(names.first);
    EXPECT_EQ(std::set<std::string>(names.first->begin(), names.first->end()),
              (std::set<std::string>{"README.txt", ".hidden"}))
        << "regular files only, dot names kept";

    const auto target = fs::temp_directory_path() / ("ostrane-ftp-bridge-" + std::to_string(::getpid()) + ".mkv");
    fs::remove(target);
    ASSERT_EQ(download(tree["Movies"]->path() + "/Trailer #1.mkv", target), nullptr);
    EXPECT_EQ(contentOf(target), trailer);

    // A file that is not there leaves the earlier download in place.
    const auto missing = download("/Movies/none.mkv", target);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(contentOf(target), trailer);
    fs::remove(target);

    auto fd = client_->open("/Movies/Trailer #1.mkv");
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(client_->fileSize(fd), static_cast<std::int64_t>(trailer.size()));
    EXPECT_EQ(client_->open("/Movies/none.mkv"), nullptr);

    const auto address = client_->address(*platform::URL::parse("calvora-internal://ID/Movies/Trailer%20%231.mkv"));
    EXPECT_EQ(address, "ftp://" + std::string(FTPTestServer::user) + ":" + FTPTestServer::password +
                           "@127.0.0.1:" + std::to_string(server_->port()) + "/Movies/Trailer%20%231.mkv");
}

TEST_F(FTPBridge, AWrongPasswordFailsTheLoginAndTheListing) {
    info_.setPassword(std::string("Not-The-Ftp-Pass-3"));
    auto client = makeClient(info_);
    const auto error = login(client);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->description(), "Failed to connect");
    EXPECT_FALSE(client->isConnected());

    client_ = client;
    auto movies = OstraneDirectory::make("Movies", client_->baseDirItem());
    const auto [contents, listError] = list(movies);
    EXPECT_FALSE(contents);
    ASSERT_NE(listError, nullptr);
    EXPECT_EQ(listError->description().find("Not-The-Ftp-Pass-3"), std::string::npos) << listError->description();
    EXPECT_FALSE(movies->contents()) << "a failed listing is not cached as empty";

    info_.setPassword(std::string(FTPTestServer::password));
    EXPECT_EQ(login(client), nullptr) << "the password is read again at each login";
    EXPECT_TRUE(client->isConnected());
    const auto [again, againError] = list(movies);
    EXPECT_EQ(againError, nullptr);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->size(), 1u);
}

TEST_F(FTPBridge, UnusableHostsFailTheLogin) {
    struct Case {
        std::string host;
        std::optional<std::int64_t> port;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"bad host name", std::nullopt, "invalid addresss"},
        {"127.0.0.1", 0, "invalid addresss"},
        {"http://127.0.0.1", server_->port(), "invalid addresss"},
        {"127.0.0.1", ostrane_test::freeLoopbackPort(), "Failed to connect"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        auto info = info_;
        info.host = c.host;
        info.port = c.port;
        auto client = makeClient(info);
        const auto started = std::chrono::steady_clock::now();
        const auto error = login(client);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->description(), c.error);
        EXPECT_FALSE(client->isConnected());
        EXPECT_LT(std::chrono::steady_clock::now() - started, ostrane_test::hangLimit / 2);
    }
}
