// test-labels: sftp
// A program that streams over SFTP and ends right after closing its handle, as ostrane-cli does:
// nothing of the close may still be talking to libssh2 while the process tears down the crypto
// library under it.

#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "SshServer.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace Ostrane;
using ostrane_test::SshServer;

// Where the parent's server is, for the child process the death test starts.
constexpr const char* servedVariable = "OSTRANE_TEST_SFTP_EXIT_SERVED";
constexpr std::size_t filmSize = 4 << 20;

// What every exit does (the crypto library registers its cleanup with atexit), then a moment in
// which the process still lives, as a host application's teardown takes.
void tearDownCryptoAndLinger() {
    OPENSSL_cleanup();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

// Runs in the child: streams, closes, ends the process at once.
[[noreturn]] void streamCloseAndExit(const std::string& served) {
    std::atexit(tearDownCryptoAndLinger);
    std::istringstream lines(served);
    std::string port, root, knownHosts;
    std::getline(lines, port);
    std::getline(lines, root);
    std::getline(lines, knownHosts);
    ostrane_test::useMemoryKeychain();
    SSHKnownHosts::setPath(knownHosts);

    OstraneInfo info(OstraneType::sftp);
    info.host = "127.0.0.1";
    info.port = std::stoi(port);
    info.username = SshServer::user;
    info.baseDir = root;
    info.setPassword(std::string(SshServer::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier + root +
                                          "/film.mkv");
    if (!url) std::exit(10);
    auto client = std::dynamic_pointer_cast<NMSSHClient>(manager->serverClient(*url));
    if (!client) std::exit(11);
    client->setTimeout(ostrane_test::hangLimit);
    auto handle = NetworkFileHandle::make(*url);
    if (!handle) std::exit(12);
    handle->setLoginTimeout(ostrane_test::hangLimit);
    if (!handle->open() || handle->size() != static_cast<std::int64_t>(filmSize)) std::exit(13);
    // Sequential then scattered reads, so libssh2 has read-ahead in flight when the file closes.
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

TEST(SftpProcessExit, EndsCleanlyRightAfterClosingAStream) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again: it finds the parent's server in its environment.
    std::unique_ptr<SshServer> server;
    if (!std::getenv(servedVariable)) {
        server = std::make_unique<SshServer>();
        {
            std::ofstream film(server->root() / "film.mkv", std::ios::binary);
            for (std::size_t i = 0; i < filmSize; ++i) film.put(static_cast<char>((i * 7 + i / 1021) & 0xFF));
        }
        std::filesystem::permissions(server->root() / "film.mkv", std::filesystem::perms::others_read,
                                     std::filesystem::perm_options::add);
        server->start();
        const std::string served =
            std::to_string(server->port()) + "\n" + server->root().string() + "\n" + server->knownHosts();
        ::setenv(servedVariable, served.c_str(), 1);
    }
    const std::string served = std::getenv(servedVariable);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EXIT(streamCloseAndExit(served), ::testing::ExitedWithCode(0), "");
    }
    ::unsetenv(servedVariable);
}

}  // namespace
