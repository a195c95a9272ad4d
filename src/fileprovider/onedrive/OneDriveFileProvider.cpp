#include "fileprovider/onedrive/OneDriveFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/data/JSON.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;

using platform::startsWith;

using platform::statusOf;


Data bytes(const Json& json) {
    const std::string text = platform::JSON::dump(json);
    return Data(text.begin(), text.end());
}

using platform::lowercased;

int effectivePort(const URL& url) {
    if (const auto port = url.port())
        return *port;
    return lowercased(url.scheme().value_or("")) == "https" ? 443 : 80;
}

// One trailing "/" dropped, as the platform's path functions see a path.
std::string withoutTrailingSlash(std::string path) {
    if (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string lastPathComponent(const std::string& path) {
    const std::string p = withoutTrailingSlash(path);
    if (p == "/")
        return p;
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parentPath(const std::string& path) {
    const std::string p = withoutTrailingSlash(path);
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::mutex settingsMutex;
std::optional<URL> graphURLSetting;
std::string graphVersionSetting = "v1.0";

// The server's item answers; anything else when it asked to continue or failed.
ErrorRef badServerResponse(const URL& url) { return platform::URLError::make(platform::URLError::badServerResponse, url); }

} // namespace

// --- Class settings ------------------------------------------------------------------------------

URL OneDriveFileProvider::graphURL() {
    std::lock_guard lock(settingsMutex);
    if (!graphURLSetting)
        graphURLSetting = URL::parse(defaultGraphURL);
    return *graphURLSetting;
}

void OneDriveFileProvider::setGraphURL(const URL& url) {
    std::lock_guard lock(settingsMutex);
    graphURLSetting = url;
}

std::string OneDriveFileProvider::graphVersion() {
    std::lock_guard lock(settingsMutex);
    return graphVersionSetting;
}

void OneDriveFileProvider::setGraphVersion(const std::string& version) {
    std::lock_guard lock(settingsMutex);
    graphVersionSetting = version;
}

// --- Creation ------------------------------------------------------------------------------------

namespace {

URL defaultBaseURL(const std::optional<URL>& serverURL) {
    URL url = serverURL ? serverURL->absoluteURL() : OneDriveFileProvider::graphURL();
    url = url.appendingPathComponent(OneDriveFileProvider::graphVersion(), true);
    if (!url.absoluteString().ends_with("/"))
        url = url.appendingPathComponent("", true);
    return url;
}

} // namespace

OneDriveFileProvider::OneDriveFileProvider(Token, const URL& baseURL, std::optional<platform::URLCredential> credential,
                                           Route route, std::shared_ptr<platform::URLCache> cache)
    : HTTPFileProvider(staticType(), baseURL, std::move(credential), std::move(cache)), route_(std::move(route)) {}

std::shared_ptr<OneDriveFileProvider> OneDriveFileProvider::make(std::optional<platform::URLCredential> credential,
                                                                 const std::optional<URL>& serverURL, Route route,
                                                                 std::shared_ptr<platform::URLCache> cache) {
    return std::make_shared<OneDriveFileProvider>(Token{}, defaultBaseURL(serverURL), std::move(credential),
                                                  std::move(route), std::move(cache));
}

std::shared_ptr<OneDriveFileProvider> OneDriveFileProvider::make(std::optional<platform::URLCredential> credential,
                                                                 const std::optional<URL>& serverURL,
                                                                 const std::optional<std::string>& drive,
                                                                 std::shared_ptr<platform::URLCache> cache) {
    const auto uuid = drive ? platform::UUID::fromString(*drive) : std::nullopt;
    return make(std::move(credential), serverURL, uuid ? Route::drive(*uuid) : Route::me(), std::move(cache));
}

std::shared_ptr<OneDriveFileProvider> OneDriveFileProvider::make(const platform::KeyedUnarchiver& coder) {
    std::optional<Route> route;
    if (const auto drive = coder.decodeString("drive"))
        if (const auto uuid = platform::UUID::fromString(*drive))
            route = Route::drive(*uuid);
    if (!route)
        if (const auto raw = coder.decodeString("route"))
            route = Route::fromRawValue(*raw);
    const auto baseURL = coder.decodeURL("baseURL");
    auto provider = std::make_shared<OneDriveFileProvider>(Token{}, baseURL ? *baseURL : defaultBaseURL(std::nullopt),
                                                           decodeCredential(coder), route.value_or(Route::me()), nullptr);
    provider->setUseCache(coder.decodeBool("useCache"));
    provider->setValidatingCache(coder.decodeBool("validatingCache"));
    return provider;
}

std::shared_ptr<OneDriveFileProvider> OneDriveFileProvider::copy() const {
    auto copy = std::make_shared<OneDriveFileProvider>(Token{}, *baseURL(), credential(), route_, cache());
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    copy->setUseCache(useCache());
    copy->setValidatingCache(validatingCache());
    return copy;
}

void OneDriveFileProvider::encode(platform::KeyedArchiver& coder) const {
    HTTPFileProvider::encode(coder);
    coder.encode(route_.rawValue(), "route");
}

std::shared_ptr<OneDriveFileProvider> OneDriveFileProvider::self() {
    return std::dynamic_pointer_cast<OneDriveFileProvider>(FileProviderBasic::shared_from_this());
}

// --- Session -------------------------------------------------------------------------------------

namespace {

// The credential's password is a bearer token: a challenge from another server (an upload
// session's host, a redirect's target) must not get it as a password.
class OwnServerSessionDelegate : public SessionDelegate {
public:
    OwnServerSessionDelegate(const std::shared_ptr<FileProviderOperations>& provider, URL base)
        : SessionDelegate(provider), base_(std::move(base)) {}

    void didReceiveChallenge(const SessionRef& session, const TaskRef& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletionHandler completionHandler) override {
        if (!isOwn(challenge.protectionSpace)) {
            if (completionHandler)
                completionHandler(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
            return;
        }
        SessionDelegate::didReceiveChallenge(session, task, challenge, std::move(completionHandler));
    }
    void didReceiveChallenge(const SessionRef& session, const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletionHandler completionHandler) override {
        if (!isOwn(challenge.protectionSpace)) {
            if (completionHandler)
                completionHandler(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
            return;
        }
        SessionDelegate::didReceiveChallenge(session, challenge, std::move(completionHandler));
    }

private:
    bool isOwn(const platform::URLProtectionSpace& space) const {
        return lowercased(space.protocol_) == lowercased(base_.scheme().value_or("")) &&
               lowercased(space.host) == lowercased(base_.host().value_or("")) && space.port == effectivePort(base_);
    }

    const URL base_;
};

} // namespace

std::shared_ptr<platform::URLSession> OneDriveFileProvider::session() {
    {
        std::lock_guard lock(sessionMutex_);
        if (!sessionMade_) {
            sessionMade_ = true;
            auto delegate = std::make_shared<OwnServerSessionDelegate>(selfOperations(), *baseURL());
            auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
            configuration.urlCache = cache();
            configuration.requestCachePolicy = URLRequest::CachePolicy::returnCacheDataElseLoad;
            auto session = platform::URLSession::make(configuration, delegate, operation_queue());
            session->setSessionDescription(platform::newUUIDString());
            setSession(session);
        }
    }
    return HTTPFileProvider::session();
}

// --- Addressing ----------------------------------------------------------------------------------

URL OneDriveFileProvider::url(const std::string& of) const { return url(of, std::nullopt); }

URL OneDriveFileProvider::url(const std::string& of, const std::optional<std::string>& modifier) const {
    return OneDriveFileObject::url(of, modifier, *baseURL(), route_);
}

std::string OneDriveFileProvider::relativePathOf(const URL& url) const {
    return OneDriveFileObject::relativePathOf(url, baseURL(), route_);
}

bool OneDriveFileProvider::isOwnServer(const URL& url) const {
    const URL base = *baseURL();
    return lowercased(url.scheme().value_or("")) == lowercased(base.scheme().value_or("")) &&
           lowercased(url.host().value_or("")) == lowercased(base.host().value_or("")) &&
           effectivePort(url) == effectivePort(base);
}

void OneDriveFileProvider::authorize(URLRequest& request) const {
    if (request.url && isOwnServer(*request.url))
        setAuthorizationHeader(request, credential(), URLRequestAuthenticationType::oAuth2);
}

URLRequest OneDriveFileProvider::graphRequest(const URL& url, const std::string& method) const {
    URLRequest request(url, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = method;
    authorize(request);
    return request;
}

ErrorRef OneDriveFileProvider::answerError(const std::shared_ptr<const platform::URLResponse>& response,
                                           const ErrorRef& error, const std::string& path,
                                           const std::optional<Data>& data) {
    if (error)
        return error;
    if (const int status = statusOf(response); status >= 300)
        return serverError(status, path, data);
    return nullptr;
}

// --- Listing -------------------------------------------------------------------------------------

HTTPFileProvider::Page OneDriveFileProvider::page(const std::optional<Data>& data, const std::string& path,
                                                  const platform::PredicateRef& filter,
                                                  const FoundItemHandler& foundItemHandler) const {
    const auto json = platform::JSON::object(data);
    const Json* value = json ? platform::JSON::member(*json, "value") : nullptr;
    if (!value || !value->is_array())
        return {{}, badServerResponse(url(path)), std::nullopt};
    std::vector<FileObjectRef> files;
    for (const Json& item : *value) {
        auto entry = OneDriveFileObject::make(baseURL(), route_, item);
        if (!entry)
            continue;
        if (filter && !filter->evaluate(entry->predicateAttributes()))
            continue;
        if (foundItemHandler)
            foundItemHandler(entry);
        files.push_back(std::move(entry));
    }
    std::optional<std::string> next;
    if (const Json* link = platform::JSON::member(*json, "@odata.nextLink"); link && link->is_string())
        next = link->get<std::string>();
    return {std::move(files), nullptr, std::move(next)};
}

namespace {

// A next link is followed only as an absolute web URL; anything else ends the listing with an
// error rather than starting it over.
std::optional<URL> nextLinkURL(const std::string& token) {
    const auto url = URL::parse(token);
    if (!url)
        return std::nullopt;
    const std::string scheme = lowercased(url->scheme().value_or(""));
    if ((scheme != "http" && scheme != "https") || !url->host())
        return std::nullopt;
    return url;
}

} // namespace

void OneDriveFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    std::weak_ptr<OneDriveFileProvider> weak = self();
    paginated(
        path,
        [weak, path](const std::optional<std::string>& token) -> std::optional<URLRequest> {
            auto self = weak.lock();
            if (!self)
                return std::nullopt;
            if (!token)
                return self->graphRequest(self->url(path, "children"), "GET");
            const auto next = nextLinkURL(*token);
            if (!next)
                return std::nullopt;
            return self->graphRequest(*next, "GET");
        },
        [weak, path](const std::optional<Data>& data, const ProgressRef&) -> Page {
            auto self = weak.lock();
            if (!self)
                return {{}, platform::URLError::make(platform::URLError::cancelled), std::nullopt};
            return self->page(data, path, nullptr, nullptr);
        },
        std::move(completionHandler));
}

void OneDriveFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    auto self = this->self();
    auto task = session()->dataTask(
        graphRequest(url(path), "GET"),
        [self, path, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = self->answerError(response, error, path, data)) {
                completionHandler(nullptr, failure);
                return;
            }
            const auto json = platform::JSON::object(data);
            auto entry = json ? OneDriveFileObject::make(self->baseURL(), self->route_, *json) : nullptr;
            completionHandler(entry, entry ? nullptr : badServerResponse(self->url(path)));
        });
    task->resume();
}

void OneDriveFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    const auto driveURL = URL::parse(route_.drivePath(), *baseURL());
    auto request = graphRequest(driveURL ? driveURL->absoluteURL() : *baseURL(), "GET");
    const URL requestURL = *request.url;
    auto task = session()->dataTask(
        request, [requestURL, completionHandler = std::move(completionHandler)](
                     std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            const auto json = platform::JSON::object(data);
            // An error page is no volume.
            if (error || statusOf(response) >= 300 || !json) {
                completionHandler(nullptr);
                return;
            }
            auto volume = std::make_shared<VolumeObject>(platform::ValueDictionary{});
            volume->setUrl(requestURL);
            const auto* id = platform::JSON::member(*json, "id");
            volume->setUuid(id && id->is_string() ? std::optional<std::string>(id->get<std::string>()) : std::nullopt);
            const auto* name = platform::JSON::member(*json, "name");
            volume->setName(name && name->is_string() ? std::optional<std::string>(name->get<std::string>()) : std::nullopt);
            const auto* created = platform::JSON::member(*json, "createdDateTime");
            volume->setCreationDate(created && created->is_string() ? dateFromRFCString(created->get<std::string>())
                                                                    : std::nullopt);
            int64_t total = -1, remaining = 0;
            if (const auto* quota = platform::JSON::member(*json, "quota"); quota && quota->is_object()) {
                total = platform::JSON::lenient<int64_t>(*quota, "total").value_or(-1);
                remaining = platform::JSON::lenient<int64_t>(*quota, "remaining").value_or(0);
            }
            volume->allValues()[platform::URLResourceKey::volumeTotalCapacityKey] = total;
            volume->allValues()[platform::URLResourceKey::volumeAvailableCapacityKey] = remaining;
            completionHandler(volume);
        });
    task->resume();
}

// --- Search --------------------------------------------------------------------------------------

std::optional<std::string> OneDriveFileProvider::searchTerm(const platform::PredicateRef& query) {
    if (!query)
        return std::nullopt;
    for (const auto& comparison : query->flattenedComparisons(std::string("name"))) {
        if (comparison.negated)
            continue;
        if (const auto* text = comparison.value.asString())
            return *text;
        break;
    }
    for (const auto& comparison : query->flattenedComparisons())
        if (const auto* text = comparison.value.asString())
            return *text;
    return std::nullopt;
}

URLRequest OneDriveFileProvider::searchRequest(const std::optional<std::string>& term, bool recursive) const {
    const URL searchURL = baseURL()->appendingPathComponent(route_.drivePath(), false).appendingPathComponent("root/search", false);
    auto components = platform::URLComponents::fromURL(searchURL);
    std::vector<platform::URLQueryItem> items{{"q", term.value_or("*")}};
    if (recursive)
        items.push_back({"expand", "children"});
    components.setQueryItems(items);
    return graphRequest(components.url().value_or(searchURL), "GET");
}

ProgressRef OneDriveFileProvider::searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                              FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    const auto term = searchTerm(query);
    const auto filter = query ? query : platform::Predicate::value(true);
    std::weak_ptr<OneDriveFileProvider> weak = self();
    return paginated(
        path,
        [weak, term, recursive](const std::optional<std::string>& token) -> std::optional<URLRequest> {
            auto self = weak.lock();
            if (!self)
                return std::nullopt;
            if (!token)
                return self->searchRequest(term, recursive);
            const auto next = nextLinkURL(*token);
            if (!next)
                return std::nullopt;
            return self->graphRequest(*next, "GET");
        },
        [weak, path, filter, foundItemHandler](const std::optional<Data>& data, const ProgressRef&) -> Page {
            auto self = weak.lock();
            if (!self)
                return {{}, platform::URLError::make(platform::URLError::cancelled), std::nullopt};
            return self->page(data, path, filter, foundItemHandler);
        },
        std::move(completionHandler));
}

// --- Reachability --------------------------------------------------------------------------------

void OneDriveFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    auto self = this->self();
    auto task = session()->dataTask(
        graphRequest(url(""), "HEAD"),
        [self, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            // A server that never answered is not reported as one that answered 400.
            if (error) {
                completionHandler(false, error);
                return;
            }
            const int status = statusOf(response);
            if (status < 300) {
                completionHandler(status == 200, status == 0 ? badServerResponse(self->url("")) : nullptr);
                return;
            }
            std::optional<std::string> text;
            if (data && !data->empty()) {
                std::string body(data->begin(), data->end());
                if (platform::isValidUTF8(body))
                    text = std::move(body);
            }
            completionHandler(false, FileProviderOneDriveError::make(status, "", text));
        });
    task->resume();
}

