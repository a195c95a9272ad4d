#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/media/PDFDocument.hpp"
#include "platform/data/JSON.hpp"
#include "platform/text/Strings.hpp"
#include "platform/net/URLResponse.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;

constexpr platform::TimeInterval kTemporaryLinkLifetime = 4 * 60 * 60;

using platform::startsWith;

using platform::lowercased;

bool isLocalFileURL(const std::string& text) { return startsWith(lowercased(text.substr(0, 7)), "file://"); }

using platform::statusOf;


const Json* objectMember(const Json& object, std::string_view key) {
    const Json* value = platform::JSON::member(object, key);
    return value && value->is_object() ? value : nullptr;
}

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
    const Json* value = platform::JSON::member(object, key);
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

bool isTrue(const Json& object, std::string_view key) {
    const Json* value = platform::JSON::member(object, key);
    return value && value->is_boolean() && value->get<bool>();
}

/// Compact JSON; none when a text in it is not UTF-8. A replacement character would name another
/// file than the caller's, so such a request goes without its parameters and the server refuses it.
std::optional<std::string> strictDump(const Json& json) {
    try {
        return json.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

ErrorRef unreadableAnswer(const URL& url) { return platform::URLError::make(platform::URLError::badServerResponse, url); }

/// The lower-cased extension of the last path component ("" without one).
std::string extensionOf(const std::string& path) {
    std::string_view name(path);
    while (!name.empty() && name.back() == '/')
        name.remove_suffix(1);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return "";
    return lowercased(std::string(name.substr(dot + 1)));
}

bool oneOf(const std::string& value, std::initializer_list<std::string_view> list) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

bool isImageExtension(const std::string& extension) {
    return oneOf(extension, {"jpg", "jpeg", "gif", "bmp", "png", "tif", "tiff"});
}

bool isDocumentExtension(const std::string& extension) {
    return oneOf(extension,
                 {"doc", "docx", "docm", "xls", "xlsx", "xlsm", "ppt", "pps", "ppsx", "ppsm", "pptx", "pptm", "rtf"});
}

bool isPropertyExtension(const std::string& extension) {
    return oneOf(extension, {"jpg", "jpeg", "bmp", "gif", "png", "tif", "tiff", "mp4", "mpg", "3gp", "mov", "avi"});
}

/// The server-search text of a predicate: a "name BEGINSWITH <text>" that every match must satisfy,
/// so the server's answer holds every entry the predicate can keep. A comparison under NOT or OR,
/// or with the text on the left, narrows nothing.
std::optional<std::string> serverQueryOf(const platform::Predicate& predicate) {
    using platform::ComparisonPredicate;
    using platform::CompoundPredicate;
    using platform::Expression;
    if (const auto* comparison = dynamic_cast<const ComparisonPredicate*>(&predicate)) {
        if (comparison->predicateOperatorType() != ComparisonPredicate::Operator::beginsWith ||
            comparison->comparisonPredicateModifier() != ComparisonPredicate::Modifier::direct)
            return std::nullopt;
        const auto& left = comparison->leftExpression();
        const auto& right = comparison->rightExpression();
        if (left.expressionType() != Expression::Type::keyPath || left.keyPath() != "name" ||
            right.expressionType() != Expression::Type::constantValue)
            return std::nullopt;
        const auto* text = right.constantValue().asString();
        if (!text || text->empty())
            return std::nullopt;
        return *text;
    }
    if (const auto* compound = dynamic_cast<const CompoundPredicate*>(&predicate);
        compound && compound->compoundPredicateType() == CompoundPredicate::LogicalType::and_) {
        for (const auto& sub : compound->subpredicates())
            if (sub)
                if (auto query = serverQueryOf(*sub))
                    return query;
    }
    return std::nullopt;
}

/// The search offset a page token stands for; 0 for none or one that is not a number.
uint64_t startOf(const std::optional<std::string>& token) {
    if (!token)
        return 0;
    uint64_t start = 0;
    const auto [end, error] = std::from_chars(token->data(), token->data() + token->size(), start);
    if (error != std::errc() || end != token->data() + token->size())
        return 0;
    return start;
}

/// A decimal text with at most five fraction digits and no trailing zeros ("51.50737", "-0.1").
std::string decimalText(double value) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 5);
    if (error != std::errc())
        return "";
    std::string text(buffer, end);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    if (text == "-0")
        text = "0";
    return text;
}


