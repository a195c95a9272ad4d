#pragma once
// The behaviour every item store must show, run through the Keychain and the item calls. A test
// program includes this once and instantiates StoreBehaviour with a factory for its store.
#include "KeychainTestSupport.hpp"
#include "keychain/ItemStore.hpp"

#include <algorithm>
#include <functional>
#include <string>

namespace keychain_test {

struct StoreFactory {
    std::string name;
    std::function<ItemStoreRef()> make;
};

inline void PrintTo(const StoreFactory& f, std::ostream* os) { *os << f.name; }

class StoreBehaviour : public testing::TestWithParam<StoreFactory> {
protected:
    void SetUp() override {
        store = GetParam().make();
        setItemStore(store);
        // Services are unique per test, so a store that outlives the test (the Secret Service)
        // starts clean too.
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        service = std::string("test.") + info->name();
        std::replace(service.begin(), service.end(), '/', '.');
        keychain = Keychain::make(service);
        stdoutOf([&] {
            keychain->removeAll();
            keychain->synchronizable(true)->removeAll();
        });
    }
    void TearDown() override {
        stdoutOf([&] { keychain->removeAll(); });
        setItemStore(nullptr);
    }

    ItemStoreRef store;
    std::string service;
    std::shared_ptr<Keychain> keychain;
};

TEST_P(StoreBehaviour, StringRoundTrip) {
    std::string out = stdoutOf([&] {
        EXPECT_FALSE(keychain->getString("alice", true).has_value());
        EXPECT_FALSE(keychain->contains("alice", true));
        keychain->set("first", "alice", true);
        EXPECT_EQ(keychain->getString("alice", true), "first");
        EXPECT_TRUE(keychain->contains("alice", false));
        keychain->set("second", "alice", true);
        EXPECT_EQ(keychain->get("alice", true), "second");
        EXPECT_EQ(keychain->allKeys(), std::vector<std::string>{"alice"});
        keychain->remove("alice", true);
        EXPECT_FALSE(keychain->getString("alice", true).has_value());
        keychain->remove("alice", true);   // a missing item is no failure
    });
    EXPECT_EQ(out, "") << "nothing printed on success or for a missing item";
}

TEST_P(StoreBehaviour, SubscriptsAndBytes) {
    (*keychain)["k"] = "pässwörd";
    EXPECT_EQ(std::optional<std::string>((*keychain)["k"]), "pässwörd");
    const Data raw{0x00, 0xff, 0x10, 0x80};
    keychain->subscriptData("bin", raw);
    EXPECT_EQ(keychain->subscriptData("bin"), raw);
    std::string out = stdoutOf([&] { EXPECT_FALSE(keychain->subscriptString("bin").has_value()); });
    EXPECT_EQ(out, "failed to convert data to string\n");
    EXPECT_EQ(thrownStatus([&] { keychain->getString("bin", true); }), Status::conversionError);
    (*keychain)["k"] = std::nullopt;
    EXPECT_FALSE(keychain->contains("k", true));
    keychain->subscriptData("empty", Data{});
    EXPECT_EQ(keychain->subscriptData("empty"), Data{});
}

TEST_P(StoreBehaviour, SynchronizableAndLocalItemsAreApart) {
    auto synced = keychain->synchronizable(true);
    synced->set("cloud", "k", false);
    keychain->set("local", "k", false);
    EXPECT_EQ(synced->getString("k", false), "cloud");
    EXPECT_EQ(keychain->getString("k", false), "local");
    EXPECT_EQ(keychain->allKeys().size(), 2u) << "the listing sees both";
    keychain->remove("k", false);
    EXPECT_FALSE(keychain->getString("k", false).has_value());
    EXPECT_EQ(synced->getString("k", false), "cloud");
    keychain->removeAll();
    EXPECT_FALSE(synced->getString("k", true).has_value());
}

TEST_P(StoreBehaviour, ItemCallsFollowThePlatformRules) {
    const Dictionary item{
        {kSecClass, kSecClassGenericPassword}, {kSecAttrService, service}, {kSecAttrAccount, "dup"},
        {kSecValueData, bytes("secret")},      {kSecReturnAttributes, kCFBooleanTrue},
        {kSecUseAuthenticationUI, kSecUseAuthenticationUIAllow},
    };
    EXPECT_EQ(SecItemAdd(item, nullptr), 0);
    EXPECT_EQ(SecItemAdd(item, nullptr), Status::duplicateItem);

    const Dictionary base{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, service}};
    Dictionary q = base;
    q.emplace(kSecReturnAttributes, kCFBooleanTrue);
    Result r;
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    ASSERT_TRUE(r && r->is<Dictionary>());
    const Dictionary& attributes = *r->as<Dictionary>();
    EXPECT_FALSE(attributes.count(kSecValueData)) << "data only when asked for";
    for (const auto& [key, value] : attributes) {
        EXPECT_EQ(key.rfind("kSecUse", 0), std::string::npos) << key;
        EXPECT_EQ(key.rfind("kSecReturn", 0), std::string::npos) << key;
        EXPECT_EQ(key.rfind("kSecMatch", 0), std::string::npos) << key;
    }
    EXPECT_EQ(attributes.at(kSecAttrAccount), Value("dup"));
    EXPECT_EQ(attributes.at(kSecAttrSynchronizable), Value(false));
    EXPECT_TRUE(attributes.count(kSecAttrCreationDate));

