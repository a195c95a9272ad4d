#include "keychain/Keychain.hpp"

#include "keychain/ApplicationIdentity.hpp"
#include "keychain/ItemStore.hpp"

namespace KeychainStore {
namespace {

using namespace Security;

[[noreturn]] void fail(OSStatus status) { platform::throwError(statusError(status)); }
[[noreturn]] void failQuietly(Status::Case c) { platform::throwError(std::make_shared<const Status>(c)); }

std::string textOf(const Data& data) { return std::string(data.begin(), data.end()); }
Data bytesOf(const std::string& text) { return Data(text.begin(), text.end()); }

// Items of a listing query: the empty list for none, and for any other outcome after the status
// line has been written.
Array runItemQuery(const Dictionary& query) {
    Result result;
    OSStatus status = SecItemCopyMatching(query, &result);
    if (status == Status::success && result) {
        if (const Array* list = result->as<Array>()) {
            bool allDictionaries = true;
            for (const Value& v : *list) allDictionaries = allDictionaries && v.is<Dictionary>();
            if (allDictionaries) return *list;
        }
    }
    if (status != Status::itemNotFound) statusError(status);
    return {};
}

std::optional<std::string> stringAt(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end()) return std::nullopt;
    if (const std::string* s = it->second.as<std::string>()) return *s;
    return std::nullopt;
}

DisplayItem displayForm(ItemClass itemClass, const Dictionary& attributes) {
    DisplayItem item;
    item.emplace("class", description(itemClass));
    if (auto v = stringAt(attributes, kSecAttrAccessGroup)) item.emplace("accessGroup", *v);
    if (itemClass == ItemClass::internetPassword) {
        if (auto v = stringAt(attributes, kSecAttrServer)) item.emplace("server", *v);
        if (auto v = stringAt(attributes, kSecAttrProtocol)) {
            if (auto p = fromRawValue<ProtocolType>(*v)) item.emplace("protocol", description(*p));
        }
        if (auto v = stringAt(attributes, kSecAttrAuthenticationType)) {
            if (auto a = fromRawValue<AuthenticationType>(*v)) item.emplace("authenticationType", description(*a));
        }
    } else {
        if (auto v = stringAt(attributes, kSecAttrService)) item.emplace("service", *v);
    }
    if (auto v = stringAt(attributes, kSecAttrAccount)) item.emplace("key", *v);
    if (auto it = attributes.find(kSecValueData); it != attributes.end()) {
        if (const Data* data = it->second.as<Data>()) {
            std::string text = textOf(*data);
            if (isValidUTF8(text)) item.emplace("value", text);
            else item.emplace("value", *data);
        }
    }
    if (auto v = stringAt(attributes, kSecAttrAccessible)) {
        if (auto a = fromRawValue<Accessibility>(*v)) item.emplace("accessibility", description(*a));
    }
    if (auto it = attributes.find(kSecAttrSynchronizable); it != attributes.end()) {
        if (const bool* b = it->second.as<bool>()) item.emplace("synchronizable", std::string(*b ? "true" : "false"));
    }
    return item;
}

std::vector<DisplayItem> displayForms(ItemClass itemClass, const Array& items) {
    std::vector<DisplayItem> forms;
    for (const Value& v : items) forms.push_back(displayForm(itemClass, *v.as<Dictionary>()));
    return forms;
}

Dictionary classListingQuery(ItemClass itemClass, bool anySynchronizable) {
    Dictionary query{{kSecClass, rawValue(itemClass)}};
    if (anySynchronizable) query.emplace(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
    query.emplace(kSecMatchLimit, kSecMatchLimitAll);
    query.emplace(kSecReturnAttributes, kCFBooleanTrue);
    return query;
}

}  // namespace

bool isValidUTF8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) length = 2, cp = b & 0x1F;
        else if (b >= 0xE0 && b <= 0xEF) length = 3, cp = b & 0x0F;
        else if (b >= 0xF0 && b <= 0xF4) length = 4, cp = b & 0x07;
        else return false;
        if (i + length > n) return false;
        for (std::size_t k = 1; k < length; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += length;
    }
    return true;
}

