// FTP listing lines, handle reads and downloads, side by side with a reference in the same run:
//   parse_ftp_list_line over 1,000,000 generated lines of every style  vs  one memchr pass over them
//   sequential 4 MiB handle reads of a 512 MiB file (loopback vsftpd)  vs  curl's whole file to /dev/null
//   random 1 MiB handle reads                                          vs  curl -r of one range per run
//   downloadFile of 1 GiB into a tmpfs folder                          vs  curl into the same folder
// Lines per second (the reference says how far one pass over the bytes goes), MiB/s (higher is
// better; targets: reads >= 0.8, downloads >= 1.0) or microseconds per read (lower is better).
// Needs root (the server script makes a user). OSTRANE_BENCH_SIZE_MIB changes the read file's size
// (downloads take twice that).
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
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

// A file of random bytes under the server's root, made once and read once, so both sides read
// from the page cache.
void prepareFile(const std::filesystem::path& path, std::int64_t sizeMiB) {
    if (!std::filesystem::exists(path) || std::int64_t(std::filesystem::file_size(path)) != (sizeMiB << 20)) {
        writeRandomFile(path, sizeMiB);
    }
    std::ifstream(path, std::ios::binary).ignore(std::numeric_limits<std::streamsize>::max());
}

class Bench {
public:
    Bench() : server_(FTPTestServer::Kind::vsftpd) {
        ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);
        const char* size = std::getenv("OSTRANE_BENCH_SIZE_MIB");
        readMiB_ = size ? std::atoll(size) : 512;
        downloadMiB_ = size ? 2 * readMiB_ : 1024;
        prepareFile(server_.root() / "read.bin", readMiB_);
        prepareFile(server_.root() / "download.bin", downloadMiB_);
        server_.write("tiny.bin", "x");
        server_.start();
        std::printf("vsftpd on %s; reads of a %lld MiB file, downloads of %lld MiB\n", server_.hostPort().c_str(),
                    static_cast<long long>(readMiB_), static_cast<long long>(downloadMiB_));
        info_.host = "127.0.0.1";
        info_.port = server_.port();
        info_.username = FTPTestServer::user;
        info_.setPassword(std::string(FTPTestServer::password));
        Ostrane::NetworkFileManager::shared()->setServerInfos({info_});
    }
    ~Bench() {
        Ostrane::NetworkFileManager::shared()->close(info_);
        Ostrane::NetworkFileManager::shared()->setServerInfos({});
        info_.cleanup();
    }

    platform::URL internal(const std::string& path) const {
        return *platform::URL::parse(std::string(Ostrane::NetworkFileManager::scheme) + "://" + info_.identifier + path);
    }

    /// Seconds of the curl program fetching `name` to `to` with `extra` arguments.
    double curl(const std::string& name, const std::string& to, const std::string& extra = "") const {
        const std::string command = "curl -s --max-time 600 " + extra + " --user " +
                                    ostrane_test::shellQuote(std::string(FTPTestServer::user) + ":" +
                                                             FTPTestServer::password) +
                                    " -o " + ostrane_test::shellQuote(to) + " ftp://" + server_.hostPort() + "/" + name;
        const auto begin = Clock::now();
        if (ostrane_test::runCommand(command, 700) != 0) throw std::runtime_error("curl failed");
        return seconds(Clock::now() - begin);
    }

    void reads() {
        auto handle = Ostrane::NetworkFileHandle::make(internal("/read.bin"));
        if (!handle || !handle->open()) throw std::runtime_error("the handle did not open");
        const std::int64_t size = readMiB_ << 20;
        if (handle->size() != size) throw std::runtime_error("the handle reports a wrong size");
        constexpr std::int64_t chunk = 4 << 20;
        const auto readAt = [&](std::int64_t offset, std::int64_t count) {
            const auto data = handle->read(offset, count);
            return data && std::int64_t(data->size()) == std::min(count, size - offset);
        };
        for (int round = 0; round < 3; ++round) {
            const double ours = sequentialMiBps(size, chunk, [&](std::int64_t offset) { return readAt(offset, chunk); });
            const double reference = double(readMiB_) / curl("read.bin", "/dev/null");
            line("sequential 4 MiB handle reads, MiB/s (vs curl whole file to /dev/null)", ours, reference, "MiB/s");
        }
        constexpr std::int64_t MiB = 1 << 20;
        const auto offsets = randomOffsets(size, MiB, 48);
        for (int round = 0; round < 3; ++round) {
            const double ours = microsecondsPerRead(offsets, [&](std::int64_t offset) { return readAt(offset, MiB); });
            const auto started = Clock::now();
            for (std::size_t i = 0; i < 8; ++i) {
                curl("read.bin", "/dev/null",
                     "-r " + std::to_string(offsets[i]) + "-" + std::to_string(offsets[i] + MiB - 1));
            }
            const double reference = seconds(Clock::now() - started) * 1e6 / 8;
            line("random 1 MiB handle reads, us per read (vs curl -r per range)", ours, reference, "us");
            const double sequentialMiB = sequentialMiBps(64 * MiB, MiB, [&](std::int64_t offset) { return readAt(offset, MiB); });
            line("random 1 MiB handle reads, MiB/s (vs sequential 1 MiB reads)", double(MiB) / ours, sequentialMiB, "MiB/s");
        }
        handle->close();
    }

    void downloads() {
        // tmpfs: neither side waits for a disk.
        std::string folder = "/dev/shm/ostrane-ftp-bench-XXXXXX";
        if (!::mkdtemp(folder.data())) throw std::runtime_error("no folder in /dev/shm");
        const auto target = std::filesystem::path(folder) / "downloaded.bin";
        const double megabytes = double(downloadMiB_);
        for (int round = 0; round < 3; ++round) {
            auto started = Clock::now();
            download(internal("/download.bin"), target);
            const double ours = megabytes / seconds(Clock::now() - started);
            if (std::int64_t(std::filesystem::file_size(target)) != (downloadMiB_ << 20)) throw std::runtime_error("wrong size");
            std::filesystem::remove(target);
            const double reference = megabytes / curl("download.bin", target.string());
            std::filesystem::remove(target);
            line("downloadFile to a tmpfs folder, MiB/s (vs curl to the same folder)", ours, reference, "MiB/s");
        }
        std::filesystem::remove_all(folder);
    }

private:
    static void download(const platform::URL& url, const std::filesystem::path& to) {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        Ostrane::OstraneErrorRef error;
        Ostrane::NetworkFileManager::shared()->downloadFile(url, platform::URL::fileURLWithPath(to.string(), false),
                                                            [&](auto e) {
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
    }

    FTPTestServer server_;
    Ostrane::OstraneInfo info_{Ostrane::OstraneType::ftp};
    std::int64_t readMiB_ = 512;
    std::int64_t downloadMiB_ = 1024;
};

}  // namespace

int main() {
    try {
        benchParser();
        Bench bench;
        bench.reads();
        bench.downloads();
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench-ftp: %s\n", error.what());
        return 1;
    }
}
