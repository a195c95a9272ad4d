// test-labels: sftp
// The shared client behaviour suite against a real OpenSSH sshd.

#include "SshServer.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "support/ClientBehaviourSuite.hpp"

namespace {

using ostrane_test::SshServer;

class SshBehaviourServer : public ostrane_test::BehaviourServer {
public:
    SshBehaviourServer() {
        identifier_ = Ostrane::OstraneInfo(Ostrane::OstraneType::sftp).identifier;
        Ostrane::SSHKnownHosts::setPath(sshd_.knownHosts());
    }

    std::string kind() const override { return "SFTP"; }
    void start() override { sshd_.start(); }
    void stop() override { sshd_.stop(); }
    std::filesystem::path contentRoot() const override { return sshd_.root(); }
    std::string remoteRoot() const override { return sshd_.root().string() + "/"; }
    Ostrane::OstraneInfo record() const override {
        auto info = sshd_.record();
        info.identifier = identifier_;
        info.title = "behaviour suite";
        return info;
    }
    std::string password() const override { return SshServer::password; }
    bool namesShowHidden() const override { return true; }
    bool readsAhead() const override { return true; }

private:
    SshServer sshd_;
    std::string identifier_;
};

SshBehaviourServer* sshServer() {
    static SshBehaviourServer* server = [] {
        ostrane_test::useMemoryKeychain();
        return new SshBehaviourServer();
    }();
    return server;
}

class StopSshd : public ::testing::Environment {
public:
    void TearDown() override { delete sshServer(); }
};

const auto* stopSshd = ::testing::AddGlobalTestEnvironment(new StopSshd);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(SFTP, ClientBehaviour, ::testing::Values(sshServer()), behaviourName);
}
