// test-labels: webdav
// The shared client behaviour suite against Apache mod_dav with Digest authentication.
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "support/ClientBehaviourSuite.hpp"

namespace {

using ostrane_test::ApacheDAV;

class WebDAVBehaviourServer : public ostrane_test::BehaviourServer {
public:
    WebDAVBehaviourServer() {
        info_.host = "127.0.0.1";
        info_.baseDir = "/dav/";
        info_.username = ApacheDAV::user;
        info_.title = "behaviour suite";
    }

    std::string kind() const override { return "WebDAV"; }
    void start() override { apache_.start(); }
    void stop() override { apache_.stop(); }
    std::filesystem::path contentRoot() const override { return apache_.root(); }
    std::string remoteRoot() const override { return "/dav/"; }
    Ostrane::OstraneInfo record() const override {
        auto info = info_;
        info.port = apache_.port();
        return info;
    }
    std::string password() const override { return ApacheDAV::password; }
    // The registry leaves WebDAV media to their address; the client serves ranged reads all the
    // same, with requests running ahead of a reader that goes on in order.
    bool streams() const override { return false; }
    bool readsAhead() const override { return true; }
    std::int64_t largeFileSize() const override { return 64LL << 20; }
    // The name listing keeps every regular file, dot names too; the tree keeps the server's order.
    bool namesShowHidden() const override { return true; }
    bool listsInServerOrder() const override { return true; }

private:
    ApacheDAV apache_;
    Ostrane::OstraneInfo info_{Ostrane::OstraneType::webdav};
};

WebDAVBehaviourServer* webdavServer() {
    static WebDAVBehaviourServer* server = nullptr;
    ostrane_test::useMemoryKeychain();
    if (!server) server = new WebDAVBehaviourServer();
    return server;
}

class StopWebDAVServer : public ::testing::Environment {
public:
    void TearDown() override { delete webdavServer(); }
};

const auto* stopWebDAV = ::testing::AddGlobalTestEnvironment(new StopWebDAVServer);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(WebDAV, ClientBehaviour, ::testing::Values(webdavServer()), behaviourName);
}
