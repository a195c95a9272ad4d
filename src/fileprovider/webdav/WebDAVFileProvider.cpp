#include "fileprovider/webdav/WebDAVFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/text/Strings.hpp"
#include "platform/net/URLResponse.hpp"

#include <charconv>
#include <cmath>

namespace RiridOzizevud {

namespace {

using platform::URL;
using platform::URLRequest;

using platform::startsWith;

using platform::lowercased;

bool isLocal(const std::string& path) { return startsWith(path, "file://"); }

using platform::statusOf;

std::span<const uint8_t> bytesOf(const std::optional<Data>& data) {
    return data ? std::span<const uint8_t>(data->data(), data->size()) : std::span<const uint8_t>();
}

/// The preview bytes as an image at their own size; nullptr when they are none.
std::shared_ptr<platform::Image> previewImage(const std::optional<Data>& data) {
    if (!data || data->empty())
        return nullptr;
    const auto source = platform::ImageSource::make(*data);
    return source ? LocalFileInformationGenerator::imageSourceThumbnail(*source, std::nullopt) : nullptr;
}

bool matchesEverything(const platform::PredicateRef& predicate) {
    return !predicate || predicate->predicateFormat() == "TRUEPREDICATE";
}

/// A PROPFIND that came back as something other than a multistatus (an HTML page with 200, or no
/// body) is no listing.
ErrorRef notMultistatus(const URL& url) { return platform::URLError::make(platform::URLError::cannotParseResponse, url); }

} // namespace

std::string doubleDescription(double value) {
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, error == std::errc() ? end : buffer);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

// --- Creation ------------------------------------------------------------------------------------

WebDAVFileProvider::WebDAVFileProvider(Token, const URL& baseURL, std::optional<platform::URLCredential> credential,
                                       std::shared_ptr<platform::URLCache> cache)
    : HTTPFileProvider(staticType(), baseURL, std::move(credential), std::move(cache)) {}

std::shared_ptr<WebDAVFileProvider> WebDAVFileProvider::make(const URL& baseURL,
                                                             std::optional<platform::URLCredential> credential,
                                                             std::shared_ptr<platform::URLCache> cache) {
    const URL absolute = baseURL.absoluteURL();
    const auto scheme = absolute.scheme();
    if (!scheme || (lowercased(*scheme) != "http" && lowercased(*scheme) != "https"))
        return nullptr;
    if (!absolute.host() || absolute.host()->empty())
        return nullptr;
    auto components = platform::URLComponents::fromURL(absolute);
    if (components.percentEncodedPath.empty() || components.percentEncodedPath.back() != '/')
        components.percentEncodedPath += '/';
    const auto base = components.url();
    if (!base)
        return nullptr;
    return std::make_shared<WebDAVFileProvider>(Token{}, *base, std::move(credential), std::move(cache));
}

std::shared_ptr<WebDAVFileProvider> WebDAVFileProvider::make(const platform::KeyedUnarchiver& coder) {
    const auto baseURL = coder.decodeURL("baseURL");
    if (!baseURL)
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::coderValueNotFound,
                                                                   "Base URL is not set."));
    auto provider = make(*baseURL, decodeCredential(coder), nullptr);
    if (!provider)
        return nullptr;
    provider->setUseCache(coder.decodeBool("useCache"));
    provider->setValidatingCache(coder.decodeBool("validatingCache"));
    return provider;
}

std::shared_ptr<WebDAVFileProvider> WebDAVFileProvider::copy() const {
    auto copy = make(*baseURL(), credential(), cache());
    if (!copy)
        return nullptr;
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    copy->setUseCache(useCache());
    copy->setValidatingCache(validatingCache());
    return copy;
}

std::shared_ptr<WebDAVFileProvider> WebDAVFileProvider::self() {
    return std::dynamic_pointer_cast<WebDAVFileProvider>(shared_from_this());
}

// --- Requests ------------------------------------------------------------------------------------