    // No return key: a status and no result.
    r.reset();
    EXPECT_EQ(SecItemCopyMatching(base, &r), 0);
    EXPECT_FALSE(r.has_value());

    // Data alone comes back as bytes; with a second return key, in a dictionary.
    q = base;
    q.emplace(kSecReturnData, kCFBooleanTrue);
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    EXPECT_EQ(*r, Value(bytes("secret")));
    q.emplace(kSecReturnAttributes, kCFBooleanTrue);
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    EXPECT_EQ(r->as<Dictionary>()->at(kSecValueData), Value(bytes("secret")));

    // Limits: one item, or a list of all.
    Dictionary second = item;
    second.insert_or_assign(kSecAttrAccount, "other");
    ASSERT_EQ(SecItemAdd(second, nullptr), 0);
    q = base;
    q.emplace(kSecReturnAttributes, kCFBooleanTrue);
    q.emplace(kSecMatchLimit, kSecMatchLimitAll);
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    ASSERT_TRUE(r->is<Array>());
    EXPECT_EQ(r->as<Array>()->size(), 2u);

    // Synchronizable: absent means local only; the marker means both.
    Dictionary syncItem = item;
    syncItem.insert_or_assign(kSecAttrSynchronizable, true);
    ASSERT_EQ(SecItemAdd(syncItem, nullptr), 0) << "a synchronized twin is another item";
    q = base;
    q.emplace(kSecMatchLimit, kSecMatchLimitAll);
    q.emplace(kSecReturnAttributes, kCFBooleanTrue);
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    EXPECT_EQ(r->as<Array>()->size(), 2u);
    q.emplace(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
    ASSERT_EQ(SecItemCopyMatching(q, &r), 0);
    EXPECT_EQ(r->as<Array>()->size(), 3u);
    Dictionary syncAdd = item;
    syncAdd.insert_or_assign(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
    EXPECT_EQ(SecItemAdd(syncAdd, nullptr), Status::param) << "the marker is for queries only";

    // Update and delete act on every match and report a miss.
    Dictionary one = base;
    one.emplace(kSecAttrAccount, "nobody");
    EXPECT_EQ(SecItemUpdate(one, {{kSecValueData, bytes("x")}}), Status::itemNotFound);
    EXPECT_EQ(SecItemDelete(one), Status::itemNotFound);
    Dictionary renameQuery = base;
    renameQuery.emplace(kSecAttrAccount, "other");
    EXPECT_EQ(SecItemUpdate(renameQuery, {{kSecAttrAccount, "dup"}}), Status::duplicateItem)
        << "an update may not give two items one identity";
    Dictionary all = base;
    all.emplace(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
    EXPECT_EQ(SecItemDelete(all), 0);
    EXPECT_EQ(SecItemDelete(all), Status::itemNotFound);

    // Bad input is refused.
    EXPECT_EQ(SecItemAdd({{kSecAttrAccount, "x"}}, nullptr), Status::param) << "no class";
    Dictionary unknown = item;
    unknown.emplace("kSecAttrNoSuchThing", "x");
    EXPECT_EQ(SecItemAdd(unknown, nullptr), Status::noSuchAttr);
    Dictionary wrongType = item;
    wrongType.insert_or_assign(kSecAttrAccount, std::int64_t{5});
    EXPECT_EQ(SecItemAdd(wrongType, nullptr), Status::param);
    Dictionary serverOnGeneric = item;
    serverOnGeneric.emplace(kSecAttrServer, "example.com");
    EXPECT_EQ(SecItemAdd(serverOnGeneric, nullptr), Status::noSuchAttr);
}

TEST_P(StoreBehaviour, ListingsAndDescriptionsHideSecrets) {
    EXPECT_EQ(keychain->description(), "[]");
    EXPECT_TRUE(keychain->allKeys().empty());
    keychain->set("hunter2", "bob", true);
    Keychain::make(service + ".elsewhere")->set("x", "carol", true);

    auto items = keychain->allItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].at("class"), Value("GenericPassword"));
    EXPECT_EQ(items[0].at("service"), Value(service));
    EXPECT_EQ(items[0].at("key"), Value("bob"));
    EXPECT_EQ(items[0].at("accessibility"), Value("AfterFirstUnlock"));
    EXPECT_EQ(items[0].at("synchronizable"), Value("false"));
    EXPECT_FALSE(items[0].count("value"));

    std::string text = keychain->description();
    EXPECT_EQ(text.rfind("[\n  [", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\n]");
    EXPECT_EQ(text.find("hunter2"), std::string::npos);
    EXPECT_EQ(keychain->debugDescription().find("hunter2"), std::string::npos);

    auto attributes = keychain->subscriptAttributes("bob");
    ASSERT_TRUE(attributes);
    EXPECT_EQ(attributes->data(), bytes("hunter2"));
    EXPECT_EQ(attributes->description().find("hunter2"), std::string::npos) << attributes->description();
    EXPECT_NE(attributes->description().find("7 bytes"), std::string::npos) << attributes->description();

    bool found = false;
    for (const auto& [svc, key] : Keychain::allKeys(ItemClass::genericPassword)) found = found || (svc == service && key == "bob");
    EXPECT_TRUE(found);
    Keychain::make(service + ".elsewhere")->removeAll();
}

TEST_P(StoreBehaviour, ItemAttributes) {
    auto labelled = keychain->label("Label")->comment("Comment")->attributes({{kSecAttrDescription, "Desc"}});
    labelled->set("pw", "acct", true);
    auto a = keychain->subscriptAttributes("acct");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->class_(), std::string(kSecClassGenericPassword));
    EXPECT_EQ(a->account(), "acct");
    EXPECT_EQ(a->service(), service);
    EXPECT_EQ(a->label(), "Label");
    EXPECT_EQ(a->comment(), "Comment");
    EXPECT_EQ(a->attributeDescription(), "Desc");
    EXPECT_EQ(a->accessible(), std::string(kSecAttrAccessibleAfterFirstUnlock));
    EXPECT_EQ(a->synchronizable(), false);
    EXPECT_EQ(a->data(), bytes("pw"));
    EXPECT_TRUE(a->persistentRef().has_value());
    EXPECT_FALSE(a->port().has_value()) << "generic passwords have no port";
    EXPECT_FALSE(a->server().has_value());
    ASSERT_TRUE(a->creationDate());
    ASSERT_TRUE(a->modificationDate());
    EXPECT_EQ((*a)[kSecAttrAccount], Value("acct"));
    EXPECT_FALSE((*a)["kSecAttrNoSuchThing"].has_value());

    // An update changes data, protection and the modification date, not the creation date.
    platform::Date created = *a->creationDate();
    keychain->accessibility(Accessibility::whenUnlocked)->set("pw2", "acct", true);
    auto b = keychain->subscriptAttributes("acct");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data(), bytes("pw2"));
    EXPECT_EQ(b->accessible(), std::string(kSecAttrAccessibleWhenUnlocked));
    EXPECT_EQ(b->label(), "Label") << "an update without a label keeps it";
    EXPECT_EQ(*b->creationDate(), created);
    EXPECT_GE(b->modificationDate()->timeIntervalSince1970(), a->modificationDate()->timeIntervalSince1970());

