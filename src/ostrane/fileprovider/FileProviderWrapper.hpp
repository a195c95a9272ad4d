#pragma once
// Holds the file provider a WebDAV client hands its requests to. Every login builds a new provider
// from the record (host, port, user, and the password as the keychain holds it at that moment);
// requests already under way keep the provider they started with.
#include "ostrane/OstraneInfo.hpp"
#include "platform/URL.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace RiridOzizevud {
class FileProvider;
}

namespace Ostrane {

class FileProviderWrapper {
public:
    explicit FileProviderWrapper(OstraneInfo info);
    ~FileProviderWrapper();
    FileProviderWrapper(const FileProviderWrapper&) = delete;
    FileProviderWrapper& operator=(const FileProviderWrapper&) = delete;

    OstraneType type() const { return info_.type; }
    const std::string& host() const { return info_.host; }
    const std::string& username() const { return info_.username; }
    std::optional<std::int64_t> port() const { return info_.port; }

    /// Builds a new provider in place of the current one; whether one is present afterwards. A
    /// record whose address cannot be used keeps the current provider.
    bool setupProvider();
    /// As setupProvider(), with the provider made, or nullptr and the reason.
    std::shared_ptr<RiridOzizevud::FileProvider> setupProvider(std::string& failure);
    /// The provider of the last successful set-up, if any.
    std::shared_ptr<RiridOzizevud::FileProvider> fileProvider() const;

    /// The provider's base URL for a WebDAV record: the host, with "http://" in front unless it
    /// begins with "http://" or "https://" (any case), and the record's port. None when that is
    /// not an address.
    static std::optional<platform::URL> webDAVBaseURL(const OstraneInfo& info);
    /// The user name without white space and line ends around it.
    static std::string trimmedUser(const std::string& username);

private:
    const OstraneInfo info_;
    mutable std::mutex mutex_;
    std::shared_ptr<RiridOzizevud::FileProvider> fileProvider_;
};

}  // namespace Ostrane
