// The URL cache under the WebDAV provider, against a loopback Apache mod_dav (Digest), in one run:
//   the second listing of a 10,000-entry folder with useCache on (answered from memory)  vs  the
//   first listing of it (over the network; both parse the same 10,000 entries)
//   the memory a cache holds when full: growth of the process's resident set  vs  the configured
//   memory capacity
// Needs root or a user Apache can run as. Figures are meant from a Release build.
// bench-area: fpproviders
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "platform/net/URLCache.hpp"
#include "BenchSupport.hpp"

#include <unistd.h>

#include <cstdio>
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

constexpr int64_t kCapacity = 64 << 20;
// A 10,000-entry multistatus is tens of MiB; an answer may take a tenth of the capacity.
constexpr int64_t kListingCapacity = 512 << 20;

double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double timedListing(const std::shared_ptr<WebDAVFileProvider>& provider) {
    std::promise<std::size_t> listed;
    const auto started = Clock::now();
    provider->contentsOfDirectory("/many", [&listed](std::vector<FileObjectRef> files, ErrorRef error) {
        listed.set_value(error ? 0 : files.size());
    });
    const std::size_t count = listed.get_future().get();
    const double elapsed = seconds(Clock::now() - started);
    if (count != 10000) {
        std::fprintf(stderr, "webdav_cache_bench: listed %zu entries\n", count);
        std::exit(1);
    }
    return elapsed;
}

}  // namespace

int main() {
    ApacheDAV server;
    fs::create_directories(server.root() / "many");
    for (int i = 0; i < 10000; ++i)
        std::ofstream(server.root() / "many" / ("Episode " + std::to_string(i) + ".mkv")) << i;
    server.start();

    // Listings: each round a fresh cache, so the first listing goes to the server and the second
    // is answered from memory.
    std::vector<double> network, cached;
    for (int round = 0; round < 6; ++round) {
        auto cache = platform::URLCache::make(kListingCapacity, 0);
        auto provider = WebDAVFileProvider::make(*platform::URL::parse(server.url("/dav/")),
                                                 platform::URLCredential(ApacheDAV::user, ApacheDAV::password), cache);
        provider->setUseCache(true);
        provider->setValidatingCache(false);
        const double first = timedListing(provider);
        if (cache->currentMemoryUsage() == 0) {
            std::fprintf(stderr, "webdav_cache_bench: the listing was not kept\n");
            return 1;
        }
        if (round == 0)
            std::fprintf(stderr, "webdav_cache_bench: the listing's answer takes %.1f MiB in the cache\n",
                         static_cast<double>(cache->currentMemoryUsage()) / (1 << 20));
        const double second = timedListing(provider);
        if (round > 0) {  // the first round warms the server and the connection
            network.push_back(first);
            cached.push_back(second);
        }
    }
    line("second listing of 10,000 entries from memory vs first (s)", median(cached), median(network), "s", 4);

    // Memory: answers of 16 KiB until the cache is full (and past it, so eviction runs), against
    // the capacity it was given.
    const double before = residentMiB();
    {
        auto cache = platform::URLCache::make(kCapacity, 0);
        const platform::Data body(16 << 10, 'x');
        for (int i = 0; i < 2 * (kCapacity / (16 << 10)); ++i) {
            const auto url = platform::URL::parse("http://127.0.0.1/answers/" + std::to_string(i));
            cache->storeCachedResponse(
                platform::CachedURLResponse(std::make_shared<platform::HTTPURLResponse>(
                                                url, 200, platform::HTTPURLResponse::HeaderFields{{"ETag", "\"x\""}}),
                                            body),
                platform::URLRequest(url));
        }
        const double grown = residentMiB() - before;
        std::fprintf(stderr, "webdav_cache_bench: cache reports %.1f MiB held\n",
                     static_cast<double>(cache->currentMemoryUsage()) / (1 << 20));
        line("memory of a full 64 MiB cache (MiB, resident growth vs capacity)", grown,
             static_cast<double>(kCapacity) / (1 << 20), "MiB");
    }

    server.stop();
    return 0;
}