    int calls = 0;
    auto result = keychain->get("missing", true, [&](const std::optional<Attributes>& none) {
        ++calls;
        return none.has_value() ? 1 : 2;
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(calls, 1);
}

TEST_P(StoreBehaviour, InternetPasswords) {
    auto web = Keychain::make(*platform::URL::parse("https://" + service + ":8443/path"), ProtocolType::https);
    auto plain = Keychain::make("ftp://" + service, ProtocolType::ftp, std::nullopt, AuthenticationType::httpBasic);
    stdoutOf([&] {
        web->removeAll();
        plain->removeAll();
    });
    web->set("webpw", "user", true);
    plain->set("ftppw", "user", true);
    EXPECT_EQ(web->getString("user", true), "webpw");
    EXPECT_EQ(plain->getString("user", true), "ftppw");

    auto a = web->subscriptAttributes("user");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->server(), service);
    EXPECT_EQ(a->port(), 8443);
    EXPECT_EQ(a->protocol(), std::string(kSecAttrProtocolHTTPS));
    EXPECT_FALSE(a->service().has_value());

    auto items = plain->allItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].at("class"), Value("InternetPassword"));
    EXPECT_EQ(items[0].at("protocol"), Value("FTP"));
    EXPECT_EQ(items[0].at("authenticationType"), Value("HTTPBasic"));
    EXPECT_EQ(items[0].at("server"), Value(service));

    int pairs = 0;
    for (const auto& [server, key] : Keychain::allKeys(ItemClass::internetPassword))
        pairs += server == service && key == "user";
    EXPECT_EQ(pairs, 2);
    web->removeAll();
    plain->removeAll();
    EXPECT_FALSE(web->contains("user", true));
}