/// An image of a thumbnail or preview answer: nullptr for an HTML page or bytes that are no image.
std::shared_ptr<platform::Image> thumbnailImage(const Data& data,
                                                const std::shared_ptr<const platform::URLResponse>& response,
                                                const std::optional<platform::Size>& dimension) {
    // Checked before the type: a PDF preview is drawn even when labelled as HTML.
    if (isPDF(data)) {
        const auto document = platform::PDFDocument::make(data);
        return document ? LocalFileInformationGenerator::pdfPageImage(*document, dimension) : nullptr;
    }
    if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get())) {
        const auto type = http->value("Content-Type");
        if (type && type->find("text/html") != std::string::npos)
            return nullptr;
    }
    const auto source = platform::ImageSource::make(data);
    return source ? LocalFileInformationGenerator::imageSourceThumbnail(*source, dimension) : nullptr;
}

} // namespace

// --- Creation ------------------------------------------------------------------------------------

DropboxFileProvider::DropboxFileProvider(Token, std::optional<platform::URLCredential> credential,
                                         std::shared_ptr<platform::URLCache> cache, URL apiURL, URL contentURL)
    : HTTPFileProvider(staticType(), std::nullopt, std::move(credential), std::move(cache)),
      apiURL_(std::move(apiURL)), contentURL_(std::move(contentURL)) {}

std::shared_ptr<DropboxFileProvider> DropboxFileProvider::make(std::optional<platform::URLCredential> credential,
                                                               std::shared_ptr<platform::URLCache> cache) {
    return make(std::move(credential), std::move(cache), *URL::parse(defaultAPIURL), *URL::parse(defaultContentURL));
}

namespace {
std::optional<URL> endpointBase(const URL& url) {
    const URL absolute = url.absoluteURL();
    const auto scheme = absolute.scheme();
    if (!scheme || (lowercased(*scheme) != "http" && lowercased(*scheme) != "https"))
        return std::nullopt;
    if (!absolute.host() || absolute.host()->empty())
        return std::nullopt;
    auto components = platform::URLComponents::fromURL(absolute);
    if (components.percentEncodedPath.empty() || components.percentEncodedPath.back() != '/')
        components.percentEncodedPath += '/';
    return components.url();
}
} // namespace

std::shared_ptr<DropboxFileProvider> DropboxFileProvider::make(std::optional<platform::URLCredential> credential,
                                                               std::shared_ptr<platform::URLCache> cache,
                                                               const URL& apiURL, const URL& contentURL) {
    auto api = endpointBase(apiURL);
    auto content = endpointBase(contentURL);
    if (!api || !content)
        return nullptr;
    return std::make_shared<DropboxFileProvider>(Token{}, std::move(credential), std::move(cache), std::move(*api),
                                                 std::move(*content));
}

std::shared_ptr<DropboxFileProvider> DropboxFileProvider::make(const platform::KeyedUnarchiver& coder) {
    auto provider = make(decodeCredential(coder), nullptr);
    provider->setUseCache(coder.decodeBool("useCache"));
    provider->setValidatingCache(coder.decodeBool("validatingCache"));
    return provider;
}

std::shared_ptr<DropboxFileProvider> DropboxFileProvider::copy() const {
    auto copy = make(credential(), cache(), apiURL_, contentURL_);
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    copy->setUseCache(useCache());
    copy->setValidatingCache(validatingCache());
    return copy;
}

