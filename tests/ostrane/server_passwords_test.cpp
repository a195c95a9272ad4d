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
#include "platform/Trace.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>

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

TEST_P(ServerPasswords, FailedWriteIsSilentButTraced) {
    std::mutex mutex;
    std::vector<Util::TraceLine> lines;
    Util::setTraceSink([&](const Util::TraceLine& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    });
    OstraneInfo info = record("BAD-UTF8-" + GetParam().name);
    const std::string password = "not utf-8 \xff\xfe topsecret";
    stdoutOf([&] { info.setPassword(password); });
    EXPECT_FALSE(info.getPassword().has_value());
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].messages.size(), 1u);
    EXPECT_NE(lines[0].messages[0].find(info.identifier), std::string::npos) << lines[0].messages[0];
    EXPECT_NE(lines[0].messages[0].find("A conversion error has occurred."), std::string::npos);
    EXPECT_EQ(lines[0].messages[0].find("topsecret"), std::string::npos) << "no password in a trace line";
    EXPECT_EQ(lines[0].function, "setPassword(_:)");
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

int main(int argc, char** argv) { return keychain_test::runTestsInSecretServiceSession(argc, argv); }
