// The registry's WebDAV client against a loopback Apache mod_dav (Digest), side by side with curl in
// the same run:
//   sequential 1 MiB reads through NetworkFileHandle   vs  curl --digest -o /dev/null (whole file)
//                                                          target ratio >= 0.8 (throughput)
//   random 1 MiB reads through NetworkFileHandle       vs  the sequential reads (time per read)
//   random 1 MiB reads through NetworkFileHandle       vs  libcurl's ranged GETs at the same offsets
//                                                          on one kept-alive handle (time per read)
//                                                          target ratio <= 1.5
//   downloadFile to a folder on tmpfs (/dev/shm)       vs  curl --digest -o into the same folder
//                                                          target ratio >= 1.0 (throughput)
// Needs root or a user Apache can run as. OSTRANE_BENCH_SIZE_MIB changes the size of the
// downloaded file (1024 MiB by default; the streamed file is half of it).
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "BenchSupport.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using namespace Ostrane;
using ostrane_test::ApacheDAV;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, std::int64_t mebibytes) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    for (std::int64_t i = 0; i < mebibytes; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

// The raw library under our session: one easy handle, kept alive, Digest answered once, each range
// gathered into memory as the handle's reads are.
class RawRangedReader {
public:
    RawRangedReader(const std::string& url, const std::string& credentials) : easy_(curl_easy_init()) {
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
        curl_easy_setopt(easy_, CURLOPT_USERPWD, credentials.c_str());
        curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &RawRangedReader::gather);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &bytes_);
    }
    ~RawRangedReader() { curl_easy_cleanup(easy_); }
    RawRangedReader(const RawRangedReader&) = delete;
    RawRangedReader& operator=(const RawRangedReader&) = delete;

    bool read(std::int64_t offset, std::int64_t length) {
        bytes_.clear();
        bytes_.reserve(static_cast<std::size_t>(length));
        const std::string range = std::to_string(offset) + "-" + std::to_string(offset + length - 1);
        curl_easy_setopt(easy_, CURLOPT_RANGE, range.c_str());
        return curl_easy_perform(easy_) == CURLE_OK && static_cast<std::int64_t>(bytes_.size()) == length;
    }

private:
    static std::size_t gather(char* data, std::size_t size, std::size_t count, void* user) {
        auto* bytes = static_cast<std::vector<char>*>(user);
        bytes->insert(bytes->end(), data, data + size * count);
        return size * count;
    }

    CURL* easy_;
    std::vector<char> bytes_;
};

}  // namespace

int main() {
    const char* sizeText = std::getenv("OSTRANE_BENCH_SIZE_MIB");
    const std::int64_t downloadMiB = sizeText ? std::atoll(sizeText) : 1024;
    const std::int64_t streamMiB = std::max<std::int64_t>(downloadMiB / 2, 1);
    constexpr std::int64_t chunk = 1 << 20;

    ApacheDAV server;
    fs::create_directories(server.root());
    writeFile(server.root() / "stream.bin", streamMiB);
    writeFile(server.root() / "download.bin", downloadMiB);
    server.handOver();
    server.start();

    ::setenv("OSTRANE_KEYCHAIN_STORE", "memory", 1);
    OstraneInfo info(OstraneType::webdav);
    info.host = "127.0.0.1";
    info.port = server.port();
    info.username = ApacheDAV::user;
    info.baseDir = "/dav/";
    info.setPassword(std::string(ApacheDAV::password));
    auto manager = NetworkFileManager::shared();
    manager->setServerInfos({info});
    const std::string base = std::string(NetworkFileManager::scheme) + "://" + info.identifier + "/dav/";
    const std::string credentials = std::string(ApacheDAV::user) + ":" + ApacheDAV::password;
    const auto curl = "curl -sf --digest -u " + ostrane_test::shellQuote(credentials) + " ";

    auto handle = NetworkFileHandle::make(*platform::URL::parse(base + "stream.bin"));
    if (!handle || !handle->open() || handle->size() != streamMiB * chunk) {
        std::fprintf(stderr, "webdav_bridge_bench: cannot open the streamed file\n");
        return 1;
    }
    const auto read = [&](std::int64_t offset) {
        const auto data = handle->read(offset, chunk);
        return data && static_cast<std::int64_t>(data->size()) == std::min(chunk, handle->size() - offset);
    };
    const std::string streamURL = ostrane_test::shellQuote(server.url("/dav/stream.bin"));
    secondsOfCommand(curl + "-o /dev/null " + streamURL);  // warms the server's cache
    for (int round = 0; round < 3; ++round) {
        const double ours = sequentialMiBps(handle->size(), chunk, read);
        const double theirs = static_cast<double>(streamMiB) / secondsOfCommand(curl + "-o /dev/null " + streamURL);
        line("sequential 1 MiB handle reads of " + std::to_string(streamMiB) + " MiB vs curl (MiB/s)", ours, theirs,
             "MiB/s");
    }
    const auto offsets = randomOffsets(handle->size(), chunk, 200);
    for (int round = 0; round < 3; ++round) {
        const double random = microsecondsPerRead(offsets, read);
        const double sequential = 1e6 / sequentialMiBps(handle->size(), chunk, read);
        line("random 1 MiB handle reads vs sequential ones (us per read)", random, sequential, "us");
    }
    RawRangedReader raw(server.url("/dav/stream.bin"), credentials);
    compareRandom("random 1 MiB handle reads vs libcurl kept alive (us per read)", offsets, 3, read,
                  [&](std::int64_t offset) { return raw.read(offset, std::min(chunk, handle->size() - offset)); });
    handle->close();

    std::string pattern = "/dev/shm/ostrane-webdav-bridge-bench-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::fprintf(stderr, "webdav_bridge_bench: no folder on /dev/shm\n");
        return 1;
    }
    const fs::path scratch = pattern;
    const std::string downloadURL = ostrane_test::shellQuote(server.url("/dav/download.bin"));
    for (int round = 0; round < 3; ++round) {
        const auto target = scratch / "ours.bin";
        std::promise<OstraneErrorRef> done;
        const auto started = Clock::now();
        manager->downloadFile(*platform::URL::parse(base + "download.bin"),
                              platform::URL::fileURLWithPath(target.string(), false),
                              [&done](OstraneErrorRef error) { done.set_value(error); });
        if (auto error = done.get_future().get()) {
            std::fprintf(stderr, "webdav_bridge_bench: download failed: %s\n", error->description().c_str());
            return 1;
        }
        const double ours = static_cast<double>(downloadMiB) / seconds(Clock::now() - started);
        fs::remove(target);
        const double theirs = static_cast<double>(downloadMiB) /
                              secondsOfCommand(curl + "-o " + ostrane_test::shellQuote((scratch / "curl.bin").string()) +
                                          " " + downloadURL);
        fs::remove(scratch / "curl.bin");
        line("downloadFile " + std::to_string(downloadMiB) + " MiB to tmpfs vs curl (MiB/s)", ours, theirs, "MiB/s");
    }

    fs::remove_all(scratch);
    manager->close(info);
    info.cleanup();
    server.stop();
    return 0;
}
