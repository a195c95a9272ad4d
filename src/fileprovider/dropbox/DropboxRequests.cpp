// Requests of DropboxFileProvider: Dropbox paths, "Dropbox-API-Arg", the remote-procedure, upload and
// download requests the base runs, and the errors of their answers.
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;
using platform::startsWith;
using platform::lowercased;
using platform::statusOf;

bool isLocalFileURL(const std::string& text) { return platform::startsWithNoCase(text, "file://"); }

/// Compact JSON; none when a text in it is not UTF-8. A replacement character would name another
/// file than the caller's, so such a request goes without its parameters and the server refuses it.
std::optional<std::string> strictDump(const Json& json) {
    try {
        return json.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace

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

bool DropboxFileProvider::hasExtension(const std::string& path, std::span<const std::string_view> extensions) {
    std::string_view name(path);
    while (!name.empty() && name.back() == '/')
        name.remove_suffix(1);
    if (const auto slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return false;
    const std::string extension = lowercased(std::string(name.substr(dot + 1)));
    return std::find(extensions.begin(), extensions.end(), extension) != extensions.end();
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

ErrorRef DropboxFileProvider::unreadableAnswer(const URL& url) {
    return platform::URLError::make(platform::URLError::badServerResponse, url);
}

void DropboxFileProvider::singlePathCall(const std::string& endpoint, const std::string& path, const Json& extra,
                                         platform::URLSession::DataCompletionHandler completionHandler) {
    Json body = extra.is_object() ? extra : Json::object();
    body["path"] = *normalizedPath(path);
    auto task = session()->dataTask(rpcRequest(endpoint, body), std::move(completionHandler));
    task->resume();
}

} // namespace RiridOzizevud
