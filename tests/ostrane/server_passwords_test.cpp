// test-labels: keychain
// A record's password on each store: memory, the SQLite file and the Secret Service (a private
// GNOME Keyring that this program starts itself in).
#include "keychain/ApplicationIdentity.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/Keychain.hpp"
#include "keychain/MemoryItemStore.hpp"
#include "keychain/SQLiteItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"
#include "keychain/SecretServiceSession.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "platform/base/Trace.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace KeychainStore;
using Ostrane::OstraneInfo;
using Ostrane::OstraneType;
namespace fs = std::filesystem;

struct Store {
    std::string name;
    std::function<ItemStoreRef(const fs::path& folder)> make;
};

void PrintTo(const Store& s, std::ostream* os) { *os << s.name; }

std::string stdoutOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

class ServerPasswords : public testing::TestWithParam<Store> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "ostrane-passwords-XXXXXX").string();
        ASSERT_TRUE(mkdtemp(pattern.data()));
        folder = pattern;
        setItemStore(GetParam().make(folder));
    }
    void TearDown() override {
        setItemStore(nullptr);
        Util::setTraceSink(nullptr);
        ApplicationIdentity::reset();
        fs::remove_all(folder);
    }

    static OstraneInfo record(const std::string& identifier) {
        OstraneInfo info(OstraneType::sftp);
        info.identifier = identifier;
        info.host = "127.0.0.1";
        return info;
    }

    fs::path folder;
};

TEST_P(ServerPasswords, RoundTrip) {
    OstraneInfo info = record("ROUND-TRIP-" + GetParam().name);
    std::string out = stdoutOf([&] {
        EXPECT_FALSE(info.getPassword().has_value());
        info.setPassword("first");
        EXPECT_EQ(info.getPassword(), "first");
        info.setPassword("sécond");
        EXPECT_EQ(info.getPassword(), "sécond");
        info.setPassword(std::nullopt);
        EXPECT_FALSE(info.getPassword().has_value());
        info.setPassword("again");
        info.cleanup();
        EXPECT_FALSE(info.getPassword().has_value());
        info.cleanup();   // nothing stored: nothing happens
    });
    EXPECT_EQ(out, "");
}

TEST_P(ServerPasswords, OneItemPerIdentifierUnderTheBundleIdentifier) {
    OstraneInfo a = record("A-" + GetParam().name);
    OstraneInfo b = record("B-" + GetParam().name);
    a.setPassword("pa");
    b.setPassword("pb");
    EXPECT_EQ(a.getPassword(), "pa");
    EXPECT_EQ(b.getPassword(), "pb");
    OstraneInfo copy = a;
    EXPECT_EQ(copy.getPassword(), "pa") << "a copy with the identifier reads the same password";

    // The item any client reads: service = bundle identifier, account = record identifier.
    EXPECT_EQ(ApplicationIdentity::bundleIdentifier(), "com.Pellmorrow.Calvora");
    EXPECT_EQ(Keychain::make("com.Pellmorrow.Calvora")->getString(a.identifier, true), "pa");

    // Another application identity is another service.
    ApplicationIdentity::set("org.example", "Player");
    EXPECT_FALSE(a.getPassword().has_value());
    ApplicationIdentity::reset();

    // A changed identifier orphans the password.
    OstraneInfo renamed = a;
    renamed.identifier = "RENAMED-" + GetParam().name;
    EXPECT_FALSE(renamed.getPassword().has_value());
    a.cleanup();
    b.cleanup();
    EXPECT_EQ(b.getPassword(), std::nullopt);
}

