#include "fileprovider/onedrive/OneDriveRoute.hpp"

#include <vector>

namespace RiridOzizevud {

std::optional<OneDriveRoute> OneDriveRoute::fromRawValue(std::string_view rawValue) {
    std::vector<std::string_view> components;
    for (size_t start = 0;;) {
        const size_t end = rawValue.find(';', start);
        components.push_back(rawValue.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    if (components.front() == "me")
        return me();
    if (components.size() < 2)
        return std::nullopt;
    const auto uuid = platform::UUID::fromString(components.back());
    if (!uuid)
        return std::nullopt;
    const std::string_view word = components.front();
    if (word == "drive")
        return drive(*uuid);
    if (word == "group")
        return group(*uuid);
    if (word == "site")
        return site(*uuid);
    if (word == "user")
        return user(*uuid);
    return std::nullopt;
}

std::string OneDriveRoute::rawValue() const {
    const std::string id = uuid_ ? uuid_->uuidString() : "";
    switch (kind_) {
    case Kind::drive: return "drive;" + id;
    case Kind::group: return "group;" + id;
    case Kind::site: return "site;" + id;
    case Kind::user: return "user;" + id;
    case Kind::me: break;
    }
    return "me;";
}

std::string OneDriveRoute::drivePath() const {
    const std::string id = uuid_ ? uuid_->uuidString() : "";
    switch (kind_) {
    case Kind::drive: return "drives/" + id;
    case Kind::group: return "groups/" + id + "/drive";
    case Kind::site: return "sites/" + id + "/drive";
    case Kind::user: return "users/" + id + "/drive";
    case Kind::me: break;
    }
    return "me/drive";
}

} // namespace RiridOzizevud
