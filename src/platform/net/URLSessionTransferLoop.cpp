// platform::URLSession's worker thread: one per busy session, it drives libcurl's multi handle,
// starts, finishes and cancels the transfers, and ends the session when it is invalidated.
#include "platform/net/URLSessionEngine.hpp"

#include "platform/fs/FilePlacement.hpp"

#include <filesystem>
#include <thread>
#include <vector>

namespace platform {

namespace {

void ensureCurlGlobal() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

URLError::Code urlErrorCode(CURLcode rc) {
    switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL: return URLError::unsupportedURL;
    case CURLE_URL_MALFORMAT: return URLError::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return URLError::cannotFindHost;
    case CURLE_COULDNT_CONNECT: return URLError::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT: return URLError::timedOut;
    case CURLE_TOO_MANY_REDIRECTS: return URLError::httpTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION: return URLError::serverCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE: return URLError::secureConnectionFailed;
    case CURLE_SSL_CERTPROBLEM: return URLError::clientCertificateRejected;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return URLError::networkConnectionLost;
    case CURLE_BAD_CONTENT_ENCODING: return URLError::cannotDecodeContentData;
    case CURLE_WEIRD_SERVER_REPLY: return URLError::badServerResponse;
    case CURLE_WRITE_ERROR: return URLError::cannotWriteToFile;
    case CURLE_READ_ERROR: return URLError::requestBodyStreamExhausted;
    case CURLE_ABORTED_BY_CALLBACK: return URLError::cancelled;
    case CURLE_OUT_OF_MEMORY: return URLError::dataLengthExceedsMaximum;
    default: return URLError::unknown;
    }
}

} // namespace

URLSessionEngine::URLSessionEngine(URLSessionConfiguration config, std::shared_ptr<URLSessionDelegate> delegate,
                                   std::shared_ptr<OperationQueue> queue)
    : config(std::move(config)), delegateQueue(std::move(queue)), delegate_(std::move(delegate)) {
    ensureCurlGlobal();
    multi = curl_multi_init();
    if (multi) {
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(this->config.httpMaximumConnectionsPerHost));
    }
}

URLSessionEngine::~URLSessionEngine() {
    for (auto& [origin, handles] : pool)
        for (CURL* easy : handles) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
}

void URLSessionEngine::command(std::function<void()> fn) {
    bool start = false;
    {
        std::lock_guard lock(mutex);
        commands.push_back(std::move(fn));
        if (!workerRunning) workerRunning = start = true;
        // Under the lock: the worker lets go of the multi handle only while holding it.
        else if (multi) curl_multi_wakeup(multi);
    }
    if (start) {
        auto self = shared_from_this();
        std::thread([self] { self->run(); }).detach();
    }
}

// An invalid session keeps no connections open.
void URLSessionEngine::shutdown() {
    command([this] {
        if (!transfers.empty()) return;
        for (auto& [origin, handles] : pool)
            for (CURL* easy : handles) curl_easy_cleanup(easy);
        pool.clear();
        CURLM* old = nullptr;
        {
            std::lock_guard lock(mutex);
            old = multi;
            multi = nullptr;
        }
        if (old) curl_multi_cleanup(old);
    });
}

void URLSessionEngine::run() {
    std::optional<Clock::time_point> idleSince;
    for (;;) {
        std::deque<std::function<void()>> todo;
        long lingerMs = 0;
        {
            std::lock_guard lock(mutex);
            todo.swap(commands);
            if (todo.empty() && transfers.empty()) {
                const auto now = Clock::now();
                if (!idleSince) idleSince = now;
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*idleSince + kWorkerLinger - now);
                if (!multi || left.count() <= 0) {
                    workerRunning = false;
                    return;
                }
                lingerMs = static_cast<long>(left.count());
            } else {
                idleSince.reset();
            }
        }
        if (lingerMs > 0) {
            // command() wakes the poll, so the next request starts at once on this thread.
            curl_multi_poll(multi, nullptr, 0, static_cast<int>(lingerMs), nullptr);
            continue;
        }
        for (auto& fn : todo) fn();

        if (!multi) {
            // Shut down: whatever is still here can only fail.
            std::vector<std::shared_ptr<SessionTransfer>> left;
            for (auto& [key, t] : transfers) left.push_back(t);
            for (auto& t : left) complete(t, URLError::make(URLError::cancelled, t->url));
            continue;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            SessionTransfer* raw = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
            const CURLcode rc = msg->data.result;
            if (!raw) continue;
            auto it = transfers.find(raw->task.get());
            if (it == transfers.end()) continue;
            finished(it->second, rc);
        }
        flushAll();
        checkIdle();
        {
            std::lock_guard lock(mutex);
            if (!commands.empty()) continue;
        }
        if (transfers.empty()) continue;  // re-check for exit under the lock
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
}

