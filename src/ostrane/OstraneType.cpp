#include "ostrane/OstraneType.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace Ostrane {

std::string_view rawValue(OstraneType type) {
    switch (type) {
    case OstraneType::ftp: return "FTP";
    case OstraneType::sftp: return "SFTP";
    case OstraneType::smb: return "SMB";
    case OstraneType::webdav: return "WebDAV";
    }
    return "FTP";
}

template <>
std::optional<OstraneType> fromRawValue<OstraneType>(std::string_view raw) {
    for (auto type : OstraneTypeAllCases)
        if (rawValue(type) == raw) return type;
    return std::nullopt;
}

void to_json(nlohmann::json& json, OstraneType type) { json = std::string(rawValue(type)); }

void from_json(const nlohmann::json& json, OstraneType& type) {
    if (!json.is_string())
        throw nlohmann::json::type_error::create(302, "OstraneType must be a string, not " +
                                                          std::string(json.type_name()), &json);
    auto found = fromRawValue<OstraneType>(json.get_ref<const std::string&>());
    if (!found)
        throw nlohmann::json::type_error::create(
            302, "\"" + json.get_ref<const std::string&>() + "\" is not a server type", &json);
    type = *found;
}

}  // namespace Ostrane
