// test-labels: unit keychain
// Each keychain operation against a store that answers with a chosen status: the value or the
// thrown Status, the line on standard output, and the queries the store was given.
#include "KeychainTestSupport.hpp"
#include "keychain/ItemStore.hpp"

#include <deque>

using namespace keychain_test;

namespace {

struct Call {
    std::string op;
    Dictionary query;
    Dictionary attributes;
};

// Answers each call with the next scripted status (0 when the script is used up) and, on success
// of a lookup with a result slot, with `result`.
class ScriptedStore : public ItemStore {
public:
    std::deque<OSStatus> statuses;
    std::optional<Value> result;
    std::vector<Call> calls;

    OSStatus copyMatching(const Dictionary& query, Result* out) override {
        calls.push_back({"copy", query, {}});
        OSStatus s = next();
        if (s == 0 && out && result) *out = *result;
        return s;
    }
    OSStatus add(const Dictionary& attributes, Result*) override {
        calls.push_back({"add", {}, attributes});
        return next();
    }
    OSStatus update(const Dictionary& query, const Dictionary& attributes) override {
        calls.push_back({"update", query, attributes});
        return next();
    }
    OSStatus remove(const Dictionary& query) override {
        calls.push_back({"delete", query, {}});
        return next();
    }

    std::string ops() const {
        std::string text;
        for (const Call& c : calls) text += (text.empty() ? "" : " ") + c.op;
        return text;
    }

private:
    OSStatus next() {
        if (statuses.empty()) return 0;
        OSStatus s = statuses.front();
        statuses.pop_front();
        return s;
    }
};

class KeychainOperations : public testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<ScriptedStore>();
        setItemStore(store);
    }
    void TearDown() override { setItemStore(nullptr); }

    // Runs `action` and describes its outcome as text: its own result, or "throws <code>".
    std::string outcome(const std::function<std::string()>& action) {
        std::string text;
        line = stdoutOf([&] {
            try {
                text = action();
            } catch (const platform::Exception& e) {
                text = "throws " + std::to_string(e.error()->code());
            }
        });
        return text;
    }

    std::shared_ptr<ScriptedStore> store;
    std::string line;
    Keychain keychain{[] {
        Options o;
        o.service = "svc";
        return o;
    }()};
};

const char* lineFor(int code) {
    switch (code) {
        case -25300: return "OSStatus error:[-25300] The specified item could not be found in the keychain.\n";
        case -25308: return "OSStatus error:[-25308] User interaction is not allowed.\n";
        case -25293: return "OSStatus error:[-25293] The user name or passphrase you entered is not correct.\n";
        case -25299: return "OSStatus error:[-25299] The specified item already exists in the keychain.\n";
        default: return "";
    }
}

std::string text(const std::optional<std::string>& s) { return s ? "value " + *s : "none"; }
std::string text(const std::optional<Data>& d) { return d ? "value " + std::string(d->begin(), d->end()) : "none"; }

struct Row {
    const char* operation;
    std::vector<OSStatus> statuses;
    const char* expected;   // outcome
    const char* calls;      // store calls in order
    int lineCode;           // whose status line is printed (0: none)
};

}  // namespace

