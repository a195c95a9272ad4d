// test-labels: keychain
// The Secret Service when the keyring is locked or has no default collection. Runs in a keyring
// of its own, since a locked login keyring cannot be unlocked again without a prompt.
#include "KeychainTestSupport.hpp"
#include "SecretServiceSession.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"
#include "support/Wait.hpp"

#include <libsecret/secret.h>

#include <chrono>
#include <mutex>
#include <vector>

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
    secret_service_lock_sync(service, &objects, nullptr, nullptr, &error);
    EXPECT_FALSE(error) << error->message;
    g_clear_error(&error);
    g_object_unref(collection);
    g_object_unref(service);
}

// Points the "default" alias at `collection` (nullptr: at nothing).
void setDefaultAlias(SecretCollection* collection) {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_TRUE(service);
    EXPECT_TRUE(secret_service_set_alias_sync(service, SECRET_COLLECTION_DEFAULT, collection, nullptr, &error))
        << (error ? error->message : "");
    g_clear_error(&error);
    g_object_unref(service);
}

SecretCollection* defaultCollection() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    if (!service) return nullptr;
    SecretCollection* collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    g_object_unref(service);
    return collection;
}


// Stands in for the desktop's prompter and never answers: the keyring's unlock prompt then waits
// for ever unless the store gives up.
class SilentPrompter {
public:
    SilentPrompter() {
        GError* error = nullptr;
        connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!connection_) return;
        static const char xml[] =
            "<node><interface name='org.gnome.keyring.internal.Prompter'>"
            "<method name='BeginPrompting'><arg type='o' direction='in'/></method>"
            "<method name='PerformPrompt'><arg type='o' direction='in'/><arg type='s' direction='in'/>"
            "<arg type='a{sv}' direction='in'/><arg type='s' direction='in'/></method>"
            "<method name='StopPrompting'><arg type='o' direction='in'/></method>"
            "</interface></node>";
        node_ = g_dbus_node_info_new_for_xml(xml, nullptr);
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
               GDBusMethodInvocation* invocation, gpointer self) {
                auto* prompter = static_cast<SilentPrompter*>(self);
                if (g_strcmp0(method, "BeginPrompting") == 0) {
                    std::lock_guard<std::mutex> lock(prompter->mutex_);
                    prompter->held_.push_back(invocation);   // never answered
                    return;
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr, nullptr, {}};
        registration_ = g_dbus_connection_register_object(connection_, "/org/gnome/keyring/Prompter",
                                                          node_->interfaces[0], &vtable, this, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
        if (reply) {
            guint32 result = 0;
            g_variant_get(reply, "(u)", &result);
            owned_ = result == 1;
            g_variant_unref(reply);
        }
        g_clear_error(&error);
    }
    ~SilentPrompter() {
        if (!connection_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (GDBusMethodInvocation* invocation : held_)
                g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed", "gone");
            held_.clear();
        }
        if (registration_) g_dbus_connection_unregister_object(connection_, registration_);
        if (node_) g_dbus_node_info_unref(node_);
        g_object_unref(connection_);
    }
    SilentPrompter(const SilentPrompter&) = delete;
    SilentPrompter& operator=(const SilentPrompter&) = delete;
    bool owned() const { return owned_; }

private:
    GDBusConnection* connection_ = nullptr;
    GDBusNodeInfo* node_ = nullptr;
    guint registration_ = 0;
    bool owned_ = false;
    std::mutex mutex_;
    std::vector<GDBusMethodInvocation*> held_;
};

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
    SecretCollection* login = defaultCollection();
    ASSERT_TRUE(login);
    setDefaultAlias(nullptr);
    Outcome o = outcomeOf([] { return Keychain::make("test.nodefault")->set("pw", "k", true), std::string("done"); });
    EXPECT_EQ(o.result, "throws -25307");
    EXPECT_EQ(o.line, "OSStatus error:[-25307] A default keychain could not be found.\n");
    setDefaultAlias(login);
    g_object_unref(login);
}


TEST(SecretServiceLocked, UnansweredPromptEndsInTime) {
    // Runs last: the keyring keeps waiting for this prompter. Calls to it are queued on the main
    // context of this thread, which nothing runs, so they are never answered.
    SilentPrompter prompter;
    ASSERT_TRUE(prompter.owned()) << "the prompter name is free in a private bus";
    setItemStore(std::make_shared<SecretServiceItemStore>(std::chrono::seconds(2)));
    auto keychain = Keychain::make("test.silent");
    lockDefaultCollection();
    auto started = std::chrono::steady_clock::now();
    Outcome o = outcomeOf([&] { return keychain->set("pw", "k", true), std::string("done"); });
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(o.result, "throws -128");
    EXPECT_EQ(o.line, "");
    // It waited for the prompt (the prompter is ours, so no other one can fail it early), and no
    // longer than its limit and the moment given to the dismissal.
    EXPECT_GE(waited, std::chrono::seconds(2));
    EXPECT_LT(waited, ostrane_test::hangLimit / 2);
    setItemStore(nullptr);
}


}  // namespace keychain_test

int main(int argc, char** argv) { return keychain_test::runTestsInSecretServiceSession(argc, argv); }