URLRequest WebDAVFileProvider::request(const FileOperationType& operation, bool overwrite,
                                       const platform::ValueDictionary&) {
    using Kind = FileOperationType::Kind;
    const std::string& source = operation.source();
    const auto& destination = operation.destination();
    URL url = this->url(source);
    std::string method;
    switch (operation.kind()) {
    case Kind::create:
        method = url.absoluteString().ends_with("/") ? "MKCOL" : "PUT";
        break;
    case Kind::copy:
        if (isLocal(source)) {
            url = this->url(destination.value_or(""));
            method = "PUT";
        } else if (destination && isLocal(*destination)) {
            method = "GET";
        } else {
            method = "COPY";
        }
        break;
    case Kind::move:
        method = "MOVE";
        break;
    case Kind::modify:
        method = "PUT";
        break;
    case Kind::remove:
        method = "DELETE";
        break;
    case Kind::fetch:
        method = "GET";
        break;
    case Kind::link:
        // No symbolic links over WebDAV: the operation fails instead of stopping the process.
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::featureUnsupported,
                                                                   "Unimplemented operation Link"));
    }

    URLRequest request(url, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = method;
    setAuthorizationHeader(request, credential(), credentialType());
    request.setValue(std::string(overwrite ? "T" : "F"), "Overwrite");
    if (destination && !isLocal(*destination))
        request.setValue(this->url(*destination).absoluteString(), "Destination");
    // "Overwrite" binds COPY and MOVE only; a PUT that must not replace a file says so itself.
    if (method == "PUT" && !overwrite)
        request.setValue(std::string("*"), "If-None-Match");
    return request;
}

std::shared_ptr<const FileProviderHTTPError> WebDAVFileProvider::serverError(FileProviderHTTPErrorCode code,
                                                                             const std::optional<std::string>& path,
                                                                             const std::optional<Data>& data) {
    return serverError(rawValue(code), path, data);
}

std::shared_ptr<const FileProviderHTTPError> WebDAVFileProvider::serverError(int statusCode,
                                                                             const std::optional<std::string>& path,
                                                                             const std::optional<Data>& data) {
    const std::string p = path.value_or("");
    return FileProviderWebDavError::make(statusCode, p, utf8Text(data), url(p));
}

std::optional<URLRequest> WebDAVFileProvider::requestAfterCheck(const URLRequest& request, const FileOperationType& operation,
                                                               const platform::ValueDictionary& attributes,
                                                               const OverwriteTarget& found, ErrorRef& error) {
    auto checked = HTTPFileProvider::requestAfterCheck(request, operation, attributes, found, error);
    const auto destination = operation.destination();
    if (!checked || found.absent || !found.entryTag || !destination || isLocal(*destination) ||
        (checked->httpMethod != "COPY" && checked->httpMethod != "MOVE"))
        return checked;
    checked->setValue("<" + url(*destination).absoluteString() + "> ([" + *found.entryTag + "])", "If");
    return checked;
}

std::shared_ptr<const FileProviderHTTPError> WebDAVFileProvider::multiStatusError(const FileOperationType& operation,
                                                                                  const Data& data) {
    for (const auto& response : DavResponse::parse(std::span<const uint8_t>(data.data(), data.size()), baseURL())) {
        if (response.status && *response.status > 299)
            return serverError(*response.status, operation.source(), data);
    }
    return nullptr;
}

URLRequest WebDAVFileProvider::propfindRequest(const URL& url, const std::string& depth,
                                               const std::vector<std::string>& keys) const {
    URLRequest request(url, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = "PROPFIND";
    request.setValue(depth, "Depth");
    setAuthorizationHeader(request, credential(), credentialType());
    setContentTypeHeader(request, ContentMIMEType::xml, StringEncoding::utf8);
    request.httpBody = propfindBody(keys);
    return request;
}

// --- Listing, attributes, search -----------------------------------------------------------------

void WebDAVFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    contentsOfDirectory(path, {}, std::move(completionHandler));
}

void WebDAVFileProvider::contentsOfDirectory(const std::string& path, const std::vector<std::string>& including,
                                             FilesCompletionHandler completionHandler) {
    searchFiles(path, false, platform::Predicate::value(true), including, nullptr, std::move(completionHandler));
}

void WebDAVFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    attributesOfItem(path, {}, std::move(completionHandler));
}

void WebDAVFileProvider::attributesOfItem(const std::string& path, const std::vector<std::string>& including,
                                          FileCompletionHandler completionHandler) {
    const URL url = this->url(path);
    const auto request = propfindRequest(url, "0", including);
    const auto base = baseURL();
    runDataTask(request, std::nullopt,
                [path, url, base, completionHandler = std::move(completionHandler)](
                    std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                    const int status = statusOf(response);
                    if (!error && status >= 300)
                        error = FileProviderWebDavError::make(status, path, utf8Text(data), url);
                    if (error) {
                        completionHandler(nullptr, error);
                        return;
                    }
                    auto responses = DavResponse::parse(bytesOf(data), base);
                    if (responses.empty()) {
                        completionHandler(nullptr, notMultistatus(url));
                        return;
                    }
                    completionHandler(WebDavFileObject::make(responses.front()), nullptr);
                });
}