TEST_F(KeychainOperations, OutcomeOfEachStoreStatus) {
    // A writer that keeps racing: every update misses and every add meets the item, until a store
    // without transactions of its own gives up after sixteen more turns.
    std::vector<OSStatus> racing{0, -25300, -25299};
    std::string racingCalls = "copy update add";
    for (int turn = 0; turn < 16; ++turn) {
        racing.insert(racing.end(), {-25300, -25299});
        racingCalls += " update add";
    }
    const Row rows[] = {
        {"getData", {0}, "value pw", "copy", 0},
        {"getData", {-25300}, "none", "copy", 0},
        {"getData", {-25308}, "throws -25308", "copy", -25308},
        {"getData", {-128}, "throws -128", "copy", 0},
        {"getData", {-25293}, "throws -25293", "copy", -25293},
        {"getString", {0}, "value pw", "copy", 0},
        {"getString", {-25308}, "throws -25308", "copy", -25308},
        {"subscript", {0}, "value pw", "copy", 0},
        {"subscript", {-25300}, "none", "copy", 0},
        {"subscript", {-25308}, "none", "copy", -25308},
        {"subscript", {-128}, "none", "copy", 0},
        {"subscript", {-25293}, "none", "copy", -25293},
        // The probe decides between update and add.
        {"set", {0, 0}, "done", "copy update", 0},
        {"set", {-25300, 0}, "done", "copy add", 0},
        {"set", {-25308, 0}, "done", "copy update", 0},
        {"set", {-128}, "throws -128", "copy", 0},
        {"set", {-25293}, "throws -25293", "copy", -25293},
        // The update or add itself.
        // Another writer between the probe and the write: an update that misses adds, an add
        // that meets the item updates.
        {"set", {0, -25300}, "done", "copy update add", 0},
        {"set", {-25300, -25299}, "done", "copy add update", 0},
        {"set", {0, -25300, -25299, -25300, 0}, "done", "copy update add update add", 0},
        {"set", racing, "throws -25299", racingCalls.c_str(), -25299},
        {"set", {0, -25308}, "throws -25308", "copy update", -25308},
        {"set", {0, -128}, "throws -128", "copy update", 0},
        {"set", {-25300, -25308}, "throws -25308", "copy add", -25308},
        {"set", {-25300, -25293}, "throws -25293", "copy add", -25293},
        {"subscript=", {-25300, -25293}, "done", "copy add", -25293},
        {"subscript=nil", {-25308}, "done", "delete", -25308},
        {"remove", {0}, "done", "delete", 0},
        {"remove", {-25300}, "done", "delete", 0},
        {"remove", {-25308}, "throws -25308", "delete", -25308},
        {"remove", {-128}, "throws -128", "delete", 0},
        {"remove", {-25293}, "throws -25293", "delete", -25293},
        {"removeAll", {0}, "done", "delete", 0},
        {"removeAll", {-25300}, "done", "delete", 0},
        {"removeAll", {-25308}, "throws -25308", "delete", -25308},
        {"removeAll", {-128}, "throws -128", "delete", 0},
        {"contains", {0}, "true", "copy", 0},
        {"contains", {-25300}, "false", "copy", 0},
        {"contains", {-25308}, "true", "copy", 0},
        {"containsWithUI", {-25308}, "false", "copy", 0},
        {"contains", {-128}, "throws -128", "copy", 0},
        {"contains", {-25293}, "throws -25293", "copy", -25293},
        {"allKeys", {0}, "keys a", "copy", 0},
        {"allKeys", {-25300}, "keys", "copy", 0},
        {"allKeys", {-25308}, "keys", "copy", -25308},
        {"allKeys", {-128}, "keys", "copy", 0},
        {"allKeys", {-25293}, "keys", "copy", -25293},
        {"attributes", {0}, "account a", "copy", 0},
        {"attributes", {-25300}, "none", "copy", 0},
        {"attributes", {-25308}, "none", "copy", -25308},
        {"attributes", {-128}, "none", "copy", 0},
        {"getHandler", {0}, "handler account a", "copy", 0},
        {"getHandler", {-25300}, "handler none", "copy", 0},
        {"getHandler", {-25308}, "throws -25308", "copy", -25308},
        {"getHandler", {-128}, "throws -128", "copy", 0},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.operation) + " " + std::to_string(row.statuses.front()));
        SetUp();
        store->statuses.assign(row.statuses.begin(), row.statuses.end());
        std::string op = row.operation;
        const Dictionary item{{kSecAttrAccount, "a"}, {kSecClass, kSecClassGenericPassword}};
        if (op == "allKeys") store->result = Value(Array{item});
        else if (op == "attributes" || op == "getHandler") store->result = Value(item);
        else store->result = Value(bytes("pw"));

        std::string got = outcome([&]() -> std::string {
            if (op == "getData") return text(keychain.getData("k", true));
            if (op == "getString") return text(keychain.getString("k", true));
            if (op == "subscript") return text(std::optional<std::string>(keychain["k"]));
            if (op == "set") return keychain.set("v", "k", true), "done";
            if (op == "subscript=") return keychain["k"] = "v", "done";
            if (op == "subscript=nil") return keychain["k"] = std::nullopt, "done";
            if (op == "remove") return keychain.remove("k", true), "done";
            if (op == "removeAll") return keychain.removeAll(), "done";
            if (op == "contains") return keychain.contains("k", true) ? "true" : "false";
            if (op == "containsWithUI") return keychain.contains("k", false) ? "true" : "false";
            if (op == "allKeys") {
                std::string keys = "keys";
                for (const auto& k : keychain.allKeys()) keys += " " + k;
                return keys;
            }
            if (op == "attributes") {
                auto a = keychain.subscriptAttributes("k");
                return a ? "account " + a->account().value_or("?") : "none";
            }
            if (op == "getHandler") {
                return keychain.get("k", true, [](const std::optional<Attributes>& a) {
                    return std::string("handler ") + (a ? "account " + a->account().value_or("?") : "none");
                });
            }
            return "unknown operation";
        });
        EXPECT_EQ(got, row.expected);
        EXPECT_EQ(store->ops(), row.calls);
        EXPECT_EQ(line, lineFor(row.lineCode));
        TearDown();
    }
}