std::shared_ptr<DropboxFileProvider> DropboxFileProvider::self() {
    return std::dynamic_pointer_cast<DropboxFileProvider>(shared_from_this());
}

// --- Paths and requests --------------------------------------------------------------------------

std::optional<std::string> DropboxFileProvider::normalizedPath(const std::optional<std::string>& path) {
    if (!path)
        return std::nullopt;
    if (startsWith(*path, "id:") || startsWith(*path, "rev:"))
        return path;
    std::string result = startsWith(*path, "/") ? *path : "/" + *path;
    if (result.back() == '/')
        result.pop_back();
    return result;
}

std::optional<std::string> DropboxFileProvider::dropboxAPIArg(const Json& arguments) {
    // The serializer writes "/" as it is, so no escaped slash needs undoing here (undoing one would
    // turn a name's own backslash before a "/" into a different path).
    const auto text = strictDump(arguments);
    if (!text)
        return std::nullopt;
    return asciiEscaped(*text);
}

URLRequest DropboxFileProvider::endpointRequest(const URL& base, const std::string& endpoint) const {
    URLRequest request(URL::parse(endpoint, base).value_or(base), URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    setAuthorizationHeader(request, credential(), URLRequestAuthenticationType::oAuth2);
    return request;
}

URLRequest DropboxFileProvider::rpcRequest(const std::string& endpoint, const Json& body) const {
    URLRequest request = endpointRequest(apiURL_, endpoint);
    request.httpMethod = "POST";
    setContentTypeHeader(request, ContentMIMEType::json);
    if (const auto text = strictDump(body))
        request.httpBody = Data(text->begin(), text->end());
    return request;
}

URLRequest DropboxFileProvider::uploadRequest(const std::string& path, bool overwrite) const {
    URLRequest request = endpointRequest(contentURL_, "files/upload");
    request.httpMethod = "POST";
    setContentTypeHeader(request, ContentMIMEType::stream);
    const Json arguments = {{"path", *normalizedPath(path)}, {"mode", overwrite ? "overwrite" : "add"}};
    if (const auto arg = dropboxAPIArg(arguments))
        request.setValue(*arg, "Dropbox-API-Arg");
    return request;
}

URLRequest DropboxFileProvider::downloadRequest(const std::string& path) const {
    URLRequest request = endpointRequest(contentURL_, "files/download");
    if (const auto arg = dropboxAPIArg(Json{{"path", *normalizedPath(path)}}))
        request.setValue(*arg, "Dropbox-API-Arg");
    return request;
}

URLRequest DropboxFileProvider::request(const FileOperationType& operation, bool overwrite,
                                        const platform::ValueDictionary&) {
    using Kind = FileOperationType::Kind;
    const std::string& source = operation.source();
    const auto& destination = operation.destination();
    switch (operation.kind()) {
    case Kind::fetch:
        return downloadRequest(source);
    case Kind::modify:
        return uploadRequest(source, overwrite);
    case Kind::copy:
        if (destination && isLocalFileURL(*destination))
            return downloadRequest(source);
        if (isLocalFileURL(source))
            return uploadRequest(destination.value_or(""), overwrite);
        return apiRequest(operation, overwrite);
    default:
        return apiRequest(operation, overwrite);
    }
}

URLRequest DropboxFileProvider::apiRequest(const FileOperationType& operation, bool) {
    using Kind = FileOperationType::Kind;
    Json body = Json::object();
    std::string endpoint;
    switch (operation.kind()) {
    case Kind::create:
        endpoint = "files/create_folder_v2";
        break;
    case Kind::copy:
        endpoint = "files/copy_v2";
        body["allow_shared_folder"] = true;
        break;
    case Kind::move:
        endpoint = "files/move_v2";
        body["allow_shared_folder"] = true;
        break;
    case Kind::remove:
        endpoint = "files/delete_v2";
        break;
    case Kind::modify:
    case Kind::link:
    case Kind::fetch:
        // Dropbox has no symbolic links: the operation fails instead of stopping the process.
        platform::throwError(platform::CocoaError::withDescription(
            platform::CocoaError::featureUnsupported, "Unimplemented operation " + operation.description()));
    }
    const auto source = normalizedPath(operation.source());
    if (const auto destination = normalizedPath(operation.destination())) {
        if (source)
            body["from_path"] = *source;
        body["to_path"] = *destination;
    } else if (source) {
        body["path"] = *source;
    }
    return rpcRequest(endpoint, body);
}

std::shared_ptr<const FileProviderHTTPError> DropboxFileProvider::serverError(FileProviderHTTPErrorCode code,
                                                                              const std::optional<std::string>& path,
                                                                              const std::optional<Data>& data) {
    return serverError(rawValue(code), path, data);
}

std::shared_ptr<const FileProviderHTTPError> DropboxFileProvider::serverError(int statusCode,
                                                                              const std::optional<std::string>& path,
                                                                              const std::optional<Data>& data) {
    return FileProviderDropboxError::make(statusCode, path.value_or(""), dropboxServerDescription(data));
}

ErrorRef DropboxFileProvider::answerError(const std::shared_ptr<const platform::URLResponse>& response,
                                          const ErrorRef& error, const std::string& path,
                                          const std::optional<Data>& data) {
    if (const int status = statusOf(response); status >= 300)
        return serverError(status, path, data);
    return error;
}

void DropboxFileProvider::singlePathCall(const std::string& endpoint, const std::string& path, const Json& extra,
                                         platform::URLSession::DataCompletionHandler completionHandler) {
    Json body = extra.is_object() ? extra : Json::object();
    body["path"] = *normalizedPath(path);
    auto task = session()->dataTask(rpcRequest(endpoint, body), std::move(completionHandler));
    task->resume();
}

// --- Listing, attributes, storage, search --------------------------------------------------------

void DropboxFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    searchFiles(path, false, platform::Predicate::value(true), nullptr, std::move(completionHandler));
}

void DropboxFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    // The task holds the provider until it answers, as the base's operations do.
    auto provider = self();
    const URL fileURL = url(path);
    singlePathCall("files/get_metadata", path, Json::object(),
                   [provider, path, fileURL, completionHandler = std::move(completionHandler)](
                       std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                       if (const ErrorRef failure = provider->answerError(response, error, path, data)) {
                           completionHandler(nullptr, failure);
                           return;
                       }
                       const auto json = platform::JSON::object(data);
                       FileObjectRef entry = json ? DropboxFileObject::make(*json) : nullptr;
                       if (!entry) {
                           completionHandler(nullptr, unreadableAnswer(fileURL));
                           return;
                       }
                       completionHandler(entry, nullptr);
                   });
}

void DropboxFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    URLRequest request = endpointRequest(apiURL_, "users/get_space_usage");
    request.httpMethod = "POST";
    auto task = session()->dataTask(request, [completionHandler = std::move(completionHandler)](
                                                 std::optional<Data> data,
                                                 std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
        const int status = statusOf(response);
        const auto json = error || status < 200 || status >= 300 ? std::nullopt : platform::JSON::object(data);
        if (!json) {
            completionHandler(nullptr);
            return;
        }
        auto volume = std::make_shared<VolumeObject>(platform::ValueDictionary{});
        int64_t total = -1;
        if (const Json* allocation = objectMember(*json, "allocation"))
            total = platform::JSON::lenient<int64_t>(*allocation, "allocated").value_or(-1);
        volume->setTotalCapacity(total);
        volume->setUsage(platform::JSON::lenient<int64_t>(*json, "used").value_or(0));
        completionHandler(volume);
    });
    task->resume();
}

