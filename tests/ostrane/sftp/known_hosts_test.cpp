// test-labels: unit
// The known-hosts file of the SFTP client, link targets and listing entries, without a server.

#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "platform/data/Base64.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ostrane::SSHKnownHosts;
using Outcome = Ostrane::SSHKnownHosts::Outcome;
namespace fs = std::filesystem;

const std::string publicKey = "AAAAC3NzaC1lZDI1NTE5AAAAIDRzHyUFwFD+f8soEnxK2OWActOJ1zzA65yyUtVuGPnS";

std::string blobOf(const std::string& base64) {
    auto bytes = platform::Base64::decode(base64);
    return std::string(bytes->begin(), bytes->end());
}

// An ed25519 key blob whose 32 key bytes are all `fill`.
std::string fakeKey(char fill) {
    std::string blob("\0\0\0\x0bssh-ed25519\0\0\0\x20", 4 + 11 + 4);
    return blob + std::string(32, fill);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class KnownHosts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ostrane-known-hosts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        file_ = (folder_ / "deep" / "er" / "known_hosts").string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    void write(const std::string& text) {
        fs::create_directories(fs::path(file_).parent_path());
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << text;
    }

    fs::path folder_;
    std::string file_;
};

TEST_F(KnownHosts, NamesAndFingerprints) {
    EXPECT_EQ(SSHKnownHosts::entryName("NAS.Example.COM", 22), "[nas.example.com]:22");
    EXPECT_EQ(SSHKnownHosts::entryName("[::1]", 2222), "[::1]:2222");
    EXPECT_EQ(SSHKnownHosts::entryName("::1", 22), "[::1]:22");
    // As ssh-keygen -l shows it.
    EXPECT_EQ(SSHKnownHosts::fingerprint(blobOf(publicKey)), "SHA256:U6Cmehr4TyFoGjBNgNjaTUqD9gjy7wSMzP5UK1u4U8w");
}