Keychain::Keychain() { options_.service = ApplicationIdentity::bundleIdentifier(); }

std::shared_ptr<Keychain> Keychain::make() { return std::make_shared<Keychain>(); }

std::shared_ptr<Keychain> Keychain::make(std::string service) {
    Options o;
    o.service = std::move(service);
    return std::make_shared<Keychain>(std::move(o));
}

std::shared_ptr<Keychain> Keychain::makeAccessGroup(std::string accessGroup) {
    Options o;
    o.service = ApplicationIdentity::bundleIdentifier();
    o.accessGroup = std::move(accessGroup);
    return std::make_shared<Keychain>(std::move(o));
}

std::shared_ptr<Keychain> Keychain::make(std::string service, std::string accessGroup) {
    Options o;
    o.service = std::move(service);
    o.accessGroup = std::move(accessGroup);
    return std::make_shared<Keychain>(std::move(o));
}

std::shared_ptr<Keychain> Keychain::make(platform::URL server, ProtocolType protocolType,
                                         std::optional<std::string> accessGroup, AuthenticationType authenticationType) {
    Options o;
    o.itemClass = ItemClass::internetPassword;
    o.server = std::move(server);
    o.protocolType = protocolType;
    o.accessGroup = std::move(accessGroup);
    o.authenticationType = authenticationType;
    return std::make_shared<Keychain>(std::move(o));
}

std::shared_ptr<Keychain> Keychain::make(const std::string& server, ProtocolType protocolType,
                                         std::optional<std::string> accessGroup, AuthenticationType authenticationType) {
    auto url = platform::URL::parse(server);
    if (!url) failQuietly(Status::param);
    return make(std::move(*url), protocolType, std::move(accessGroup), authenticationType);
}

std::shared_ptr<Keychain> Keychain::copy(Options options) const { return std::make_shared<Keychain>(std::move(options)); }

std::shared_ptr<Keychain> Keychain::with(const std::function<void(Options&)>& change) const {
    Options o = options_;
    change(o);
    return copy(std::move(o));
}

std::shared_ptr<Keychain> Keychain::accessibility(Accessibility accessibility) const {
    return with([&](Options& o) { o.accessibility = accessibility; });
}

std::shared_ptr<Keychain> Keychain::accessibility(Accessibility accessibility, AuthenticationPolicy policy) const {
    return with([&](Options& o) {
        o.accessibility = accessibility;
        o.authenticationPolicy = policy;
    });
}

std::shared_ptr<Keychain> Keychain::synchronizable(bool synchronizable) const {
    return with([&](Options& o) { o.synchronizable = synchronizable; });
}

std::shared_ptr<Keychain> Keychain::label(std::string label) const {
    return with([&](Options& o) { o.label = std::move(label); });
}

std::shared_ptr<Keychain> Keychain::comment(std::string comment) const {
    return with([&](Options& o) { o.comment = std::move(comment); });
}

std::shared_ptr<Keychain> Keychain::attributes(const Dictionary& attributes) const {
    return with([&](Options& o) {
        for (const auto& [key, value] : attributes) o.attributes.insert_or_assign(key, value);
    });
}

std::shared_ptr<Keychain> Keychain::authenticationPrompt(std::string prompt) const {
    return with([&](Options& o) { o.authenticationPrompt = std::move(prompt); });
}

std::shared_ptr<Keychain> Keychain::authenticationUI(AuthenticationUI ui) const {
    return with([&](Options& o) { o.authenticationUI = ui; });
}

std::shared_ptr<Keychain> Keychain::authenticationContext(std::shared_ptr<LAContext> context) const {
    return with([&](Options& o) { o.authenticationContext = std::move(context); });
}

std::optional<Data> Keychain::getData(const std::string& key, bool ignoringAttributeSynchronizable) const {
    Dictionary query = options_.searchQuery(ignoringAttributeSynchronizable);
    query.insert_or_assign(kSecMatchLimit, kSecMatchLimitOne);
    query.insert_or_assign(kSecReturnData, kCFBooleanTrue);
    query.insert_or_assign(kSecAttrAccount, key);
    Result result;
    OSStatus status = SecItemCopyMatching(query, &result);
    if (status == Status::itemNotFound) return std::nullopt;
    if (status != Status::success) fail(status);
    if (!result || !result->is<Data>()) failQuietly(Status::unexpectedError);
    return *result->as<Data>();
}

