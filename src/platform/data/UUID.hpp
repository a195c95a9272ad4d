// platform::UUID — random (version 4) UUIDs over libuuid; text form upper-case as the platform's
// `uuidString` ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class UUID {
public:
    /// A new random (version 4) UUID, as the platform's `UUID()`.
    UUID();
    explicit UUID(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

    /// UUID(uuidString:): 36 characters, 8-4-4-4-12 hex digits of either case; no value otherwise.
    static std::optional<UUID> fromString(std::string_view text);

    /// Upper-case text form.
    std::string uuidString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    bool operator==(const UUID&) const = default;
    auto operator<=>(const UUID&) const = default;

private:
    std::array<uint8_t, 16> bytes_;
};

/// UUID().uuidString: a new random upper-case UUID text.
std::string newUUIDString();

} // namespace platform
