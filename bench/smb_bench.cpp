// Streaming from a loopback smbd through NetworkFileHandle (whose SMB work runs in the session's
// worker process), side by side with the tools users know:
//   sequential 1 MiB reads of a 512 MiB file   vs  smbclient -c 'get file /dev/null'
//   sequential 1 MiB reads                      vs  the same reads on libsmbclient in this process
//   random 64 KiB and 1 MiB reads               vs  the same reads on libsmbclient in this process
// Sequential: higher is better (target ratio >= 0.9 of libsmbclient); random: time per read
// (target ratio <= 1.2).
// Needs root (the server script makes a user). OSTRANE_BENCH_SIZE_MIB changes the file size.
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "support/SambaServer.hpp"
#include "BenchSupport.hpp"

#include <libsmbclient.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using ostrane_test::SambaServer;

// Reference: the same reads on one libsmbclient context, no layers of ours.
struct RawSession {
    SMBCCTX* context = nullptr;
    SMBCFILE* file = nullptr;

    static void auth(SMBCCTX*, const char*, const char*, char*, int, char* user, int userLength, char* password,
                     int passwordLength) {
        std::snprintf(user, static_cast<std::size_t>(userLength), "%s", SambaServer::user);
        std::snprintf(password, static_cast<std::size_t>(passwordLength), "%s", SambaServer::password);
    }

    RawSession(int port, const std::string& path) {
        context = smbc_new_context();
        smbc_setDebug(context, 0);
        smbc_setFunctionAuthDataWithContext(context, auth);
        smbc_setOptionNoAutoAnonymousLogin(context, 1);
        smbc_setOptionUseKerberos(context, 0);
        smbc_setOptionFallbackAfterKerberos(context, 1);
        smbc_setPort(context, static_cast<std::uint16_t>(port));
        if (!smbc_init_context(context)) throw std::runtime_error("smbc_init_context failed");
        const auto url = "smb://127.0.0.1/share/" + path;
        file = smbc_getFunctionOpen(context)(context, url.c_str(), O_RDONLY, 0);
        if (!file) throw std::runtime_error("libsmbclient cannot open " + url);
    }
    ~RawSession() {
        if (file) smbc_getFunctionClose(context)(context, file);
        if (context) smbc_free_context(context, 1);
    }
    bool read(std::int64_t offset, std::vector<char>& buffer) {
        if (smbc_getFunctionLseek(context)(context, file, offset, SEEK_SET) < 0) return false;
        return smbc_getFunctionRead(context)(context, file, buffer.data(), buffer.size()) ==
               static_cast<ssize_t>(buffer.size());
    }
};

}  // namespace

int main() {
    try {
        const std::int64_t sizeMiB = std::getenv("OSTRANE_BENCH_SIZE_MIB") ? std::atoll(std::getenv("OSTRANE_BENCH_SIZE_MIB")) : 512;
        const std::int64_t size = sizeMiB << 20;
        ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);

        SambaServer server;
        writeRandomFile(server.shareDirectory() / "bench.bin", sizeMiB);
        std::ofstream(server.shareDirectory() / "tiny.bin") << "x";
        std::filesystem::permissions(server.shareDirectory() / "tiny.bin", std::filesystem::perms(0644));
        server.start();
        std::printf("smbd on 127.0.0.1:%d, file of %lld MiB\n", server.port(), static_cast<long long>(sizeMiB));

        Ostrane::OstraneInfo info(Ostrane::OstraneType::smb);
        info.host = "127.0.0.1";
        info.port = server.port();
        info.baseDir = SambaServer::share;
        info.username = SambaServer::user;
        info.setPassword(std::string(SambaServer::password));
        Ostrane::NetworkFileManager::shared()->setServerInfos({info});
        auto url = platform::URL::parse("calvora-internal://" + info.identifier + "/bench.bin").value();
        auto handle = Ostrane::NetworkFileHandle::make(url);
        if (!handle || !handle->open()) throw std::runtime_error("NetworkFileHandle cannot open the file");

        // Warm the server's page cache so both sides read from memory.
        std::ifstream(server.shareDirectory() / "bench.bin", std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());

        for (int round = 0; round < 3; ++round) {
            const std::int64_t chunk = 1 << 20;
            const double ours = sequentialMiBps(size, chunk, [&](std::int64_t offset) {
                auto data = handle->read(offset, chunk);
                return data && static_cast<std::int64_t>(data->size()) == chunk;
            });

            // smbclient's start and login are timed on a one-byte file and taken off.
            auto smbclientGet = [&](const char* name) {
                const std::string command = "PASSWD=" + ostrane_test::shellQuote(SambaServer::password) +
                                            " smbclient //127.0.0.1/share -p " + std::to_string(server.port()) +
                                            " -U " + SambaServer::user + " -c 'get " + name +
                                            " /dev/null' >/dev/null 2>&1";
                const auto begin = Clock::now();
                if (ostrane_test::runCommand(command, 600) != 0) throw std::runtime_error("smbclient get failed");
                return seconds(Clock::now() - begin);
            };
            const double fixed = smbclientGet("tiny.bin");
            const double whole = smbclientGet("bench.bin");
            const double reference = static_cast<double>(size) / (1 << 20) / std::max(1e-6, whole - fixed);
            line("sequential 1 MiB reads, MiB/s (vs smbclient get)", ours, reference, "MiB/s");
        }

        {
            // Where the sequential figure comes from: the same 1 MiB reads on libsmbclient alone.
            const std::int64_t chunk = 1 << 20;
            RawSession raw(server.port(), "bench.bin");
            std::vector<char> buffer(static_cast<std::size_t>(chunk));
            compareSequential("sequential 1 MiB reads, MiB/s (vs libsmbclient)", size, chunk, 2,
                              [&](std::int64_t offset) { return handle->read(offset, chunk).has_value(); },
                              [&](std::int64_t offset) { return raw.read(offset, buffer); });
        }

        const struct {
            const char* what;
            std::int64_t chunk;
            int count;
        } randomReads[] = {
            {"random 64 KiB reads, microseconds per read (vs libsmbclient)", 64 << 10, 4000},
            {"random 1 MiB reads, microseconds per read (vs libsmbclient)", 1 << 20, 1000},
        };
        for (const auto& reads : randomReads) {
            const auto chunk = reads.chunk;
            RawSession raw(server.port(), "bench.bin");
            std::vector<char> buffer(static_cast<std::size_t>(chunk));
            compareRandom(reads.what, randomOffsets(size, chunk, reads.count), 2,
                          [&](std::int64_t offset) {
                              auto data = handle->read(offset, chunk);
                              return data && static_cast<std::int64_t>(data->size()) == chunk;
                          },
                          [&](std::int64_t offset) { return raw.read(offset, buffer); });
        }
        handle->close();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-smb: %s\n", error.what());
        return 1;
    }
}
