#include "keychain/Attributes.hpp"

namespace KeychainStore {

Security::AccessControlRef Attributes::accessControl() const {
    return get<Security::AccessControlRef>(Security::kSecAttrAccessControl).value_or(nullptr);
}

std::optional<std::int64_t> Attributes::port() const { return get<std::int64_t>(Security::kSecAttrPort); }

std::optional<Security::Value> Attributes::operator[](const std::string& key) const {
    auto it = attributes_.find(key);
    if (it == attributes_.end()) return std::nullopt;
    return it->second;
}

} // namespace KeychainStore
