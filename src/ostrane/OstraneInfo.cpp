#include "ostrane/OstraneInfo.hpp"

#include "platform/data/JSON.hpp"
#include "platform/data/UUID.hpp"

namespace Ostrane {

namespace JSON = platform::JSON;

OstraneInfo::OstraneInfo(OstraneType type) : identifier(platform::UUID().uuidString()), type(type) {}

bool OstraneInfo::isValid() const {
    if (host.empty()) return false;
    if (type == OstraneType::smb) return baseDir.has_value() && !baseDir->empty();
    return true;
}

nlohmann::ordered_json OstraneInfo::toJSON() const {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["identifier"] = identifier;
    if (title) out["title"] = *title;
    out["type"] = std::string(rawValue(type));
    out["host"] = host;
    if (baseDir) out["baseDir"] = *baseDir;
    if (port) out["port"] = *port;
    out["username"] = username;
    if (keyFile) out["keyFile"] = keyFile->absoluteString();
    return out;
}

OstraneInfo OstraneInfo::fromJSON(const nlohmann::json& json) {
    // Read everything before building the record, so a failure leaves nothing half-filled.
    auto identifier = JSON::required<std::string>(json, "identifier");
    auto type = JSON::requiredRawValue<OstraneType, std::string>(
        json, "type", [](const std::string& raw) { return fromRawValue<OstraneType>(raw); });
    auto host = JSON::required<std::string>(json, "host");
    auto username = JSON::required<std::string>(json, "username");
    auto title = JSON::optional<std::string>(json, "title");
    auto baseDir = JSON::optional<std::string>(json, "baseDir");
    auto port = JSON::optional<std::int64_t>(json, "port");
    auto keyFile = JSON::optional<platform::URL>(json, "keyFile");

    OstraneInfo info(type);
    info.identifier = std::move(identifier);
    info.title = std::move(title);
    info.host = std::move(host);
    info.baseDir = std::move(baseDir);
    info.port = port;
    info.username = std::move(username);
    info.keyFile = std::move(keyFile);
    return info;
}

OstraneInfo OstraneInfo::fromJSON(const nlohmann::ordered_json& json) {
    return fromJSON(nlohmann::json(json));
}

void to_json(nlohmann::json& json, const OstraneInfo& info) { json = nlohmann::json(info.toJSON()); }
void to_json(nlohmann::ordered_json& json, const OstraneInfo& info) { json = info.toJSON(); }

}  // namespace Ostrane
