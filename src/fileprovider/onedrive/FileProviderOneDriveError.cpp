#include "fileprovider/onedrive/FileProviderOneDriveError.hpp"

#include "platform/text/CharacterSet.hpp"
#include "platform/data/JSON.hpp"

namespace RiridOzizevud {

FileProviderOneDriveError::FileProviderOneDriveError(int statusCode, std::string path,
                                                     std::optional<std::string> serverDescription)
    : FileProviderHTTPError(domainName, statusCode, std::move(path), std::move(serverDescription)) {}

FileProviderOneDriveError::FileProviderOneDriveError(FileProviderHTTPErrorCode code, std::string path,
                                                     std::optional<std::string> serverDescription)
    : FileProviderOneDriveError(rawValue(code), std::move(path), std::move(serverDescription)) {}

std::optional<std::string> oneDriveServerDescription(const std::optional<platform::Data>& data) {
    if (!data)
        return std::nullopt;
    const std::string text(data->begin(), data->end());
    if (const auto json = platform::JSON::parse(text); json && json->is_object()) {
        const auto* error = platform::JSON::member(*json, "error");
        if (!error || !error->is_object())
            return std::nullopt;
        const auto* message = platform::JSON::member(*error, "message");
        if (!message || !message->is_string())
            return std::nullopt;
        return message->get<std::string>();
    }
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return text;
}

} // namespace RiridOzizevud
