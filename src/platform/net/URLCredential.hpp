// platform::URLCredential — a user name and password with a persistence, as the platform's
// credential. A plain value; its description never shows the password.
#pragma once

#include <optional>
#include <string>

namespace platform {

class URLCredential {
public:
    enum class Persistence { none, forSession, permanent, synchronizable };

    URLCredential(std::string user, std::string password, Persistence persistence = Persistence::forSession)
        : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}

    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    bool hasPassword() const { return password_.has_value(); }
    Persistence persistence() const { return persistence_; }

    bool operator==(const URLCredential&) const = default;

private:
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    Persistence persistence_;
};

} // namespace platform