std::optional<std::string> Keychain::getString(const std::string& key, bool ignoringAttributeSynchronizable) const {
    auto data = getData(key, ignoringAttributeSynchronizable);
    if (!data) return std::nullopt;
    std::string text = textOf(*data);
    if (!isValidUTF8(text)) {
        printLine("failed to convert data to string");
        failQuietly(Status::conversionError);
    }
    return text;
}

void Keychain::set(const std::string& value, const std::string& key, bool ignoringAttributeSynchronizable) const {
    if (!isValidUTF8(value)) {
        printLine("failed to convert string to data");
        failQuietly(Status::conversionError);
    }
    set(bytesOf(value), key, ignoringAttributeSynchronizable);
}

void Keychain::set(const Data& value, const std::string& key, bool ignoringAttributeSynchronizable) const {
    Dictionary probe = options_.searchQuery(ignoringAttributeSynchronizable);
    probe.insert_or_assign(kSecAttrAccount, key);
    probe.insert_or_assign(kSecReturnData, kCFBooleanTrue);
    probe.insert_or_assign(kSecUseAuthenticationUI,
                           options_.authenticationUI ? rawValue(*options_.authenticationUI)
                                                     : std::string(kSecUseAuthenticationUIFail));
    OSStatus status = SecItemCopyMatching(probe, nullptr);

    auto attributesFor = [&](const std::optional<std::string>& account) {
        auto [attributes, error] = options_.itemAttributes(account, value);
        if (error) {
            printLine(error->localizedDescription());
            platform::throwError(error);
        }
        for (const auto& [k, v] : options_.attributes) attributes.insert_or_assign(k, v);
        return attributes;
    };

    if (status != Status::success && status != Status::interactionNotAllowed && status != Status::itemNotFound) fail(status);
    // Another writer (thread or process) may add or remove the item between the look-up and the
    // write: an update that finds it gone adds it, and the add updates what it finds there in the
    // same step. So a set is one insert-or-update whatever runs beside it.
    Dictionary query = options_.searchQuery(true);
    query.insert_or_assign(kSecAttrAccount, key);
    if (status != Status::itemNotFound) {
        OSStatus s = SecItemUpdate(query, attributesFor(std::nullopt));
        if (s != Status::itemNotFound) {
            if (s) fail(s);
            return;
        }
    }
    if (OSStatus s = itemStore()->addOrUpdate(attributesFor(key), query, attributesFor(std::nullopt))) fail(s);
}

void Keychain::remove(const std::string& key, bool ignoringAttributeSynchronizable) const {
    Dictionary query = options_.searchQuery(ignoringAttributeSynchronizable);
    query.insert_or_assign(kSecAttrAccount, key);
    OSStatus status = SecItemDelete(query);
    if (status != Status::success && status != Status::itemNotFound) fail(status);
}

void Keychain::removeAll() const {
    Dictionary query = options_.searchQuery(true);
    query.insert_or_assign(kSecMatchLimit, kSecMatchLimitAll);
    OSStatus status = SecItemDelete(query);
    if (status != Status::success && status != Status::itemNotFound) fail(status);
}

bool Keychain::contains(const std::string& key, bool withoutAuthenticationUI) const {
    Dictionary query = options_.searchQuery(true);
    query.insert_or_assign(kSecAttrAccount, key);
    if (options_.authenticationUI) {
        query.insert_or_assign(kSecUseAuthenticationUI, rawValue(*options_.authenticationUI));
    } else if (withoutAuthenticationUI) {
        query.insert_or_assign(kSecUseAuthenticationUI, kSecUseAuthenticationUIFail);
    }
    OSStatus status = SecItemCopyMatching(query, nullptr);
    switch (status) {
        case Status::success: return true;
        case Status::interactionNotAllowed: return withoutAuthenticationUI;
        case Status::itemNotFound: return false;
        default: fail(status);
    }
}

