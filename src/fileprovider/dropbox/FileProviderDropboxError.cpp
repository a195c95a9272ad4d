#include "fileprovider/dropbox/FileProviderDropboxError.hpp"

#include "platform/text/CharacterSet.hpp"
#include "platform/data/JSON.hpp"

#include <string_view>

namespace RiridOzizevud {

FileProviderDropboxError::FileProviderDropboxError(int statusCode, std::string path,
                                                   std::optional<std::string> serverDescription)
    : FileProviderHTTPError(domainName, statusCode, std::move(path), std::move(serverDescription)) {}

FileProviderDropboxError::FileProviderDropboxError(FileProviderHTTPErrorCode code, std::string path,
                                                   std::optional<std::string> serverDescription)
    : FileProviderDropboxError(rawValue(code), std::move(path), std::move(serverDescription)) {}

std::optional<std::string> dropboxServerDescription(const std::optional<platform::Data>& data) {
    if (!data || data->empty())
        return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
    if (const auto json = platform::JSON::parse(text); json && json->is_object()) {
        if (const auto* message = platform::JSON::member(*json, "user_message"); message && message->is_string())
            return message->get<std::string>();
        if (const auto* error = platform::JSON::member(*json, "error"); error && error->is_object())
            if (const auto* tag = platform::JSON::member(*error, "tag"); tag && tag->is_string())
                return tag->get<std::string>();
        return std::nullopt;
    }
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return std::string(text);
}

} // namespace RiridOzizevud