TEST_P(StoreBehaviour, ProtectionThatCannotBeHonouredStoresNothing) {
    for (AuthenticationPolicy policy : {AuthenticationPolicy::userPresence, AuthenticationPolicy::biometryAny,
                                        AuthenticationPolicy::devicePasscode, AuthenticationPolicy::watch}) {
        auto guarded = keychain->accessibility(Accessibility::whenUnlocked, policy);
        std::optional<int> thrown;
        std::string out = stdoutOf([&] { thrown = thrownStatus([&] { guarded->set("pw", "guarded", true); }); });
        EXPECT_EQ(thrown, Status::unimplemented);
        EXPECT_EQ(out, "Function or operation not implemented.\n");
        EXPECT_FALSE(keychain->contains("guarded", true));
    }
    // The combinators alone ask for nothing this platform lacks.
    keychain->accessibility(Accessibility::whenUnlocked, AuthenticationPolicy::or_)->set("pw", "plain", true);
    auto a = keychain->subscriptAttributes("plain");
    ASSERT_TRUE(a && a->accessControl());
    EXPECT_EQ(a->accessControl()->flags(), AuthenticationPolicy::or_.rawValue());
    EXPECT_EQ(a->accessible(), std::string(kSecAttrAccessibleWhenUnlocked));
}

TEST_P(StoreBehaviour, UnknownExtraAttributeIsRefused) {
    auto odd = keychain->attributes({{"kSecAttrNoSuchThing", "x"}});
    std::optional<int> thrown;
    std::string out = stdoutOf([&] { thrown = thrownStatus([&] { odd->set("pw", "k", true); }); });
    EXPECT_EQ(thrown, Status::noSuchAttr);
    EXPECT_EQ(out, "OSStatus error:[-25303] The specified attribute does not exist.\n");
    EXPECT_FALSE(keychain->contains("k", true));
}

}  // namespace keychain_test