void URLSessionEngine::flushAll() {
    for (auto& [key, t] : transfers) flush(*t);
}

void URLSessionEngine::checkIdle() {
    const auto now = Clock::now();
    std::vector<std::shared_ptr<SessionTransfer>> late;
    for (auto& [key, t] : transfers) {
        // A challenge the delegate never answers is bounded like a silent server.
        if ((!t->inMulti && !t->waitingChallenge) || t->paused) continue;
        if (std::chrono::duration<double>(now - t->lastActivity).count() > t->idleTimeout) late.push_back(t);
    }
    for (auto& t : late) complete(t, URLError::make(URLError::timedOut, t->url));
}

void URLSessionEngine::start(std::shared_ptr<SessionTransfer> t) {
    transfers[t->task.get()] = t;
    {
        std::lock_guard lock(mutex);
        if (auto it = remembered.find(t->origin); it != remembered.end() && !t->credential) {
            t->credential = it->second.credential;
            t->authMask = it->second.authMask;
        }
    }
    if (t->task->kind() == URLSessionTask::Kind::download && !t->into) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrane-download-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0 || !(t->out = ::fdopen(fd, "wb"))) {
            if (fd >= 0) ::close(fd);
            complete(t, URLError::make(URLError::cannotCreateFile, t->url));
            return;
        }
        t->tempPath = name.data();
    }
    if (t->body == SessionTransfer::Body::file) {
        t->bodyFile = std::fopen(t->bodyPath.c_str(), "rb");
        if (!t->bodyFile) {
            const int err = errno;
            complete(t, URLError::make(err == ENOENT ? URLError::fileDoesNotExist : URLError::noPermissionsToReadFile,
                                       URL::fileURLWithPath(t->bodyPath), POSIXError::make(err, t->bodyPath)));
            return;
        }
    } else if (t->body == SessionTransfer::Body::stream) {
        t->bodyStream->open();
    }
    attempt(t);
}

void URLSessionEngine::finished(std::shared_ptr<SessionTransfer> t, CURLcode rc) {
    if (t->inMulti) {
        curl_multi_remove_handle(multi, t->easy);
        t->inMulti = false;
    }
    if (t->cancelled) {
        complete(t, t->cancelError ? t->cancelError : URLError::make(URLError::cancelled, t->url));
        return;
    }
    if (rc != CURLE_OK) {
        ErrorRef error;
        if (t->writeFailed) error = URLError::make(URLError::cannotWriteToFile, t->url, POSIXError::make(EIO, t->tempPath));
        else if (t->bodyError) error = URLError::make(URLError::requestBodyStreamExhausted, t->url, t->bodyError);
        else {
            ValueDictionary info;
            if (t->url) {
                info[NSURLErrorKey] = *t->url;
                info[NSURLErrorFailingURLErrorKey] = *t->url;
                info[NSURLErrorFailingURLStringErrorKey] = t->url->absoluteString();
            }
            info[NSDebugDescriptionErrorKey] = std::string(t->errorBuffer[0] ? t->errorBuffer : curl_easy_strerror(rc));
            error = std::make_shared<URLError>(urlErrorCode(rc), std::move(info));
        }
        complete(t, error);
        return;
    }
    if (t->status == 401 && !t->committed) {
        const AuthOffer offer = parseAuthenticate(t->headers);
        if (offer.basic || offer.digest) {
            challenge(t, offer);
            return;
        }
    }
    if (t->credential && t->status != 401 && t->status != 407 && t->credential->persistence() != URLCredential::Persistence::none) {
        std::lock_guard lock(mutex);
        remembered.insert_or_assign(t->origin, RememberedCredential{*t->credential, t->authMask});
    }
    complete(t, nullptr);
}

void URLSessionEngine::cancel(URLSessionTask* task, ErrorRef error) {
    auto it = transfers.find(task);
    if (it == transfers.end()) return;
    auto t = it->second;
    if (t->completed) return;
    t->cancelled = true;
    if (!t->cancelError) t->cancelError = error;
    // A challenge still waiting for its answer finds the task completed and does nothing.
    complete(t, t->cancelError ? t->cancelError : URLError::make(URLError::cancelled, t->url));
}