TEST_P(ServerPasswords, FailedWriteReachesTheCallerAndIsTraced) {
    std::mutex mutex;
    std::vector<Util::TraceLine> lines;
    Util::setTraceSink([&](const Util::TraceLine& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    OstraneInfo info = record("BAD-UTF8-" + GetParam().name);
    const std::string password = "not utf-8 \xff\xfe topsecret";
    platform::ErrorRef error;
    stdoutOf([&] { error = info.setPassword(password); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "A conversion error has occurred.");
    EXPECT_FALSE(info.getPassword().has_value());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].messages.size(), 1u);
    EXPECT_NE(lines[0].messages[0].find(info.identifier), std::string::npos) << lines[0].messages[0];
    EXPECT_NE(lines[0].messages[0].find("A conversion error has occurred."), std::string::npos);
    EXPECT_EQ(lines[0].messages[0].find("topsecret"), std::string::npos) << "no password in a trace line";
    EXPECT_EQ(lines[0].function, "setPassword(_:)");
}

// Two processes set and remove the password of one record at once, many times: every call
// succeeds (a set is one insert-or-update, whoever writes beside it), and the record then takes a
// password as usual.
TEST_P(ServerPasswords, TwoProcessesWritingOneRecord) {
    if (GetParam().name == "Memory") GTEST_SKIP() << "the memory store lives in one process";
    const std::string store = GetParam().name == "SQLite" ? "sqlite:" + (folder / "keychain.sqlite").string() : "secret-service";
    const std::string identifier = "SHARED-" + GetParam().name;
    const int rounds = GetParam().name == "SQLite" ? 100 : 25;
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const std::string count = std::to_string(rounds);
        std::vector<std::string> args{self, "--write-one-password", store, identifier, count};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ), 0);
        children.push_back(pid);
    }
    const auto limit = std::chrono::steady_clock::now() + ostrane_test::hangLimit;
    for (pid_t pid : children) {
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "a writer did not finish";
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "calls that failed in one writer";
    }
    OstraneInfo info = record(identifier);
    EXPECT_EQ(info.setPassword("final"), nullptr);
    EXPECT_EQ(info.getPassword(), "final");
    EXPECT_EQ(info.setPassword(std::nullopt), nullptr);
    EXPECT_FALSE(info.getPassword().has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Stores, ServerPasswords,
    testing::Values(Store{"Memory", [](const fs::path&) { return std::make_shared<MemoryItemStore>(); }},
                    Store{"SQLite",
                          [](const fs::path& folder) {
                              return std::make_shared<SQLiteItemStore>((folder / "keychain.sqlite").string());
                          }},
                    Store{"SecretService",
                          [](const fs::path&) { return std::make_shared<SecretServiceItemStore>(ostrane_test::hangLimit); }}),
    [](const auto& info) { return info.param.name; });

TEST(ServerPasswordsStore, FailureOfTheStoreIsSilent) {
    // A store file that others can read is refused: reads give nothing, writes change nothing.
    std::string pattern = (fs::temp_directory_path() / "ostrane-passwords-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    fs::path path = fs::path(pattern) / "keychain.sqlite";
    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    OstraneInfo info(OstraneType::smb);
    info.identifier = "REFUSED";
    info.setPassword("kept");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    std::string out = stdoutOf([&] {
        EXPECT_FALSE(info.getPassword().has_value());
        info.setPassword("new");
        info.cleanup();
    });
    EXPECT_NE(out.find("OSStatus error:[-25295]"), std::string::npos) << out;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(info.getPassword(), "kept") << "a failed write or removal leaves the keychain as it was";
    setItemStore(nullptr);
    fs::remove_all(pattern);
}

}  // namespace

namespace {

// One writer of TwoProcessesWritingOneRecord: sets and removes the record's password `rounds`
// times on the named store; the exit status counts the calls that failed.
int writeOnePassword(const std::string& store, const std::string& identifier, int rounds) {
    if (store.rfind("sqlite:", 0) == 0) setItemStore(std::make_shared<SQLiteItemStore>(store.substr(7)));
    else setItemStore(std::make_shared<SecretServiceItemStore>(std::chrono::seconds(5)));
    OstraneInfo info(OstraneType::sftp);
    info.identifier = identifier;
    info.host = "127.0.0.1";
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        for (const auto& password : {std::optional<std::string>("pw-" + std::to_string(getpid()) + "-" + std::to_string(i)),
                                     std::optional<std::string>("again"), std::optional<std::string>()}) {
            if (auto error = info.setPassword(password)) {
                std::fprintf(stderr, "writer %d: %s\n", static_cast<int>(getpid()), error->localizedDescription().c_str());
                ++failures;
            }
        }
    }
    return std::min(failures, 100);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--write-one-password") return writeOnePassword(argv[2], argv[3], std::atoi(argv[4]));
    return keychain_test::runTestsInSecretServiceSession(argc, argv);
}
