// test-labels: ftp
// The shared client behaviour suite against pyftpdlib, vsftpd, and pyftpdlib demanding TLS.
#include "FTPTestServer.hpp"
#include "support/ClientBehaviourSuite.hpp"

#include <cstdlib>

namespace {

using ostrane_test::FTPTestServer;

class FTPBehaviourServer : public ostrane_test::BehaviourServer {
public:
    explicit FTPBehaviourServer(FTPTestServer::Kind kind) : ftp_(kind) {
        info_.host = ftp_.recordHost();
        info_.username = FTPTestServer::user;
        info_.title = "behaviour suite";
    }

    std::string kind() const override { return "FTP_" + ftp_.name(); }
    void start() override {
        ftp_.start();
        // The TLS server's own certificate is the one to trust; the plain servers need none.
        if (ftp_.tls()) ::setenv("SSL_CERT_FILE", ftp_.certificate().c_str(), 1);
    }
    void stop() override { ftp_.stop(); }
    std::filesystem::path contentRoot() const override { return ftp_.root(); }
    std::string remoteRoot() const override { return "/"; }
    Ostrane::OstraneInfo record() const override {
        auto info = info_;
        info.port = ftp_.port();
        return info;
    }
    std::string password() const override { return FTPTestServer::password; }
    // FTP media are played from their address, not streamed through the client.
    bool streams() const override { return false; }
    std::int64_t largeFileSize() const override { return 64LL << 20; }
    // An open file's transfer runs ahead of the reads as far as the socket buffers go.
    bool readsAhead() const override { return true; }

private:
    FTPTestServer ftp_;
    Ostrane::OstraneInfo info_{Ostrane::OstraneType::ftp};
};

FTPBehaviourServer* ftpServer(FTPTestServer::Kind kind) {
    static FTPBehaviourServer* servers[3] = {};
    ostrane_test::useMemoryKeychain();
    auto& s = servers[static_cast<int>(kind)];
    if (!s) s = new FTPBehaviourServer(kind);
    return s;
}

class StopFTPServers : public ::testing::Environment {
public:
    void TearDown() override {
        for (auto kind : {FTPTestServer::Kind::pyftpdlib, FTPTestServer::Kind::vsftpd, FTPTestServer::Kind::pyftpdlibTLS}) {
            delete ftpServer(kind);
        }
    }
};

const auto* stopFTP = ::testing::AddGlobalTestEnvironment(new StopFTPServers);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(FTP, ClientBehaviour,
                         ::testing::Values(ftpServer(FTPTestServer::Kind::pyftpdlib),
                                           ftpServer(FTPTestServer::Kind::vsftpd),
                                           ftpServer(FTPTestServer::Kind::pyftpdlibTLS)),
                         behaviourName);
}
