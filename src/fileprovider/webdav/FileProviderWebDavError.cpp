#include "fileprovider/webdav/FileProviderWebDavError.hpp"

#include "platform/text/CharacterSet.hpp"

namespace RiridOzizevud {

namespace {

platform::ValueDictionary urlInfo(const platform::URL& url) {
    return {{platform::NSURLErrorFailingURLErrorKey, platform::Value(url)},
            {platform::NSURLErrorFailingURLStringErrorKey, platform::Value(url.absoluteString())}};
}

} // namespace

FileProviderWebDavError::FileProviderWebDavError(int statusCode, std::string path,
                                                 std::optional<std::string> serverDescription, platform::URL url)
    : FileProviderHTTPError(domainName, statusCode, std::move(path), std::move(serverDescription), urlInfo(url)),
      url_(std::move(url)) {}

FileProviderWebDavError::FileProviderWebDavError(FileProviderHTTPErrorCode code, std::string path,
                                                 std::optional<std::string> serverDescription, platform::URL url)
    : FileProviderWebDavError(rawValue(code), std::move(path), std::move(serverDescription), std::move(url)) {}

std::optional<std::string> utf8Text(const std::optional<platform::Data>& data) {
    if (!data || data->empty())
        return std::nullopt;
    std::string text(data->begin(), data->end());
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return text;
}

} // namespace RiridOzizevud
