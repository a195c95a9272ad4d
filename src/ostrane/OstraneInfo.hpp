#pragma once
// A configured server. The host keeps records (they code to JSON); the password is never a field:
// it lives in the keychain under `identifier`.
#include "ostrane/OstraneType.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace Ostrane {

struct OstraneInfo {
    std::string identifier;  // a new upper-case UUID string by default
    std::optional<std::string> title;
    OstraneType type;
    std::string host;
    std::optional<std::string> baseDir;  // SMB: the share name
    /// Kept as given, also outside 1-65535; such a port is never used to build a URL
    /// (see isUsablePort).
    std::optional<std::int64_t> port;
    std::string username;
    std::optional<platform::URL> keyFile;  // kept for the host; coded as its absolute string

    explicit OstraneInfo(OstraneType type);

    /// SMB: host and share name not empty; other kinds: host not empty. Nothing is trimmed.
    bool isValid() const;
    static bool isUsablePort(std::int64_t port) { return port >= 1 && port <= 65535; }

    /// Keys "identifier", "title", "type", "host", "baseDir", "port", "username", "keyFile" in that
    /// order; absent optionals write no key.
    nlohmann::ordered_json toJSON() const;
    /// Requires "identifier", "type", "host", "username"; null counts as absent. Throws
    /// platform::Exception (a DecodingError) on a missing key, a wrong kind or an unknown type.
    static OstraneInfo fromJSON(const nlohmann::json& json);
    static OstraneInfo fromJSON(const nlohmann::ordered_json& json);

    // Password in the keychain, account = identifier (implemented with the keychain store).
    std::optional<std::string> getPassword() const;
    /// Stores (or with no value removes) the password. A failure leaves the keychain as it was and
    /// is answered, so the host learns the password was not kept; nullptr on success.
    platform::ErrorRef setPassword(const std::optional<std::string>& password) const;
    void cleanup() const;

    friend bool operator==(const OstraneInfo&, const OstraneInfo&) = default;
};

void to_json(nlohmann::json& json, const OstraneInfo& info);
void to_json(nlohmann::ordered_json& json, const OstraneInfo& info);

}  // namespace Ostrane

// `json.get<OstraneInfo>()` and `nlohmann::ordered_json j = info` without a default constructor.
template <>
struct nlohmann::adl_serializer<Ostrane::OstraneInfo> {
    template <class Json>
    static Ostrane::OstraneInfo from_json(const Json& json) { return Ostrane::OstraneInfo::fromJSON(json); }
    static void to_json(nlohmann::json& json, const Ostrane::OstraneInfo& info) { Ostrane::to_json(json, info); }
    static void to_json(nlohmann::ordered_json& json, const Ostrane::OstraneInfo& info) { json = info.toJSON(); }
};
