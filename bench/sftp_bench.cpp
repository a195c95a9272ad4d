// Streaming and downloading from a loopback OpenSSH sshd, side by side with OpenSSH's own `sftp`:
//   sequential 1 MiB handle reads of a 512 MiB file  vs  `sftp` get of that file to /dev/null
//   random 1 MiB handle reads                         vs  our sequential rate in the same round
//   downloadFile of 1 GiB into a tmpfs folder         vs  `sftp` get into the same folder
// All in MiB/s, higher is better; targets: ratios >= 1.0, >= 0.8 and >= 1.0.
// Needs root (the server script makes a user). OSTRANE_BENCH_SIZE_MIB changes the streamed file's
// size, OSTRANE_BENCH_DOWNLOAD_MIB the downloaded one's, OSTRANE_BENCH_TMPFS the tmpfs folder.
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "ostrane/sftp/SshServer.hpp"
#include "BenchSupport.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using ostrane_test::SshServer;
namespace fs = std::filesystem;

std::int64_t mebibytes(const char* variable, std::int64_t fallback) {
    const char* text = std::getenv(variable);
    return text ? std::max<std::int64_t>(1, std::atoll(text)) : fallback;
}

// Warms the page cache so both sides read from memory.
void warm(const fs::path& path) {
    std::ifstream(path, std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());
}

}  // namespace

int main() {
    try {
        const std::int64_t sizeMiB = mebibytes("OSTRANE_BENCH_SIZE_MIB", 512);
        const std::int64_t downloadMiB = mebibytes("OSTRANE_BENCH_DOWNLOAD_MIB", 1024);
        const std::int64_t size = sizeMiB << 20;
        const fs::path tmpfs = std::getenv("OSTRANE_BENCH_TMPFS") ? std::getenv("OSTRANE_BENCH_TMPFS") : "/dev/shm";
        ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);

        SshServer server;
        const auto streamed = server.root() / "bench.bin";
        const auto downloaded = server.root() / "download.bin";
        writeRandomFile(streamed, sizeMiB);
        writeRandomFile(downloaded, downloadMiB);
        std::ofstream(server.root() / "tiny.bin") << "x";
        fs::permissions(server.root() / "tiny.bin", fs::perms(0644));
        Ostrane::SSHKnownHosts::setPath(server.knownHosts());
        server.start();
        std::printf("sshd on 127.0.0.1:%d, streamed file of %lld MiB, downloaded file of %lld MiB\n", server.port(),
                    static_cast<long long>(sizeMiB), static_cast<long long>(downloadMiB));

        std::string pattern = (tmpfs / "ostrane-sftp-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder in " + tmpfs.string());
        const fs::path landing = pattern;
        struct Cleanup {
            fs::path folder;
            ~Cleanup() {
                std::error_code ignored;
                fs::remove_all(folder, ignored);
            }
        } cleanup{landing};

        // OpenSSH's sftp reads the password from an askpass program; its own start and login are
        // timed on a one-byte file and taken off.
        const auto askpass = server.directory() / "askpass";
        {
            std::ofstream out(askpass);
            out << "#!/bin/sh\nprintf '%s\\n' " << ostrane_test::shellQuote(SshServer::password) << "\n";
        }
        fs::permissions(askpass, fs::perms(0700));
        auto sftpGet = [&](const std::string& path, const std::string& to) {
            const std::string command =
                "echo " + ostrane_test::shellQuote("get " + path + " " + to) +
                " | SSH_ASKPASS=" + ostrane_test::shellQuote(askpass.string()) +
                " SSH_ASKPASS_REQUIRE=force DISPLAY=none setsid sftp -q -P " + std::to_string(server.port()) +
                " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o PubkeyAuthentication=no " +
                SshServer::user + "@127.0.0.1 >/dev/null 2>&1";
            const auto begin = Clock::now();
            if (ostrane_test::runCommand(command, 600) != 0) throw std::runtime_error("sftp get failed");
            return seconds(Clock::now() - begin);
        };
        auto sftpMiBps = [&](const fs::path& path, std::int64_t mib, const std::string& to) {
            const double fixed = sftpGet((server.root() / "tiny.bin").string(), to);
            const double whole = sftpGet(path.string(), to);
            return static_cast<double>(mib) / std::max(1e-6, whole - fixed);
        };

        Ostrane::OstraneInfo info = server.record();
        info.setPassword(std::string(SshServer::password));
        auto manager = Ostrane::NetworkFileManager::shared();
        manager->setServerInfos({info});
        const std::string prefix = std::string(Ostrane::NetworkFileManager::scheme) + "://" + info.identifier;
        auto handle = Ostrane::NetworkFileHandle::make(platform::URL::parse(prefix + streamed.string()).value());
        if (!handle || !handle->open()) throw std::runtime_error("NetworkFileHandle cannot open the file");
        const auto downloadURL = platform::URL::parse(prefix + downloaded.string()).value();
        auto downloadMiBps = [&](const fs::path& to) {
            std::promise<Ostrane::OstraneErrorRef> done;
            const auto begin = Clock::now();
            manager->downloadFile(downloadURL, platform::URL::fileURLWithPath(to.string()),
                                  [&](Ostrane::OstraneErrorRef error) { done.set_value(error); });
            if (auto error = done.get_future().get()) throw std::runtime_error("downloadFile: " + error->description());
            const double taken = seconds(Clock::now() - begin);
            if (static_cast<std::int64_t>(fs::file_size(to)) != (downloadMiB << 20)) {
                throw std::runtime_error("downloadFile wrote a file of another size");
            }
            return static_cast<double>(downloadMiB) / taken;
        };

        warm(streamed);
        warm(downloaded);
        const std::int64_t chunk = 1 << 20;
        const auto offsets = randomOffsets(size, chunk, 256);
        for (int round = 0; round < 3; ++round) {
            const double sequential = sequentialMiBps(size, chunk, [&](std::int64_t offset) {
                auto data = handle->read(offset, chunk);
                return data && static_cast<std::int64_t>(data->size()) == chunk;
            });
            line("sequential 1 MiB handle reads, MiB/s (vs sftp get to /dev/null)", sequential,
                 sftpMiBps(streamed, sizeMiB, "/dev/null"), "MiB/s");

            const double perRead = microsecondsPerRead(offsets, [&](std::int64_t offset) {
                auto data = handle->read(offset, chunk);
                return data && static_cast<std::int64_t>(data->size()) == chunk;
            });
            line("random 1 MiB handle reads, MiB/s (vs our sequential reads)", 1e6 / perRead, sequential, "MiB/s");

            const auto ours = landing / "ours.bin";
            const auto theirs = landing / "theirs.bin";
            const double downloadRate = downloadMiBps(ours);
            fs::remove(ours);
            const double reference = sftpMiBps(downloaded, downloadMiB, theirs.string());
            fs::remove(theirs);
            line("downloadFile to tmpfs, MiB/s (vs sftp get to the same folder)", downloadRate, reference, "MiB/s");
        }
        handle->close();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-sftp: %s\n", error.what());
        return 1;
    }
}