ProgressRef WebDAVFileProvider::searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    return searchFiles(path, recursive, query, {}, std::move(foundItemHandler), std::move(completionHandler));
}

namespace {

/// One listing or search while its reply arrives: a successful reply is parsed piece by piece (so
/// a large folder costs little beyond its transfer), an error reply is kept for its text.
class Listing {
public:
    Listing(std::string path, URL url, std::optional<URL> base, platform::PredicateRef query)
        : path_(std::move(path)),
          url_(std::move(url)),
          listed_(davProviderPath(url_, base)),
          query_(std::move(query)),
          everything_(matchesEverything(query_)),
          parser_(std::move(base), [this](DavResponse&& response) { take(std::move(response)); }) {}

    void response(const std::shared_ptr<const platform::URLResponse>& response) {
        std::lock_guard lock(mutex_);
        status_ = statusOf(response);
    }

    void data(const Data& piece) {
        std::lock_guard lock(mutex_);
        if (status_ >= 300) {
            // An error page is kept for its text, up to a size no page needs.
            const std::size_t room = maximumPage - std::min(maximumPage, page_.size());
            page_.insert(page_.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(std::min(room, piece.size())));
            return;
        }
        received_ = true;
        parser_.feed(std::span<const uint8_t>(piece.data(), piece.size()), false);
    }

    /// The entries, or the error that ends the listing.
    std::pair<std::vector<FileObjectRef>, ErrorRef> finish(ErrorRef error) {
        std::lock_guard lock(mutex_);
        if (!error && status_ >= 300)
            error = FileProviderWebDavError::make(status_, path_, utf8Text(page_), url_);
        if (!error && (!received_ || !parser_.feed({}, true) || !sawResponse_))
            error = notMultistatus(url_);
        if (error)
            return {{}, error};
        return {std::move(found_), nullptr};
    }

private:
    static constexpr std::size_t maximumPage = 1 << 20;

    void take(DavResponse&& response) {
        sawResponse_ = true;
        if (response.path == listed_)
            return;
        auto entry = WebDavFileObject::make(response);
        if (!everything_ && !query_->evaluate(entry->predicateAttributes()))
            return;
        found_.push_back(std::move(entry));
    }

    std::mutex mutex_;
    const std::string path_;
    const URL url_;
    const std::string listed_;
    const platform::PredicateRef query_;
    const bool everything_;
    int status_ = 0;
    bool received_ = false;
    bool sawResponse_ = false;
    Data page_;
    std::vector<FileObjectRef> found_;
    MultistatusParser parser_;
};

/// Sends a listing's PROPFIND; its reply is parsed as it arrives.
void sendListing(const std::shared_ptr<platform::URLSession>& session, const URLRequest& request,
                 const std::shared_ptr<Listing>& listing, const ProgressRef& progress,
                 const std::function<void(ErrorRef)>& complete) {
    auto task = session->dataTask(request);
    const auto description = session->sessionDescription().value_or("");
    const auto id = task->taskIdentifier();
    if (!setTaskResponseHandler(description, id, [listing](auto response) { listing->response(response); }) ||
        !setTaskDataHandler(description, id, [listing](const Data& piece) { listing->data(piece); }) ||
        !setTaskCompletionHandler(description, id, complete)) {
        // A session without handler tables (installed from outside): the reply comes whole.
        removeTaskResponseHandler(description, id);
        removeTaskDataHandler(description, id);
        task = session->dataTask(request, [listing, complete](std::optional<Data> data,
                                                              std::shared_ptr<const platform::URLResponse> response,
                                                              ErrorRef error) {
            listing->response(response);
            if (data)
                listing->data(*data);
            complete(std::move(error));
        });
    }
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    progress->setCancellationHandler([weakTask] {
        if (auto t = weakTask.lock())
            t->cancel();
    });
    task->resume();
}

} // namespace