// What the cache learns from a finished task. It runs on the delegate queue before the task's
// completion, so a request made from that completion already finds the answer.
std::function<void()> URLSessionEngine::cacheStep(SessionTransfer& t, const ErrorRef& error) {
    if (!config.urlCache || error || !t.response) return nullptr;
    std::optional<Data> body;
    if (t.cacheable) {
        if (!t.completion) body = std::move(t.cacheBody);
        else if (static_cast<int64_t>(t.collected.size()) <= config.urlCache->maximumEntrySize()) body = t.collected;
    }
    return [cache = config.urlCache, request = t.task->originalRequest(), response = t.response,
            credential = t.credential, body = std::move(body)]() mutable {
        cache->forgetChangedBy(request, response->statusCode());
        if (body)
            cache->storeCachedResponse(CachedURLResponse(response, std::move(*body),
                                                         URLCache::storagePolicy(request, *response)),
                                       request, credential);
    };
}

void URLSessionEngine::complete(std::shared_ptr<SessionTransfer> t, ErrorRef error) {
    if (t->completed) return;
    t->completed = true;
    if (!error) commit(*t);
    flush(*t);
    auto cached = cacheStep(*t, error);
    if (t->out) {
        if (std::fclose(t->out) != 0 && !error) error = URLError::make(URLError::cannotWriteToFile, t->url);
        t->out = nullptr;
    }
    if (t->bodyFile) {
        std::fclose(t->bodyFile);
        t->bodyFile = nullptr;
    }
    if (t->bodyStream) t->bodyStream->close();
    // A failed download's file goes at once; only a finished one is handed on.
    if (error) t->into.reset();
    giveBack(*t, error == nullptr);
    if (t->headerList) {
        curl_slist_free_all(t->headerList);
        t->headerList = nullptr;
    }
    transfers.erase(t->task.get());
    {
        std::lock_guard lock(t->task->mutex_);
        t->task->state_ = URLSessionTask::State::completed;
        t->task->error_ = error;
        if (!t->task->response_ && t->response) t->task->response_ = t->response;
    }

    auto self = shared_from_this();
    auto session = std::move(t->session);
    auto task = t->task;
    if (t->completion) {
        std::optional<Data> data;
        if (!error) data = std::move(t->collected);
        std::shared_ptr<const URLResponse> response = t->response;
        post([completion = std::move(t->completion), data = std::move(data), response, error, session, cached]() mutable {
            if (cached) cached();
            completion(std::move(data), response, error);
        });
    } else if (task->kind() == URLSessionTask::Kind::download && !error) {
        // Our file lives exactly as long as the callback; the transfer owns it until then. The
        // caller's file stays the caller's.
        std::string path = std::move(t->tempPath);
        t->tempPath.clear();
        const bool ours = !t->into;
        if (t->into) path = "/proc/self/fd/" + std::to_string(t->into->fd());
        auto into = std::move(t->into);
        auto dtask = std::static_pointer_cast<URLSessionDownloadTask>(task);
        post([self, session, dtask, path, ours, into, cached] {
            if (cached) cached();
            if (auto d = self->delegate()) {
                try {
                    d->didFinishDownloadingTo(session, dtask, URL::fileURLWithPath(path));
                } catch (...) {
                }
            }
            if (ours) ::unlink(path.c_str());
            if (auto d = self->delegate()) d->didCompleteWithError(session, dtask, nullptr);
        });
    } else {
        if (!t->tempPath.empty()) {
            ::unlink(t->tempPath.c_str());
            t->tempPath.clear();
        }
        post([self, session, task, error, cached] {
            if (cached) cached();
            if (auto d = self->delegate()) d->didCompleteWithError(session, task, error);
        });
    }
    finishedTask(task);
}

void URLSessionEngine::finishedTask(const std::shared_ptr<URLSessionTask>& task) {
    bool notify = false;
    std::shared_ptr<URLSessionDelegate> d;
    {
        std::lock_guard lock(mutex);
        if (activeTasks.erase(task) && active > 0) --active;
        if (invalidated && active == 0 && !invalidNotified) {
            invalidNotified = notify = true;
            d = delegate_;
        }
    }
    if (notify) notifyInvalid(std::move(d));
}

void URLSessionEngine::notifyInvalid(std::shared_ptr<URLSessionDelegate> d) {
    shutdown();
    auto self = shared_from_this();
    auto s = session.lock();
    post([self, s, d] {
        if (d && s) d->didBecomeInvalidWithError(s, nullptr);
        std::lock_guard lock(self->mutex);
        self->delegate_.reset();
    });
}

} // namespace platform
