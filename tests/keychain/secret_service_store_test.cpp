// test-labels: keychain
// The behaviour suite on the desktop Secret Service (GNOME Keyring on a private bus), with
// secret-tool as a second, independent program reading and writing the same keyring.
#include "SecretServiceSession.hpp"
#include "StoreBehaviour.hpp"
#include "keychain/SecretServiceItemStore.hpp"
#include "support/Wait.hpp"

#include <array>
#include <cstdio>

namespace keychain_test {
namespace {

// Runs a command (arguments single-quoted) and gives its standard output.
std::string run(const std::vector<std::string>& argv, const std::string& input = "") {
    std::string command = "timeout 20";
    for (const std::string& a : argv) command += " '" + a + "'";
    if (!input.empty()) command = "printf '%s' '" + input + "' | " + command;
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return output;
    std::array<char, 256> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) output.append(buffer.data(), n);
    pclose(pipe);
    return output;
}

std::shared_ptr<SecretServiceItemStore> makeStore() {
    return std::make_shared<SecretServiceItemStore>(ostrane_test::hangLimit);
}

class SecretService : public testing::Test {
protected:
    void SetUp() override { setItemStore(makeStore()); }
    void TearDown() override { setItemStore(nullptr); }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(SecretService, StoreBehaviour,
                         testing::Values(StoreFactory{"SecretService", [] { return makeStore(); }}),
                         [](const auto& info) { return info.param.name; });

TEST_F(SecretService, SecretToolReadsWhatWeWrote) {
    auto keychain = Keychain::make("test.reader");
    keychain->set("s3cret pass", "alice", true);
    EXPECT_EQ(run({"secret-tool", "lookup", "xdg:schema", SecretServiceItemStore::schemaName, "service", "test.reader",
                   "account", "alice"}),
              "s3cret pass");
    keychain->remove("alice", true);
    EXPECT_EQ(run({"secret-tool", "lookup", "xdg:schema", SecretServiceItemStore::schemaName, "service", "test.reader",
                   "account", "alice"}),
              "");
}

TEST_F(SecretService, OtherProgramsSecretsAreLeftAlone) {
    // An item of another program with the very attributes ours would have, but not our schema.
    run({"secret-tool", "store", "--label=foreign", "class", kSecClassGenericPassword, "service", "test.foreign",
         "account", "bob", "synchronizable", "false"},
        "theirs");
    ASSERT_EQ(run({"secret-tool", "lookup", "service", "test.foreign", "account", "bob"}), "theirs");

    auto keychain = Keychain::make("test.foreign");
    EXPECT_FALSE(keychain->contains("bob", true));
    EXPECT_FALSE(keychain->getString("bob", true).has_value());
    EXPECT_TRUE(keychain->allKeys().empty());
    keychain->set("ours", "bob", true);
    EXPECT_EQ(keychain->getString("bob", true), "ours");
    keychain->removeAll();
    EXPECT_FALSE(keychain->contains("bob", true));
    EXPECT_EQ(run({"secret-tool", "lookup", "service", "test.foreign", "account", "bob"}), "theirs");
}

}  // namespace keychain_test

int main(int argc, char** argv) { return keychain_test::runTestsInSecretServiceSession(argc, argv); }
