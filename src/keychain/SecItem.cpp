#include "keychain/SecItem.hpp"

#include "keychain/ItemStore.hpp"

#include <cstdio>

namespace KeychainStore::Security {
namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

bool Value::operator==(const Value& o) const {
    if (v_.index() != o.v_.index()) return false;
    if (const auto* a = as<AccessControlRef>()) {
        const auto* b = o.as<AccessControlRef>();
        if (!*a || !*b) return *a == *b;
        return **a == **b;
    }
    return v_ == o.v_;
}

std::string Value::description() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return quoted(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return std::to_string(v);
            } else if constexpr (std::is_same_v<T, Data>) {
                return std::to_string(v.size()) + " bytes";
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "true" : "false";
            } else if constexpr (std::is_same_v<T, platform::Date>) {
                return v.iso8601String();
            } else if constexpr (std::is_same_v<T, SynchronizableAny>) {
                return "kSecAttrSynchronizableAny";
            } else if constexpr (std::is_same_v<T, AccessControlRef>) {
                if (!v) return "nil";
                return "<SecAccessControl " + v->protection() + " " + std::to_string(v->flags()) + ">";
            } else if constexpr (std::is_same_v<T, LAContextRef>) {
                return v ? "<LAContext>" : "nil";
            } else if constexpr (std::is_same_v<T, Array>) {
                std::string text = "[";
                for (std::size_t i = 0; i < v.size(); ++i) text += (i ? ", " : "") + v[i].description();
                return text + "]";
            } else {
                return describe(v);
            }
        },
        v_);
}

std::string describe(const Dictionary& dictionary) {
    if (dictionary.empty()) return "[:]";
    std::string text = "[";
    bool first = true;
    for (const auto& [key, value] : dictionary) {
        if (!first) text += ", ";
        first = false;
        text += quoted(key) + ": " + value.description();
    }
    return text + "]";
}

AccessControlRef SecAccessControlCreateWithFlags(const std::string& protection, std::uint64_t flags,
                                                 platform::ErrorRef* error) {
    static const char* const protections[] = {
        kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock, kSecAttrAccessibleAlways,
        kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
        kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly, kSecAttrAccessibleAlwaysThisDeviceOnly,
    };
    bool known = false;
    for (const char* p : protections) known = known || protection == p;
    if (!known) {
        if (error) *error = std::make_shared<const Status>(Status::param);
        return nullptr;
    }
    if (flags & ~(kSecAccessControlOr | kSecAccessControlAnd)) {
        if (error) *error = std::make_shared<const Status>(Status::unimplemented);
        return nullptr;
    }
    return std::make_shared<const AccessControl>(protection, flags);
}

OSStatus SecItemCopyMatching(const Dictionary& query, Result* result) {
    if (result) result->reset();
    return itemStore()->copyMatching(query, result);
}

OSStatus SecItemAdd(const Dictionary& attributes, Result* result) {
    if (result) result->reset();
    return itemStore()->add(attributes, result);
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    return itemStore()->update(query, attributesToUpdate);
}

OSStatus SecItemDelete(const Dictionary& query) { return itemStore()->remove(query); }

} // namespace KeychainStore::Security