ProgressRef WebDAVFileProvider::searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                            const std::vector<std::string>& including, FoundItemHandler foundItemHandler,
                                            FilesCompletionHandler completionHandler) {
    const URL url = this->url(path);
    const auto request = propfindRequest(url, recursive ? "infinity" : "1", including);
    auto progress = platform::Progress::make(-1);
    progress->setUserInfoObject(platform::Value(url), platform::Progress::fileURLKey);
    progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);

    auto listing = std::make_shared<Listing>(path, url, baseURL(), query);
    std::weak_ptr<platform::Progress> weakProgress = progress;
    auto complete = [listing, weakProgress, foundItemHandler = std::move(foundItemHandler),
                     completionHandler = std::move(completionHandler)](ErrorRef error) {
        auto [found, failure] = listing->finish(std::move(error));
        if (failure) {
            // A failed listing is no listing: nothing of the reply is passed off as entries.
            completionHandler({}, failure);
            return;
        }
        int64_t count = 0;
        for (const auto& entry : found) {
            if (auto p = weakProgress.lock())
                p->setCompletedUnitCount(++count);
            if (foundItemHandler)
                foundItemHandler(entry);
        }
        completionHandler(std::move(found), nullptr);
    };

    if (!useCache()) {
        sendListing(session(), request, listing, progress, complete);
        return progress;
    }
    // The cache check may wait for a HEAD: never on the caller's thread.
    const bool validating = validatingCache();
    dispatch_queue()->async([weak = std::weak_ptr<WebDAVFileProvider>(self()), request, listing, progress, complete, validating] {
        auto provider = weak.lock();
        if (!provider) {
            complete(platform::URLError::make(platform::URLError::cancelled, request.url));
            return;
        }
        const bool answered = provider->answerFromCache(
            request, validating,
            [listing, complete](std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                listing->response(response);
                if (data)
                    listing->data(*data);
                complete(std::move(error));
            });
        if (!answered)
            sendListing(provider->session(), request, listing, progress, complete);
    });
    return progress;
}

// --- Storage and reachability --------------------------------------------------------------------

void WebDAVFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    const auto base = baseURL();
    if (!base) {
        dispatch_queue()->async([completionHandler = std::move(completionHandler)] { completionHandler(nullptr); });
        return;
    }
    using Key = platform::URLResourceKey;
    const auto request = propfindRequest(*base, "0", {Key::volumeTotalCapacityKey, Key::volumeAvailableCapacityKey,
                                                      Key::creationDateKey});
    runDataTask(request, std::nullopt,
                [base, completionHandler = std::move(completionHandler)](
                    std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                    const int status = statusOf(response);
                    if (error || status < 200 || status >= 300) {
                        completionHandler(nullptr);
                        return;
                    }
                    const auto responses = DavResponse::parse(bytesOf(data), base);
                    if (responses.empty()) {
                        completionHandler(nullptr);
                        return;
                    }
                    const auto& prop = responses.front().prop;
                    auto volume = std::make_shared<VolumeObject>(platform::ValueDictionary{});
                    if (auto it = prop.find("creationdate"); it != prop.end())
                        volume->setCreationDate(dateFromRFCString(it->second));
                    // A server without quotas says nothing about capacity: leave it unknown
                    // rather than report a full disk.
                    std::optional<int64_t> available;
                    if (auto it = prop.find("quota-available-bytes"); it != prop.end())
                        available = parseDecimalInt64(it->second);
                    if (available)
                        volume->setAvailableCapacity(*available);
                    if (auto it = prop.find("quota-used-bytes"); it != prop.end() && available) {
                        if (auto used = parseDecimalInt64(it->second))
                            volume->setTotalCapacity(*used + *available);
                    }
                    completionHandler(volume);
                });
}

void WebDAVFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    const auto base = baseURL();
    if (!base) {
        dispatch_queue()->async([completionHandler = std::move(completionHandler)] {
            completionHandler(false, platform::URLError::make(platform::URLError::badURL));
        });
        return;
    }
    using Key = platform::URLResourceKey;
    const auto request = propfindRequest(*base, "0", {Key::volumeTotalCapacityKey, Key::volumeAvailableCapacityKey});
    runDataTask(request, std::nullopt,
                [base, completionHandler = std::move(completionHandler)](
                    std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                    if (error) {
                        completionHandler(false, error);
                        return;
                    }
                    const int status = statusOf(response);
                    if (status >= 200 && status < 300) {
                        completionHandler(true, nullptr);
                        return;
                    }
                    completionHandler(false, FileProviderWebDavError::make(status ? status : 400, "", utf8Text(data), *base));
                });
}

// --- Thumbnails, properties, public links --------------------------------------------------------

bool WebDAVFileProvider::isServiceHost() const {
    const auto base = baseURL();
    if (!base)
        return false;
    const auto host = base->host();
    return host && lowercased(*host).find(serviceHostFragment) != std::string::npos;
}

