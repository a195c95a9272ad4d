// test-labels: unit
#include "KeychainTestSupport.hpp"
#include "keychain/ApplicationIdentity.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/MemoryItemStore.hpp"
#include "keychain/Options.hpp"
#include "keychain/SQLiteItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"

#include <filesystem>
#include <set>
#include <stdexcept>

using namespace keychain_test;

TEST(KeychainEnumerations, RawValuesDescriptionsAndLookup) {
    EXPECT_EQ(rawValue(ItemClass::genericPassword), kSecClassGenericPassword);
    EXPECT_EQ(description(ItemClass::internetPassword), "InternetPassword");
    EXPECT_EQ(ProtocolTypeAllCases.size(), 31u);
    EXPECT_EQ(ProtocolTypeAllCases.front(), ProtocolType::ftp);
    EXPECT_EQ(ProtocolTypeAllCases.back(), ProtocolType::pop3S);
    EXPECT_EQ(description(ProtocolType::telnetS), "TelnetS");
    EXPECT_EQ(rawValue(ProtocolType::https), kSecAttrProtocolHTTPS);
    EXPECT_EQ(description(AuthenticationType::default_), "Default");
    EXPECT_EQ(rawValue(AuthenticationType::htmlForm), kSecAttrAuthenticationTypeHTMLForm);
    EXPECT_EQ(description(Accessibility::afterFirstUnlockThisDeviceOnly), "AfterFirstUnlockThisDeviceOnly");
    EXPECT_EQ(description(AuthenticationUI::fail), "fail");
    EXPECT_EQ(rawValue(AuthenticationUI::skip), kSecUseAuthenticationUISkip);

    std::set<std::string> raws;
    for (ProtocolType p : ProtocolTypeAllCases) {
        raws.insert(rawValue(p));
        EXPECT_EQ(fromRawValue<ProtocolType>(rawValue(p)), p);
    }
    EXPECT_EQ(raws.size(), 31u);
    for (Accessibility a : AccessibilityAllCases) EXPECT_EQ(fromRawValue<Accessibility>(rawValue(a)), a);
    for (AuthenticationType t : AuthenticationTypeAllCases) EXPECT_EQ(fromRawValue<AuthenticationType>(rawValue(t)), t);
    EXPECT_EQ(fromRawValue<ItemClass>(kSecClassInternetPassword), ItemClass::internetPassword);

    EXPECT_FALSE(fromRawValue<ProtocolType>("HTTPS").has_value()) << "the description is not a raw value";
    EXPECT_FALSE(fromRawValue<ProtocolType>("kSecAttrProtocolGopher").has_value());
    EXPECT_FALSE(fromRawValue<Accessibility>("").has_value());
}

TEST(KeychainAuthenticationPolicy, SetAlgebra) {
    using P = AuthenticationPolicy;
    EXPECT_EQ(P::touchIDAny, P::biometryAny);
    EXPECT_EQ(P::touchIDCurrentSet, P::biometryCurrentSet);
    EXPECT_EQ((P{P::touchIDAny, P::biometryAny}).rawValue(), 2u) << "one bit for the two names";
    EXPECT_EQ(P::or_.rawValue(), 0x4000u);
    EXPECT_EQ(P::and_.rawValue(), 0x8000u);
    EXPECT_EQ(P::privateKeyUsage.rawValue(), 0x40000000u);
    EXPECT_EQ(P::applicationPassword.rawValue(), 0x80000000u);

    P set{P::userPresence, P::devicePasscode};
    EXPECT_EQ(set.rawValue(), 17u);
    EXPECT_TRUE(set.contains(P::userPresence));
    EXPECT_FALSE(set.contains(P::watch));
    EXPECT_EQ(set.union_(P::watch).rawValue(), 49u);
    EXPECT_EQ(set.intersection(P::devicePasscode), P::devicePasscode);
    EXPECT_EQ(set.symmetricDifference(P{P::devicePasscode, P::watch}).rawValue(), 33u);
    EXPECT_EQ(set.subtracting(P::userPresence), P::devicePasscode);
    EXPECT_TRUE(P().isEmpty());
    EXPECT_EQ(P().rawValue(), 0u);

    auto [inserted, member] = set.insert(P::watch);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(member, P::watch);
    EXPECT_FALSE(set.insert(P::watch).first);
    EXPECT_EQ(set.remove(P::watch), P::watch);
    EXPECT_FALSE(set.remove(P::watch).has_value());
}

