#include "fileprovider/core/FileProviderHTTPError.hpp"

#include <cctype>

namespace RiridOzizevud {

using C = FileProviderHTTPErrorCode;

const std::array<FileProviderHTTPErrorCode, 61> FileProviderHTTPErrorCodeAllCases = {
    C::continue_, C::switchingProtocols, C::processing, C::ok, C::created, C::accepted,
    C::nonAuthoritativeInformation, C::noContent, C::resetContent, C::partialContent, C::multiStatus,
    C::alreadyReported, C::imUsed, C::multipleChoices, C::movedPermanently, C::found, C::seeOther,
    C::notModified, C::useProxy, C::switchProxy, C::temporaryRedirect, C::permanentRedirect, C::badRequest,
    C::unauthorized, C::paymentRequired, C::forbidden, C::notFound, C::methodNotAllowed, C::notAcceptable,
    C::proxyAuthenticationRequired, C::requestTimeout, C::conflict, C::gone, C::lengthRequired,
    C::preconditionFailed, C::payloadTooLarge, C::uriTooLong, C::unsupportedMediaType, C::rangeNotSatisfiable,
    C::expectationFailed, C::misdirectedRequest, C::unprocessableEntity, C::locked, C::failedDependency,
    C::unorderedCollection, C::upgradeRequired, C::preconditionRequired, C::tooManyRequests,
    C::requestHeaderFieldsTooLarge, C::unavailableForLegalReasons, C::internalServerError, C::badGateway,
    C::serviceUnavailable, C::gatewayTimeout, C::httpVersionNotSupported, C::variantAlsoNegotiates,
    C::insufficientStorage, C::loopDetected, C::bandwidthLimitExceeded, C::notExtended,
    C::networkAuthenticationRequired,
};

namespace {

// The providers' phrase tables, by status number (501 has a phrase but no case).
std::string_view tablePhrase(int status) {
    switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 102: return "Processing";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status";
    case 208: return "Already Reported";
    case 226: return "IM Used";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 306: return "Switch Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized/Expired Session";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Entity";
    case 423: return "Locked";
    case 424: return "Failed Dependency";
    case 425: return "Unordered Collection";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 509: return "Bandwidth Limit Exceeded";
    case 510: return "Not Extended";
    case 511: return "Network Authentication Required";
    default: return {};
    }
}

// Registry phrases for the statuses the providers' tables leave out.
std::string_view registryPhrase(int status) {
    switch (status) {
    case 103: return "Early Hints";
    case 418: return "I'm a teapot";
    default: return {};
    }
}

// The registry's wording where the providers' tables word it differently.
std::string_view registryWording(int status) {
    switch (status) {
    case 401: return "Unauthorized";
    case 306: return "Unused";
    case 425: return "Too Early";
    default: return {};
    }
}

std::string_view classText(int status) {
    switch (status / 100) {
    case 1: return "Informational";
    case 2: return "Success";
    case 3: return "Redirection";
    case 4: return "Client Error";
    case 5: return "Server Error";
    default: return {};
    }
}

} // namespace

template <>
std::optional<FileProviderHTTPErrorCode> fromRawValue<FileProviderHTTPErrorCode>(int raw) {
    for (auto c : FileProviderHTTPErrorCodeAllCases)
        if (rawValue(c) == raw) return c;
    return std::nullopt;
}

std::string_view typeDescription(FileProviderHTTPErrorCode code) { return classText(rawValue(code)); }

std::string_view description(FileProviderHTTPErrorCode code) { return tablePhrase(rawValue(code)); }

std::string localizedDescription(FileProviderHTTPErrorCode code) { return localizedStringForStatusCode(rawValue(code)); }

std::string_view reasonPhrase(int statusCode) {
    if (auto p = tablePhrase(statusCode); !p.empty()) return p;
    if (auto p = registryPhrase(statusCode); !p.empty()) return p;
    if (auto p = classText(statusCode); !p.empty() && statusCode > 0) return p;
    return "Unknown Status";
}

std::string localizedStringForStatusCode(int statusCode) {
    if (statusCode == 200) return "no error";
    std::string_view phrase = registryWording(statusCode);
    if (phrase.empty()) phrase = reasonPhrase(statusCode);
    std::string out(phrase);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

FileProviderHTTPError::FileProviderHTTPError(std::string domain, int statusCode, std::string path,
                                             std::optional<std::string> serverDescription,
                                             platform::ValueDictionary userInfo, platform::ErrorRef underlying)
    : platform::Error(std::move(domain), statusCode, std::move(userInfo), std::move(underlying)),
      path_(std::move(path)),
      serverDescription_(std::move(serverDescription)) {}

FileProviderHTTPError::FileProviderHTTPError(std::string domain, FileProviderHTTPErrorCode code, std::string path,
                                             std::optional<std::string> serverDescription,
                                             platform::ValueDictionary userInfo, platform::ErrorRef underlying)
    : FileProviderHTTPError(std::move(domain), rawValue(code), std::move(path), std::move(serverDescription),
                            std::move(userInfo), std::move(underlying)) {}

std::optional<FileProviderHTTPErrorCode> FileProviderHTTPError::errorCode() const {
    return fromRawValue<FileProviderHTTPErrorCode>(statusCode());
}

std::string FileProviderHTTPError::description() const {
    return "Status " + std::to_string(code()) + ": " + std::string(reasonPhrase(statusCode()));
}

std::string FileProviderHTTPError::localizedDescription() const { return description(); }

std::string FileProviderHTTPError::defaultDescription() const { return description(); }

} // namespace RiridOzizevud
