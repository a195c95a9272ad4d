// Streaming from a loopback OpenSSH sshd through NetworkFileHandle, side by side with the tools
// users know:
//   sequential 1 MiB reads of a 512 MiB file   vs  OpenSSH sftp fetching it to /dev/null
//   random 64 KiB reads                         vs  the same reads made directly on libssh2
// (and the sequential reads on libssh2 alone, which is as fast as a 1 MiB read can go there).
// Sequential: higher is better (target ratio >= 0.9); random: time per read (target ratio <= 1.1).
// Needs root (the server script makes a user). OSTRANE_BENCH_SIZE_MIB changes the file size.
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/sftp/NMSFTP.hpp"
#include "ostrane/sftp/NMSSHSession.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "ostrane/sftp/SshServer.hpp"
#include "BenchSupport.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using ostrane_test::SshServer;

// Reference: one libssh2 session and handle, reads made with the plain libssh2 calls.
struct RawReader {
    std::shared_ptr<Ostrane::NMSSHSession> session;
    std::shared_ptr<Ostrane::NMSFTP> sftp;
    std::shared_ptr<Ostrane::NMSFTPHandle> file;

    RawReader(const SshServer& server, const std::string& path) {
        session = Ostrane::NMSSHSession::make("127.0.0.1", server.port(), SshServer::user);
        if (!session->connect() || !session->authenticateByPassword(SshServer::password)) {
            throw std::runtime_error("raw session: " + session->lastError().value_or("?"));
        }
        sftp = Ostrane::NMSFTP::make(session);
        if (!sftp->connect()) throw std::runtime_error("raw SFTP channel failed");
        file = sftp->openFileAtPath(path);
        if (!file) throw std::runtime_error("raw open failed");
    }
    // Seek when needed, then libssh2_sftp_read until the buffer is full.
    bool read(std::int64_t offset, std::vector<char>& buffer) {
        auto guard = file->lock();
        auto* raw = file->raw();
        if (libssh2_sftp_tell64(raw) != static_cast<libssh2_uint64_t>(offset)) {
            libssh2_sftp_seek64(raw, static_cast<libssh2_uint64_t>(offset));
        }
        std::size_t got = 0;
        while (got < buffer.size()) {
            const auto n = libssh2_sftp_read(raw, buffer.data() + got, buffer.size() - got);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
};

}  // namespace

int main() {
    try {
        const std::int64_t sizeMiB = std::getenv("OSTRANE_BENCH_SIZE_MIB") ? std::atoll(std::getenv("OSTRANE_BENCH_SIZE_MIB")) : 512;
        const std::int64_t size = sizeMiB << 20;
        ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);

        SshServer server;
        const auto big = server.root() / "bench.bin";
        {
            std::ofstream out(big, std::ios::binary);
            std::vector<char> block(1 << 20);
            std::mt19937_64 random(7);
            for (auto& b : block) b = static_cast<char>(random());
            for (std::int64_t i = 0; i < sizeMiB; ++i) {
                block[0] = static_cast<char>(i);
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
        }
        std::ofstream(server.root() / "tiny.bin") << "x";
        std::filesystem::permissions(big, std::filesystem::perms(0644));
        std::filesystem::permissions(server.root() / "tiny.bin", std::filesystem::perms(0644));
        Ostrane::SSHKnownHosts::setPath(server.knownHosts());
        server.start();
        std::printf("sshd on 127.0.0.1:%d, file of %lld MiB\n", server.port(), static_cast<long long>(sizeMiB));

        // OpenSSH's sftp reads the password from an askpass program; its own start and login are
        // timed on a one-byte file and taken off.
        const auto askpass = server.directory() / "askpass";
        {
            std::ofstream out(askpass);
            out << "#!/bin/sh\nprintf '%s\\n' " << ostrane_test::shellQuote(SshServer::password) << "\n";
        }
        std::filesystem::permissions(askpass, std::filesystem::perms(0700));
        auto sftpGet = [&](const std::string& path) {
            const std::string command =
                "echo " + ostrane_test::shellQuote("get " + path + " /dev/null") +
                " | SSH_ASKPASS=" + ostrane_test::shellQuote(askpass.string()) +
                " SSH_ASKPASS_REQUIRE=force DISPLAY=none setsid sftp -q -P " + std::to_string(server.port()) +
                " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o PubkeyAuthentication=no " +
                SshServer::user + "@127.0.0.1 >/dev/null 2>&1";
            const auto begin = Clock::now();
            if (ostrane_test::runCommand(command, 600) != 0) throw std::runtime_error("sftp get failed");
            return seconds(Clock::now() - begin);
        };

        Ostrane::OstraneInfo info = server.record();
        info.setPassword(std::string(SshServer::password));
        Ostrane::NetworkFileManager::shared()->setServerInfos({info});
        auto url = platform::URL::parse("calvora-internal://" + info.identifier + big.string()).value();
        auto handle = Ostrane::NetworkFileHandle::make(url);
        if (!handle || !handle->open()) throw std::runtime_error("NetworkFileHandle cannot open the file");

        // Warm the page cache so both sides read from memory.
        std::ifstream(big, std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());

        const std::int64_t chunk = 1 << 20;
        for (int round = 0; round < 3; ++round) {
            const double ours = sequentialMiBps(size, chunk, [&](std::int64_t offset) {
                auto data = handle->read(offset, chunk);
                return data && static_cast<std::int64_t>(data->size()) == chunk;
            });
            const double fixed = sftpGet((server.root() / "tiny.bin").string());
            const double whole = sftpGet(big.string());
            const double reference = static_cast<double>(size) / (1 << 20) / std::max(1e-6, whole - fixed);
            line("sequential 1 MiB reads, MiB/s (vs OpenSSH sftp get)", ours, reference, "MiB/s");
        }

        {
            RawReader raw(server, big.string());
            std::vector<char> buffer(static_cast<std::size_t>(chunk));
            compareSequential("sequential 1 MiB reads, MiB/s (vs raw libssh2)", size, chunk, 2,
                              [&](std::int64_t offset) { return handle->read(offset, chunk).has_value(); },
                              [&](std::int64_t offset) { return raw.read(offset, buffer); });
        }

        {
            const std::int64_t small = 64 << 10;
            RawReader raw(server, big.string());
            std::vector<char> buffer(static_cast<std::size_t>(small));
            compareRandom("random 64 KiB reads, microseconds per read (vs raw libssh2)", randomOffsets(size, small, 2000), 2,
                          [&](std::int64_t offset) {
                              auto data = handle->read(offset, small);
                              return data && static_cast<std::int64_t>(data->size()) == small;
                          },
                          [&](std::int64_t offset) { return raw.read(offset, buffer); });
        }
        handle->close();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-sftp: %s\n", error.what());
        return 1;
    }
}
