// test-labels: keychain
// The Secret Service when the keyring is locked or has no default collection. Runs in a keyring
// of its own, since a locked login keyring cannot be unlocked again without a prompt.
#include "KeychainTestSupport.hpp"
#include "SecretServiceSession.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"

#include <libsecret/secret.h>

namespace keychain_test {
namespace {

void lockDefaultCollection() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_TRUE(service) << (error ? error->message : "");
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_TRUE(collection) << (error ? error->message : "");
    GList objects{collection, nullptr, nullptr};
    EXPECT_EQ(secret_service_lock_sync(service, &objects, nullptr, nullptr, &error), 1);
    g_object_unref(collection);
    g_object_unref(service);
}

void dropDefaultAlias() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_TRUE(service);
    EXPECT_TRUE(secret_service_set_alias_sync(service, SECRET_COLLECTION_DEFAULT, nullptr, nullptr, &error))
        << (error ? error->message : "");
    g_object_unref(service);
}

struct Outcome {
    std::string result;
    std::string line;
};

Outcome outcomeOf(const std::function<std::string()>& action) {
    Outcome o;
    o.line = stdoutOf([&] {
        try {
            o.result = action();
        } catch (const platform::Exception& e) {
            o.result = "throws " + std::to_string(e.error()->code());
        }
    });
    return o;
}

}  // namespace

TEST(SecretServiceLocked, StatusesOfALockedKeyring) {
    // A prompt nobody can answer (there is no display) must end within the store's time limit.
    setItemStore(std::make_shared<SecretServiceItemStore>(std::chrono::seconds(5)));
    auto keychain = Keychain::make("test.locked");
    keychain->set("pw", "k", true);
    lockDefaultCollection();

    struct Row {
        const char* what;
        std::function<std::string()> action;
        const char* result;
        const char* line;
    } rows[] = {
        {"contains without interface", [&] { return std::string(keychain->contains("k", true) ? "true" : "false"); },
         "true", ""},
        {"contains, interface refused by option",
         [&] { return std::string(keychain->authenticationUI(AuthenticationUI::fail)->contains("k", false) ? "true" : "false"); },
         "false", ""},
        {"contains, locked items skipped",
         [&] { return std::string(keychain->authenticationUI(AuthenticationUI::skip)->contains("k", true) ? "true" : "false"); },
         "false", ""},
        {"read with a prompt nobody answers", [&] { return keychain->getString("k", true).value_or("none"); },
         "throws -128", ""},
        {"subscript read", [&] { return std::optional<std::string>((*keychain)["k"]).value_or("none"); }, "none", ""},
        {"store: the probe says locked, the update prompts", [&] { return keychain->set("new", "k", true), std::string("done"); },
         "throws -128", ""},
        // The add of a new item carries no interface key, so the option does not stop its prompt.
        {"store a new item", [&] {
             return keychain->authenticationUI(AuthenticationUI::fail)->set("x", "fresh", true), std::string("done");
         },
         "throws -128", ""},
        {"item call that may not show an interface", [&] {
             Dictionary q = keychain->options().searchQuery(true);
             q.emplace(kSecUseAuthenticationUI, kSecUseAuthenticationUIFail);
             return std::to_string(SecItemCopyMatching(q, nullptr));
         },
         "-25308", ""},
        {"item call that skips what needs an interface", [&] {
             Dictionary q = keychain->options().searchQuery(true);
             q.emplace(kSecUseAuthenticationUI, kSecUseAuthenticationUISkip);
             return std::to_string(SecItemCopyMatching(q, nullptr));
         },
         "-25300", ""},
        {"listing", [&] { return std::to_string(keychain->allKeys().size()); }, "0", ""},
    };
    for (const Row& row : rows) {
        Outcome o = outcomeOf(row.action);
        EXPECT_EQ(o.result, row.result) << row.what;
        EXPECT_EQ(o.line, row.line) << row.what;
    }
}

TEST(SecretServiceLocked, NoDefaultCollection) {
    setItemStore(std::make_shared<SecretServiceItemStore>(std::chrono::seconds(5)));
    dropDefaultAlias();
    Outcome o = outcomeOf([] { return Keychain::make("test.nodefault")->set("pw", "k", true), std::string("done"); });
    EXPECT_EQ(o.result, "throws -25307");
    EXPECT_EQ(o.line, "OSStatus error:[-25307] A default keychain could not be found.\n");
}

}  // namespace keychain_test

int main(int argc, char** argv) { return keychain_test::runTestsInSecretServiceSession(argc, argv); }