TEST(KeychainSearchQuery, GenericPasswords) {
    Options o;
    o.service = "svc";
    EXPECT_EQ(o.searchQuery(true), (Dictionary{{kSecClass, kSecClassGenericPassword},
                                               {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                                               {kSecAttrService, "svc"}}));
    EXPECT_EQ(o.searchQuery(false).at(kSecAttrSynchronizable), Value(kCFBooleanFalse));
    o.synchronizable = true;
    EXPECT_EQ(o.searchQuery(false).at(kSecAttrSynchronizable), Value(kCFBooleanTrue));

    Options empty;
    EXPECT_EQ(empty.searchQuery(true).at(kSecAttrService), Value("")) << "an empty service is still sent";

    o.accessGroup = "group";
    o.authenticationPrompt = "Why";
    o.authenticationContext = std::make_shared<LAContext>();
    o.label = "never in a query";
    o.authenticationUI = AuthenticationUI::fail;
    Dictionary q = o.searchQuery(true);
    EXPECT_EQ(q.at(kSecAttrAccessGroup), Value("group"));
    EXPECT_EQ(q.at(kSecUseOperationPrompt), Value("Why"));
    EXPECT_TRUE(q.at(kSecUseAuthenticationContext).is<LAContextRef>());
    for (const char* absent : {kSecAttrLabel, kSecAttrAccount, kSecUseAuthenticationUI, kSecMatchLimit, kSecAttrAccessible})
        EXPECT_FALSE(q.count(absent)) << absent;
}

TEST(KeychainSearchQuery, InternetPasswords) {
    struct Row {
        const char* url;
        std::optional<std::string> server;
        std::optional<std::int64_t> port;
    } rows[] = {
        {"https://user:pw@example.com:8443/a/b?q", "example.com", 8443},
        {"https://example.com/path", "example.com", std::nullopt},
        {"urn:isbn:123", std::nullopt, std::nullopt},
    };
    for (const Row& r : rows) {
        Options o;
        o.itemClass = ItemClass::internetPassword;
        o.server = *platform::URL::parse(r.url);
        o.protocolType = ProtocolType::https;
        o.authenticationType = AuthenticationType::httpDigest;
        Dictionary q = o.searchQuery(true);
        SCOPED_TRACE(r.url);
        EXPECT_EQ(q.at(kSecClass), Value(kSecClassInternetPassword));
        EXPECT_EQ(q.count(kSecAttrServer) ? std::optional<Value>(q.at(kSecAttrServer)) : std::nullopt,
                  r.server ? std::optional<Value>(*r.server) : std::nullopt);
        EXPECT_EQ(q.count(kSecAttrPort) ? std::optional<Value>(q.at(kSecAttrPort)) : std::nullopt,
                  r.port ? std::optional<Value>(*r.port) : std::nullopt);
        EXPECT_EQ(q.at(kSecAttrProtocol), Value(kSecAttrProtocolHTTPS));
        EXPECT_EQ(q.at(kSecAttrAuthenticationType), Value(kSecAttrAuthenticationTypeHTTPDigest));
        EXPECT_FALSE(q.count(kSecAttrService));
        EXPECT_FALSE(q.count(kSecAttrPath)) << "the URL's path is not used";
    }
}

TEST(KeychainItemAttributes, AddAndUpdateForms) {
    Options o;
    o.service = "svc";
    o.synchronizable = true;
    auto [add, addError] = o.itemAttributes("acct", bytes("pw"));
    EXPECT_FALSE(addError);
    EXPECT_EQ(add, (Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"},
                               {kSecAttrAccount, "acct"}, {kSecValueData, bytes("pw")},
                               {kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock},
                               {kSecAttrSynchronizable, kCFBooleanTrue}}))
        << "never the synchronizable marker in an add";

    o.label = "L";
    o.comment = "C";
    auto [update, updateError] = o.itemAttributes(std::nullopt, bytes("pw"));
    EXPECT_FALSE(updateError);
    EXPECT_EQ(update, (Dictionary{{kSecValueData, bytes("pw")}, {kSecAttrLabel, "L"}, {kSecAttrComment, "C"},
                                  {kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock},
                                  {kSecAttrSynchronizable, kCFBooleanTrue}}));
}

