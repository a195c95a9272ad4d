// test-labels: webdav
// A program that returns from main while a WebDAV download runs and a stream is open: it ends at
// once and cleanly, and leaves no part of the download behind, neither beside the destination nor
// in $TMPDIR.

#include "fileprovider/webdav/ApacheDAV.hpp"
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "support/ClientBehaviour.hpp"

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace Ostrane;
using ostrane_test::ApacheDAV;
namespace fs = std::filesystem;

// Where the parent's server is, for the child process the death test starts.
constexpr const char* servedVariable = "OSTRANE_TEST_WEBDAV_EXIT_SERVED";
constexpr std::int64_t filmSize = 4LL << 30;

void tearDownCryptoAndLinger() {
    OPENSSL_cleanup();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

// Bytes written so far into a file of this process that lies in `folder` (the download under way,
// named or not).
std::int64_t bytesBeingWrittenIn(const fs::path& folder) {
    std::int64_t most = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        const auto target = fs::read_symlink(entry.path(), linkError).string();
        if (linkError || target.rfind(folder.string() + "/", 0) != 0) continue;
        std::error_code sizeError;
        const auto size = fs::file_size(entry.path(), sizeError);
        if (!sizeError) most = std::max<std::int64_t>(most, static_cast<std::int64_t>(size));
    }
    return most;
}

// An open stream that a program keeps until its statics are destroyed.
std::shared_ptr<NetworkFileHandle> keptOpen;

// Runs in the child: opens a stream with reads running ahead, starts the download, waits until it
// is writing, returns from main.
[[noreturn]] void downloadAndExit(const std::string& served) {
    std::atexit(tearDownCryptoAndLinger);
    std::istringstream lines(served);
    std::string port, destination;
    std::getline(lines, port);
    std::getline(lines, destination);
    ostrane_test::useMemoryKeychain();

    OstraneInfo info(OstraneType::webdav);
    info.host = "127.0.0.1";
    info.port = std::stoi(port);
    info.username = ApacheDAV::user;
    info.baseDir = "/dav/";
    info.setPassword(std::string(ApacheDAV::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier +
                                          "/dav/film.mkv");
    if (!url) std::exit(10);
    keptOpen = NetworkFileHandle::make(*url);
    if (!keptOpen || !keptOpen->open() || !keptOpen->read(0, 1 << 20)) std::exit(14);
    manager->downloadFile(*url, platform::URL::fileURLWithPath(destination, false), [](OstraneErrorRef error) {
        // The download may not end before the process does.
        std::_Exit(error ? 11 : 12);
    });
    const auto folder = fs::path(destination).parent_path();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (bytesBeingWrittenIn(folder) < (1 << 20)) {
        if (std::chrono::steady_clock::now() > limit) std::exit(13);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::exit(0);
}

std::size_t entriesIn(const fs::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

TEST(WebDAVProcessExit, EndsAtOnceWithoutLeavingTheDownloadBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again: it finds the parent's server in its environment.
    std::unique_ptr<ApacheDAV> server;
    fs::path scratch;
    if (!std::getenv(servedVariable)) {
        server = std::make_unique<ApacheDAV>();
        fs::create_directories(server->root());
        {
            std::ofstream film(server->root() / "film.mkv", std::ios::binary);
            film << "film";
        }
        fs::resize_file(server->root() / "film.mkv", static_cast<std::uintmax_t>(filmSize));
        server->handOver();
        server->start();
        std::string pattern = (fs::temp_directory_path() / "ostrane-webdav-exit-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        fs::create_directories(scratch / "downloads");
        fs::create_directories(scratch / "tmp");
        const std::string served =
            std::to_string(server->port()) + "\n" + (scratch / "downloads" / "film.mkv").string() + "\n";
        ::setenv(servedVariable, served.c_str(), 1);
    }
    const std::string served = std::getenv(servedVariable);
    // The child inherits this $TMPDIR, which must stay empty.
    const char* previousTmp = std::getenv("TMPDIR");
    const std::string keptTmp = previousTmp ? previousTmp : "";
    if (server) ::setenv("TMPDIR", (scratch / "tmp").c_str(), 1);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EXIT(downloadAndExit(served), ::testing::ExitedWithCode(0), "");
        if (!server) continue;  // the child of an earlier round passes by here
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
        EXPECT_EQ(entriesIn(scratch / "downloads"), 0u) << "nothing beside the destination";
        EXPECT_EQ(entriesIn(scratch / "tmp"), 0u) << "nothing in $TMPDIR";
    }
    if (previousTmp) ::setenv("TMPDIR", keptTmp.c_str(), 1);
    else ::unsetenv("TMPDIR");
    ::unsetenv(servedVariable);
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
}

}  // namespace
