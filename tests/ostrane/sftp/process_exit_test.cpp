// test-labels: sftp
// Programs that end while SFTP is in use: right after closing a stream (as ostrane-cli does),
// in the middle of a download, and with handles still open in a global container. Each ends at
// once with its own exit status: nothing may still talk to libssh while the process tears the
// crypto library down, and no temporary file of the download is left beside its destination.

#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "SshServer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Ostrane;
using ostrane_test::SshServer;

// Where the parent's server is, for the child process the death test starts.
constexpr const char* servedVariable = "OSTRANE_TEST_SFTP_EXIT_SERVED";
constexpr std::size_t filmSize = 4 << 20;
// Larger than what a child downloads before it ends.
constexpr std::int64_t hugeSize = 8LL << 30;

// Handles a program keeps to the end: destroyed by static destruction, after the exit handlers.
std::vector<std::shared_ptr<NetworkFileHandle>> heldHandles;
std::vector<std::shared_ptr<NetworkFileDescriptor>> heldDescriptors;

// What every exit does (the crypto library registers its cleanup with atexit), then a moment in
// which the process still lives, as a host application's teardown takes.
void tearDownCryptoAndLinger() {
    OPENSSL_cleanup();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

struct Served {
    std::string port, root, knownHosts, landing;
};

Served servedOf(const std::string& text) {
    std::istringstream lines(text);
    Served served;
    std::getline(lines, served.port);
    std::getline(lines, served.root);
    std::getline(lines, served.knownHosts);
    std::getline(lines, served.landing);
    return served;
}

// In the child: the registry knows the parent's server; the internal URL of `name` on it.
platform::URL registerServer(const Served& served, const std::string& name) {
    std::atexit(tearDownCryptoAndLinger);
    ostrane_test::useMemoryKeychain();
    SSHKnownHosts::setPath(served.knownHosts);
    OstraneInfo info(OstraneType::sftp);
    info.host = "127.0.0.1";
    info.port = std::stoi(served.port);
    info.username = SshServer::user;
    info.baseDir = served.root;
    info.setPassword(std::string(SshServer::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier +
                                          served.root + "/" + name);
    if (!url) std::exit(10);
    auto client = std::dynamic_pointer_cast<NMSSHClient>(manager->serverClient(*url));
    if (!client) std::exit(11);
    client->setTimeout(ostrane_test::hangLimit);
    return *url;
}

// Runs in the child: streams, closes, ends the process at once.
[[noreturn]] void streamCloseAndExit(const std::string& text) {
    const auto url = registerServer(servedOf(text), "film.mkv");
    auto client = std::dynamic_pointer_cast<NMSSHClient>(NetworkFileManager::shared()->serverClient(url));
    auto handle = NetworkFileHandle::make(url);
    if (!handle) std::exit(12);
    handle->setLoginTimeout(ostrane_test::hangLimit);
    if (!handle->open() || handle->size() != static_cast<std::int64_t>(filmSize)) std::exit(13);
    // Sequential then scattered reads, so requests are in flight when the file closes.
    for (std::int64_t offset = 0; offset < handle->size(); offset += 1 << 20) {
        if (!handle->read(offset, 1 << 20)) std::exit(14);
    }
    for (std::int64_t offset : {3000000, 17, 2 << 20}) {
        if (!handle->read(offset, 65536)) std::exit(15);
    }
    // The client's queue is still busy with earlier work when the caller closes and leaves.
    client->queue()->async([] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    handle->close();
    std::exit(0);
}

// Whether this process has a file open in `folder` with something written to it already.
bool writingInto(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target.string().rfind(folder + "/", 0) != 0) continue;
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) return true;
    }
    return false;
}

// Runs in the child: starts a download and ends the process while it runs.
[[noreturn]] void exitDuringADownload(const std::string& text) {
    const auto served = servedOf(text);
    const auto url = registerServer(served, "huge.bin");
    NetworkFileManager::shared()->downloadFile(
        url, platform::URL::fileURLWithPath(served.landing + "/huge.bin"), [](OstraneErrorRef error) {
            // Finishing would mean the child never ended during the download.
            if (!error) std::_Exit(16);
        });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writingInto(served.landing)) {
        if (std::chrono::steady_clock::now() > limit) std::exit(17);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::exit(0);
}

// Runs in the child: keeps an open handle and a descriptor in global containers and ends.
[[noreturn]] void exitHoldingHandles(const std::string& text) {
    const auto url = registerServer(servedOf(text), "film.mkv");
    auto handle = NetworkFileHandle::make(url);
    if (!handle) std::exit(12);
    handle->setLoginTimeout(ostrane_test::hangLimit);
    if (!handle->open()) std::exit(13);
    if (!handle->read(0, 1 << 20)) std::exit(14);
    heldHandles.push_back(handle);
    auto client = NetworkFileManager::shared()->serverClient(url);
    auto fd = client->open(url.path());
    if (!fd || !client->read(fd, 1 << 20, 1 << 20)) std::exit(15);
    heldDescriptors.push_back(fd);
    std::exit(0);
}

// The parent's server, made once for the tests of this file; the child finds it in its environment.
class SftpProcessExit : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::getenv(servedVariable)) return;
        server_ = new SshServer();
        {
            std::ofstream film(server_->root() / "film.mkv", std::ios::binary);
            for (std::size_t i = 0; i < filmSize; ++i) film.put(static_cast<char>((i * 7 + i / 1021) & 0xFF));
        }
        std::ofstream(server_->root() / "huge.bin") << "start";
        std::filesystem::resize_file(server_->root() / "huge.bin", static_cast<std::uintmax_t>(hugeSize));
        for (const char* name : {"film.mkv", "huge.bin"}) {
            std::filesystem::permissions(server_->root() / name, std::filesystem::perms::others_read,
                                         std::filesystem::perm_options::add);
        }
        std::filesystem::create_directories(server_->directory() / "landing");
        server_->start();
        const std::string served = std::to_string(server_->port()) + "\n" + server_->root().string() + "\n" +
                                   server_->knownHosts() + "\n" + (server_->directory() / "landing").string();
        ::setenv(servedVariable, served.c_str(), 1);
    }
    static void TearDownTestSuite() {
        if (!server_) return;
        delete server_;
        server_ = nullptr;
        ::unsetenv(servedVariable);
    }
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    static std::string served() { return std::getenv(servedVariable); }
    static std::vector<std::string> landed() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(servedOf(served()).landing)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    static SshServer* server_;
};

SshServer* SftpProcessExit::server_ = nullptr;

TEST_F(SftpProcessExit, EndsCleanlyRightAfterClosingAStream) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EXIT(streamCloseAndExit(served()), ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(SftpProcessExit, EndsAtOnceDuringADownloadAndLeavesNothing) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EXIT(exitDuringADownload(served()), ::testing::ExitedWithCode(0), "");
        // The download had gigabytes to go: the end did not wait for it.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
        EXPECT_TRUE(landed().empty()) << "left behind: " << landed().front();
    }
}

TEST_F(SftpProcessExit, EndsCleanlyWithHandlesHeldInGlobals) {
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EXIT(exitHoldingHandles(served()), ::testing::ExitedWithCode(0), "");
    }
}

}  // namespace
