// platform::URLSession: the session object, the making of its tasks and their hand-over to the engine.
#include "platform/net/URLSessionEngine.hpp"

#include "platform/fs/FilePlacement.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <filesystem>

namespace platform {

namespace {

std::string originOf(const URL& url) {
    std::string scheme = url.scheme().value_or("");
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string host = url.host().value_or("");
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int port = url.port().value_or(scheme == "https" ? 443 : 80);
    return scheme + "://" + host + ":" + std::to_string(port);
}

} // namespace

// The URL without user and password: those are never put on the wire unasked nor into errors.
std::optional<URL> withoutUserInfo(const URL& url) {
    auto parts = URL::split(url.absoluteString());
    if (!parts) return std::nullopt;
    parts->user.reset();
    parts->password.reset();
    return URL::parse(parts->toString());
}

// --- Session ---------------------------------------------------------------------------------------

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<URLSessionDelegate> delegate,
                                             std::shared_ptr<OperationQueue> delegateQueue) {
    if (!delegateQueue) {
        delegateQueue = OperationQueue::make("URLSession.delegateQueue");
        delegateQueue->setMaxConcurrentOperationCount(1);
    }
    std::shared_ptr<URLSession> session(new URLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
    session->engine_->session = session;
    return session;
}

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)) {
    engine_ = std::make_shared<URLSessionEngine>(configuration_, std::move(delegate), delegateQueue_);
}

URLSession::~URLSession() {
    // Running tasks hold the session, so none is left; the delegate is simply let go.
    {
        std::lock_guard lock(engine_->mutex);
        engine_->invalidated = true;
        engine_->invalidNotified = true;
        engine_->delegate_.reset();
    }
    engine_->shutdown();
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const { return engine_->delegate(); }

std::optional<std::string> URLSession::sessionDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSession::setSessionDescription(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

template <class T>
std::shared_ptr<T> URLSession::makeTask(URLSessionTask::Kind kind, const URLRequest& request) {
    return std::shared_ptr<T>(new T(kind, nextIdentifier_++, request, weak_from_this()));
}

namespace {
// Bodies and completions wait here from the task's making until it is resumed.
struct PendingStart {
    SessionTransfer::Body body = SessionTransfer::Body::none;
    Data data;
    std::string path;
    std::shared_ptr<InputStream> stream;
    URLSession::DataCompletionHandler completion;
};
std::mutex pendingMutex;
std::map<const URLSessionTask*, PendingStart> pendingStarts;
// Downloads that go into the caller's file, until they start.
std::map<const URLSessionTask*, std::shared_ptr<PlacementFile>> pendingInto;

void setPending(const URLSessionTask* task, PendingStart start) {
    std::lock_guard lock(pendingMutex);
    pendingStarts[task] = std::move(start);
}

PendingStart takePending(const URLSessionTask* task) {
    std::lock_guard lock(pendingMutex);
    PendingStart out;
    if (auto it = pendingStarts.find(task); it != pendingStarts.end()) {
        out = std::move(it->second);
        pendingStarts.erase(it);
    }
    return out;
}
} // namespace

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request) {
    auto task = makeTask<URLSessionDataTask>(URLSessionTask::Kind::data, request);
    if (request.httpBody) setPending(task.get(), {SessionTransfer::Body::data, *request.httpBody, {}, nullptr, nullptr});
    return task;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(const URLRequest& request, DataCompletionHandler completionHandler) {
    auto task = makeTask<URLSessionDataTask>(URLSessionTask::Kind::data, request);
    PendingStart start;
    if (request.httpBody) {
        start.body = SessionTransfer::Body::data;
        start.data = *request.httpBody;
    }
    start.completion = std::move(completionHandler);
    setPending(task.get(), std::move(start));
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, const Data& fromData) {
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::upload, request);
    setPending(task.get(), {SessionTransfer::Body::data, fromData, {}, nullptr, nullptr});
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& request, const URL& fromFile) {
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::upload, request);
    setPending(task.get(), {SessionTransfer::Body::file, {}, fromFile.path(), nullptr, nullptr});
    return task;
}

std::shared_ptr<URLSessionUploadTask> URLSession::uploadTask(const URLRequest& withStreamedRequest,
                                                             std::shared_ptr<InputStream> bodyStream) {
    auto task = makeTask<URLSessionUploadTask>(URLSessionTask::Kind::upload, withStreamedRequest);
    if (bodyStream) setPending(task.get(), {SessionTransfer::Body::stream, {}, {}, std::move(bodyStream), nullptr});
    else setPending(task.get(), {SessionTransfer::Body::data, {}, {}, nullptr, nullptr});
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URLRequest& request) {
    auto task = makeTask<URLSessionDownloadTask>(URLSessionTask::Kind::download, request);
    if (request.httpBody) setPending(task.get(), {SessionTransfer::Body::data, *request.httpBody, {}, nullptr, nullptr});
    return task;
}

