// WebDAV against a loopback Apache mod_dav (Digest), side by side with curl in the same run:
//   listing a 10,000-entry folder through the provider, to a parsed list  vs  curl sending the same
//   PROPFIND (raw transfer, nothing parsed)                         target ratio <= 1.5 (time)
//   downloading a 1 GiB file through copyItem(path:toLocalURL:)    vs  curl --digest -o FILE
//                                                                  target ratio >= 0.9 (throughput)
// Needs root or a user Apache can run as. OSTRANE_BENCH_SIZE_MIB changes the file size.
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "BenchSupport.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace ostrane_bench;
using namespace RiridOzizevud;
using ostrane_test::ApacheDAV;
namespace fs = std::filesystem;

double timeCommand(const std::string& command) {
    const auto started = Clock::now();
    if (ostrane_test::runCommand(command, 600) != 0) {
        std::fprintf(stderr, "webdav_bench: failed: %s\n", command.c_str());
        std::exit(1);
    }
    return seconds(Clock::now() - started);
}

}  // namespace

int main() {
    const char* sizeText = std::getenv("OSTRANE_BENCH_SIZE_MIB");
    const std::int64_t sizeMiB = sizeText ? std::atoll(sizeText) : 1024;

    ApacheDAV server;
    fs::create_directories(server.root() / "many");
    for (int i = 0; i < 10000; ++i)
        std::ofstream(server.root() / "many" / ("Episode " + std::to_string(i) + ".mkv")) << i;
    {
        std::ofstream big(server.root() / "big.bin", std::ios::binary);
        std::vector<char> block(1 << 20);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 31 + 7);
        for (std::int64_t i = 0; i < sizeMiB; ++i)
            big.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    server.start();

    auto provider = WebDAVFileProvider::make(*platform::URL::parse(server.url("/dav/")),
                                             platform::URLCredential(ApacheDAV::user, ApacheDAV::password));
    const std::string credentials = std::string(ApacheDAV::user) + ":" + ApacheDAV::password;
    const fs::path scratch = fs::temp_directory_path() / ("ostrane-webdav-bench-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    const auto body = WebDAVFileProvider::propfindBody({});
    std::ofstream(scratch / "propfind.xml", std::ios::binary).write(reinterpret_cast<const char*>(body.data()),
                                                                     static_cast<std::streamsize>(body.size()));

    // Listing: the first round of each warms the server's cache and the connection.
    std::vector<double> ours, theirs;
    for (int round = 0; round < 6; ++round) {
        std::promise<std::size_t> listed;
        const auto started = Clock::now();
        provider->contentsOfDirectory("/many", [&listed](std::vector<FileObjectRef> files, ErrorRef error) {
            listed.set_value(error ? 0 : files.size());
        });
        const std::size_t count = listed.get_future().get();
        const double ourTime = seconds(Clock::now() - started);
        if (count != 10000) {
            std::fprintf(stderr, "webdav_bench: listed %zu entries\n", count);
            return 1;
        }
        const double curlTime = timeCommand("curl -sf --digest -u " + ostrane_test::shellQuote(credentials) +
                                            " -X PROPFIND -H 'Depth: 1' -H 'Content-Type: text/xml; charset=utf-8'"
                                            " --data-binary @" + ostrane_test::shellQuote((scratch / "propfind.xml").string()) +
                                            " -o /dev/null " + ostrane_test::shellQuote(server.url("/dav/many/")));
        if (round > 0) {
            ours.push_back(ourTime);
            theirs.push_back(curlTime);
        }
    }
    line("list 10,000 entries (s, parsed vs raw PROPFIND)", median(ours), median(theirs), "s", 3);

    // Download: throughput in MiB/s, into a local file both ways.
    ours.clear();
    theirs.clear();
    for (int round = 0; round < 3; ++round) {
        const auto target = scratch / "ours.bin";
        fs::remove(target);
        std::promise<ErrorRef> done;
        const auto started = Clock::now();
        provider->copyItem("/big.bin", platform::URL::fileURLWithPath(target.string()),
                           [&done](ErrorRef error) { done.set_value(error); });
        if (auto error = done.get_future().get()) {
            std::fprintf(stderr, "webdav_bench: download failed: %s\n", error->localizedDescription().c_str());
            return 1;
        }
        ours.push_back(static_cast<double>(sizeMiB) / seconds(Clock::now() - started));
        fs::remove(target);
        const double curlTime = timeCommand("curl -sf --digest -u " + ostrane_test::shellQuote(credentials) + " -o " +
                                            ostrane_test::shellQuote((scratch / "curl.bin").string()) + " " +
                                            ostrane_test::shellQuote(server.url("/dav/big.bin")));
        theirs.push_back(static_cast<double>(sizeMiB) / curlTime);
        fs::remove(scratch / "curl.bin");
    }
    line("download " + std::to_string(sizeMiB) + " MiB (MiB/s)", median(ours), median(theirs), "MiB/s");

    provider.reset();
    fs::remove_all(scratch);
    server.stop();
    return 0;
}
