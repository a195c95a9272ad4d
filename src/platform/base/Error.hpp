// platform::Error — the one polymorphic error base (the platform's NSError shape): a domain, an
// integer code, a user-info dictionary of Value and a localized description. Errors are immutable
// and passed as `ErrorRef` (std::shared_ptr<const Error>); the error types of the library derive from
// Error so callers can dynamic_cast. Swift `throws` becomes `throw platform::Exception(error)`.
//
// Kinds here: URLError ("NSURLErrorDomain"), CocoaError ("NSCocoaErrorDomain"), POSIXError
// ("NSPOSIXErrorDomain"), each with the platform's codes and user-info key names.
#pragma once

#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class Error;
using ErrorRef = std::shared_ptr<const Error>;

// Domains.
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

// User-info keys (the platform's strings).
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr const char* NSLocalizedFailureErrorKey = "NSLocalizedFailure";
inline constexpr const char* NSDebugDescriptionErrorKey = "NSDebugDescription";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSFilePathErrorKey = "NSFilePath";
inline constexpr const char* NSStringEncodingErrorKey = "NSStringEncodingErrorKey";
inline constexpr const char* NSURLErrorKey = "NSURL";
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr const char* NSURLErrorFailingURLPeerTrustErrorKey = "NSURLErrorFailingURLPeerTrustErrorKey";
inline constexpr const char* NSURLErrorBackgroundTaskCancelledReasonKey = "NSURLErrorBackgroundTaskCancelledReasonKey";
inline constexpr const char* NSHelpAnchorErrorKey = "NSHelpAnchor";

class Error {
public:
    /// `underlying` is the NSUnderlyingError (a Value cannot hold an error, so it is a member).
    Error(std::string domain, int64_t code, ValueDictionary userInfo = {}, ErrorRef underlying = nullptr);
    virtual ~Error();
    Error(const Error&) = default;
    Error& operator=(const Error&) = delete;

    const std::string& domain() const { return domain_; }
    int64_t code() const { return code_; }
    const ValueDictionary& userInfo() const { return userInfo_; }
    /// The NSUnderlyingError, when there is one.
    const ErrorRef& underlyingError() const { return underlying_; }

    /// The user-info NSLocalizedDescription when it is a string; else the kind's own text
    /// (`defaultDescription()`).
    virtual std::string localizedDescription() const;
    /// The user-info NSLocalizedFailureReason string, when there is one.
    virtual std::optional<std::string> localizedFailureReason() const;
    /// "Error Domain=<domain> Code=<code> \"<localizedDescription>\"".
    virtual std::string debugDescription() const;

    /// User-info string helpers.
    std::optional<std::string> stringInfo(const std::string& key) const;
    std::optional<std::string> filePath() const { return stringInfo(NSFilePathErrorKey); }

    /// Same domain and code.
    bool is(const std::string& domain, int64_t code) const { return domain_ == domain && code_ == code; }

protected:
    /// Text used when the user info has no NSLocalizedDescription. Base: "The operation couldn’t
    /// be completed. (<domain> error <code>.)".
    virtual std::string defaultDescription() const;

private:
    std::string domain_;
    int64_t code_;
    ValueDictionary userInfo_;
    ErrorRef underlying_;
};

/// A plain error of any domain and code.
ErrorRef makeError(std::string domain, int64_t code, ValueDictionary userInfo = {}, ErrorRef underlying = nullptr);

/// The exception that carries an error (Swift `throws`).
class Exception : public std::exception {
public:
    explicit Exception(ErrorRef error);
    const ErrorRef& error() const noexcept { return error_; }
    /// The error's debugDescription.
    const char* what() const noexcept override { return what_.c_str(); }

private:
    ErrorRef error_;
    std::string what_;
};

/// throw Exception(error).
[[noreturn]] void throwError(ErrorRef error);

/// The error inside a caught exception: the carried error for platform::Exception; a POSIXError
/// for a std::system_error of the generic or system category; otherwise an error of domain
/// "platform.Exception", code 1, whose NSLocalizedDescription is the exception's what().
ErrorRef errorFromException(std::exception_ptr e);

// ---------------------------------------------------------------------------------------------

/// The platform's URL errors (domain "NSURLErrorDomain").
class URLError : public Error {
public:
    enum Code : int64_t {
        unknown = -1,
        backgroundSessionRequiresSharedContainer = -995,
        backgroundSessionInUseByAnotherProcess = -996,
        backgroundSessionWasDisconnected = -997,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        dnsLookupFailed = -1006,
        httpTooManyRedirects = -1007,
        resourceUnavailable = -1008,
        notConnectedToInternet = -1009,
        redirectToNonExistentLocation = -1010,
        badServerResponse = -1011,
        userCancelledAuthentication = -1012,
        userAuthenticationRequired = -1013,
        zeroByteResource = -1014,
        cannotDecodeRawData = -1015,
        cannotDecodeContentData = -1016,
        cannotParseResponse = -1017,
        internationalRoamingOff = -1018,
        callIsActive = -1019,
        dataNotAllowed = -1020,
        requestBodyStreamExhausted = -1021,
        appTransportSecurityRequiresSecureConnection = -1022,
        fileDoesNotExist = -1100,
        fileIsDirectory = -1101,
        noPermissionsToReadFile = -1102,
        dataLengthExceedsMaximum = -1103,
        fileOutsideSafeArea = -1104,
        secureConnectionFailed = -1200,
        serverCertificateHasBadDate = -1201,
        serverCertificateUntrusted = -1202,
        serverCertificateHasUnknownRoot = -1203,
        serverCertificateNotYetValid = -1204,
        clientCertificateRejected = -1205,
        clientCertificateRequired = -1206,
        cannotLoadFromNetwork = -2000,
        cannotCreateFile = -3000,
        cannotOpenFile = -3001,
        cannotCloseFile = -3002,
        cannotWriteToFile = -3003,
        cannotRemoveFile = -3004,
        cannotMoveFile = -3005,
        downloadDecodingFailedMidStream = -3006,
        downloadDecodingFailedToComplete = -3007,
    };

