// RiridOzizevud::OneDriveFileProvider — the provider interface over one drive of Microsoft Graph
// (version "v1.0"): the signed-in user's drive, or a drive, group, site or user drive by id. The
// credential's password is the OAuth bearer token. Listings and searches page through
// "@odata.nextLink"; uploads always go through an upload session in chunks of at most 10 MiB;
// file operations, downloads and reads run through HTTPFileProvider with the requests built here.
//
// Every status of 300 or more fails the call it answers (FileProviderOneDriveError, the number
// kept). The bearer token goes only to the scheme, host and port of the base URL: never to an
// upload-session URL, a next link or a redirect elsewhere, and no challenge from elsewhere is
// answered with the credential. Completions run on operation_queue unless said otherwise.
#pragma once

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/onedrive/FileProviderOneDriveError.hpp"
#include "fileprovider/onedrive/OneDriveFileObject.hpp"
#include "fileprovider/onedrive/OneDriveRoute.hpp"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace RiridOzizevud {

class OneDriveFileProvider : public HTTPFileProvider, public FileProviderSharing, public ExtendedFileProvider {
    struct Token {};

public:
    using HTTPFileProvider::contents;
    using HTTPFileProvider::copyItem;
    using HTTPFileProvider::moveItem;
    using HTTPFileProvider::searchFiles;
    using HTTPFileProvider::serverError;
    using HTTPFileProvider::writeContents;
    using ExtendedFileProvider::thumbnailOfFile;
    using Route = OneDriveRoute;

    static std::string staticType() { return "OneDrive"; }

    static constexpr const char* defaultGraphURL = "https://graph.microsoft.com/";
    /// The service root new providers use (ends in "/"); read when a provider is made.
    static platform::URL graphURL();
    static void setGraphURL(const platform::URL& url);
    /// "v1.0" unless changed; read when a provider is made.
    static std::string graphVersion();
    static void setGraphVersion(const std::string& version);

    /// The largest single-request upload; 4 MiB.
    static constexpr int64_t maxUploadSimple = 4'194'304;
    /// The largest chunk of an upload session; 10 MiB.
    static constexpr int64_t uploadChunkLimit = 10'485'760;

    /// init(credential:serverURL:route:cache:): the base URL is `serverURL` (else graphURL) with
    /// graphVersion and "/" appended.
    static std::shared_ptr<OneDriveFileProvider> make(std::optional<platform::URLCredential> credential,
                                                      const std::optional<platform::URL>& serverURL = std::nullopt,
                                                      Route route = Route::me(),
                                                      std::shared_ptr<platform::URLCache> cache = nullptr);
    /// init(credential:serverURL:drive:cache:): the drive's route when `drive` is a UUID, else me.
    static std::shared_ptr<OneDriveFileProvider> make(std::optional<platform::URLCredential> credential,
                                                      const std::optional<platform::URL>& serverURL,
                                                      const std::optional<std::string>& drive,
                                                      std::shared_ptr<platform::URLCache> cache = nullptr);
    /// init(coder:): "drive" (a UUID) or else "route" (else me), "credential", "baseURL" as archived
    /// (else the default), "useCache" and "validatingCache".
    static std::shared_ptr<OneDriveFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// copy(with:): same credential, cache, route, base URL, delegates and cache flags.
    std::shared_ptr<OneDriveFileProvider> copy() const;

    OneDriveFileProvider(Token, const platform::URL& baseURL, std::optional<platform::URLCredential> credential,
                         Route route, std::shared_ptr<platform::URLCache> cache);

    const Route& route() const { return route_; }

    /// The base's keys, then "route".
    void encode(platform::KeyedArchiver& coder) const override;

    /// The session, made on first use with a delegate that answers challenges of the base URL's
    /// own server only.
    std::shared_ptr<platform::URLSession> session() override;

    // --- Addressing ---
    platform::URL url(const std::string& of) const override;
    platform::URL url(const std::string& of, const std::optional<std::string>& modifier) const;
    std::string relativePathOf(const platform::URL& url) const override;

    // --- Listing, attributes, storage, search, reachability ---
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    /// Nullptr when the drive cannot be read.
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    /// A search of the whole drive for the predicate's name term ("*" without one); only entries the
    /// predicate accepts are kept.
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    /// (true, nil) for a 200 to a HEAD of the root; a status of 300 or more gives its error, a
    /// failed request its transport error.
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    /// The search term of a predicate: the first string constant of a non-negated comparison on
    /// "name", else the first string constant of any comparison.
    static std::optional<std::string> searchTerm(const platform::PredicateRef& query);
    /// The first page of a search.
    platform::URLRequest searchRequest(const std::optional<std::string>& term, bool recursive) const;

