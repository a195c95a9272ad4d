// platform::URLSession's delegate side: the delegate's default answers, and the one FIFO per session
// that hands responses, data and progress to the delegate queue one at a time, in order.
#include "platform/net/URLSessionEngine.hpp"

#include "platform/dispatch/OperationQueue.hpp"

namespace platform {

// --- Delegate defaults -----------------------------------------------------------------------------

void URLSessionDelegate::didBecomeInvalidWithError(const SessionRef&, const ErrorRef&) {}
void URLSessionDelegate::didReceiveChallenge(const SessionRef&, const URLAuthenticationChallenge&,
                                             ChallengeCompletionHandler completionHandler) {
    completionHandler(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
}
void URLSessionDelegate::didReceiveChallenge(const SessionRef&, const TaskRef&, const URLAuthenticationChallenge&,
                                             ChallengeCompletionHandler completionHandler) {
    completionHandler(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
}
void URLSessionDelegate::didSendBodyData(const SessionRef&, const TaskRef&, int64_t, int64_t, int64_t) {}
void URLSessionDelegate::didCompleteWithError(const SessionRef&, const TaskRef&, const ErrorRef&) {}
void URLSessionDelegate::didReceiveResponse(const SessionRef&, const DataTaskRef&,
                                            const std::shared_ptr<const URLResponse>&,
                                            std::function<void(URLSessionResponseDisposition)> completionHandler) {
    completionHandler(URLSessionResponseDisposition::allow);
}
void URLSessionDelegate::didReceiveData(const SessionRef&, const DataTaskRef&, const Data&) {}
void URLSessionDelegate::didFinishDownloadingTo(const SessionRef&, const DownloadTaskRef&, const URL&) {}
void URLSessionDelegate::didWriteData(const SessionRef&, const DownloadTaskRef&, int64_t, int64_t, int64_t) {}

void URLSessionEngine::post(std::function<void()> callback) {
    bool start = false;
    {
        std::lock_guard lock(callbackMutex);
        callbacks.push_back(std::move(callback));
        if (!draining) draining = start = true;
    }
    if (start) {
        auto self = shared_from_this();
        delegateQueue->addOperation([self] { self->drain(); });
    }
}

void URLSessionEngine::drain() {
    for (;;) {
        std::function<void()> next;
        {
            std::lock_guard lock(callbackMutex);
            if (callbacks.empty()) {
                draining = false;
                return;
            }
            next = std::move(callbacks.front());
            callbacks.pop_front();
        }
        try {
            next();
        } catch (...) {
            // A delegate's exception must not take the session's order of callbacks down with it.
        }
    }
}

void URLSessionEngine::commit(SessionTransfer& t) {
    if (t.committed) return;
    t.committed = true;
    std::optional<URL> effective = t.url;
    char* eff = nullptr;
    if (t.easy && curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &eff) == CURLE_OK && eff) {
        if (auto u = URL::parse(eff)) effective = withoutUserInfo(*u);
    }
    t.response = std::make_shared<HTTPURLResponse>(effective, t.status, t.headers);
    {
        std::lock_guard lock(t.task->mutex_);
        t.task->response_ = t.response;
    }
    t.task->setCounter(t.task->expectedToReceive_, "countOfBytesExpectedToReceive", t.response->expectedContentLength());
    t.cacheable = config.urlCache && t.task->kind() == URLSessionTask::Kind::data &&
                  URLCache::storagePolicy(t.task->originalRequest(), *t.response) != CachedURLResponse::StoragePolicy::notAllowed;
    if (t.task->kind() != URLSessionTask::Kind::download && !t.completion) {
        auto self = shared_from_this();
        auto session = t.session;
        auto task = std::static_pointer_cast<URLSessionDataTask>(t.task);
        std::shared_ptr<const URLResponse> response = t.response;
        std::weak_ptr<SessionTransfer> weak = t.weak_from_this();
        post([self, session, task, response, weak] {
            auto d = self->delegate();
            if (!d) return;
            d->didReceiveResponse(session, task, response, [self, task, weak](URLSessionResponseDisposition disposition) {
                if (disposition != URLSessionResponseDisposition::cancel) return;
                if (auto t = weak.lock()) t->dataRefused = true;
                task->cancel();
            });
        });
    }
    if (!t.held.empty()) {
        Data held;
        held.swap(t.held);
        write(t, reinterpret_cast<const char*>(held.data()), held.size());
    }
}

void URLSessionEngine::flush(SessionTransfer& t) {
    if (t.pending.empty()) return;
    Data piece;
    piece.swap(t.pending);
    const auto size = static_cast<int64_t>(piece.size());
    queuedBytes += size;
    auto self = shared_from_this();
    auto session = t.session;
    auto task = std::static_pointer_cast<URLSessionDataTask>(t.task);
    std::weak_ptr<SessionTransfer> weak = t.weak_from_this();
    post([self, session, task, weak, size, piece = std::move(piece)] {
        bool refused = false;
        if (auto t = weak.lock()) refused = t->dataRefused.load();
        if (!refused)
            if (auto d = self->delegate()) d->didReceiveData(session, task, piece);
        const int64_t left = self->queuedBytes -= size;
        if (left <= kQueuedDataLimit / 2 && self->anyPaused.exchange(false)) self->command([self] { self->unpauseAll(); });
    });
}

void URLSessionEngine::unpauseAll() {
    std::vector<std::shared_ptr<SessionTransfer>> paused;
    for (auto& [key, t] : transfers)
        if (t->paused) paused.push_back(t);
    for (auto& t : paused) {
        if (!t->paused || t->completed) continue;
        t->paused = false;
        t->lastActivity = Clock::now();
        curl_easy_pause(t->easy, CURLPAUSE_CONT);
    }
}

void URLSessionEngine::reportSend(SessionTransfer& t) {
    if (t.sendReportQueued.exchange(true)) return;
    auto self = shared_from_this();
    auto session = t.session;
    auto task = t.task;
    auto strong = t.shared_from_this();
    post([self, session, task, strong] {
        auto& t = strong;
        t->sendReportQueued = false;
        const int64_t total = task->countOfBytesSent();
        const int64_t delta = total - t->reportedSent;
        if (delta <= 0) return;
        t->reportedSent = total;
        if (auto d = self->delegate()) d->didSendBodyData(session, task, delta, total, task->countOfBytesExpectedToSend());
    });
}

void URLSessionEngine::reportWrite(SessionTransfer& t) {
    if (t.writeReportQueued.exchange(true)) return;
    auto self = shared_from_this();
    auto session = t.session;
    auto task = std::static_pointer_cast<URLSessionDownloadTask>(t.task);
    auto strong = t.shared_from_this();
    post([self, session, task, strong] {
        auto& t = strong;
        t->writeReportQueued = false;
        const int64_t total = task->countOfBytesReceived();
        const int64_t delta = total - t->reportedWritten;
        if (delta <= 0) return;
        t->reportedWritten = total;
        if (auto d = self->delegate()) d->didWriteData(session, task, delta, total, task->countOfBytesExpectedToReceive());
    });
}

} // namespace platform