    explicit URLError(Code code, ValueDictionary userInfo = {}, ErrorRef underlying = nullptr);

    /// URLError(code, url:): with a URL the user info holds three entries: "NSURL" and
    /// "NSErrorFailingURLKey" mapped to the URL, "NSErrorFailingURLStringKey" to its absolute
    /// string; without a URL it is empty.
    static std::shared_ptr<const URLError> make(Code code, const std::optional<URL>& url = std::nullopt,
                                                ErrorRef underlying = nullptr);

    Code errorCode() const { return static_cast<Code>(code()); }
    std::optional<URL> failingURL() const;                 // "NSErrorFailingURLKey"
    std::optional<std::string> failingURLString() const;   // "NSErrorFailingURLStringKey"

    /// Plain English text of a code ("The request timed out." …).
    static std::string description(Code code);

protected:
    std::string defaultDescription() const override;
};

/// The platform's Cocoa errors (domain "NSCocoaErrorDomain").
class CocoaError : public Error {
public:
    enum Code : int64_t {
        fileNoSuchFile = 4,
        fileLocking = 255,
        fileReadUnknown = 256,
        fileReadNoPermission = 257,
        fileReadInvalidFileName = 258,
        fileReadCorruptFile = 259,
        fileReadNoSuchFile = 260,
        fileReadInapplicableStringEncoding = 261,
        fileReadUnsupportedScheme = 262,
        fileReadTooLarge = 263,
        fileReadUnknownStringEncoding = 264,
        fileWriteUnknown = 512,
        fileWriteNoPermission = 513,
        fileWriteInvalidFileName = 514,
        fileWriteFileExists = 516,
        fileWriteInapplicableStringEncoding = 517,
        fileWriteUnsupportedScheme = 518,
        fileWriteOutOfSpace = 640,
        fileWriteVolumeReadOnly = 642,
        fileManagerUnmountUnknown = 768,
        fileManagerUnmountBusy = 769,
        keyValueValidation = 1024,
        formatting = 2048,
        userCancelled = 3072,
        featureUnsupported = 3328,
        executableNotLoadable = 3584,
        propertyListReadCorrupt = 3840,
        propertyListReadUnknownVersion = 3841,
        propertyListReadStream = 3842,
        propertyListWriteStream = 3851,
        propertyListWriteInvalid = 3852,
        ubiquitousFileUnavailable = 4353,
        ubiquitousFileNotUploadedDueToQuota = 4354,
        ubiquitousFileUbiquityServerNotAvailable = 4355,
        coderReadCorrupt = 4864,
        coderValueNotFound = 4865,
        coderInvalidValue = 4866,
    };

    explicit CocoaError(Code code, ValueDictionary userInfo = {}, ErrorRef underlying = nullptr);

    /// CocoaError(code, path:): with a path the user info is one entry, "NSFilePath" = path.
    static std::shared_ptr<const CocoaError> make(Code code, const std::optional<std::string>& path = std::nullopt,
                                                  ErrorRef underlying = nullptr);
    /// With a localized description ("NSLocalizedDescription" = text) and nothing else.
    static std::shared_ptr<const CocoaError> withDescription(Code code, std::string description);

    Code errorCode() const { return static_cast<Code>(code()); }
    std::optional<URL> url() const;   // "NSURL"

    static std::string description(Code code);

protected:
    std::string defaultDescription() const override;
};

/// The platform's POSIX errors (domain "NSPOSIXErrorDomain", code = errno value).
class POSIXError : public Error {
public:
    explicit POSIXError(int errnoCode, ValueDictionary userInfo = {}, ErrorRef underlying = nullptr);
    /// With "NSFilePath" = path when a path is given.
    static std::shared_ptr<const POSIXError> make(int errnoCode, const std::optional<std::string>& path = std::nullopt);
    /// The current errno.
    static std::shared_ptr<const POSIXError> fromErrno(const std::optional<std::string>& path = std::nullopt);

    int errnoCode() const { return static_cast<int>(code()); }

protected:
    /// strerror text, e.g. "No such file or directory".
    std::string defaultDescription() const override;
};

/// A Cocoa file error for an errno value of a file operation, as the platform maps them:
/// ENOENT → fileReadNoSuchFile / fileNoSuchFile (write), EACCES/EPERM → fileRead/WriteNoPermission,
/// EEXIST → fileWriteFileExists, ENOSPC → fileWriteOutOfSpace, EROFS → fileWriteVolumeReadOnly,
/// ENAMETOOLONG → file…InvalidFileName, else fileReadUnknown / fileWriteUnknown. The user info
/// holds "NSFilePath" and the POSIX error as NSUnderlyingError.
ErrorRef cocoaFileError(int errnoCode, const std::string& path, bool writing);

} // namespace platform
