// test-labels: smb
// A program that returns from main with SMB work running: a download in progress, a stream open,
// and a login to a server that never answers. It ends at once and cleanly, leaves no partial file,
// and its worker processes end with it.

#include "IsolationSupport.hpp"
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "support/ClientBehaviour.hpp"
#include "support/SambaServer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

using namespace Ostrane;
using ostrane_test::SambaServer;

// Where the parent's server is, for the child process the death test starts.
constexpr const char* servedVariable = "OSTRANE_TEST_SMB_EXIT_SERVED";
constexpr std::int64_t bigSize = 2LL << 30;  // sparse: far more than the child has time to fetch

struct Served {
    int port = 0;
    std::string downloads;  // the folder the child downloads into
    std::string workers;    // where the child writes its workers' process ids
    bool namedTemporaries = false;
};

Served parse(const std::string& text) {
    std::istringstream lines(text);
    Served served;
    std::string port, named;
    std::getline(lines, port);
    std::getline(lines, served.downloads);
    std::getline(lines, served.workers);
    std::getline(lines, named);
    served.port = std::stoi(port);
    served.namedTemporaries = named == "1";
    return served;
}

OstraneInfo record(int port) {
    OstraneInfo info(OstraneType::smb);
    info.host = "127.0.0.1";
    info.port = port;
    info.baseDir = SambaServer::share;
    info.username = SambaServer::user;
    info.setPassword(std::string(SambaServer::password));
    return info;
}

// Kept until the process ends, as a host application's globals would be.
std::shared_ptr<NetworkFileHandle> openStream;
std::shared_ptr<AMSMB2Client> silentClient;

// Runs in the child: starts the work, waits until it is under way, returns from main.
[[noreturn]] void workAndExit(const std::string& text) {
    const auto served = parse(text);
    ostrane_test::useMemoryKeychain();
    platform::detail::useNamedTemporaries(served.namedTemporaries);
    auto* silent = new ostrane_smb_test::SilentListener();  // lives until the process ends

    const auto info = record(served.port);
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const auto url = [&](const std::string& path) {
        return platform::URL::parse(std::string(NetworkFileManager::scheme) + "://" + info.identifier + path).value();
    };
    openStream = NetworkFileHandle::make(url("/film.mkv"));
    if (!openStream || !openStream->open() || !openStream->read(0, 65536)) std::exit(10);

    const auto written = ostrane_smb_test::processIO(0, "wchar");
    manager->downloadFile(url("/big.bin"), platform::URL::fileURLWithPath(served.downloads + "/big.bin"),
                          [](OstraneErrorRef) {});
    silentClient = AMSMB2Client::make(record(silent->port()));
    silentClient->setTimeout(std::chrono::seconds(300));
    silentClient->login([](OstraneErrorRef) {});
    if (!silent->waitForConnection(std::chrono::seconds(60))) std::exit(11);
    if (!ostrane_smb_test::waitForIO(0, "wchar", written, 8 << 20, std::chrono::seconds(60))) std::exit(12);

    auto streaming = std::dynamic_pointer_cast<AMSMB2Client>(manager->serverClient(url("/")));
    std::ofstream workers(served.workers);
    for (const auto& client : {streaming, silentClient}) {
        if (!client || !client->session() || !client->session()->workerProcessID()) std::exit(13);
        workers << *client->session()->workerProcessID() << "\n";
    }
    workers.close();
    std::exit(0);
}

std::vector<int> workersIn(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<int> pids;
    for (int pid = 0; in >> pid;) pids.push_back(pid);
    return pids;
}

TEST(SmbProcessExit, EndsAtOnceWithTransfersRunningAndLeavesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again: it finds the parent's server in its environment.
    std::unique_ptr<SambaServer> server;
    if (!std::getenv(servedVariable)) {
        server = std::make_unique<SambaServer>();
        const auto share = server->shareDirectory();
        std::ofstream(share / "film.mkv", std::ios::binary) << std::string(1 << 20, 'f');
        std::ofstream(share / "big.bin", std::ios::binary).put('b');
        std::filesystem::resize_file(share / "big.bin", static_cast<std::uintmax_t>(bigSize));
        std::filesystem::permissions(share / "film.mkv", std::filesystem::perms(0644));
        std::filesystem::permissions(share / "big.bin", std::filesystem::perms(0644));
        server->start();
    }
    for (const bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporaries" : "unnamed temporaries");
        std::filesystem::path downloads, workers;
        if (server) {
            downloads = server->directory() / (named ? "downloads-named" : "downloads");
            workers = server->directory() / (named ? "workers-named" : "workers");
            std::filesystem::create_directories(downloads);
            const std::string served = std::to_string(server->port()) + "\n" + downloads.string() + "\n" +
                                       workers.string() + "\n" + (named ? "1" : "0");
            ::setenv(servedVariable, served.c_str(), 1);
        }
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EXIT(workAndExit(std::getenv(servedVariable)), ::testing::ExitedWithCode(0), "");
        // The silent login alone would hold an exit that waited on it for 300 s.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(120));
        if (!server) continue;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(downloads)) left.push_back(entry.path().string());
        EXPECT_TRUE(left.empty()) << left.front();
        const auto pids = workersIn(workers);
        EXPECT_EQ(pids.size(), 2u);
        for (int pid : pids) EXPECT_TRUE(ostrane_smb_test::waitForProcessEnd(pid, std::chrono::seconds(60))) << pid;
    }
    ::unsetenv(servedVariable);
}

}  // namespace
