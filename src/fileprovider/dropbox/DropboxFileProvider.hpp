// RiridOzizevud::DropboxFileProvider — the provider interface over one Dropbox account (HTTP API
// version 2). The account is chosen by the OAuth bearer token in the credential's password; there
// is no base URL. Remote-procedure calls go to the API endpoint with JSON bodies; uploads,
// downloads, thumbnails and previews go to the content endpoint with their parameters in
// "Dropbox-API-Arg". File operations, uploads, downloads and reads run through HTTPFileProvider
// with the requests built here.
//
// Every status of 300 or more fails the call it answers (FileProviderDropboxError, the number
// kept); a success answer that cannot be read fails with URLError badServerResponse. The token is
// sent to the two endpoints only. Completions run on operation_queue unless said otherwise.
#pragma once

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/dropbox/DropboxFileObject.hpp"
#include "fileprovider/dropbox/FileProviderDropboxError.hpp"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <span>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

class DropboxFileProvider : public HTTPFileProvider, public FileProviderSharing, public ExtendedFileProvider {
    struct Token {};

public:
    using HTTPFileProvider::contents;
    using HTTPFileProvider::copyItem;
    using HTTPFileProvider::moveItem;
    using HTTPFileProvider::searchFiles;
    using HTTPFileProvider::serverError;
    using HTTPFileProvider::writeContents;
    using ExtendedFileProvider::thumbnailOfFile;

    static std::string staticType() { return "Dropbox"; }

    static constexpr const char* defaultAPIURL = "https://api.dropboxapi.com/2/";
    static constexpr const char* defaultContentURL = "https://content.dropboxapi.com/2/";

    /// init(credential:cache:) against the Dropbox endpoints.
    static std::shared_ptr<DropboxFileProvider> make(std::optional<platform::URLCredential> credential,
                                                     std::shared_ptr<platform::URLCache> cache = nullptr);
    /// The same against other endpoints (a test double of the service): absolute http or https URLs
    /// with a host; a final "/" is added when missing. Nullptr for anything else.
    static std::shared_ptr<DropboxFileProvider> make(std::optional<platform::URLCredential> credential,
                                                     std::shared_ptr<platform::URLCache> cache,
                                                     const platform::URL& apiURL, const platform::URL& contentURL);
    /// init(coder:): the credential, "useCache" and "validatingCache"; an archived base URL is ignored.
    static std::shared_ptr<DropboxFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// copy(with:): same credential, cache, endpoints, delegates and cache flags.
    std::shared_ptr<DropboxFileProvider> copy() const;

    DropboxFileProvider(Token, std::optional<platform::URLCredential> credential,
                        std::shared_ptr<platform::URLCache> cache, platform::URL apiURL, platform::URL contentURL);

    const platform::URL& apiURL() const { return apiURL_; }
    const platform::URL& contentURL() const { return contentURL_; }

    /// 150 MiB: the largest body one upload request may carry.
    int64_t maxUploadSimpleSupported() const override { return 157'286'400; }

    /// The Dropbox path of a provider path: "id:" and "rev:" paths unchanged; otherwise one leading
    /// "/" ensured and one trailing "/" dropped, so the root is "".
    static std::optional<std::string> normalizedPath(const std::optional<std::string>& path);