std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTask(const URLRequest& request, std::shared_ptr<PlacementFile> into) {
    auto task = downloadTask(request);
    std::lock_guard lock(pendingMutex);
    pendingInto[task.get()] = std::move(into);
    return task;
}

std::vector<std::shared_ptr<URLSessionTask>> URLSession::allTasks() const {
    std::lock_guard lock(engine_->mutex);
    return {engine_->activeTasks.begin(), engine_->activeTasks.end()};
}

void URLSession::resumeTask(const std::shared_ptr<URLSessionTask>& task) {
    PendingStart start = takePending(task.get());
    auto t = std::make_shared<SessionTransfer>();
    t->engine = engine_.get();
    t->task = task;
    t->session = shared_from_this();
    t->completion = std::move(start.completion);
    t->body = start.body;
    t->bodyData = std::move(start.data);
    t->bodyPath = std::move(start.path);
    t->bodyStream = std::move(start.stream);
    {
        std::lock_guard lock(pendingMutex);
        if (auto it = pendingInto.find(task.get()); it != pendingInto.end()) {
            t->into = std::move(it->second);
            pendingInto.erase(it);
        }
    }
    const std::string& method = task->originalRequest().httpMethod;
    if (t->body == SessionTransfer::Body::none && (method == "POST" || method == "PUT" || method == "PATCH")) {
        // Servers want a length on these methods; an absent body is an empty one.
        t->body = SessionTransfer::Body::data;
    }
    switch (t->body) {
    case SessionTransfer::Body::none: break;
    case SessionTransfer::Body::data: t->bodySize = static_cast<int64_t>(t->bodyData.size()); break;
    case SessionTransfer::Body::file: {
        std::error_code ec;
        const auto size = std::filesystem::file_size(t->bodyPath, ec);
        t->bodySize = ec ? -1 : static_cast<int64_t>(size);
        break;
    }
    case SessionTransfer::Body::stream: t->bodySize = t->bodyStream->length().value_or(-1); break;
    }
    if (const auto& url = task->originalRequest().url) {
        t->url = withoutUserInfo(url->absoluteURL());
        if (url->user()) t->urlCredential = URLCredential(*url->user(), url->password().value_or(""), URLCredential::Persistence::none);
        if (t->url) t->origin = originOf(*t->url);
    }

    bool refused = false;
    {
        std::lock_guard lock(engine_->mutex);
        if (engine_->invalidated) refused = true;
        else {
            engine_->activeTasks.insert(task);
            ++engine_->active;
        }
    }
    auto engine = engine_;
    if (refused || !engine->multi) {
        // Not started: the task still completes, once, on the delegate queue.
        engine->command([engine, t] {
            engine->transfers[t->task.get()] = t;
            engine->complete(t, URLError::make(URLError::cancelled, t->url));
        });
        return;
    }
    engine->command([engine, t] { engine->start(t); });
}

void URLSession::cancelTask(const std::shared_ptr<URLSessionTask>& task) {
    auto engine = engine_;
    auto* key = task.get();
    bool started = false;
    {
        std::lock_guard lock(task->mutex_);
        started = task->started_;
    }
    if (!started) {
        // Never resumed: it completes at once with cancelled, as the platform does.
        PendingStart start = takePending(key);
        auto t = std::make_shared<SessionTransfer>();
        t->engine = engine.get();
        t->task = task;
        t->session = shared_from_this();
        t->completion = std::move(start.completion);
        {
            std::lock_guard lock(task->mutex_);
            task->started_ = true;
        }
        engine->command([engine, t] {
            engine->transfers[t->task.get()] = t;
            engine->complete(t, URLError::make(URLError::cancelled, t->url));
        });
        return;
    }
    engine->command([engine, key] { engine->cancel(key, nullptr); });
}

void URLSession::finishTasksAndInvalidate() {
    bool notify = false;
    std::shared_ptr<URLSessionDelegate> d;
    {
        std::lock_guard lock(engine_->mutex);
        if (engine_->invalidated) return;
        engine_->invalidated = true;
        if (engine_->active == 0 && !engine_->invalidNotified) {
            engine_->invalidNotified = notify = true;
            d = engine_->delegate_;
        }
    }
    if (notify) engine_->notifyInvalid(std::move(d));
}

void URLSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    {
        std::lock_guard lock(engine_->mutex);
        tasks.assign(engine_->activeTasks.begin(), engine_->activeTasks.end());
    }
    finishTasksAndInvalidate();
    for (auto& task : tasks) task->cancel();
}

bool URLSession::isInvalidated() const {
    std::lock_guard lock(engine_->mutex);
    return engine_->invalidated;
}

}  // namespace platform
