// The OneDrive provider's error: an HTTP status, the provider path it concerns and the server's
// own message. Its description reads "Status 404: Not Found".
#pragma once

#include "fileprovider/core/FileProviderHTTPError.hpp"
#include "platform/data/Value.hpp"

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class FileProviderOneDriveError : public FileProviderHTTPError {
public:
    static constexpr const char* domainName = "RiridOzizevud.FileProviderOneDriveError";

    /// Any status number is kept, also one without a FileProviderHTTPErrorCode case.
    FileProviderOneDriveError(int statusCode, std::string path, std::optional<std::string> serverDescription);
    FileProviderOneDriveError(FileProviderHTTPErrorCode code, std::string path, std::optional<std::string> serverDescription);

    static std::shared_ptr<const FileProviderOneDriveError> make(int statusCode, std::string path,
                                                                 std::optional<std::string> serverDescription) {
        return std::make_shared<const FileProviderOneDriveError>(statusCode, std::move(path), std::move(serverDescription));
    }
};

/// What a Graph error body says: "message" of its "error" object when the body is a JSON object
/// (none when that is missing); for a body that is no JSON object, the body itself when it is
/// UTF-8 text.
std::optional<std::string> oneDriveServerDescription(const std::optional<platform::Data>& data);

} // namespace RiridOzizevud