    // --- Requests the base runs ---
    /// fetch: download; modify: upload; copy from or to a "file://" URL: upload or download; the
    /// rest: apiRequest.
    platform::URLRequest request(const FileOperationType& operation, bool overwrite,
                                 const platform::ValueDictionary& attributes) override;
    /// create, copy, move and remove as remote-procedure calls. Modify, link and fetch have none:
    /// throws platform::Exception ("Unimplemented operation <Operation>").
    platform::URLRequest apiRequest(const FileOperationType& operation, bool overwrite);
    platform::URLRequest uploadRequest(const std::string& path, bool overwrite) const;
    platform::URLRequest downloadRequest(const std::string& path) const;
    /// A POST of JSON `body` to `endpoint` on the API endpoint, with the bearer token.
    platform::URLRequest rpcRequest(const std::string& endpoint, const nlohmann::json& body) const;
    std::shared_ptr<const FileProviderHTTPError> serverError(FileProviderHTTPErrorCode code,
                                                             const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;
    std::shared_ptr<const FileProviderHTTPError> serverError(int statusCode, const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;

    /// "Dropbox-API-Arg" text of `arguments`: compact JSON with every non-ASCII scalar written as
    /// "\u" escapes; none when the arguments cannot be written (text that is not UTF-8).
    static std::optional<std::string> dropboxAPIArg(const nlohmann::json& arguments);

    // --- Listing, attributes, storage, search ---
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    /// Nullptr when the call fails or its answer is unreadable.
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    /// A server search when the predicate holds a "name BEGINSWITH" comparison with a text (the
    /// matches are still filtered by the whole predicate); otherwise a listing (recursive as asked)
    /// filtered by the predicate.
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;

    // --- Temporary links and server-side copies ---
    /// A temporary link (valid four hours) to the file and its entry. The link is handed back only,
    /// never fetched with the token.
    void publicLink(const std::string& to,
                    std::function<void(std::optional<platform::URL> link, FileObjectRef attribute,
                                       std::optional<platform::Date> expiration, ErrorRef error)>
                        completionHandler) override;
    /// Saves a web file into the account: the server's job identifier or the saved entry. A file
    /// URL is refused at once (URLError badURL), on the caller's thread.
    void copyItem(const platform::URL& remoteURL, const std::string& to,
                  std::function<void(std::optional<std::string> jobIdentifier, FileObjectRef attribute, ErrorRef error)>
                      completionHandler);
    /// copyItem(reference:to:completionHandler:) (named apart from the copy of a path, which has the
    /// same shape): saves a copy reference another account shared. The handler may be empty.
    void copyItemReference(const std::string& reference, const std::string& to,
                           SimpleCompletionHandler completionHandler);

    // --- Thumbnails and media properties ---
    bool thumbnailOfFileSupported(const std::string& path) override;
    /// Answers nil progress. An unsupported extension fails without a request. The image, or the
    /// first page of a PDF preview, is fitted to the dimension (its own size without one); an
    /// answer that yields no image (an HTML page, bytes that are no image) fails with URLError
    /// cannotDecodeContentData.
    ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                ThumbnailCompletionHandler completionHandler) override;
    bool propertiesOfFileSupported(const std::string& path) override;
    ProgressRef propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) override;

    /// "w32h32", "w64h64", "w128h128", "w640h480" or "w1024h768" for a requested height (64 without one).
    static std::string thumbnailSize(const std::optional<platform::Size>& dimension);
    /// The get_thumbnail or get_preview request of a file; none for an extension with neither.
    std::optional<platform::URLRequest> thumbnailRequest(const std::string& path,
                                                         const std::optional<platform::Size>& dimension) const;
    /// Display properties of a "media_info" metadata object, and their keys in display order.
    static std::pair<platform::ValueDictionary, std::vector<std::string>> mediaProperties(const nlohmann::json& metadata);

private:
    std::shared_ptr<DropboxFileProvider> self();
    /// Whether the lower-cased extension of the last path component is one of `extensions`; a name
    /// that only begins with "." has none.
    static bool hasExtension(const std::string& path, std::span<const std::string_view> extensions);
    /// The failure of a success answer that does not hold what the call asked for.
    static ErrorRef unreadableAnswer(const platform::URL& url);
    platform::URLRequest endpointRequest(const platform::URL& base, const std::string& endpoint) const;
    /// POSTs {"path": normalised path} plus `extra` to `endpoint` and hands the answer on.
    void singlePathCall(const std::string& endpoint, const std::string& path, const nlohmann::json& extra,
                        platform::URLSession::DataCompletionHandler completionHandler);
    /// The answer's error: the server error for a status of 300 or more, else the transport error.
    ErrorRef answerError(const std::shared_ptr<const platform::URLResponse>& response, const ErrorRef& error,
                         const std::string& path, const std::optional<Data>& data);

    const platform::URL apiURL_;
    const platform::URL contentURL_;
};

} // namespace RiridOzizevud
