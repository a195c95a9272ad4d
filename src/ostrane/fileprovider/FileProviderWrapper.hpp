#pragma once
// Holds the file provider a FileProviderClient hands its requests to: a WebDAV provider for a webdav
// record, an FTP provider for an ftp record (only for a client made directly; the registry gives
// FTP records their own client). Every login builds a new provider from the record (host, port,
// user, and the password as the keychain holds it at that moment); requests already under way keep
// the provider they started with.
#include "ostrane/OstraneInfo.hpp"
#include "platform/net/URL.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

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
    /// begins with a scheme and "://", and the record's port. None when that is not an address.
    static std::optional<platform::URL> webDAVBaseURL(const OstraneInfo& info);
    /// As webDAVBaseURL() for an FTP record, with "ftp://".
    static std::optional<platform::URL> ftpBaseURL(const OstraneInfo& info);
    /// The base URL of the record's type; none for types without a provider.
    static std::optional<platform::URL> baseURL(const OstraneInfo& info);
    /// The user name without white space and line ends around it.
    static std::string trimmedUser(const std::string& username);

private:
    /// The host, with `defaultScheme` put in front unless it begins with "scheme://", and the port.
    static std::optional<platform::URL> baseURL(const OstraneInfo& info, std::string_view defaultScheme);

    const OstraneInfo info_;
    mutable std::mutex mutex_;
    std::shared_ptr<RiridOzizevud::FileProvider> fileProvider_;
};

}  // namespace Ostrane
