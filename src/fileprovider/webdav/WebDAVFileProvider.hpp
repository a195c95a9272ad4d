// RiridOzizevud::WebDAVFileProvider — the provider interface over a WebDAV server (HTTP or HTTPS,
// XML bodies). Listing, attributes and search are one PROPFIND each; file operations, uploads,
// downloads and reads run through HTTPFileProvider with the requests built here.
//
// With useCache, the PROPFINDs (listings, searches, attributes, storage, reachability) are
// answered from the provider's URL cache when it holds the same request's answer, obtained with
// the same credential: at once when validatingCache is off and the answer is not stale, else only
// when a HEAD finds it unchanged: its "ETag", or its "Last-Modified" when it has no tag (a date
// counts whole seconds).
//
// Every status of 300 or more fails the request it answers (FileProviderWebDavError), and a
// PROPFIND answered without a multistatus body fails too: a server that does not speak WebDAV
// never yields an empty listing. Completions run on operation_queue unless said otherwise.
#pragma once

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "fileprovider/webdav/DavResponse.hpp"
#include "fileprovider/webdav/FileProviderWebDavError.hpp"
#include "fileprovider/webdav/WebDAVPropfind.hpp"
#include "fileprovider/webdav/WebDavFileObject.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

class WebDAVFileProvider : public HTTPFileProvider, public FileProviderSharing, public ExtendedFileProvider {
    struct Token {};

public:
    using HTTPFileProvider::contents;
    using HTTPFileProvider::copyItem;
    using HTTPFileProvider::moveItem;
    using HTTPFileProvider::searchFiles;
    using HTTPFileProvider::serverError;
    using HTTPFileProvider::writeContents;
    using ExtendedFileProvider::thumbnailOfFile;

    static std::string staticType() { return "WebDAV"; }

    /// init(baseURL:credential:cache:): nullptr unless the scheme is "http" or "https" (any case)
    /// and the URL has a host. The base URL gets a final "/".
    static std::shared_ptr<WebDAVFileProvider> make(const platform::URL& baseURL,
                                                    std::optional<platform::URLCredential> credential = std::nullopt,
                                                    std::shared_ptr<platform::URLCache> cache = nullptr);
    /// init(coder:): throws platform::Exception (CocoaError coderValueNotFound, "Base URL is not
    /// set.") without "baseURL"; nullptr when the archived URL is not usable.
    static std::shared_ptr<WebDAVFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// copy(with:): same base URL, credential, cache, delegates and cache flags; credentialType
    /// is not copied.
    std::shared_ptr<WebDAVFileProvider> copy() const;

    WebDAVFileProvider(Token, const platform::URL& baseURL, std::optional<platform::URLCredential> credential,
                       std::shared_ptr<platform::URLCache> cache);

    /// How the credential reaches the "Authorization" header; digest (the default) sends none and
    /// answers the server's challenge instead. Read each time a request is built.
    URLRequestAuthenticationType credentialType() const { return credentialType_.load(); }
    void setCredentialType(URLRequestAuthenticationType type) { credentialType_.store(type); }

    // --- Listing, attributes, search, storage, reachability ---
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    void contentsOfDirectory(const std::string& path, const std::vector<std::string>& including,
                             FilesCompletionHandler completionHandler);
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    void attributesOfItem(const std::string& path, const std::vector<std::string>& including,
                          FileCompletionHandler completionHandler);
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            const std::vector<std::string>& including, FoundItemHandler foundItemHandler,
                            FilesCompletionHandler completionHandler);
    /// nullptr when the server does not answer with a multistatus, or answers an error.
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    /// (true, nil) for a successful PROPFIND of the base URL; else false with the transport error
    /// or the status's error.
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    // --- Requests the base runs ---
    /// Link has no request: the base's runner gets an error ("Unimplemented operation Link").
    platform::URLRequest request(const FileOperationType& operation, bool overwrite,
                                 const platform::ValueDictionary& attributes) override;
    std::shared_ptr<const FileProviderHTTPError> serverError(FileProviderHTTPErrorCode code,
                                                             const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;
    std::shared_ptr<const FileProviderHTTPError> serverError(int statusCode, const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override;
    /// The base's, and a COPY or MOVE that found a file at its destination replaces only that very
    /// file: its entity tag in a tagged "If" list for the destination, so a folder that took the
    /// file's place meanwhile fails the request (412) instead of going.
    std::optional<platform::URLRequest> requestAfterCheck(const platform::URLRequest& request,
                                                          const FileOperationType& operation,
                                                          const platform::ValueDictionary& attributes,
                                                          const OverwriteTarget& found, ErrorRef& error) override;
    /// The first response of a 207 body whose status is 300 or more.
    std::shared_ptr<const FileProviderHTTPError> multiStatusError(const FileOperationType& operation,
                                                                  const Data& data) override;

    // --- Thumbnails, properties, public links (one cloud service only) ---
    /// The fragment of the host name of the one service that offers previews and public links.
    static constexpr const char* serviceHostFragment = "webdav.yandex.";
    bool propertiesOfFileSupported(const std::string& path) override;
    ProgressRef propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) override;
    bool thumbnailOfFileSupported(const std::string& path) override;
    /// The preview at its own size; a body that is no image fails with URLError
    /// cannotDecodeContentData.
    ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                ThumbnailCompletionHandler completionHandler) override;
    void publicLink(const std::string& to,
                    std::function<void(std::optional<platform::URL> link, FileObjectRef attribute,
                                       std::optional<platform::Date> expiration, ErrorRef error)>
                        completionHandler) override;

    /// The preview address of a file: its URL + "?preview&size=" + width "x" height.
    std::string thumbnailURLString(const std::string& path, const std::optional<platform::Size>& dimension) const;
    /// The PROPPATCH body that asks for a public link.
    static std::string publicLinkBody();

    static std::optional<std::string> davPropertyName(std::string_view resourceKey) {
        return RiridOzizevud::davPropertyName(resourceKey);
    }
    static std::string propfindProperties(const std::vector<std::string>& keys) {
        return RiridOzizevud::propfindProperties(keys);
    }
    static platform::Data propfindBody(const std::vector<std::string>& keys) { return RiridOzizevud::propfindBody(keys); }

    /// The PROPFIND of `url` with this depth and body of `keys`.
    platform::URLRequest propfindRequest(const platform::URL& url, const std::string& depth,
                                         const std::vector<std::string>& keys) const;

private:
    bool isServiceHost() const;
    std::shared_ptr<WebDAVFileProvider> self();

    std::atomic<URLRequestAuthenticationType> credentialType_{URLRequestAuthenticationType::digest};
};

/// Text of a double as the platform writes it: shortest digits that read back, ".0" for whole
/// numbers ("64.0", "96.5").
std::string doubleDescription(double value);

} // namespace RiridOzizevud