    // --- Requests the base runs ---
    /// create of a path without a final "/" and link have no request: throws platform::Exception
    /// ("Unimplemented operation Create" / "Link"), which fails the operation.
    platform::URLRequest request(const FileOperationType& operation, bool overwrite,
                                 const platform::ValueDictionary& attributes) override;
    std::shared_ptr<const FileProviderHTTPError> serverError(FileProviderHTTPErrorCode code,
                                                             const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;
    std::shared_ptr<const FileProviderHTTPError> serverError(int statusCode, const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;
    int64_t maxUploadSimpleSupported() const override { return maxUploadSimple; }

    // --- Uploads (always through an upload session) ---
    /// The bytes of a half-open range [lower, upper), or a thrown platform::Exception.
    using UploadDataProvider = std::function<Data(int64_t lower, int64_t upper)>;
    /// Upload of a regular local file; anything else fails later on dispatch_queue (URLError
    /// fileIsDirectory, or fileDoesNotExist for a missing file) and answers nullptr.
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    /// `atomically` has no effect: an upload session replaces the item at its end anyway.
    ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically, bool overwrite,
                              SimpleCompletionHandler completionHandler) override;
    /// Asks for an upload session and sends the chunks the server asks for. An empty or unknown
    /// size fails later on dispatch_queue (URLError zeroByteResource) and answers nullptr. With
    /// `overwrite` a folder at `path` refuses the upload (checked first, as the HTTP base does);
    /// when nothing is there the session is asked for without replacing.
    ProgressRef createUploadSession(const std::string& path, const FileOperationType& operation, int64_t size,
                                    bool overwrite, UploadDataProvider dataProvider,
                                    SimpleCompletionHandler completionHandler);

    /// The bytes of a local file's range: fewer only at the end of the file. Errors carry `path`:
    /// CocoaError fileNoSuchFile (cannot open), fileReadTooLarge (cannot seek there), fileReadUnknown.
    static Data readLocalFileRange(const platform::URL& url, int64_t lower, int64_t upper, const std::string& path);
    /// The bytes of [lower, upper) clipped into the data.
    static Data sliceData(const Data& data, int64_t lower, int64_t upper);

    // --- Sharing links, properties, thumbnails ---
    /// A view link made by the server; no entry, no expiry.
    void publicLink(const std::string& to,
                    std::function<void(std::optional<platform::URL> link, FileObjectRef attribute,
                                       std::optional<platform::Date> expiration, ErrorRef error)>
                        completionHandler) override;
    bool propertiesOfFileSupported(const std::string& path) override;
    /// Media properties of the item's facets; answers nullptr progress.
    ProgressRef propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) override;
    bool thumbnailOfFileSupported(const std::string& path) override;
    /// Answers nullptr progress. The image comes at its own size; a body that is no image fails with
    /// URLError cannotDecodeContentData.
    ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                ThumbnailCompletionHandler completionHandler) override;

    /// "small" (up to 96), "medium" (97 to 176) or "large" for the larger side of a dimension.
    static std::string thumbnailSizeName(const std::optional<platform::Size>& dimension);
    platform::URL thumbnailURL(const std::string& path, const std::optional<platform::Size>& dimension) const;

    /// Display properties of a drive item's media facets, and their labels in display order.
    static std::pair<platform::ValueDictionary, std::vector<std::string>> mapMediaInfo(const nlohmann::json& item);
    /// The label of an audio member: a space before each capital, then every word capitalised.
    static std::string mediaPropertyLabel(const std::string& key);

private:
    struct UploadState;

    std::shared_ptr<OneDriveFileProvider> self();
    /// A Graph request: the method, time-out 60 s, the bearer token when `url` is on the base's server.
    platform::URLRequest graphRequest(const platform::URL& url, const std::string& method) const;
    void authorize(platform::URLRequest& request) const;
    bool isOwnServer(const platform::URL& url) const;
    /// The page step of listings and searches.
    HTTPFileProvider::Page page(const std::optional<Data>& data, const std::string& path,
                                const platform::PredicateRef& filter, const FoundItemHandler& foundItemHandler) const;
    /// The answer's error: the server error for a status of 300 or more, else the transport error.
    ErrorRef answerError(const std::shared_ptr<const platform::URLResponse>& response, const ErrorRef& error,
                         const std::string& path, const std::optional<Data>& data);
    /// The POST that opens the session, "replace" or "fail" on a conflict.
    void openUploadSession(const std::shared_ptr<UploadState>& state, bool replace);
    void uploadChunk(std::shared_ptr<UploadState> state, std::optional<std::pair<int64_t, int64_t>> range,
                     int64_t uploadedBytes);
    void chunkReply(const std::shared_ptr<UploadState>& state, int64_t lower, int64_t upper, int64_t uploadedBytes,
                    int status, const Data& body, ErrorRef error);

    const Route route_;
    std::mutex sessionMutex_;
    bool sessionMade_ = false;
};

} // namespace RiridOzizevud
