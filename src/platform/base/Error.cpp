#include "platform/base/Error.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform {

// ---- Error ------------------------------------------------------------------------------------

Error::Error(std::string domain, int64_t code, ValueDictionary userInfo, ErrorRef underlying)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)), underlying_(std::move(underlying)) {}

Error::~Error() = default;

std::optional<std::string> Error::stringInfo(const std::string& key) const {
    auto it = userInfo_.find(key);
    if (it == userInfo_.end()) return std::nullopt;
    return it->second.stringValue();
}

std::string Error::localizedDescription() const {
    if (auto d = stringInfo(NSLocalizedDescriptionKey)) return *d;
    return defaultDescription();
}

std::optional<std::string> Error::localizedFailureReason() const { return stringInfo(NSLocalizedFailureReasonErrorKey); }

std::string Error::debugDescription() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
}

std::string Error::defaultDescription() const {
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

ErrorRef makeError(std::string domain, int64_t code, ValueDictionary userInfo, ErrorRef underlying) {
    return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo), std::move(underlying));
}

// ---- Exception ----------------------------------------------------------------------------------

Exception::Exception(ErrorRef error) : error_(std::move(error)) {
    if (!error_) error_ = makeError("platform.Exception", 1, {{NSLocalizedDescriptionKey, "Unknown error."}});
    what_ = error_->debugDescription();
}

void throwError(ErrorRef error) { throw Exception(std::move(error)); }

ErrorRef errorFromException(std::exception_ptr e) {
    if (!e) return nullptr;
    try {
        std::rethrow_exception(e);
    } catch (const Exception& ex) {
        return ex.error();
    } catch (const std::system_error& ex) {
        if (ex.code().category() == std::generic_category() || ex.code().category() == std::system_category())
            return POSIXError::make(ex.code().value());
        return makeError("platform.Exception", 1, {{NSLocalizedDescriptionKey, std::string(ex.what())}});
    } catch (const std::exception& ex) {
        return makeError("platform.Exception", 1, {{NSLocalizedDescriptionKey, std::string(ex.what())}});
    } catch (...) {
        return makeError("platform.Exception", 1, {{NSLocalizedDescriptionKey, "Unknown exception."}});
    }
}

// ---- URLError -----------------------------------------------------------------------------------

URLError::URLError(Code code, ValueDictionary userInfo, ErrorRef underlying)
    : Error(NSURLErrorDomain, code, std::move(userInfo), std::move(underlying)) {}

std::shared_ptr<const URLError> URLError::make(Code code, const std::optional<URL>& url, ErrorRef underlying) {
    ValueDictionary info;
    if (url) {
        info.emplace(NSURLErrorKey, *url);
        info.emplace(NSURLErrorFailingURLErrorKey, *url);
        info.emplace(NSURLErrorFailingURLStringErrorKey, url->absoluteString());
    }
    return std::make_shared<const URLError>(code, std::move(info), std::move(underlying));
}

std::optional<URL> URLError::failingURL() const {
    auto it = userInfo().find(NSURLErrorFailingURLErrorKey);
    if (it == userInfo().end()) return std::nullopt;
    return it->second.urlValue();
}

std::optional<std::string> URLError::failingURLString() const { return stringInfo(NSURLErrorFailingURLStringErrorKey); }