TEST_F(KnownHosts, FirstUseRecordsThenAcceptsTheSameKeyAndRefusesAnother) {
    const auto key = blobOf(publicKey);
    const auto first = SSHKnownHosts::check(file_, "Server.local", 2222, key);
    EXPECT_EQ(first.outcome, Outcome::recorded);
    EXPECT_TRUE(first.accepted());
    const std::string line = "[server.local]:2222 ssh-ed25519 " + publicKey + "\n";
    EXPECT_EQ(readFile(file_), line);
    EXPECT_EQ(fs::status(file_).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(SSHKnownHosts::check(file_, "server.local", 2222, key).outcome, Outcome::known);

    const auto changed = SSHKnownHosts::check(file_, "server.local", 2222, fakeKey('x'));
    EXPECT_EQ(changed.outcome, Outcome::changed);
    EXPECT_FALSE(changed.accepted());
    EXPECT_NE(changed.message.find("[server.local]:2222"), std::string::npos) << changed.message;
    EXPECT_NE(changed.message.find(SSHKnownHosts::fingerprint(fakeKey('x'))), std::string::npos);
    EXPECT_EQ(readFile(file_), line) << "a changed key is never recorded";

    // Another port of the same host is another server.
    EXPECT_EQ(SSHKnownHosts::check(file_, "server.local", 2223, fakeKey('x')).outcome, Outcome::recorded);
    EXPECT_EQ(SSHKnownHosts::check(file_, "server.local", 2222, key).outcome, Outcome::known);
}

TEST_F(KnownHosts, LinesWrittenByOthers) {
    const auto key = fakeKey('k');
    const auto other = fakeKey('o');
    const auto base64 = platform::Base64::encode(key);
    const auto otherBase64 = platform::Base64::encode(other);
    write("# comment\n"
          "\n"
          "plain.host ssh-ed25519 " + otherBase64 + "\n"
          "@revoked marked.host ssh-ed25519 " + base64 + "\n"
          "|1|c2FsdA==|aGFzaA== ssh-ed25519 " + otherBase64 + "\n"
          "alias,Listed.Host ssh-ed25519 " + base64 + "\n"
          "[bracket.host]:2200 ssh-ed25519 " + otherBase64);  // no final newline
    const struct {
        const char* host;
        int port;
        const std::string& key;
        Outcome outcome;
    } cases[] = {
        {"plain.host", 22, key, Outcome::changed},    // a line without a port holds port 22
        {"plain.host", 2222, key, Outcome::recorded}, // but no other port
        {"listed.host", 22, key, Outcome::known},     // one of several names
        {"marked.host", 22, key, Outcome::recorded},  // marker lines are not entries
        {"bracket.host", 2200, key, Outcome::changed},
        {"bracket.host", 2200, other, Outcome::known},
        {"bracket.host", 22, key, Outcome::recorded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        EXPECT_EQ(SSHKnownHosts::check(file_, c.host, c.port, c.key).outcome, c.outcome);
    }
    const auto text = readFile(file_);
    EXPECT_NE(text.find(otherBase64 + "\n[plain.host]:2222 ssh-ed25519 " + base64 + "\n"), std::string::npos)
        << "appended on a line of its own:\n" << text;
    EXPECT_EQ(text.rfind("# comment\n", 0), 0u) << "nothing already there is lost";
}

TEST_F(KnownHosts, FilesThatCannotServeRefuse) {
    // The file is a folder.
    fs::create_directories(file_);
    const auto verdict = SSHKnownHosts::check(file_, "host", 22, fakeKey('a'));
    EXPECT_EQ(verdict.outcome, Outcome::failed);
    EXPECT_NE(verdict.message.find("[host]:22"), std::string::npos) << verdict.message;
    fs::remove(file_);

    EXPECT_EQ(SSHKnownHosts::check(file_, "host", 22, "not a key").outcome, Outcome::failed);
    EXPECT_EQ(SSHKnownHosts::check("", "host", 22, fakeKey('a')).outcome, Outcome::failed);
}

TEST_F(KnownHosts, ConcurrentFirstUsesRecordEachServerOnce) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int port = 1; port <= 10; ++port) {
                const auto outcome = SSHKnownHosts::check(file_, "host", 1000 + port, fakeKey(static_cast<char>('a' + port)));
                EXPECT_TRUE(outcome.accepted()) << t;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::ifstream in(file_);
    std::string line;
    std::set<std::string> lines;
    std::size_t count = 0;
    while (std::getline(in, line)) {
        lines.insert(line);
        ++count;
    }
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(lines.size(), 10u);
}

TEST_F(KnownHosts, DefaultPathAndTheHostsChoice) {
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string before = saved ? saved : "";
    ::setenv("XDG_DATA_HOME", "/data/home", 1);
    EXPECT_EQ(SSHKnownHosts::defaultPath(), "/data/home/ostrane/known_hosts");
    ::setenv("XDG_DATA_HOME", "relative", 1);
    EXPECT_NE(SSHKnownHosts::defaultPath().find("/.local/share/ostrane/known_hosts"), std::string::npos);
    EXPECT_EQ(SSHKnownHosts::path(), SSHKnownHosts::defaultPath());
    SSHKnownHosts::setPath(file_);
    EXPECT_EQ(SSHKnownHosts::path(), file_);
    SSHKnownHosts::setPath(std::nullopt);
    EXPECT_EQ(SSHKnownHosts::path(), SSHKnownHosts::defaultPath());
    if (saved) {
        ::setenv("XDG_DATA_HOME", before.c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }
}

TEST(SftpLinkTargets, RelativeTargetsAreTakenFromTheLinksFolder) {
    const struct {
        const char* directory;
        const char* target;
        const char* resolved;
    } cases[] = {
        {"/srv/media", "a.mkv", "/srv/media/a.mkv"},
        {"/srv/media/", "a.mkv", "/srv/media/a.mkv"},
        {"/srv/media", "/abs/x.mkv", "/abs/x.mkv"},
        {"/srv/media", "../other/./x", "/srv/other/x"},
        {"/srv/media", "../../../../x", "/x"},
        {"/srv/media", "sub/", "/srv/media/sub"},
        {"/", "..", "/"},
        {"media", "../x", "x"},
        {"media", "../../x", "../x"},
        {"", "x", "x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Ostrane::NMSSHClient::resolveLinkTarget(c.directory, c.target), c.resolved)
            << c.directory << " + " << c.target;
    }
}

TEST(SftpListingEntries, HiddenNamesGoAndKindsFollowTheEntry) {
    auto parent = Ostrane::OstraneDirectory::make("/srv");
    using Ostrane::NMSFTPFile;
    EXPECT_EQ(Ostrane::NMSSHClient::component(NMSFTPFile{".profile", false, false, 10}, parent), nullptr);
    EXPECT_EQ(Ostrane::NMSSHClient::component(NMSFTPFile{"", false, false, 10}, parent), nullptr);
    EXPECT_EQ(Ostrane::NMSSHClient::component(NMSFTPFile{"a/b", false, false, 10}, parent), nullptr);
    auto dir = Ostrane::NMSSHClient::component(NMSFTPFile{"movies", true, false, 4096}, parent);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->type(), Ostrane::OstraneFileType::directory);
    EXPECT_EQ(dir->path(), "/srv/movies");
    EXPECT_FALSE(dir->contents());
    auto link = Ostrane::NMSSHClient::component(NMSFTPFile{"latest", false, true, 5}, parent);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->type(), Ostrane::OstraneFileType::symbolicLink);
    auto file = std::dynamic_pointer_cast<Ostrane::OstraneFile>(
        Ostrane::NMSSHClient::component(NMSFTPFile{"a.mkv", false, false, 7}, parent));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->size(), 7);
    auto unsized = std::dynamic_pointer_cast<Ostrane::OstraneFile>(
        Ostrane::NMSSHClient::component(NMSFTPFile{"b.mkv", false, false, std::nullopt}, parent));
    ASSERT_NE(unsized, nullptr);
    EXPECT_EQ(unsized->size(), 0);
}

TEST(SftpClientWithoutServer, ShapeOfANewClient) {
    Ostrane::OstraneInfo info(Ostrane::OstraneType::sftp);
    info.host = "nas.local";
    info.username = "me";
    auto client = Ostrane::NMSSHClient::make(info);
    EXPECT_EQ(client->baseDir(), "/");
    EXPECT_EQ(client->baseDirItem()->name(), "/");
    EXPECT_EQ(client->baseDirItem(), client->baseDirItem());
    EXPECT_FALSE(client->isConnected());
    EXPECT_EQ(client->session()->port(), 22);
    EXPECT_EQ(client->open("/a"), nullptr);
    EXPECT_FALSE(client->address(*platform::URL::parse("calvora-internal://x/a")));
    EXPECT_FALSE(client->userpassword(*platform::URL::parse("calvora-internal://x/a")));

    info.baseDir = "/srv/media";
    info.port = 2222;
    auto other = Ostrane::NMSSHClient::make(info);
    EXPECT_EQ(other->baseDir(), "/srv/media");
    EXPECT_EQ(other->baseDirItem()->name(), "/srv/media");
    EXPECT_EQ(other->session()->port(), 2222);
    EXPECT_EQ(other->session()->host(), "nas.local");
}

}  // namespace
