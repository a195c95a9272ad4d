// The Dropbox provider's error: an HTTP status, the provider path it concerns and the server's
// explanation. Its description reads "Status 409: Conflict".
#pragma once

#include "fileprovider/core/FileProviderHTTPError.hpp"
#include "platform/data/Value.hpp"

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class FileProviderDropboxError : public FileProviderHTTPError {
public:
    static constexpr const char* domainName = "RiridOzizevud.FileProviderDropboxError";

    /// Any status number is kept, also one without a FileProviderHTTPErrorCode case.
    FileProviderDropboxError(int statusCode, std::string path, std::optional<std::string> serverDescription);
    FileProviderDropboxError(FileProviderHTTPErrorCode code, std::string path, std::optional<std::string> serverDescription);

    static std::shared_ptr<const FileProviderDropboxError> make(int statusCode, std::string path,
                                                                std::optional<std::string> serverDescription) {
        return std::make_shared<const FileProviderDropboxError>(statusCode, std::move(path), std::move(serverDescription));
    }
};

/// What a Dropbox error body says: its "user_message", else the "tag" of its "error" object; for a
/// body that is no JSON object, the body itself when it is UTF-8 text. None for an empty body.
std::optional<std::string> dropboxServerDescription(const std::optional<platform::Data>& data);

} // namespace RiridOzizevud