std::string URLError::description(Code code) {
    switch (code) {
    case unknown: return "An unknown error occurred.";
    case backgroundSessionRequiresSharedContainer: return "The background session needs a shared container.";
    case backgroundSessionInUseByAnotherProcess: return "The background session is in use by another process.";
    case backgroundSessionWasDisconnected: return "The background session was disconnected.";
    case cancelled: return "The operation was cancelled.";
    case badURL: return "The URL is not valid.";
    case timedOut: return "The request timed out.";
    case unsupportedURL: return "The URL is not supported.";
    case cannotFindHost: return "A server with the specified host name could not be found.";
    case cannotConnectToHost: return "Could not connect to the server.";
    case networkConnectionLost: return "The network connection was lost.";
    case dnsLookupFailed: return "The host name could not be looked up.";
    case httpTooManyRedirects: return "There were too many redirects.";
    case resourceUnavailable: return "The requested resource is not available.";
    case notConnectedToInternet: return "The Internet connection appears to be offline.";
    case redirectToNonExistentLocation: return "The server redirected to a location that does not exist.";
    case badServerResponse: return "The server gave a bad response.";
    case userCancelledAuthentication: return "The user cancelled the authentication.";
    case userAuthenticationRequired: return "Authentication is needed to reach this resource.";
    case zeroByteResource: return "The resource is empty.";
    case cannotDecodeRawData: return "The data could not be decoded.";
    case cannotDecodeContentData: return "The content could not be decoded.";
    case cannotParseResponse: return "The server response could not be parsed.";
    case internationalRoamingOff: return "International roaming is turned off.";
    case callIsActive: return "A call is active.";
    case dataNotAllowed: return "Data use is not allowed.";
    case requestBodyStreamExhausted: return "The request body stream was exhausted.";
    case appTransportSecurityRequiresSecureConnection: return "A secure connection is required.";
    case fileDoesNotExist: return "The file does not exist.";
    case fileIsDirectory: return "The file is a directory.";
    case noPermissionsToReadFile: return "There is no permission to read the file.";
    case dataLengthExceedsMaximum: return "The data is longer than the maximum allowed.";
    case fileOutsideSafeArea: return "The file is outside the allowed area.";
    case secureConnectionFailed: return "A secure connection to the server could not be made.";
    case serverCertificateHasBadDate: return "The server's certificate has expired or is not yet valid.";
    case serverCertificateUntrusted: return "The server's certificate is not trusted.";
    case serverCertificateHasUnknownRoot: return "The server's certificate was signed by an unknown authority.";
    case serverCertificateNotYetValid: return "The server's certificate is not yet valid.";
    case clientCertificateRejected: return "The server rejected the client certificate.";
    case clientCertificateRequired: return "The server requires a client certificate.";
    case cannotLoadFromNetwork: return "The resource could not be loaded from the network.";
    case cannotCreateFile: return "The file could not be created.";
    case cannotOpenFile: return "The file could not be opened.";
    case cannotCloseFile: return "The file could not be closed.";
    case cannotWriteToFile: return "The file could not be written.";
    case cannotRemoveFile: return "The file could not be removed.";
    case cannotMoveFile: return "The file could not be moved.";
    case downloadDecodingFailedMidStream: return "The download could not be decoded while it was running.";
    case downloadDecodingFailedToComplete: return "The download could not be decoded to the end.";
    }
    return "A URL error occurred (code " + std::to_string(static_cast<int64_t>(code)) + ").";
}

std::string URLError::defaultDescription() const { return description(errorCode()); }

// ---- CocoaError ---------------------------------------------------------------------------------

CocoaError::CocoaError(Code code, ValueDictionary userInfo, ErrorRef underlying)
    : Error(NSCocoaErrorDomain, code, std::move(userInfo), std::move(underlying)) {}

std::shared_ptr<const CocoaError> CocoaError::make(Code code, const std::optional<std::string>& path, ErrorRef underlying) {
    ValueDictionary info;
    if (path) info.emplace(NSFilePathErrorKey, *path);
    return std::make_shared<const CocoaError>(code, std::move(info), std::move(underlying));
}

std::shared_ptr<const CocoaError> CocoaError::withDescription(Code code, std::string description) {
    return std::make_shared<const CocoaError>(code, ValueDictionary{{NSLocalizedDescriptionKey, std::move(description)}});
}

std::optional<URL> CocoaError::url() const {
    auto it = userInfo().find(NSURLErrorKey);
    if (it == userInfo().end()) return std::nullopt;
    return it->second.urlValue();
}