ProgressRef DropboxFileProvider::searchFiles(const std::string& path, bool recursive,
                                             const platform::PredicateRef& query, FoundItemHandler foundItemHandler,
                                             FilesCompletionHandler completionHandler) {
    const bool everything = !query || query->predicateFormat() == "TRUEPREDICATE";
    // The server searches every folder below the path, so it answers only a recursive search.
    const std::optional<std::string> serverQuery = !everything && recursive ? serverQueryOf(*query) : std::nullopt;
    const URL fileURL = url(path);
    std::weak_ptr<DropboxFileProvider> weak = self();

    auto requestHandler = [weak, path, recursive, serverQuery](const std::optional<std::string>& token)
        -> std::optional<URLRequest> {
        auto provider = weak.lock();
        if (!provider)
            return std::nullopt;
        if (serverQuery) {
            const Json body = {{"path", *normalizedPath(path)}, {"query", *serverQuery}, {"start", startOf(token)}};
            return provider->rpcRequest("files/search", body);
        }
        if (token)
            return provider->rpcRequest("files/list_folder/continue", Json{{"cursor", *token}});
        Json body = {{"recursive", recursive}};
        if (const auto normalized = normalizedPath(path))
            body["path"] = *normalized;
        return provider->rpcRequest("files/list_folder", body);
    };

    auto pageHandler = [everything, query, foundItemHandler, fileURL](const std::optional<Data>& data,
                                                                     const ProgressRef& progress) -> Page {
        const auto json = platform::JSON::object(data);
        const Json* list = nullptr;
        if (json)
            list = platform::JSON::member(*json, "entries") ? platform::JSON::member(*json, "entries")
                                                            : platform::JSON::member(*json, "matches");
        if (!list || !list->is_array())
            return {{}, unreadableAnswer(fileURL), std::nullopt};

        std::vector<FileObjectRef> kept;
        for (const auto& element : *list) {
            if (!element.is_object())
                continue;
            FileObjectRef entry = DropboxFileObject::make(element);
            if (!entry)
                continue;
            if (!everything && !query->evaluate(entry->predicateAttributes()))
                continue;
            kept.push_back(entry);
            if (progress)
                progress->setCompletedUnitCount(progress->completedUnitCount() + 1);
            if (foundItemHandler)
                foundItemHandler(entry);
        }

        // A page that announces more without saying where it goes on would end a partial listing
        // as if it were whole.
        std::optional<std::string> next;
        if (isTrue(*json, "has_more")) {
            next = stringMember(*json, "cursor");
            if (!next)
                return {{}, unreadableAnswer(fileURL), std::nullopt};
        } else if (isTrue(*json, "more")) {
            const auto start = platform::JSON::lenient<uint64_t>(*json, "start");
            if (!start)
                return {{}, unreadableAnswer(fileURL), std::nullopt};
            next = std::to_string(*start);
        }
        return {std::move(kept), nullptr, next};
    };

    return paginated(path, std::move(requestHandler), std::move(pageHandler), std::move(completionHandler));
}

// --- Temporary links and server-side copies ------------------------------------------------------

void DropboxFileProvider::publicLink(const std::string& to,
                                     std::function<void(std::optional<URL> link, FileObjectRef attribute,
                                                        std::optional<platform::Date> expiration, ErrorRef error)>
                                         completionHandler) {
    auto provider = self();
    const URL fileURL = url(to);
    singlePathCall("files/get_temporary_link", to, Json::object(),
                   [provider, to, fileURL, completionHandler = std::move(completionHandler)](
                       std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                       if (const ErrorRef failure = provider->answerError(response, error, to, data)) {
                           completionHandler(std::nullopt, nullptr, std::nullopt, failure);
                           return;
                       }
                       const auto json = platform::JSON::object(data);
                       std::optional<URL> link;
                       FileObjectRef entry;
                       if (json) {
                           if (const auto text = stringMember(*json, "link"))
                               if (auto parsed = URL::parse(*text); parsed && parsed->scheme())
                                   link = std::move(parsed);
                           if (const Json* metadata = objectMember(*json, "metadata"))
                               entry = DropboxFileObject::make(*metadata);
                       }
                       if (!link) {
                           completionHandler(std::nullopt, entry, std::nullopt, unreadableAnswer(fileURL));
                           return;
                       }
                       completionHandler(link, entry, platform::Date::now() + kTemporaryLinkLifetime, nullptr);
                   });
}