// --- Requests ------------------------------------------------------------------------------------

URLRequest OneDriveFileProvider::request(const FileOperationType& operation, bool overwrite,
                                         const platform::ValueDictionary&) {
    using Kind = FileOperationType::Kind;
    const std::string& source = operation.source();
    const std::string destination = operation.destination().value_or("");

    // overwrite false: the server must not replace an item (uploads replace by default).
    const auto failOnConflict = [overwrite](const URL& url) {
        if (overwrite)
            return url;
        const auto suffixed = URL::parse(url.absoluteString() + "?@name.conflictBehavior=fail");
        if (!suffixed)
            platform::throwError(platform::URLError::make(platform::URLError::badURL, url));
        return *suffixed;
    };
    // overwrite true: copies and moves replace an item in the way (they fail by default).
    const auto replaceOnConflict = [overwrite](const URL& url) {
        if (!overwrite)
            return url;
        const auto suffixed = URL::parse(url.absoluteString() + "?@microsoft.graph.conflictBehavior=replace");
        if (!suffixed)
            platform::throwError(platform::URLError::make(platform::URLError::badURL, url));
        return *suffixed;
    };
    const auto unimplemented = [&operation]() {
        platform::throwError(platform::CocoaError::withDescription(
            platform::CocoaError::featureUnsupported, "Unimplemented operation " + operation.description()));
    };

    std::optional<URL> url;
    std::string method;
    std::optional<Json> body;
    bool referenceBody = false;
    switch (operation.kind()) {
    case Kind::create:
        if (source.empty() || source.back() != '/')
            unimplemented();
        method = "POST";
        url = this->url(parentPath(source), "children");
        body = Json{{"name", lastPathComponent(source)},
                    {"folder", Json::object()},
                    {"@microsoft.graph.conflictBehavior", "fail"}};
        break;
    case Kind::copy:
        if (startsWith(source, "file://")) {
            method = "PUT";
            url = failOnConflict(this->url(destination, "content"));
        } else if (startsWith(destination, "file://")) {
            method = "GET";
            url = this->url(source, "content");
        } else {
            method = "POST";
            url = replaceOnConflict(this->url(source, "copy"));
            referenceBody = true;
        }
        break;
    case Kind::move:
        method = "PATCH";
        url = replaceOnConflict(this->url(source));
        referenceBody = true;
        break;
    case Kind::modify:
        method = "PUT";
        url = failOnConflict(this->url(source, "content"));
        break;
    case Kind::remove:
        method = "DELETE";
        url = this->url(source);
        break;
    case Kind::fetch:
        method = "GET";
        url = this->url(source, "content");
        break;
    case Kind::link:
        unimplemented();
    }

    URLRequest request = graphRequest(*url, method);
    if (method == "GET") {
        request.setValue(std::string("deflate"), "Accept-Encoding");
        request.addValue("identity", "Accept-Encoding");
    }
    if (body) {
        setContentTypeHeader(request, ContentMIMEType("application/json"));
    } else if (referenceBody) {
        setContentTypeHeader(request, ContentMIMEType("application/json"), StringEncoding::utf8);
        std::string dest = destination;
        if (!startsWith(dest, "id:")) {
            if (dest.empty() || dest.front() != '/')
                dest.insert(dest.begin(), '/');
            if (dest.size() > 1 && dest.back() == '/')
                dest.pop_back();
        }
        Json parentReference = Json::object();
        if (startsWith(dest, "id:")) {
            const std::string first = dest.substr(0, dest.find('/'));
            parentReference["id"] = first.substr(3);
        } else {
            const std::string parent = parentPath(dest);
            parentReference["path"] = parent == "/" || parent.empty() ? std::string("/drive/root:") : "/drive/root:" + parent;
        }
        if (route_.kind() == Route::Kind::drive)
            parentReference["driveId"] = route_.uuid()->uuidString();
        body = Json{{"parentReference", parentReference}, {"name", lastPathComponent(dest)}};
    }
    if (body)
        request.httpBody = bytes(*body);
    return request;
}