std::string CocoaError::description(Code code) {
    switch (code) {
    case fileNoSuchFile: return "The file doesn\u2019t exist.";
    case fileLocking: return "The file could not be locked.";
    case fileReadUnknown: return "The file couldn\u2019t be opened.";
    case fileReadNoPermission: return "The file couldn\u2019t be opened because you don\u2019t have permission to view it.";
    case fileReadInvalidFileName: return "The file couldn\u2019t be opened because the file name is not valid.";
    case fileReadCorruptFile: return "The file couldn\u2019t be opened because it isn\u2019t in the correct format.";
    case fileReadNoSuchFile: return "The file couldn\u2019t be opened because there is no such file.";
    case fileReadInapplicableStringEncoding: return "The file couldn\u2019t be opened because the text encoding is not applicable.";
    case fileReadUnsupportedScheme: return "The file couldn\u2019t be opened because the URL type is not supported.";
    case fileReadTooLarge: return "The file couldn\u2019t be read because the requested range is outside the file.";
    case fileReadUnknownStringEncoding: return "The file couldn\u2019t be opened because the text encoding could not be determined.";
    case fileWriteUnknown: return "The file couldn\u2019t be saved.";
    case fileWriteNoPermission: return "The file couldn\u2019t be saved because you don\u2019t have permission.";
    case fileWriteInvalidFileName: return "The file couldn\u2019t be saved because the file name is not valid.";
    case fileWriteFileExists: return "The file couldn\u2019t be saved because a file with the same name already exists.";
    case fileWriteInapplicableStringEncoding: return "The file couldn\u2019t be saved because the text encoding is not applicable.";
    case fileWriteUnsupportedScheme: return "The file couldn\u2019t be saved because the URL type is not supported.";
    case fileWriteOutOfSpace: return "The file couldn\u2019t be saved because there isn\u2019t enough space.";
    case fileWriteVolumeReadOnly: return "The file couldn\u2019t be saved because the volume is read only.";
    case fileManagerUnmountUnknown: return "The volume couldn\u2019t be unmounted.";
    case fileManagerUnmountBusy: return "The volume couldn\u2019t be unmounted because it is in use.";
    case keyValueValidation: return "The value is not valid.";
    case formatting: return "The value is not in the correct format.";
    case userCancelled: return "The operation was cancelled.";
    case featureUnsupported: return "The feature is not supported.";
    case executableNotLoadable: return "The executable couldn\u2019t be loaded.";
    case propertyListReadCorrupt: return "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    case propertyListReadUnknownVersion: return "The data couldn\u2019t be read because it has an unknown version.";
    case propertyListReadStream: return "The data couldn\u2019t be read from the stream.";
    case propertyListWriteStream: return "The data couldn\u2019t be written to the stream.";
    case propertyListWriteInvalid: return "The data couldn\u2019t be written because it isn\u2019t valid.";
    case ubiquitousFileUnavailable: return "The cloud file is not available.";
    case ubiquitousFileNotUploadedDueToQuota: return "The cloud file was not uploaded because the quota is exceeded.";
    case ubiquitousFileUbiquityServerNotAvailable: return "The cloud server is not available.";
    case coderReadCorrupt: return "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    case coderValueNotFound: return "The data couldn\u2019t be read because it is missing.";
    case coderInvalidValue: return "The data couldn\u2019t be written because it isn\u2019t in the correct format.";
    }
    return "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error " + std::to_string(static_cast<int64_t>(code)) + ".)";
}

std::string CocoaError::defaultDescription() const { return description(errorCode()); }

// ---- POSIXError ---------------------------------------------------------------------------------

POSIXError::POSIXError(int errnoCode, ValueDictionary userInfo, ErrorRef underlying)
    : Error(NSPOSIXErrorDomain, errnoCode, std::move(userInfo), std::move(underlying)) {}

std::shared_ptr<const POSIXError> POSIXError::make(int errnoCode, const std::optional<std::string>& path) {
    ValueDictionary info;
    if (path) info.emplace(NSFilePathErrorKey, *path);
    return std::make_shared<const POSIXError>(errnoCode, std::move(info));
}

std::shared_ptr<const POSIXError> POSIXError::fromErrno(const std::optional<std::string>& path) {
    return make(errno, path);
}

std::string POSIXError::defaultDescription() const {
    char buf[256];
    // GNU strerror_r returns the text (maybe not in buf); thread-safe unlike strerror.
    const char* s = strerror_r(errnoCode(), buf, sizeof buf);
    return s ? std::string(s) : "Unknown error " + std::to_string(errnoCode());
}

ErrorRef cocoaFileError(int e, const std::string& path, bool writing) {
    CocoaError::Code code;
    switch (e) {
    case ENOENT: case ENOTDIR: code = writing ? CocoaError::fileNoSuchFile : CocoaError::fileReadNoSuchFile; break;
    case EACCES: case EPERM: code = writing ? CocoaError::fileWriteNoPermission : CocoaError::fileReadNoPermission; break;
    case EEXIST: code = writing ? CocoaError::fileWriteFileExists : CocoaError::fileReadUnknown; break;
    case ENOSPC: case EDQUOT: code = writing ? CocoaError::fileWriteOutOfSpace : CocoaError::fileReadUnknown; break;
    case EROFS: code = writing ? CocoaError::fileWriteVolumeReadOnly : CocoaError::fileReadUnknown; break;
    case ENAMETOOLONG: code = writing ? CocoaError::fileWriteInvalidFileName : CocoaError::fileReadInvalidFileName; break;
    case EFBIG: code = writing ? CocoaError::fileWriteOutOfSpace : CocoaError::fileReadTooLarge; break;
    default: code = writing ? CocoaError::fileWriteUnknown : CocoaError::fileReadUnknown; break;
    }
    ValueDictionary info{{NSFilePathErrorKey, path}};
    return std::make_shared<const CocoaError>(code, std::move(info), POSIXError::make(e));
}

} // namespace platform
