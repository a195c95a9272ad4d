// HTTP status codes as the HTTP-based providers report them, and the base of their error types.
#pragma once

#include "platform/base/Error.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace RiridOzizevud {

enum class FileProviderHTTPErrorCode : int {
    continue_ = 100,
    switchingProtocols = 101,
    processing = 102,
    ok = 200,
    created = 201,
    accepted = 202,
    nonAuthoritativeInformation = 203,
    noContent = 204,
    resetContent = 205,
    partialContent = 206,
    multiStatus = 207,
    alreadyReported = 208,
    imUsed = 226,
    multipleChoices = 300,
    movedPermanently = 301,
    found = 302,
    seeOther = 303,
    notModified = 304,
    useProxy = 305,
    switchProxy = 306,
    temporaryRedirect = 307,
    permanentRedirect = 308,
    badRequest = 400,
    unauthorized = 401,
    paymentRequired = 402,
    forbidden = 403,
    notFound = 404,
    methodNotAllowed = 405,
    notAcceptable = 406,
    proxyAuthenticationRequired = 407,
    requestTimeout = 408,
    conflict = 409,
    gone = 410,
    lengthRequired = 411,
    preconditionFailed = 412,
    payloadTooLarge = 413,
    uriTooLong = 414,
    unsupportedMediaType = 415,
    rangeNotSatisfiable = 416,
    expectationFailed = 417,
    misdirectedRequest = 421,
    unprocessableEntity = 422,
    locked = 423,
    failedDependency = 424,
    unorderedCollection = 425,
    upgradeRequired = 426,
    preconditionRequired = 428,
    tooManyRequests = 429,
    requestHeaderFieldsTooLarge = 431,
    unavailableForLegalReasons = 451,
    internalServerError = 500,
    badGateway = 502,
    serviceUnavailable = 503,
    gatewayTimeout = 504,
    httpVersionNotSupported = 505,
    variantAlsoNegotiates = 506,
    insufficientStorage = 507,
    loopDetected = 508,
    bandwidthLimitExceeded = 509,
    notExtended = 510,
    networkAuthenticationRequired = 511,
};

/// Every case in declared order (61).
extern const std::array<FileProviderHTTPErrorCode, 61> FileProviderHTTPErrorCodeAllCases;

constexpr int rawValue(FileProviderHTTPErrorCode code) { return static_cast<int>(code); }

template <class E>
std::optional<E> fromRawValue(int raw);

/// The case of an HTTP status; no value for a status without one (501, 418, 0 ...).
template <>
std::optional<FileProviderHTTPErrorCode> fromRawValue<FileProviderHTTPErrorCode>(int raw);

/// "Informational", "Success", "Redirection", "Client Error" or "Server Error".
std::string_view typeDescription(FileProviderHTTPErrorCode code);
/// The reason phrase of the providers' table (401 is "Unauthorized/Expired Session").
std::string_view description(FileProviderHTTPErrorCode code);
/// The platform's wording for a status: the registry phrase in lower case ("not found"; 200 is
/// "no error"); it can differ from `description`.
std::string localizedDescription(FileProviderHTTPErrorCode code);

/// The phrase for any status number: the providers' table where it has one (501 "Not
/// Implemented" included), else the registry's phrase, else the class text ("Client Error"), else
/// "Unknown Status".
std::string_view reasonPhrase(int statusCode);
/// HTTPURLResponse.localizedString(forStatusCode:) as described for `localizedDescription`.
std::string localizedStringForStatusCode(int statusCode);

/// Base of the WebDAV, Dropbox and OneDrive errors: an HTTP status, the provider-relative path of
/// the item concerned and the text the server sent. The status is kept as a number, so a status
/// without a case still reaches the caller ("Status 501: Not Implemented"). Error::code() is the
/// status number.
class FileProviderHTTPError : public platform::Error {
public:
    FileProviderHTTPError(std::string domain, int statusCode, std::string path,
                          std::optional<std::string> serverDescription, platform::ValueDictionary userInfo = {},
                          platform::ErrorRef underlying = nullptr);
    FileProviderHTTPError(std::string domain, FileProviderHTTPErrorCode code, std::string path,
                          std::optional<std::string> serverDescription, platform::ValueDictionary userInfo = {},
                          platform::ErrorRef underlying = nullptr);

    /// The case of the status; no value for a status without one.
    std::optional<FileProviderHTTPErrorCode> errorCode() const;
    int statusCode() const { return static_cast<int>(code()); }
    const std::string& path() const { return path_; }
    const std::optional<std::string>& serverDescription() const { return serverDescription_; }

    /// "Status " + number + ": " + phrase.
    virtual std::string description() const;
    /// The same text as description().
    std::string localizedDescription() const override;

protected:
    std::string defaultDescription() const override;

private:
    std::string path_;
    std::optional<std::string> serverDescription_;
};

} // namespace RiridOzizevud