std::shared_ptr<const FileProviderHTTPError> OneDriveFileProvider::serverError(FileProviderHTTPErrorCode code,
                                                                               const std::optional<std::string>& path,
                                                                               const std::optional<Data>& data) {
    return serverError(rawValue(code), path, data);
}

std::shared_ptr<const FileProviderHTTPError> OneDriveFileProvider::serverError(int statusCode,
                                                                               const std::optional<std::string>& path,
                                                                               const std::optional<Data>& data) {
    return FileProviderOneDriveError::make(statusCode, path.value_or(""), oneDriveServerDescription(data));
}

// --- Sharing links, properties, thumbnails -------------------------------------------------------

void OneDriveFileProvider::publicLink(const std::string& to,
                                      std::function<void(std::optional<URL> link, FileObjectRef attribute,
                                                         std::optional<platform::Date> expiration, ErrorRef error)>
                                          completionHandler) {
    // The service answers nothing without the token, and reads the body as JSON.
    URLRequest request = graphRequest(url(to, "createLink"), "POST");
    setContentTypeHeader(request, ContentMIMEType("application/json"));
    request.httpBody = bytes(Json{{"type", "view"}});
    auto self = this->self();
    auto task = session()->dataTask(
        request, [self, to, completionHandler = std::move(completionHandler)](
                     std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = self->answerError(response, error, to, data)) {
                completionHandler(std::nullopt, nullptr, std::nullopt, failure);
                return;
            }
            std::optional<URL> link;
            if (const auto json = platform::JSON::object(data)) {
                const Json* object = platform::JSON::member(*json, "link");
                const Json* web = object && object->is_object() ? platform::JSON::member(*object, "webUrl") : nullptr;
                if (web && web->is_string())
                    link = URL::parse(web->get<std::string>());
            }
            completionHandler(link, nullptr, std::nullopt, link ? nullptr : badServerResponse(self->url(to, "createLink")));
        });
    task->resume();
}

