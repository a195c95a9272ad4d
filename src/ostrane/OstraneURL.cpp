#include "ostrane/OstraneURL.hpp"

#include "platform/data/JSON.hpp"

namespace Ostrane {

nlohmann::ordered_json OstraneURL::toJSON() const {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["info"] = server_.toJSON();
    out["path"] = path_;
    return out;
}

OstraneURL OstraneURL::fromJSON(const nlohmann::json& json) {
    auto server = platform::JSON::required<nlohmann::json>(json, "info");
    auto path = platform::JSON::required<std::string>(json, "path");
    return OstraneURL(OstraneInfo::fromJSON(server), std::move(path));
}

}  // namespace Ostrane
