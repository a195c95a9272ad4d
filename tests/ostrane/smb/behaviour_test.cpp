// test-labels: smb tsan
// The shared client behaviour suite against a real smbd.

#include "support/ClientBehaviourSuite.hpp"
#include "support/SambaServer.hpp"

namespace {

using ostrane_test::SambaServer;

class SambaBehaviourServer : public ostrane_test::BehaviourServer {
public:
    std::string kind() const override { return "SMB"; }
    void start() override { samba_.start(); }
    void stop() override { samba_.stop(); }
    std::filesystem::path contentRoot() const override { return samba_.shareDirectory(); }
    std::string remoteRoot() const override { return "/"; }
    Ostrane::OstraneInfo record() const override {
        auto info = info_;
        info.port = samba_.port();
        return info;
    }
    std::string password() const override { return SambaServer::password; }
    std::string forbiddenNameCharacters() const override { return "?\"*:<>|\\"; }

    SambaBehaviourServer() {
        info_.host = "127.0.0.1";
        info_.baseDir = SambaServer::share;
        info_.username = SambaServer::user;
        info_.title = "behaviour suite";
    }

private:
    SambaServer samba_;
    Ostrane::OstraneInfo info_{Ostrane::OstraneType::smb};
};

SambaBehaviourServer* sambaServer() {
    static SambaBehaviourServer* server = [] {
        ostrane_test::useMemoryKeychain();
        return new SambaBehaviourServer();
    }();
    return server;
}

class StopSamba : public ::testing::Environment {
public:
    void TearDown() override { delete sambaServer(); }
};

const auto* stopSamba = ::testing::AddGlobalTestEnvironment(new StopSamba);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(SMB, ClientBehaviour, ::testing::Values(sambaServer()), behaviourName);
}
