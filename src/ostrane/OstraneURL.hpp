#pragma once
// A server record and a path on it, with the live client when one is attached (never coded).
#include "ostrane/OstraneInfo.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace Ostrane {

class OstraneClient;

class OstraneURL {
public:
    OstraneURL(OstraneInfo server, std::string path, std::shared_ptr<OstraneClient> client = nullptr)
        : client_(std::move(client)), server_(std::move(server)), path_(std::move(path)) {}

    const std::shared_ptr<OstraneClient>& client() const { return client_; }
    const OstraneInfo& server() const { return server_; }
    const std::string& path() const { return path_; }

    /// {"info": record, "path": path}.
    nlohmann::ordered_json toJSON() const;
    /// Both keys required; the result has no client. Throws platform::Exception on bad input.
    static OstraneURL fromJSON(const nlohmann::json& json);

private:
    std::shared_ptr<OstraneClient> client_;
    OstraneInfo server_;
    std::string path_;
};

}  // namespace Ostrane

template <>
struct nlohmann::adl_serializer<Ostrane::OstraneURL> {
    template <class Json>
    static Ostrane::OstraneURL from_json(const Json& json) { return Ostrane::OstraneURL::fromJSON(nlohmann::json(json)); }
    static void to_json(nlohmann::json& json, const Ostrane::OstraneURL& url) { json = nlohmann::json(url.toJSON()); }
    static void to_json(nlohmann::ordered_json& json, const Ostrane::OstraneURL& url) { json = url.toJSON(); }
};