TEST_F(KeychainOperations, ReadQuery) {
    store->result = Value(bytes("pw"));
    keychain.getData("k", false);
    ASSERT_EQ(store->calls.size(), 1u);
    EXPECT_EQ(store->calls[0].query, (Dictionary{
                                         {kSecClass, kSecClassGenericPassword},
                                         {kSecAttrSynchronizable, kCFBooleanFalse},
                                         {kSecAttrService, "svc"},
                                         {kSecMatchLimit, kSecMatchLimitOne},
                                         {kSecReturnData, kCFBooleanTrue},
                                         {kSecAttrAccount, "k"},
                                     }));
}

TEST_F(KeychainOperations, StoreQueriesForAddAndUpdate) {
    // A new key: probe, then add with class, service, account, data, protection, synchronizable.
    store->statuses = {-25300, 0};
    keychain.set("v", "k", false);
    ASSERT_EQ(store->ops(), "copy add");
    EXPECT_EQ(store->calls[0].query, (Dictionary{
                                         {kSecClass, kSecClassGenericPassword},
                                         {kSecAttrSynchronizable, kCFBooleanFalse},
                                         {kSecAttrService, "svc"},
                                         {kSecAttrAccount, "k"},
                                         {kSecReturnData, kCFBooleanTrue},
                                         {kSecUseAuthenticationUI, kSecUseAuthenticationUIFail},
                                     }));
    EXPECT_EQ(store->calls[1].attributes, (Dictionary{
                                              {kSecClass, kSecClassGenericPassword},
                                              {kSecAttrService, "svc"},
                                              {kSecAttrAccount, "k"},
                                              {kSecValueData, bytes("v")},
                                              {kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock},
                                              {kSecAttrSynchronizable, kCFBooleanFalse},
                                          }));

    // An existing key: the update selects with the "any" marker and changes only what may change.
    SetUp();
    store->statuses = {0, 0};
    keychain.label("L")->comment("C")->attributes({{kSecAttrDescription, "D"}})->authenticationUI(AuthenticationUI::skip)
        ->set("v", "k", false);
    ASSERT_EQ(store->ops(), "copy update");
    EXPECT_EQ(store->calls[0].query.at(kSecUseAuthenticationUI), Value(kSecUseAuthenticationUISkip));
    EXPECT_EQ(store->calls[1].query, (Dictionary{
                                         {kSecClass, kSecClassGenericPassword},
                                         {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                                         {kSecAttrService, "svc"},
                                         {kSecAttrAccount, "k"},
                                     }));
    EXPECT_EQ(store->calls[1].attributes, (Dictionary{
                                              {kSecValueData, bytes("v")},
                                              {kSecAttrLabel, "L"},
                                              {kSecAttrComment, "C"},
                                              {kSecAttrAccessible, kSecAttrAccessibleAfterFirstUnlock},
                                              {kSecAttrSynchronizable, kCFBooleanFalse},
                                              {kSecAttrDescription, "D"},
                                          }));
}

TEST_F(KeychainOperations, ContainsAsksForNoInterfaceOnlyWhenTold) {
    keychain.contains("k", true);
    keychain.contains("k", false);
    keychain.authenticationUI(AuthenticationUI::allow)->contains("k", true);
    ASSERT_EQ(store->calls.size(), 3u);
    EXPECT_EQ(store->calls[0].query.at(kSecUseAuthenticationUI), Value(kSecUseAuthenticationUIFail));
    EXPECT_FALSE(store->calls[1].query.count(kSecUseAuthenticationUI));
    EXPECT_EQ(store->calls[2].query.at(kSecUseAuthenticationUI), Value(kSecUseAuthenticationUIAllow));
    EXPECT_EQ(store->calls[0].query.at(kSecAttrSynchronizable), Value(kSecAttrSynchronizableAny));
}

TEST_F(KeychainOperations, RemoveAndListingQueries) {
    keychain.remove("k", false);
    keychain.removeAll();
    keychain.allItems();
    Keychain::allItems(ItemClass::internetPassword);
    Keychain::allKeys(ItemClass::genericPassword);
    ASSERT_EQ(store->calls.size(), 5u);
    EXPECT_EQ(store->calls[0].query.at(kSecAttrSynchronizable), Value(kCFBooleanFalse));
    EXPECT_EQ(store->calls[0].query.at(kSecAttrAccount), Value("k"));
    EXPECT_EQ(store->calls[1].query, (Dictionary{
                                         {kSecClass, kSecClassGenericPassword},
                                         {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                                         {kSecAttrService, "svc"},
                                         {kSecMatchLimit, kSecMatchLimitAll},
                                     }));
    EXPECT_EQ(store->calls[2].query.at(kSecReturnAttributes), Value(kCFBooleanTrue));
    EXPECT_EQ(store->calls[2].query.at(kSecMatchLimit), Value(kSecMatchLimitAll));
    EXPECT_EQ(store->calls[3].query, (Dictionary{
                                         {kSecClass, kSecClassInternetPassword},
                                         {kSecMatchLimit, kSecMatchLimitAll},
                                         {kSecReturnAttributes, kCFBooleanTrue},
                                     }));
    EXPECT_EQ(store->calls[4].query.at(kSecAttrSynchronizable), Value(kSecAttrSynchronizableAny));
}

TEST_F(KeychainOperations, AttributeLookupQuery) {
    store->result = Value(Dictionary{{kSecAttrAccount, "k"}});
    keychain.subscriptAttributes("k");
    ASSERT_EQ(store->calls.size(), 1u);
    const Dictionary& q = store->calls[0].query;
    for (const char* key : {kSecReturnData, kSecReturnAttributes, kSecReturnRef, kSecReturnPersistentRef})
        EXPECT_EQ(q.at(key), Value(kCFBooleanTrue)) << key;
    EXPECT_EQ(q.at(kSecMatchLimit), Value(kSecMatchLimitOne));
    EXPECT_EQ(q.at(kSecAttrSynchronizable), Value(kSecAttrSynchronizableAny));
}

TEST_F(KeychainOperations, WrongResultShapes) {
    // A success without the asked-for shape is an unexpected error, with no line.
    store->result = Value(Dictionary{});
    std::string out;
    EXPECT_EQ(outcome([&] { return text(keychain.getData("k", true)); }), "throws -99999");
    EXPECT_EQ(line, "");
    store->result = Value(bytes("x"));
    EXPECT_EQ(outcome([&] { return keychain.get("k", true, [](auto) { return std::string("called"); }); }),
              "throws -99999");
    // A listing whose success is not a list prints the status line of 0 and lists nothing.
    store->result = Value(bytes("x"));
    EXPECT_EQ(outcome([&] { return std::to_string(keychain.allKeys().size()); }), "0");
    EXPECT_EQ(line, "OSStatus error:[0] No error.\n");
}

TEST_F(KeychainOperations, ConversionErrors) {
    // Stored bytes that are not UTF-8.
    store->result = Value(Data{0xff, 0xfe});
    EXPECT_EQ(outcome([&] { return text(keychain.getString("k", true)); }), "throws -67594");
    EXPECT_EQ(line, "failed to convert data to string\n");
    EXPECT_EQ(outcome([&] { return text(std::optional<std::string>(keychain["k"])); }), "none");
    EXPECT_EQ(line, "failed to convert data to string\n");
    // A string that is not UTF-8 is never stored.
    SetUp();
    EXPECT_EQ(outcome([&] { return keychain.set(std::string("\xc3\x28"), "k", true), "done"; }), "throws -67594");
    EXPECT_EQ(line, "failed to convert string to data\n");
    EXPECT_EQ(store->ops(), "");
}

TEST_F(KeychainOperations, UnenforceablePolicyStoresNothing) {
    store->statuses = {-25300};
    auto guarded = keychain.accessibility(Accessibility::whenUnlocked, AuthenticationPolicy::userPresence);
    EXPECT_EQ(outcome([&] { return guarded->set("v", "k", true), "done"; }), "throws -4");
    EXPECT_EQ(line, "Function or operation not implemented.\n");
    EXPECT_EQ(store->ops(), "copy");
}

TEST_F(KeychainOperations, SubscriptsPassIgnoringSynchronizable) {
    keychain.subscriptData("k");
    keychain["k"] = "v";
    keychain.subscriptData("k", std::nullopt);
    ASSERT_EQ(store->ops(), "copy copy update delete");
    for (const Call& c : store->calls)
        EXPECT_EQ(c.query.at(kSecAttrSynchronizable), Value(kSecAttrSynchronizableAny)) << c.op;
}