void DropboxFileProvider::copyItem(
    const URL& remoteURL, const std::string& to,
    std::function<void(std::optional<std::string> jobIdentifier, FileObjectRef attribute, ErrorRef error)>
        completionHandler) {
    if (remoteURL.isFileURL()) {
        if (completionHandler)
            completionHandler(std::nullopt, nullptr, platform::URLError::make(platform::URLError::badURL, remoteURL));
        return;
    }
    auto provider = self();
    const URL fileURL = url(to);
    const Json body = {{"path", *normalizedPath(to)}, {"url", remoteURL.absoluteString()}};
    auto task = session()->dataTask(
        rpcRequest("files/save_url", body),
        [provider, to, fileURL, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = provider->answerError(response, error, to, data)) {
                completionHandler(std::nullopt, nullptr, failure);
                return;
            }
            const auto json = platform::JSON::object(data);
            std::optional<std::string> job;
            FileObjectRef entry;
            if (json) {
                job = stringMember(*json, "async_job_id");
                if (const Json* metadata = objectMember(*json, "metadata"))
                    entry = DropboxFileObject::make(*metadata);
            }
            if (!job && !entry) {
                completionHandler(std::nullopt, nullptr, unreadableAnswer(fileURL));
                return;
            }
            completionHandler(job, entry, nullptr);
        });
    task->resume();
}

void DropboxFileProvider::copyItemReference(const std::string& reference, const std::string& to,
                                            SimpleCompletionHandler completionHandler) {
    auto provider = self();
    const Json body = {{"path", *normalizedPath(to)}, {"copy_reference", reference}};
    auto task = session()->dataTask(
        rpcRequest("files/copy_reference/save", body),
        [provider, to, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (completionHandler)
                completionHandler(provider->answerError(response, error, to, data));
        });
    task->resume();
}

// --- Thumbnails and media properties -------------------------------------------------------------

bool DropboxFileProvider::thumbnailOfFileSupported(const std::string& path) {
    const std::string extension = extensionOf(path);
    return isImageExtension(extension) || isDocumentExtension(extension);
}

std::string DropboxFileProvider::thumbnailSize(const std::optional<platform::Size>& dimension) {
    const double x = dimension ? dimension->height : 64;
    if (x >= 0 && x <= 32)
        return "w32h32";
    if (x >= 33 && x <= 64)
        return "w64h64";
    if (x >= 65 && x <= 128)
        return "w128h128";
    if (x >= 129 && x <= 480)
        return "w640h480";
    return "w1024h768";
}

std::optional<URLRequest> DropboxFileProvider::thumbnailRequest(const std::string& path,
                                                                const std::optional<platform::Size>& dimension) const {
    const std::string extension = extensionOf(path);
    const bool image = isImageExtension(extension);
    if (!image && !isDocumentExtension(extension))
        return std::nullopt;
    URLRequest request = endpointRequest(contentURL_, image ? "files/get_thumbnail" : "files/get_preview");
    // Normalised like every other call: the server takes no path without its leading "/".
    Json arguments = {{"path", *normalizedPath(path)}};
    if (image) {
        arguments["format"] = "jpeg";
        arguments["size"] = thumbnailSize(dimension);
    }
    if (const auto arg = dropboxAPIArg(arguments))
        request.setValue(*arg, "Dropbox-API-Arg");
    return request;
}

