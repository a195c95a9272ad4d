// test-labels: ftp
// A program that returns from main while an FTP download runs, as a host that quits does: it ends
// at once with status 0, nothing of the download stays beside the destination, and nothing still
// talks to the crypto library while the process tears it down.
#include "FTPTestServer.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/curl/CURLClient.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/ServerScript.hpp"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace Ostrane;
using ostrane_test::FTPTestServer;

// Set for the child process: "<host> <port> <destination folder> named|unnamed".
constexpr const char* childVariable = "OSTRANE_TEST_FTP_EXIT_CHILD";
constexpr std::int64_t remoteSize = 3LL << 30;

std::int64_t monotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What every exit does (the crypto library registers its cleanup with atexit), then a moment in
// which the process still lives, as a host application's teardown takes.
void tearDownCryptoAndLinger() {
    OPENSSL_cleanup();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Bytes written so far into a file this process holds open in `folder` (named or not), or -1.
std::int64_t bytesBeingWritten(const std::filesystem::path& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(entry.path(), linkError).string();
        if (linkError || target.rfind(folder.string() + "/", 0) != 0) continue;
        struct stat s {};
        if (::stat(entry.path().c_str(), &s) == 0) return s.st_size;
    }
    return -1;
}

// Runs in the child: starts the download, waits until bytes arrive, leaves.
[[noreturn]] void downloadAndExit(const std::string& settings) {
    std::istringstream in(settings);
    std::string host, folder, temporaries;
    int port = 0;
    in >> host >> port >> folder >> temporaries;
    // As on a file system without unnamed files: the hidden sibling must go too.
    platform::detail::useNamedTemporaries(temporaries == "named");
    std::atexit(tearDownCryptoAndLinger);
    ostrane_test::useMemoryKeychain();
    OstraneInfo info(OstraneType::ftp);
    info.host = host;
    info.port = port;
    info.username = FTPTestServer::user;
    info.setPassword(std::string(FTPTestServer::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier + "/big.bin");
    if (!url) std::_Exit(10);
    // The completion must not run: the caller is gone by then.
    manager->downloadFile(*url, platform::URL::fileURLWithPath(folder + "/big.bin", false),
                          [](OstraneErrorRef) { std::_Exit(11); });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bytesBeingWritten(folder) < (1 << 20)) {
        if (std::chrono::steady_clock::now() > limit) std::_Exit(12);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::printf("exit-begins %lld\n", static_cast<long long>(monotonicNanoseconds()));
    std::fflush(stdout);
    std::exit(0);
}

class FTPProcessExit : public ::testing::TestWithParam<FTPTestServer::Kind> {};

TEST_P(FTPProcessExit, EndsAtOnceLeavingNothingBehind) {
    if (const char* settings = std::getenv(childVariable)) downloadAndExit(settings);

    FTPTestServer server(GetParam());
    {
        // Sparse: large enough to be far from done when the program leaves.
        std::ofstream big(server.root() / "big.bin", std::ios::binary);
        big.seekp(remoteSize - 1);
        big.put('x');
    }
    std::filesystem::permissions(server.root() / "big.bin", std::filesystem::perms(0644));
    server.start();
    std::string folder = (std::filesystem::temp_directory_path() / "ostrane-ftp-exit-XXXXXX").string();
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);

    const std::string host = server.recordHost();
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    for (const char* temporaries : {"unnamed", "named"}) {
        SCOPED_TRACE(std::string(temporaries) + " temporary file");
        std::string command = std::string(childVariable) + "=" +
                              ostrane_test::shellQuote(host + " " + std::to_string(server.port()) + " " + folder + " " +
                                                       temporaries) +
                              " ";
        if (server.tls()) command += "SSL_CERT_FILE=" + ostrane_test::shellQuote(server.certificate().string()) + " ";
        command += ostrane_test::shellQuote(self) + " --gtest_filter=" +
                   ostrane_test::shellQuote(std::string(test->test_suite_name()) + "." + test->name());
        std::string output;
        const int status = ostrane_test::runCommand(command, 120, &output);
        const auto ended = monotonicNanoseconds();
        EXPECT_EQ(status, 0) << output;
        const auto at = output.find("exit-begins ");
        ASSERT_NE(at, std::string::npos) << output;
        const auto began = std::stoll(output.substr(at + 12));
        // Far below the transfer's own time-out (60 s): the exit did not wait for the network.
        EXPECT_LT(ended - began, 20'000'000'000LL) << "the exit took " << (ended - began) / 1'000'000 << " ms";
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) left.push_back(entry.path().filename());
        EXPECT_TRUE(left.empty()) << "left behind: " << ::testing::PrintToString(left);
    }
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(FTP, FTPProcessExit,
                         ::testing::Values(FTPTestServer::Kind::vsftpd, FTPTestServer::Kind::pyftpdlibTLS),
                         [](const auto& info) { return FTPTestServer::name(info.param); });

}  // namespace
