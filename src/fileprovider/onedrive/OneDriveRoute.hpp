// Which drive a OneDrive provider addresses: one drive by id, the drive of a group, a site or a
// user, or the signed-in user's own drive. OneDriveFileProvider::Route names this type.
#pragma once

#include "platform/data/UUID.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace RiridOzizevud {

class OneDriveRoute {
public:
    enum class Kind { drive, group, site, user, me };

    static OneDriveRoute drive(const platform::UUID& uuid) { return {Kind::drive, uuid}; }
    static OneDriveRoute group(const platform::UUID& uuid) { return {Kind::group, uuid}; }
    static OneDriveRoute site(const platform::UUID& uuid) { return {Kind::site, uuid}; }
    static OneDriveRoute user(const platform::UUID& uuid) { return {Kind::user, uuid}; }
    static OneDriveRoute me() { return {Kind::me, std::nullopt}; }

    /// init?(rawValue:): "me" first gives me whatever follows; otherwise "drive", "group", "site"
    /// or "user" (exact case) and a UUID as the last ";" component.
    static std::optional<OneDriveRoute> fromRawValue(std::string_view rawValue);

    Kind kind() const { return kind_; }
    /// The UUID of every kind but me.
    const std::optional<platform::UUID>& uuid() const { return uuid_; }

    /// "drive;<UUID>", "group;<UUID>", "site;<UUID>", "user;<UUID>" or "me;".
    std::string rawValue() const;
    /// The drive's path below the service's version root: "drives/<UUID>", "groups/<UUID>/drive",
    /// "sites/<UUID>/drive", "users/<UUID>/drive" or "me/drive".
    std::string drivePath() const;

    bool operator==(const OneDriveRoute&) const = default;

private:
    OneDriveRoute(Kind kind, std::optional<platform::UUID> uuid) : kind_(kind), uuid_(std::move(uuid)) {}

    Kind kind_;
    std::optional<platform::UUID> uuid_;
};

} // namespace RiridOzizevud
