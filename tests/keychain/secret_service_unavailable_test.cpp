// test-labels: keychain
// The Secret Service store when no service can be reached.
#include "KeychainTestSupport.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"

#include <cstdlib>

namespace keychain_test {

TEST(SecretServiceUnavailable, EveryCallReportsNoKeychain) {
    // A bus address nobody listens on: no daemon can be started for us either.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ostrane-test-bus", 1);
    setItemStore(std::make_shared<SecretServiceItemStore>(std::chrono::seconds(5)));
    auto keychain = Keychain::make("test.unavailable");
    const std::string line = "OSStatus error:[-25291] No keychain is available. You may need to restart your computer.\n";

    std::optional<int> thrown;
    EXPECT_EQ(stdoutOf([&] { thrown = thrownStatus([&] { keychain->contains("k", true); }); }), line);
    EXPECT_EQ(thrown, Status::notAvailable);
    EXPECT_EQ(stdoutOf([&] { thrown = thrownStatus([&] { keychain->set("pw", "k", true); }); }), line);
    EXPECT_EQ(thrown, Status::notAvailable);
    EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(keychain->subscriptString("k").has_value()); }), line);
    EXPECT_EQ(stdoutOf([&] { EXPECT_TRUE(keychain->allItems().empty()); }), line);
    setItemStore(nullptr);
}

}  // namespace keychain_test
