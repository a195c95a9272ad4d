#pragma once
// Everything the store returned for one item, with typed accessors that give a value only when
// the entry holds that type.
#include "keychain/SecItem.hpp"
#include "platform/data/Date.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace KeychainStore {

class Attributes {
public:
    explicit Attributes(Security::Dictionary attributes) : attributes_(std::move(attributes)) {}

    const Security::Dictionary& attributes() const { return attributes_; }

    std::optional<std::string> class_() const { return string(Security::kSecClass); }
    std::optional<Security::Data> data() const { return bytes(Security::kSecValueData); }
    std::optional<Security::Data> ref() const { return bytes(Security::kSecValueRef); }
    std::optional<Security::Data> persistentRef() const { return bytes(Security::kSecValuePersistentRef); }
    std::optional<std::string> accessible() const { return string(Security::kSecAttrAccessible); }
    Security::AccessControlRef accessControl() const;
    std::optional<std::string> accessGroup() const { return string(Security::kSecAttrAccessGroup); }
    std::optional<bool> synchronizable() const { return boolean(Security::kSecAttrSynchronizable); }
    std::optional<platform::Date> creationDate() const { return date(Security::kSecAttrCreationDate); }
    std::optional<platform::Date> modificationDate() const { return date(Security::kSecAttrModificationDate); }
    std::optional<std::string> attributeDescription() const { return string(Security::kSecAttrDescription); }
    std::optional<std::string> comment() const { return string(Security::kSecAttrComment); }
    std::optional<std::string> creator() const { return string(Security::kSecAttrCreator); }
    std::optional<std::string> type() const { return string(Security::kSecAttrType); }
    std::optional<std::string> label() const { return string(Security::kSecAttrLabel); }
    std::optional<bool> isInvisible() const { return boolean(Security::kSecAttrIsInvisible); }
    std::optional<bool> isNegative() const { return boolean(Security::kSecAttrIsNegative); }
    std::optional<std::string> account() const { return string(Security::kSecAttrAccount); }
    std::optional<std::string> service() const { return string(Security::kSecAttrService); }
    std::optional<Security::Data> generic() const { return bytes(Security::kSecAttrGeneric); }
    std::optional<std::string> securityDomain() const { return string(Security::kSecAttrSecurityDomain); }
    std::optional<std::string> server() const { return string(Security::kSecAttrServer); }
    std::optional<std::string> protocol() const { return string(Security::kSecAttrProtocol); }
    std::optional<std::string> authenticationType() const { return string(Security::kSecAttrAuthenticationType); }
    std::optional<std::int64_t> port() const;
    std::optional<std::string> path() const { return string(Security::kSecAttrPath); }

    /// The raw value under any key.
    std::optional<Security::Value> operator[](const std::string& key) const;

    /// The text form of the dictionary; data shows as its byte count only.
    std::string description() const { return Security::describe(attributes_); }
    std::string debugDescription() const { return description(); }

private:
    template <class T>
    std::optional<T> get(const char* key) const {
        auto it = attributes_.find(key);
        if (it == attributes_.end()) return std::nullopt;
        if (const T* v = it->second.as<T>()) return *v;
        return std::nullopt;
    }
    std::optional<std::string> string(const char* key) const { return get<std::string>(key); }
    std::optional<Security::Data> bytes(const char* key) const { return get<Security::Data>(key); }
    std::optional<bool> boolean(const char* key) const { return get<bool>(key); }
    std::optional<platform::Date> date(const char* key) const { return get<platform::Date>(key); }

    Security::Dictionary attributes_;
};

} // namespace KeychainStore