TEST(KeychainItemAttributes, AccessControl) {
    Options o;
    o.accessibility = Accessibility::whenUnlockedThisDeviceOnly;
    o.authenticationPolicy = AuthenticationPolicy{AuthenticationPolicy::or_};
    auto [attributes, error] = o.itemAttributes(std::nullopt, bytes("pw"));
    ASSERT_FALSE(error);
    EXPECT_FALSE(attributes.count(kSecAttrAccessible));
    const auto* control = attributes.at(kSecAttrAccessControl).as<AccessControlRef>();
    ASSERT_TRUE(control && *control);
    EXPECT_EQ((*control)->protection(), kSecAttrAccessibleWhenUnlockedThisDeviceOnly);
    EXPECT_EQ((*control)->flags(), 0x4000u);

    // A check this platform cannot make stops the builder with the error, keeping what it built.
    for (AuthenticationPolicy p : {AuthenticationPolicy::userPresence, AuthenticationPolicy::biometryCurrentSet,
                                   AuthenticationPolicy::applicationPassword, AuthenticationPolicy::privateKeyUsage}) {
        o.authenticationPolicy = p;
        auto [partial, failure] = o.itemAttributes("k", bytes("pw"));
        ASSERT_TRUE(failure);
        auto status = std::dynamic_pointer_cast<const Status>(failure);
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, Status::unimplemented);
        EXPECT_EQ(failure->localizedDescription(), "Function or operation not implemented.");
        EXPECT_TRUE(partial.count(kSecValueData));
        EXPECT_FALSE(partial.count(kSecAttrAccessControl));
        EXPECT_EQ(partial.at(kSecAttrSynchronizable), Value(kSecAttrSynchronizableAny))
            << "built no further than the protection";
    }
}

TEST(KeychainObject, SettersLeaveTheReceiverAlone) {
    auto first = Keychain::make("svc", "group");
    auto second = first->label("new label")->comment("c")->attributes({{kSecAttrDescription, "one"}});
    auto third = second->attributes({{kSecAttrDescription, "two"}, {kSecAttrCreator, "me"}});
    EXPECT_FALSE(first->label().has_value());
    EXPECT_EQ(second->label(), "new label");
    EXPECT_EQ(second->service(), "svc");
    EXPECT_EQ(second->accessGroup(), "group");
    EXPECT_EQ(second->comment(), "c");
    EXPECT_EQ(second->options().attributes.at(kSecAttrDescription), Value("one"));
    EXPECT_EQ(third->options().attributes.at(kSecAttrDescription), Value("two"));
    EXPECT_EQ(third->options().attributes.at(kSecAttrCreator), Value("me"));
    EXPECT_EQ(first->authenticationUI(), AuthenticationUI::allow) << "allow when not set";
    EXPECT_EQ(first->authenticationUI(AuthenticationUI::skip)->authenticationUI(), AuthenticationUI::skip);
    EXPECT_FALSE(first->server().has_value());
    EXPECT_FALSE(first->protocolType().has_value());

    auto web = Keychain::make("https://example.com", ProtocolType::https);
    EXPECT_EQ(web->itemClass(), ItemClass::internetPassword);
    EXPECT_EQ(web->service(), "");
    EXPECT_EQ(web->server()->host(), "example.com");
    EXPECT_EQ(thrownStatus([] { Keychain::make(std::string("not a url"), ProtocolType::https); }), Status::param);
}

TEST(ApplicationIdentityTest, DefaultsSettingAndBadInput) {
    EXPECT_EQ(ApplicationIdentity::bundleIdentifier(), "com.Pellmorrow.Calvora");
    EXPECT_EQ(Keychain().service(), "com.Pellmorrow.Calvora");
    ApplicationIdentity::set("org.example", "Player");
    EXPECT_EQ(ApplicationIdentity::reverseDNSPrefix(), "org.example");
    EXPECT_EQ(ApplicationIdentity::bundleIdentifier(), "org.example.Player");
    EXPECT_EQ(Keychain::make()->service(), "org.example.Player");
    EXPECT_EQ(Keychain::makeAccessGroup("g")->service(), "org.example.Player");
    for (auto [prefix, product] : {std::pair{"", "P"}, {"org.", "P"}, {".org", "P"}, {"org", ""}, {"org", "a.b"}})
        EXPECT_THROW(ApplicationIdentity::set(prefix, product), std::invalid_argument) << prefix << "/" << product;
    EXPECT_EQ(ApplicationIdentity::bundleIdentifier(), "org.example.Player") << "a refused setting changes nothing";
    ApplicationIdentity::reset();
    EXPECT_EQ(ApplicationIdentity::bundleIdentifier(), "com.Pellmorrow.Calvora");
}