bool OneDriveFileProvider::propertiesOfFileSupported(const std::string&) { return true; }

ProgressRef OneDriveFileProvider::propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) {
    auto self = this->self();
    auto task = session()->dataTask(
        graphRequest(url(path), "GET"),
        [self, path, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = self->answerError(response, error, path, data)) {
                completionHandler({}, {}, failure);
                return;
            }
            const auto json = platform::JSON::object(data);
            if (!json) {
                completionHandler({}, {}, badServerResponse(self->url(path)));
                return;
            }
            auto [properties, keys] = mapMediaInfo(*json);
            completionHandler(std::move(properties), std::move(keys), nullptr);
        });
    task->resume();
    return nullptr;
}

bool OneDriveFileProvider::thumbnailOfFileSupported(const std::string& path) {
    static const std::vector<std::string> extensions = {
        "jpg", "jpeg", "bmp", "gif", "png", "tif", "tiff", "mp3", "aac", "m4a", "wma", "mp4",
        "mpg", "3gp", "mov", "avi", "wmv", "doc", "docx", "xls", "xlsx", "ppt", "pptx", "pdf"};
    const std::string name = lastPathComponent(path);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size())
        return false;
    return std::find(extensions.begin(), extensions.end(), lowercased(name.substr(dot + 1))) != extensions.end();
}

