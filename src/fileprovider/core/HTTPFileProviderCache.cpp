// HTTPFileProvider's request runner and its answer from the URL cache.
#include "fileprovider/core/HTTPFileProvider.hpp"

#include "platform/net/URLCache.hpp"

namespace RiridOzizevud {

void responseHeaderMatches(const std::shared_ptr<const platform::URLResponse>& response,
                           const std::optional<std::string>& eTag, const std::optional<std::string>& lastModified,
                           std::atomic<bool>& matched, platform::DispatchGroup& group) {
    if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get())) {
        // A tag decides where there is one: a date counts whole seconds, so a change within the
        // same second keeps it.
        if (eTag) {
            matched = http->value("ETag") == eTag;
        } else {
            matched = lastModified && http->value("Last-Modified") == lastModified;
        }
    }
    group.leave();
}

std::optional<platform::URLCredential> HTTPFileProvider::cacheCredential(const platform::URLRequest& request) const {
    if (request.value("Authorization")) return std::nullopt;
    return credential();
}

bool HTTPFileProvider::answerFromCache(const platform::URLRequest& request, bool validatingCache,
                                       const platform::URLSession::DataCompletionHandler& completionHandler) {
    const auto cache = this->cache();
    if (!cache) return false;
    const auto cached = cache->cachedResponse(request, cacheCredential(request));
    if (!cached) return false;

    // An answer past the lifetime its server gave it is never used unchecked, whatever the setting.
    const bool validate = validatingCache || cached->isStale();
    bool valid = !validate;
    std::optional<std::string> lastModified, eTag;
    if (const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(cached->response().get())) {
        lastModified = http->value("Last-Modified");
        eTag = http->value("ETag");
    }
    if (validate && (eTag || lastModified)) {
        platform::URLRequest head = request;
        head.httpMethod = "HEAD";
        // A HEAD carries no body: one would hold the server waiting for it.
        head.httpBody.reset();
        head.setValue(std::nullopt, "Content-Type");
        auto session = this->session();
        auto group = std::make_shared<platform::DispatchGroup>();
        auto matched = std::make_shared<std::atomic<bool>>(false);
        group->enter();
        auto task = session->dataTask(head, [group, matched, eTag, lastModified](std::optional<Data>,
                                                                                  std::shared_ptr<const platform::URLResponse> response,
                                                                                  ErrorRef) {
            responseHeaderMatches(response, eTag, lastModified, *matched, *group);
        });
        task->resume();
        const double limit = session->configuration().timeoutIntervalForRequest;
        group->wait(limit > 0 ? limit : platform::URLRequest::defaultTimeoutInterval);
        valid = matched->load();
    }
    if (!valid) return false;
    completionHandler(cached->data(), cached->response(), nullptr);
    return true;
}

void HTTPFileProvider::runDataTask(const platform::URLRequest& request, const std::optional<FileOperationType>& operation,
                                   platform::URLSession::DataCompletionHandler completionHandler) {
    const bool useCache = this->useCache();
    const bool validatingCache = this->validatingCache();
    dispatch_queue()->async([weak = weakSelf(), request, operation, useCache, validatingCache,
                             completionHandler = std::move(completionHandler)]() mutable {
        auto provider = weak.lock();
        if (!provider) {
            completionHandler(std::nullopt, nullptr, platform::URLError::make(platform::URLError::cancelled, request.url));
            return;
        }
        if (useCache && provider->answerFromCache(request, validatingCache, completionHandler)) return;
        auto task = provider->session()->dataTask(request, std::move(completionHandler));
        task->setTaskDescription(operation ? operation->jsonString() : std::nullopt);
        provider.reset();
        task->resume();
    });
}

} // namespace RiridOzizevud
