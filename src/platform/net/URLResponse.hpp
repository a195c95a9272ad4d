// platform::URLResponse / HTTPURLResponse — what a URL session learned of an answer: its URL,
// MIME type, expected length and, for HTTP, the status and header fields. Immutable; passed as
// std::shared_ptr<const URLResponse>, HTTP answers dynamic_cast to HTTPURLResponse.
#pragma once

#include "platform/net/URL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class URLResponse {
public:
    URLResponse(std::optional<URL> url, std::optional<std::string> mimeType, int64_t expectedContentLength,
                std::optional<std::string> textEncodingName);
    virtual ~URLResponse() = default;

    const std::optional<URL>& url() const { return url_; }
    /// Lower-case type of the Content-Type field, without parameters.
    const std::optional<std::string>& mimeType() const { return mimeType_; }
    /// -1 when unknown (no Content-Length, or an encoded body whose decoded size is not known).
    int64_t expectedContentLength() const { return expectedContentLength_; }
    /// The charset parameter of Content-Type.
    const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
    /// The file name of Content-Disposition when it carries one, else the URL's last component.
    virtual std::optional<std::string> suggestedFilename() const;

private:
    std::optional<URL> url_;
    std::optional<std::string> mimeType_;
    int64_t expectedContentLength_;
    std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
public:
    using HeaderFields = std::vector<std::pair<std::string, std::string>>;

    /// MIME type, length and encoding are read from the fields.
    HTTPURLResponse(std::optional<URL> url, int statusCode, HeaderFields headerFields);

    int statusCode() const { return statusCode_; }
    /// The fields in the order received (a repeated field appears once per line).
    const HeaderFields& allHeaderFields() const { return headerFields_; }
    /// The field's value, case-insensitive; repeated fields joined with ", ".
    std::optional<std::string> value(std::string_view forHTTPHeaderField) const;

    std::optional<std::string> suggestedFilename() const override;

private:
    int statusCode_;
    HeaderFields headerFields_;
};

/// The HTTP status of a response; -1 when there is none or it is not an HTTP response.
inline int statusOf(const std::shared_ptr<const URLResponse>& response) {
    const auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response);
    return http ? http->statusCode() : -1;
}

} // namespace platform