std::string OneDriveFileProvider::thumbnailSizeName(const std::optional<platform::Size>& dimension) {
    const double x = dimension ? std::max(dimension->width, dimension->height) : 0;
    if (x >= 0 && x <= 96)
        return "small";
    if (x >= 97 && x <= 176)
        return "medium";
    return "large";
}

URL OneDriveFileProvider::thumbnailURL(const std::string& path, const std::optional<platform::Size>& dimension) const {
    return url(path, "thumbnails")
        .appendingPathComponent("0", false)
        .appendingPathComponent(thumbnailSizeName(dimension), false)
        .appendingPathComponent("content", false);
}

ProgressRef OneDriveFileProvider::thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                                  ThumbnailCompletionHandler completionHandler) {
    auto self = this->self();
    const URL thumbnail = thumbnailURL(path, dimension);
    auto task = session()->dataTask(
        graphRequest(thumbnail, "GET"),
        [self, path, thumbnail, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = self->answerError(response, error, path, data)) {
                completionHandler(nullptr, failure);
                return;
            }
            std::shared_ptr<platform::Image> image;
            if (data && !data->empty())
                if (const auto source = platform::ImageSource::make(*data))
                    image = LocalFileInformationGenerator::imageSourceThumbnail(*source, std::nullopt);
            // No image and no error would read as success.
            if (!image) {
                completionHandler(nullptr,
                                  platform::URLError::make(platform::URLError::cannotDecodeContentData, thumbnail));
                return;
            }
            completionHandler(std::move(image), nullptr);
        });
    task->resume();
    return nullptr;
}

} // namespace RiridOzizevud