TEST(ItemStoreChoice, HostFirstThenEnvironmentThenSQLite) {
    struct Row {
        const char* variable;
        const char* expected;
    } rows[] = {{"memory", "memory"}, {"secret-service", "secret-service"}, {"sqlite", "sqlite"}, {nullptr, "sqlite"}};
    setenv("XDG_DATA_HOME", "/nonexistent/ostrane-data", 1);
    for (const Row& r : rows) {
        if (r.variable) setenv("OSTRANE_KEYCHAIN_STORE", r.variable, 1);
        else unsetenv("OSTRANE_KEYCHAIN_STORE");
        setItemStore(nullptr);
        ItemStoreRef store = itemStore();
        std::string kind = dynamic_cast<MemoryItemStore*>(store.get())          ? "memory"
                           : dynamic_cast<SecretServiceItemStore*>(store.get()) ? "secret-service"
                           : dynamic_cast<SQLiteItemStore*>(store.get())        ? "sqlite"
                                                                                : "?";
        EXPECT_EQ(kind, r.expected) << (r.variable ? r.variable : "unset");
        EXPECT_EQ(itemStore(), store) << "chosen once";
        if (auto* sqlite = dynamic_cast<SQLiteItemStore*>(store.get())) {
            EXPECT_EQ(sqlite->path(), "/nonexistent/ostrane-data/ostrane/keychain.sqlite");
        }
    }
    // A value that names no store chooses none: every password operation fails, none falls back
    // to the plaintext file.
    for (const char* unknown : {"secretservice", "SQLite", "file", " memory"}) {
        SCOPED_TRACE(unknown);
        setenv("OSTRANE_KEYCHAIN_STORE", unknown, 1);
        setItemStore(nullptr);
        ItemStoreRef store = itemStore();
        EXPECT_FALSE(dynamic_cast<SQLiteItemStore*>(store.get()));
        EXPECT_FALSE(dynamic_cast<MemoryItemStore*>(store.get()));
        EXPECT_FALSE(dynamic_cast<SecretServiceItemStore*>(store.get()));
        auto keychain = Keychain::make("store.choice");
        testing::internal::CaptureStderr();
        EXPECT_EQ(thrownStatus([&] { keychain->set("pw", "k", true); }), Status::notAvailable);
        EXPECT_EQ(thrownStatus([&] { keychain->getString("k", true); }), Status::notAvailable);
        EXPECT_EQ(thrownStatus([&] { keychain->remove("k", true); }), Status::notAvailable);
        EXPECT_EQ(thrownStatus([&] { keychain->contains("k", true); }), Status::notAvailable);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(std::string("OSTRANE_KEYCHAIN_STORE=\"") + unknown + "\""), std::string::npos) << said;
    }
    EXPECT_FALSE(std::filesystem::exists("/nonexistent/ostrane-data/ostrane/keychain.sqlite"));

    auto mine = std::make_shared<MemoryItemStore>();
    setItemStore(mine);
    EXPECT_EQ(itemStore(), mine) << "the host's choice wins over the environment";
    setItemStore(nullptr);
    unsetenv("OSTRANE_KEYCHAIN_STORE");
    unsetenv("XDG_DATA_HOME");
}

TEST(KeychainAttributesValue, AccessorsReadOnlyTheirOwnType) {
    Attributes a(Dictionary{{kSecAttrCreator, std::int64_t{1234}},
                            {kSecAttrPort, "443"},
                            {kSecAttrSynchronizable, "true"},
                            {kSecAttrLabel, "label"},
                            {kSecValueData, bytes("secret")},
                            {kSecAttrCreationDate, platform::Date(0)}});
    EXPECT_FALSE(a.creator().has_value()) << "a number is not converted to text";
    EXPECT_FALSE(a.port().has_value());
    EXPECT_FALSE(a.synchronizable().has_value());
    EXPECT_EQ(a.label(), "label");
    EXPECT_EQ(a.creationDate(), platform::Date(0));
    EXPECT_EQ(a[kSecAttrCreator], Value(std::int64_t{1234}));
    EXPECT_FALSE(a[kSecAttrComment].has_value());
    EXPECT_FALSE(a.accessControl());
    EXPECT_EQ(a.description().find("secret"), std::string::npos);
    EXPECT_NE(a.description().find("\"kSecValueData\": 6 bytes"), std::string::npos) << a.description();
    EXPECT_EQ(a.debugDescription(), a.description());
}
