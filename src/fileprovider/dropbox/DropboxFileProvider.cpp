#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "platform/data/JSON.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/text/Strings.hpp"

#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;
using platform::lowercased;
using platform::statusOf;

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

// --- Attributes and storage --------------------------------------------------------------------

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
        if (const Json* allocation = platform::JSON::member(*json, "allocation"))
            total = platform::JSON::lenient<int64_t>(*allocation, "allocated").value_or(-1);
        volume->setTotalCapacity(total);
        volume->setUsage(platform::JSON::lenient<int64_t>(*json, "used").value_or(0));
        completionHandler(volume);
    });
    task->resume();
}

} // namespace RiridOzizevud
