// The WebDAV provider's error: an HTTP status, the provider path it concerns, the server's reply
// text and the URL of that path. Its description reads "Status 404: Not Found".
#pragma once

#include "fileprovider/core/FileProviderHTTPError.hpp"
#include "platform/net/URL.hpp"

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class FileProviderWebDavError : public FileProviderHTTPError {
public:
    static constexpr const char* domainName = "RiridOzizevud.FileProviderWebDavError";

    /// Any status number is kept, also one without a FileProviderHTTPErrorCode case.
    FileProviderWebDavError(int statusCode, std::string path, std::optional<std::string> serverDescription,
                            platform::URL url);
    FileProviderWebDavError(FileProviderHTTPErrorCode code, std::string path,
                            std::optional<std::string> serverDescription, platform::URL url);

    static std::shared_ptr<const FileProviderWebDavError> make(int statusCode, std::string path,
                                                               std::optional<std::string> serverDescription,
                                                               platform::URL url) {
        return std::make_shared<const FileProviderWebDavError>(statusCode, std::move(path),
                                                               std::move(serverDescription), std::move(url));
    }

    const platform::URL& url() const { return url_; }

private:
    platform::URL url_;
};

/// The bytes as text when they are valid UTF-8 and not empty; no value otherwise.
std::optional<std::string> utf8Text(const std::optional<platform::Data>& data);

} // namespace RiridOzizevud
