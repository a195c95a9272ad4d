// FTP listing lines and downloads, side by side with a reference in the same run:
//   parse_ftp_list_line over 1,000,000 generated lines of every style  vs  one memchr pass over them
//   CURLClient download of a 512 MiB file from a loopback vsftpd        vs  the curl program, same server
// Lines: lines per second (the reference says how far one pass over the bytes goes); download:
// MiB/s, higher is better (target ratio >= 0.9). Needs root (the server script makes a user).
// OSTRANE_BENCH_SIZE_MIB changes the file size.
#include "ostrane/curl/CURLClient.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "ostrane/curl/ftp_list_parser.h"
#include "BenchSupport.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using ostrane_test::FTPTestServer;

std::vector<std::string> listing(std::size_t count) {
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::mt19937 random(11);
    std::vector<std::string> lines;
    lines.reserve(count);
    char buffer[256];
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned r = random();
        switch (i % 6) {
        case 0:
            std::snprintf(buffer, sizeof buffer, "-rw-r--r--   1 anna  staff  %10u %s %2u %02u:%02u holiday clip %zu.mkv", r,
                          months[r % 12], 1 + r % 28, r % 24, r % 60, i);
            break;
        case 1:
            std::snprintf(buffer, sizeof buffer, "drwxr-xr-x   5 anna  staff      160 %s %2u  20%02u Movies %zu", months[r % 12],
                          1 + r % 28, r % 30, i);
            break;
        case 2:
            std::snprintf(buffer, sizeof buffer, "lrwxr-xr-x   1 anna  staff       11 %s  2 09:30 latest%zu -> 2024/final",
                          months[r % 12], i);
            break;
        case 3:
            std::snprintf(buffer, sizeof buffer, "%02u-%02u-%02u  %02u:%02uPM       %10u clip %zu.avi", 1 + r % 12,
                          1 + r % 28, r % 100, 1 + r % 12, r % 60, r, i);
            break;
        case 4:
            std::snprintf(buffer, sizeof buffer, "+i%u.%zu,m%u,s%u,r,\tfilm %zu.mkv", r, i, r, r % 100000, i);
            break;
        default:
            std::snprintf(buffer, sizeof buffer, "NOTES%zu.TXT;3  2 30-DEC-2019 17:44 [X] (RWE,RWE,RE,RE)", i);
            break;
        }
        lines.emplace_back(buffer);
    }
    return lines;
}

void benchParser() {
    const auto lines = listing(1'000'000);
    for (int round = 0; round < 3; ++round) {
        std::size_t accepted = 0;
        auto started = Clock::now();
        for (const auto& l : lines) {
            ftp_list_record r;
            accepted += parse_ftp_list_line(&r, l.data(), int32_t(l.size()));
        }
        const double ours = double(lines.size()) / seconds(Clock::now() - started);
        std::size_t tabs = 0;
        started = Clock::now();
        for (const auto& l : lines) tabs += std::memchr(l.data(), '\t', l.size()) != nullptr;
        const double reference = double(lines.size()) / seconds(Clock::now() - started);
        if (accepted != lines.size() || tabs == 0) throw std::runtime_error("a generated line was not accepted");
        line("listing lines parsed per second (vs one memchr pass)", ours, reference, "lines/s");
    }
}

void benchDownload() {
    const std::int64_t sizeMiB =
        std::getenv("OSTRANE_BENCH_SIZE_MIB") ? std::atoll(std::getenv("OSTRANE_BENCH_SIZE_MIB")) : 512;
    const std::int64_t size = sizeMiB << 20;
    ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);

    FTPTestServer server(FTPTestServer::Kind::vsftpd);
    {
        std::ofstream out(server.root() / "bench.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        std::mt19937_64 random(7);
        for (auto& b : block) b = static_cast<char>(random());
        for (std::int64_t i = 0; i < sizeMiB; ++i) {
            block[0] = static_cast<char>(i);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    server.write("tiny.bin", "x");
    std::filesystem::permissions(server.root() / "bench.bin", std::filesystem::perms(0644));
    server.start();
    std::printf("vsftpd on %s, file of %lld MiB\n", server.hostPort().c_str(), static_cast<long long>(sizeMiB));
    std::ifstream(server.root() / "bench.bin", std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());

    Ostrane::OstraneInfo info(Ostrane::OstraneType::ftp);
    info.host = "127.0.0.1";
    info.port = server.port();
    info.username = FTPTestServer::user;
    info.setPassword(std::string(FTPTestServer::password));
    auto client = Ostrane::CURLClient::make(info);

    const auto target = server.directory() / "downloaded.bin";
    auto download = [&] {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Ostrane::OstraneErrorRef error;
        client->download("/bench.bin", platform::URL::fileURLWithPath(target.string(), false), [&](auto e) {
            std::lock_guard lock(mutex);
            error = e;
            finished = true;
            done.notify_one();
        });
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::minutes(10), [&] { return finished; })) {
            throw std::runtime_error("download did not finish");
        }
        if (error) throw std::runtime_error("download failed: " + error->description());
    };
    // curl's start and login are timed on a one-byte file and taken off.
    auto curlGet = [&](const char* name) {
        const std::string command = "curl -s --max-time 600 --user " +
                                    ostrane_test::shellQuote(std::string(FTPTestServer::user) + ":" +
                                                             FTPTestServer::password) +
                                    " -o " + ostrane_test::shellQuote(target.string()) + " ftp://" + server.hostPort() +
                                    "/" + name;
        const auto begin = Clock::now();
        if (ostrane_test::runCommand(command, 700) != 0) throw std::runtime_error("curl failed");
        return seconds(Clock::now() - begin);
    };
    for (int round = 0; round < 3; ++round) {
        auto started = Clock::now();
        download();
        const double ours = double(size) / (1 << 20) / seconds(Clock::now() - started);
        if (std::int64_t(std::filesystem::file_size(target)) != size) throw std::runtime_error("wrong size");
        std::filesystem::remove(target);
        const double fixed = curlGet("tiny.bin");
        const double whole = curlGet("bench.bin");
        const double reference = double(size) / (1 << 20) / std::max(1e-6, whole - fixed);
        std::filesystem::remove(target);
        line("download to a local file, MiB/s (vs the curl program)", ours, reference, "MiB/s");
    }
    info.cleanup();
}

}  // namespace

int main() {
    try {
        benchParser();
        benchDownload();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-ftp: %s\n", error.what());
        return 1;
    }
}