bool WebDAVFileProvider::propertiesOfFileSupported(const std::string&) { return false; }

ProgressRef WebDAVFileProvider::propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) {
    const URL url = this->url(path);
    dispatch_queue()->async([url, completionHandler = std::move(completionHandler)] {
        completionHandler({}, {}, platform::URLError::make(platform::URLError::resourceUnavailable, url));
    });
    return nullptr;
}

bool WebDAVFileProvider::thumbnailOfFileSupported(const std::string& path) {
    if (!isServiceHost())
        return false;
    const std::string extension = url(path).pathExtension();
    return extension == "jpg" || extension == "jpeg" || extension == "png" || extension == "gif";
}

std::string WebDAVFileProvider::thumbnailURLString(const std::string& path,
                                                   const std::optional<platform::Size>& dimension) const {
    const platform::Size size = dimension.value_or(platform::Size{64.0, 64.0});
    return url(path).absoluteString() + "?preview&size=" + doubleDescription(size.width) + "x" +
           doubleDescription(size.height);
}

ProgressRef WebDAVFileProvider::thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                                ThumbnailCompletionHandler completionHandler) {
    const URL fileURL = url(path);
    if (!isServiceHost()) {
        dispatch_queue()->async([fileURL, completionHandler = std::move(completionHandler)] {
            completionHandler(nullptr, platform::URLError::make(platform::URLError::resourceUnavailable, fileURL));
        });
        return nullptr;
    }
    const auto previewURL = URL::parse(thumbnailURLString(path, dimension));
    URLRequest request(previewURL.value_or(fileURL), URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = "GET";
    setAuthorizationHeader(request, credential(), credentialType());
    auto task = session()->dataTask(
        request, [path, fileURL, completionHandler = std::move(completionHandler)](
                     std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            const int status = statusOf(response);
            if (!error && status >= 300)
                error = FileProviderWebDavError::make(status, path, utf8Text(data), fileURL);
            if (error) {
                completionHandler(nullptr, error);
                return;
            }
            auto image = previewImage(data);
            // No image and no error would read as success.
            if (!image)
                error = platform::URLError::make(platform::URLError::cannotDecodeContentData, fileURL);
            completionHandler(std::move(image), error);
        });
    task->resume();
    return nullptr;
}

std::string WebDAVFileProvider::publicLinkBody() {
    return "<propertyupdate xmlns=\"DAV:\">\n<set><prop>\n"
           "<public_url xmlns=\"urn:yandex:disk:meta\">true</public_url>\n</prop></set>\n</propertyupdate>";
}

void WebDAVFileProvider::publicLink(const std::string& to,
                                    std::function<void(std::optional<URL> link, FileObjectRef attribute,
                                                       std::optional<platform::Date> expiration, ErrorRef error)>
                                        completionHandler) {
    const URL url = this->url(to);
    if (!isServiceHost()) {
        dispatch_queue()->async([url, completionHandler = std::move(completionHandler)] {
            completionHandler(std::nullopt, nullptr, std::nullopt,
                              platform::URLError::make(platform::URLError::resourceUnavailable, url));
        });
        return;
    }
    URLRequest request(url, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = "PROPPATCH";
    setAuthorizationHeader(request, credential(), credentialType());
    setContentTypeHeader(request, ContentMIMEType::xml, StringEncoding::utf8);
    const std::string body = publicLinkBody();
    request.httpBody = Data(body.begin(), body.end());
    const auto base = baseURL();
    runDataTask(request, std::nullopt,
                [to, url, base, completionHandler = std::move(completionHandler)](
                    std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                    const int status = statusOf(response);
                    if (!error && status >= 300)
                        error = FileProviderWebDavError::make(status, to, utf8Text(data), url);
                    const auto responses = DavResponse::parse(bytesOf(data), base);
                    if (!error && !responses.empty()) {
                        const auto& prop = responses.front().prop;
                        if (auto it = prop.find("public_url"); it != prop.end()) {
                            if (auto link = URL::parse(it->second); link && link->scheme()) {
                                completionHandler(*link, nullptr, std::nullopt, nullptr);
                                return;
                            }
                        }
                    }
                    if (!error)
                        error = platform::URLError::make(platform::URLError::cannotParseResponse, url);
                    completionHandler(std::nullopt, nullptr, std::nullopt, error);
                });
}

} // namespace RiridOzizevud