std::optional<std::string> Keychain::subscriptString(const std::string& key) const {
    std::optional<Data> data;
    try {
        data = getData(key, true);
    } catch (const platform::Exception&) {
        return std::nullopt;
    }
    if (!data) return std::nullopt;
    std::string text = textOf(*data);
    if (!isValidUTF8(text)) {
        printLine("failed to convert data to string");
        return std::nullopt;
    }
    return text;
}

void Keychain::subscriptString(const std::string& key, const std::optional<std::string>& value) const {
    try {
        if (value) set(*value, key, true);
        else remove(key, true);
    } catch (const platform::Exception&) {
    }
}

std::optional<Data> Keychain::subscriptData(const std::string& key) const {
    try {
        return getData(key, true);
    } catch (const platform::Exception&) {
        return std::nullopt;
    }
}

void Keychain::subscriptData(const std::string& key, const std::optional<Data>& value) const {
    try {
        if (value) set(*value, key, true);
        else remove(key, true);
    } catch (const platform::Exception&) {
    }
}

std::optional<Attributes> Keychain::subscriptAttributes(const std::string& key) const {
    try {
        return lookupAttributes(key, true);
    } catch (const platform::Exception&) {
        return std::nullopt;
    }
}

std::optional<Attributes> Keychain::lookupAttributes(const std::string& key, bool ignoringAttributeSynchronizable) const {
    Dictionary query = options_.searchQuery(ignoringAttributeSynchronizable);
    query.insert_or_assign(kSecMatchLimit, kSecMatchLimitOne);
    query.insert_or_assign(kSecReturnData, kCFBooleanTrue);
    query.insert_or_assign(kSecReturnAttributes, kCFBooleanTrue);
    query.insert_or_assign(kSecReturnRef, kCFBooleanTrue);
    query.insert_or_assign(kSecReturnPersistentRef, kCFBooleanTrue);
    query.insert_or_assign(kSecAttrAccount, key);
    Result result;
    OSStatus status = SecItemCopyMatching(query, &result);
    if (status == Status::itemNotFound) return std::nullopt;
    if (status != Status::success) fail(status);
    if (!result || !result->is<Dictionary>()) failQuietly(Status::unexpectedError);
    return Attributes(*result->as<Dictionary>());
}

Array Keychain::items() const {
    Dictionary query = options_.searchQuery(true);
    query.insert_or_assign(kSecMatchLimit, kSecMatchLimitAll);
    query.insert_or_assign(kSecReturnAttributes, kCFBooleanTrue);
    return runItemQuery(query);
}

std::vector<std::string> Keychain::allKeys() const {
    std::vector<std::string> keys;
    for (const DisplayItem& item : allItems()) {
        if (auto key = stringAt(item, "key")) keys.push_back(*key);
    }
    return keys;
}

std::vector<DisplayItem> Keychain::allItems() const { return displayForms(options_.itemClass, items()); }

std::vector<std::pair<std::string, std::string>> Keychain::allKeys(ItemClass itemClass) {
    std::vector<std::pair<std::string, std::string>> keys;
    const char* first = itemClass == ItemClass::genericPassword ? "service" : "server";
    for (const DisplayItem& item : displayForms(itemClass, runItemQuery(classListingQuery(itemClass, true)))) {
        keys.emplace_back(stringAt(item, first).value_or(""), stringAt(item, "key").value_or(""));
    }
    return keys;
}

std::vector<DisplayItem> Keychain::allItems(ItemClass itemClass) {
    return displayForms(itemClass, runItemQuery(classListingQuery(itemClass, false)));
}

std::string Keychain::description() const {
    std::vector<DisplayItem> forms = allItems();
    if (forms.empty()) return "[]";
    std::string text = "[\n";
    for (const DisplayItem& item : forms) text += "  " + describe(item) + "\n";
    return text + "]";
}

std::string Keychain::debugDescription() const { return Value(items()).description(); }

} // namespace KeychainStore