ProgressRef DropboxFileProvider::thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                                 ThumbnailCompletionHandler completionHandler) {
    const URL fileURL = url(path);
    const auto request = thumbnailRequest(path, dimension);
    if (!request) {
        later([fileURL, completionHandler = std::move(completionHandler)] {
            if (completionHandler)
                completionHandler(nullptr, platform::URLError::make(platform::URLError::resourceUnavailable, fileURL));
        });
        return nullptr;
    }
    auto provider = self();
    auto task = session()->dataTask(
        *request, [provider, path, fileURL, dimension, completionHandler = std::move(completionHandler)](
                      std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get())) {
                if (const auto result = http->value("Dropbox-API-Result")) {
                    const auto json = platform::JSON::parse(*result);
                    if (json && json->is_object() && json->contains("error")) {
                        completionHandler(nullptr,
                                          platform::URLError::make(platform::URLError::cannotDecodeRawData, fileURL));
                        return;
                    }
                }
            }
            if (const ErrorRef failure = provider->answerError(response, error, path, data)) {
                completionHandler(nullptr, failure);
                return;
            }
            auto image = data ? thumbnailImage(*data, response, dimension) : nullptr;
            if (!image) {
                completionHandler(nullptr, platform::URLError::make(platform::URLError::cannotDecodeContentData, fileURL));
                return;
            }
            completionHandler(image, nullptr);
        });
    task->resume();
    return nullptr;
}

bool DropboxFileProvider::propertiesOfFileSupported(const std::string& path) {
    return isPropertyExtension(extensionOf(path));
}

std::pair<platform::ValueDictionary, std::vector<std::string>> DropboxFileProvider::mediaProperties(const Json& metadata) {
    platform::ValueDictionary properties;
    std::vector<std::string> keys;
    auto add = [&](const std::string& key, std::string value) {
        properties[key] = std::move(value);
        keys.push_back(key);
    };
    if (!metadata.is_object())
        return {properties, keys};
    if (const Json* dimensions = objectMember(metadata, "dimensions")) {
        const auto height = platform::JSON::lenient<uint64_t>(*dimensions, "height");
        const auto width = platform::JSON::lenient<uint64_t>(*dimensions, "width");
        if (height && width)
            add("Dimensions", std::to_string(*width) + "x" + std::to_string(*height));
    }
    if (const Json* location = objectMember(metadata, "location")) {
        const auto latitude = platform::JSON::lenient<double>(*location, "latitude");
        const auto longitude = platform::JSON::lenient<double>(*location, "longitude");
        // A coordinate that cannot be written out leaves the label out, never half a location.
        const std::string lat = latitude && std::isfinite(*latitude) ? decimalText(*latitude) : "";
        const std::string lon = longitude && std::isfinite(*longitude) ? decimalText(*longitude) : "";
        if (!lat.empty() && !lon.empty())
            add("Location", lat + ", " + lon);
    }
    if (const auto taken = stringMember(metadata, "time_taken"))
        if (const auto date = dateFromRFCString(*taken))
            add("Date taken", (*date).localDateText());
    // Dropbox gives a video's duration in milliseconds.
    if (const auto duration = platform::JSON::lenient<uint64_t>(metadata, "duration"))
        add("Duration", formatted(static_cast<platform::TimeInterval>(*duration / 1000)));
    return {properties, keys};
}

ProgressRef DropboxFileProvider::propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) {
    auto provider = self();
    singlePathCall("files/get_metadata", path, Json{{"include_media_info", true}},
                   [provider, path, completionHandler = std::move(completionHandler)](
                       std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                       if (!completionHandler)
                           return;
                       if (const ErrorRef failure = provider->answerError(response, error, path, data)) {
                           completionHandler({}, {}, failure);
                           return;
                       }
                       platform::ValueDictionary properties;
                       std::vector<std::string> keys;
                       if (const auto json = platform::JSON::object(data))
                           if (const Json* info = objectMember(*json, "media_info"))
                               if (const Json* metadata = objectMember(*info, "metadata"))
                                   std::tie(properties, keys) = mediaProperties(*metadata);
                       completionHandler(std::move(properties), std::move(keys), nullptr);
                   });
    return nullptr;
}

} // namespace RiridOzizevud
