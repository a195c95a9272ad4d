// test-labels: ftp
// FTP reads answered from the provider's URL cache when useCache is on: the range asked for, only
// for the credential the answer was kept under, never an empty answer.
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "platform/net/URLCache.hpp"
#include "platform/net/URLSession.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

using namespace RiridOzizevud;
using ostrane_test::FTPTestServer;
using platform::Data;
using platform::ErrorRef;
using platform::URL;

namespace {

class WritableServer : public ostrane_test::ServerScript {
public:
    WritableServer() : ServerScript("ftp-pyftpdlib-writable.sh") {}
    void write(const std::string& relative, const std::string& content) const {
        const auto path = directory() / "root" / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
};

std::shared_ptr<FTPFileProvider> providerFor(int port, const std::string& password,
                                             const std::shared_ptr<platform::URLCache>& cache) {
    auto p = FTPFileProvider::make(*URL::parse("ftp://127.0.0.1:" + std::to_string(port) + "/pub/"),
                                   FTPFileProvider::Mode::default_, platform::URLCredential(FTPTestServer::user, password),
                                   cache);
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = 10;
    config.timeoutIntervalForResource = 60;
    p->setSession(platform::URLSession::make(config));
    p->setUseCache(true);
    return p;
}

std::string read(const std::shared_ptr<FTPFileProvider>& p, const std::string& path, int64_t offset = 0, int64_t length = -1) {
    auto promise = std::make_shared<std::promise<std::string>>();
    auto f = promise->get_future();
    p->contents(path, offset, length, [promise](std::optional<Data> d, ErrorRef e) {
        promise->set_value(e ? "error: " + e->localizedDescription() : std::string(d->begin(), d->end()));
    });
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready) throw std::runtime_error("no completion");
    return f.get();
}

void keep(platform::URLCache& cache, int port, const std::string& serverPath, const std::string& body,
          const std::string& password = FTPTestServer::password) {
    const auto url = URL::parse("ftp://127.0.0.1:" + std::to_string(port) + serverPath);
    cache.storeCachedResponse(
        platform::CachedURLResponse(std::make_shared<platform::URLResponse>(url, "text/plain", static_cast<int64_t>(body.size()),
                                                                            std::nullopt),
                                    Data(body.begin(), body.end())),
        platform::URLRequest(url), platform::URLCredential(FTPTestServer::user, password));
}

} // namespace

TEST(FTPCache, ReadsComeFromTheCacheWhenUseCacheIsOn) {
    WritableServer server;
    server.write("pub/a.txt", "from the server");
    server.write("pub/empty.txt", "server bytes");
    server.start();
    auto cache = platform::URLCache::make(1 << 20, 0);
    keep(*cache, server.port(), "/pub/a.txt", "from the cache");
    keep(*cache, server.port(), "/pub/empty.txt", "");
    auto p = providerFor(server.port(), FTPTestServer::password, cache);

    EXPECT_EQ(read(p, "a.txt"), "from the cache");
    EXPECT_EQ(read(p, "a.txt", 5, 3), "the") << "the range of the kept file, not all of it";
    EXPECT_EQ(read(p, "a.txt", 9, -1), "cache");
    EXPECT_EQ(read(p, "empty.txt"), "server bytes") << "an empty answer is no answer";

    // Progressive reads and downloads take the same road.
    std::string pieces;
    auto done = std::make_shared<std::promise<ErrorRef>>();
    auto finished = done->get_future();
    p->contents("a.txt", 0, -1, nullptr, [&pieces](int64_t, const Data& d) { pieces.append(d.begin(), d.end()); },
                [done](ErrorRef e) { done->set_value(e); });
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_FALSE(finished.get());
    EXPECT_EQ(pieces, "from the cache");

    p->setUseCache(false);
    EXPECT_EQ(read(p, "a.txt"), "from the server");
    server.stop();
}

TEST(FTPCache, AnAnswerKeptForOneLoginNeverServesAnother) {
    WritableServer server;
    server.write("pub/a.txt", "from the server");
    server.start();
    auto cache = platform::URLCache::make(1 << 20, 0);
    keep(*cache, server.port(), "/pub/a.txt", "kept for another password", "an-older-password");
    auto p = providerFor(server.port(), FTPTestServer::password, cache);
    EXPECT_EQ(read(p, "a.txt"), "from the server");
    server.stop();
}
