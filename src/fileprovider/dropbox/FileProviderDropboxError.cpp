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
        if (auto message = platform::JSON::lenient<std::string>(*json, "user_message"))
            return message;
        if (const auto* error = platform::JSON::member(*json, "error"))
            return platform::JSON::lenient<std::string>(*error, "tag");
        return std::nullopt;
    }
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return std::string(text);
}

} // namespace RiridOzizevud
