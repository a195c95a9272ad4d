#include "platform/net/URLSession.hpp"

#include "platform/fs/FilePlacement.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Data waiting for the delegate beyond this pauses the transfers that feed it.
constexpr int64_t kQueuedDataLimit = 4 << 20;
// Pieces handed to the delegate are gathered up to this size within one turn of the worker.
constexpr size_t kDeliveryChunk = 256 << 10;
// The body of an answer that may still be replaced (401, redirect) is held up to this size.
constexpr size_t kHeldBodyLimit = 1 << 20;
constexpr long kMaxRedirects = 16;

void ensureCurlGlobal() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The URL without user and password: those are never put on the wire unasked nor into errors.
std::optional<URL> withoutUserInfo(const URL& url) {
    auto parts = URL::split(url.absoluteString());
    if (!parts) return std::nullopt;
    parts->user.reset();
    parts->password.reset();
    return URL::parse(parts->toString());
}

std::string originOf(const URL& url) {
    std::string scheme = url.scheme().value_or("");
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string host = url.host().value_or("");
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int port = url.port().value_or(scheme == "https" ? 443 : 80);
    return scheme + "://" + host + ":" + std::to_string(port);
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

struct AuthOffer {
    bool basic = false;
    bool digest = false;
    std::optional<std::string> realm;
};

// The schemes of the WWW-Authenticate fields and the first realm given.
AuthOffer parseAuthenticate(const HTTPURLResponse::HeaderFields& fields) {
    AuthOffer offer;
    for (const auto& [name, value] : fields) {
        if (!equalsIgnoringCase(name, "WWW-Authenticate")) continue;
        std::string_view v = trim(value);
        // Each challenge starts with a scheme token; parameters follow as name=value pairs.
        size_t pos = 0;
        while (pos < v.size()) {
            while (pos < v.size() && (v[pos] == ' ' || v[pos] == ',')) ++pos;
            size_t end = pos;
            while (end < v.size() && v[end] != ' ' && v[end] != ',' && v[end] != '=') ++end;
            std::string_view token = v.substr(pos, end - pos);
            if (end < v.size() && v[end] == '=') {
                // A parameter: skip its (maybe quoted) value.
                size_t valStart = end + 1;
                std::string value;
                if (valStart < v.size() && v[valStart] == '"') {
                    size_t i = valStart + 1;
                    while (i < v.size() && v[i] != '"') {
                        if (v[i] == '\\' && i + 1 < v.size()) ++i;
                        value += v[i++];
                    }
                    end = i + 1;
                } else {
                    end = valStart;
                    while (end < v.size() && v[end] != ',') ++end;
                    value = std::string(trim(v.substr(valStart, end - valStart)));
                }
                if (equalsIgnoringCase(token, "realm") && !offer.realm) offer.realm = value;
            } else if (!token.empty()) {
                if (equalsIgnoringCase(token, "Basic")) offer.basic = true;
                if (equalsIgnoringCase(token, "Digest")) offer.digest = true;
            }
            pos = end;
        }
    }
    return offer;
}

} // namespace

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

// --- Task ------------------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, uint64_t identifier, URLRequest request, std::weak_ptr<URLSession> session)
    : kind_(kind), identifier_(identifier), originalRequest_(std::move(request)), session_(std::move(session)) {}

URLSessionTask::~URLSessionTask() = default;

std::optional<std::string> URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

URLSessionTask::State URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

ErrorRef URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

URLSessionTask::ObserverToken URLSessionTask::addObserver(const std::string& keyPath, CounterObserver observer) {
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.emplace(token, std::make_pair(keyPath, std::make_shared<CounterObserver>(std::move(observer))));
    return token;
}

void URLSessionTask::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void URLSessionTask::setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value) {
    if (counter.exchange(value) == value) return;
    std::vector<std::shared_ptr<CounterObserver>> toCall;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, entry] : observers_)
            if (entry.first == keyPath) toCall.push_back(entry.second);
    }
    if (toCall.empty()) return;
    const auto self = shared_from_this();
    const std::string path(keyPath);
    for (const auto& observer : toCall) (*observer)(self, path, value);
}

void URLSessionTask::resume() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || state_ != State::suspended) return;
        started_ = true;
        state_ = State::running;
    }
    if (const auto session = session_.lock()) {
        session->resumeTask(shared_from_this());
    } else {
        std::lock_guard lock(mutex_);
        state_ = State::completed;
        error_ = URLError::make(URLError::cancelled);
    }
}

void URLSessionTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::completed || state_ == State::canceling) return;
        state_ = State::canceling;
    }
    if (const auto session = session_.lock()) session->cancelTask(shared_from_this());
}

// --- Engine ----------------------------------------------------------------------------------------

struct RememberedCredential {
    URLCredential credential;
    long authMask;
};

struct URLSessionEngine;

struct SessionTransfer : std::enable_shared_from_this<SessionTransfer> {
    URLSessionEngine* engine = nullptr;  // curl's callbacks reach the engine through this
    std::shared_ptr<URLSessionTask> task;
    std::shared_ptr<URLSession> session;  // a running task keeps its session
    URLSession::DataCompletionHandler completion;
    std::optional<URL> url;               // without user info
    std::string origin;
    std::optional<URLCredential> urlCredential;

    // Body.
    enum class Body { none, data, file, stream } body = Body::none;
    Data bodyData;
    size_t bodyPos = 0;
    std::string bodyPath;
    std::FILE* bodyFile = nullptr;
    std::shared_ptr<InputStream> bodyStream;
    int64_t bodySize = -1;
    ErrorRef bodyError;

    // curl.
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    bool inMulti = false;
    bool paused = false;
    Clock::time_point lastActivity = Clock::now();
    double idleTimeout = 60;

    // The answer being received.
    int status = 0;
    HTTPURLResponse::HeaderFields headers;
    bool committed = false;
    Data held;
    Data pending;      // body not yet handed to the delegate
    Data collected;    // completion-style tasks
    bool cacheable = false;  // the cache may keep this answer
    Data cacheBody;          // ... and this is its body (delegate-style data tasks)
    std::shared_ptr<const HTTPURLResponse> response;

    // Download: into a temporary file of ours, or into the caller's file.
    std::string tempPath;
    std::FILE* out = nullptr;
    std::shared_ptr<PlacementFile> into;
    bool writeFailed = false;

    // Authentication.
    int failures = 0;
    std::optional<URLCredential> credential;
    long authMask = 0;
    bool waitingChallenge = false;

    bool cancelled = false;
    ErrorRef cancelError;
    bool completed = false;

    // Coalesced progress reports; the counters below are touched on the delegate queue only.
    std::atomic<bool> sendReportQueued{false};
    std::atomic<bool> writeReportQueued{false};
    int64_t reportedSent = 0;
    int64_t reportedWritten = 0;
    std::atomic<bool> dataRefused{false};

    ~SessionTransfer() {
        if (headerList) curl_slist_free_all(headerList);
        if (bodyFile) std::fclose(bodyFile);
        if (out) std::fclose(out);
        if (!tempPath.empty()) ::unlink(tempPath.c_str());
    }
};

struct URLSessionEngine : std::enable_shared_from_this<URLSessionEngine> {
    URLSessionEngine(URLSessionConfiguration config, std::shared_ptr<URLSessionDelegate> delegate,
                     std::shared_ptr<OperationQueue> queue)
        : config(std::move(config)), delegateQueue(std::move(queue)), delegate_(std::move(delegate)) {
        ensureCurlGlobal();
        multi = curl_multi_init();
        if (multi) {
            curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(this->config.httpMaximumConnectionsPerHost));
        }
    }

    ~URLSessionEngine() {
        for (auto& [origin, handles] : pool)
            for (CURL* easy : handles) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
    }

    const URLSessionConfiguration config;
    const std::shared_ptr<OperationQueue> delegateQueue;
    std::weak_ptr<URLSession> session;
    CURLM* multi = nullptr;

    // Guarded by mutex.
    std::mutex mutex;
    std::shared_ptr<URLSessionDelegate> delegate_;
    bool invalidated = false;
    bool invalidNotified = false;
    size_t active = 0;
    std::deque<std::function<void()>> commands;
    bool workerRunning = false;
    std::set<std::shared_ptr<URLSessionTask>> activeTasks;
    std::map<std::string, RememberedCredential> remembered;

    // Worker thread only.
    std::map<URLSessionTask*, std::shared_ptr<SessionTransfer>> transfers;  // every task the worker holds
    std::map<std::string, std::vector<CURL*>> pool;

    // Delegate callbacks, one at a time in order.
    std::mutex callbackMutex;
    std::deque<std::function<void()>> callbacks;
    bool draining = false;
    std::atomic<int64_t> queuedBytes{0};
    std::atomic<bool> anyPaused{false};

    std::shared_ptr<URLSessionDelegate> delegate() {
        std::lock_guard lock(mutex);
        return delegate_;
    }

    // --- delegate queue ---

    void post(std::function<void()> callback) {
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

    void drain() {
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

    // --- worker ---

    void command(std::function<void()> fn) {
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
    void shutdown() {
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

    void run() {
        for (;;) {
            std::deque<std::function<void()>> todo;
            {
                std::lock_guard lock(mutex);
                todo.swap(commands);
                if (todo.empty() && transfers.empty()) {
                    workerRunning = false;
                    return;
                }
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

    void flushAll() {
        for (auto& [key, t] : transfers) flush(*t);
    }

    void checkIdle() {
        const auto now = Clock::now();
        std::vector<std::shared_ptr<SessionTransfer>> late;
        for (auto& [key, t] : transfers) {
            // A challenge the delegate never answers is bounded like a silent server.
            if ((!t->inMulti && !t->waitingChallenge) || t->paused) continue;
            if (std::chrono::duration<double>(now - t->lastActivity).count() > t->idleTimeout) late.push_back(t);
        }
        for (auto& t : late) complete(t, URLError::make(URLError::timedOut, t->url));
    }

    // --- curl callbacks (worker thread) ---

    static size_t onHeader(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<SessionTransfer*>(user);
        const size_t n = size * count;
        t->lastActivity = Clock::now();
        std::string_view line(buffer, n);
        if (line.size() >= 5 && line.compare(0, 5, "HTTP/") == 0) {
            // A new answer begins: whatever the previous one carried is not the task's.
            const size_t sp = line.find(' ');
            int status = 0;
            if (sp != std::string_view::npos) {
                std::string_view rest = line.substr(sp + 1);
                for (size_t i = 0; i < rest.size() && i < 3 && std::isdigit(static_cast<unsigned char>(rest[i])); ++i)
                    status = status * 10 + (rest[i] - '0');
            }
            if (!t->committed) {
                t->status = status;
                t->headers.clear();
                t->held.clear();
            }
            return n;
        }
        if (t->committed) return n;
        const std::string_view body = trim(line);
        if (body.empty()) return n;
        if ((line.front() == ' ' || line.front() == '\t') && !t->headers.empty()) {
            t->headers.back().second += " " + std::string(body);
            return n;
        }
        const size_t colon = body.find(':');
        if (colon == std::string_view::npos) return n;
        t->headers.emplace_back(std::string(trim(body.substr(0, colon))), std::string(trim(body.substr(colon + 1))));
        return n;
    }

    // An answer that may still be replaced by another one: a challenge, or a redirect curl follows.
    static bool mayBeReplaced(const SessionTransfer& t) {
        if (t.status == 401 || t.status == 407) return true;
        if (t.status >= 300 && t.status < 400) {
            for (const auto& [k, v] : t.headers)
                if (equalsIgnoringCase(k, "Location")) return true;
        }
        return false;
    }

    static size_t onWrite(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<SessionTransfer*>(user);
        const size_t n = size * count;
        t->lastActivity = Clock::now();
        return t->engine->write(*t, buffer, n);
    }

    size_t write(SessionTransfer& t, const char* buffer, size_t n) {
        if (!t.committed) {
            if (mayBeReplaced(t) && t.held.size() + n <= kHeldBodyLimit) {
                t.held.insert(t.held.end(), buffer, buffer + n);
                return n;
            }
            commit(t);
        }
        if (t.task->kind() == URLSessionTask::Kind::download) {
            if (t.into) {
                try {
                    t.into->write(buffer, n);
                } catch (...) {
                    t.writeFailed = true;
                    return 0;
                }
            } else if (std::fwrite(buffer, 1, n, t.out) != n) {
                t.writeFailed = true;
                return 0;
            }
            t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
            reportWrite(t);
            return n;
        }
        if (t.completion) {
            t.collected.insert(t.collected.end(), buffer, buffer + n);
            t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
            return n;
        }
        if (queuedBytes.load() > kQueuedDataLimit) {
            // The delegate is behind: curl keeps these bytes and offers them again after unpausing.
            t.paused = true;
            anyPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        t.pending.insert(t.pending.end(), buffer, buffer + n);
        if (t.cacheable) {
            if (static_cast<int64_t>(t.cacheBody.size() + n) <= config.urlCache->maximumEntrySize()) {
                t.cacheBody.insert(t.cacheBody.end(), buffer, buffer + n);
            } else {
                t.cacheable = false;
                Data().swap(t.cacheBody);
            }
        }
        t.task->setCounter(t.task->received_, "countOfBytesReceived", t.task->received_.load() + static_cast<int64_t>(n));
        if (t.pending.size() >= kDeliveryChunk) flush(t);
        return n;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<SessionTransfer*>(user);
        t->lastActivity = Clock::now();
        return t->engine->read(*t, buffer, size * count);
    }

    size_t read(SessionTransfer& t, char* buffer, size_t max) {
        size_t n = 0;
        switch (t.body) {
        case SessionTransfer::Body::none: return 0;
        case SessionTransfer::Body::data:
            n = std::min(max, t.bodyData.size() - t.bodyPos);
            if (n) std::memcpy(buffer, t.bodyData.data() + t.bodyPos, n);
            t.bodyPos += n;
            break;
        case SessionTransfer::Body::file:
            n = std::fread(buffer, 1, max, t.bodyFile);
            if (n == 0 && std::ferror(t.bodyFile)) {
                t.bodyError = POSIXError::make(EIO, t.bodyPath);
                return CURL_READFUNC_ABORT;
            }
            break;
        case SessionTransfer::Body::stream: {
            const std::ptrdiff_t r = t.bodyStream->read(reinterpret_cast<uint8_t*>(buffer), max);
            if (r < 0) {
                t.bodyError = t.bodyStream->streamError();
                if (!t.bodyError) t.bodyError = URLError::make(URLError::requestBodyStreamExhausted, t.url);
                return CURL_READFUNC_ABORT;
            }
            n = static_cast<size_t>(r);
            break;
        }
        }
        t.task->setCounter(t.task->sent_, "countOfBytesSent", t.task->sent_.load() + static_cast<int64_t>(n));
        reportSend(t);
        return n;
    }

    static int onSeek(void* user, curl_off_t offset, int origin) {
        auto* t = static_cast<SessionTransfer*>(user);
        if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
        if (!t->engine->seek(*t, offset)) return CURL_SEEKFUNC_CANTSEEK;
        return CURL_SEEKFUNC_OK;
    }

    bool seek(SessionTransfer& t, int64_t offset) {
        switch (t.body) {
        case SessionTransfer::Body::none: return offset == 0;
        case SessionTransfer::Body::data:
            if (static_cast<uint64_t>(offset) > t.bodyData.size()) return false;
            t.bodyPos = static_cast<size_t>(offset);
            break;
        case SessionTransfer::Body::file:
            if (!t.bodyFile || fseeko(t.bodyFile, offset, SEEK_SET) != 0) return false;
            break;
        case SessionTransfer::Body::stream:
            if (offset != 0 || !t.bodyStream->rewind()) return false;
            break;
        }
        t.task->setCounter(t.task->sent_, "countOfBytesSent", offset);
        return true;
    }

    // --- deliveries ---

    std::shared_ptr<URLSession> sessionOf(const SessionTransfer& t) { return t.session; }

    void commit(SessionTransfer& t) {
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

    void flush(SessionTransfer& t) {
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

    void unpauseAll() {
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

    void reportSend(SessionTransfer& t) {
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

    void reportWrite(SessionTransfer& t) {
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

    // --- starting ---

    void start(std::shared_ptr<SessionTransfer> t) {
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

    CURL* takeHandle(const std::string& origin) {
        auto& handles = pool[origin];
        if (!handles.empty()) {
            CURL* easy = handles.back();
            handles.pop_back();
            return easy;
        }
        return curl_easy_init();
    }

    // Only a handle whose transfer ended well goes back to the pool: one cut off (cancelled, paused,
    // failed) might carry that state into the next request.
    void giveBack(SessionTransfer& t, bool reusable) {
        if (!t.easy) return;
        if (t.inMulti) {
            curl_multi_remove_handle(multi, t.easy);
            t.inMulti = false;
        }
        curl_easy_setopt(t.easy, CURLOPT_PRIVATE, nullptr);
        auto& handles = pool[t.origin];
        if (reusable && !t.paused && handles.size() < static_cast<size_t>(std::max(1, config.httpMaximumConnectionsPerHost)))
            handles.push_back(t.easy);
        else
            curl_easy_cleanup(t.easy);
        t.easy = nullptr;
    }

    // One request on the wire (the first, or a retry with a credential).
    void attempt(std::shared_ptr<SessionTransfer> t) {
        if (!t->easy) t->easy = takeHandle(t->origin);
        if (!t->easy || !t->url) {
            complete(t, URLError::make(t->url ? URLError::unknown : URLError::badURL, t->url));
            return;
        }
        CURL* e = t->easy;
        const URLRequest& request = t->task->originalRequest();
        t->status = 0;
        t->headers.clear();
        t->held.clear();
        t->committed = false;
        t->errorBuffer[0] = 0;
        t->lastActivity = Clock::now();

        const double requestTimeout = request.timeoutInterval != URLRequest::defaultTimeoutInterval && request.timeoutInterval > 0
                                          ? request.timeoutInterval
                                          : config.timeoutIntervalForRequest;
        t->idleTimeout = requestTimeout > 0 ? requestTimeout : 60;

        // Every option is set on every attempt: a handle from the pool still carries its last
        // request's settings (and, on purpose, its Digest state).
        curl_easy_setopt(e, CURLOPT_PRIVATE, t.get());
        curl_easy_setopt(e, CURLOPT_URL, t->url->absoluteString().c_str());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 128L * 1024);
        curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, 128L * 1024);
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->errorBuffer);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &URLSessionEngine::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, t.get());
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &URLSessionEngine::onWrite);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, t.get());
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &URLSessionEngine::onRead);
        curl_easy_setopt(e, CURLOPT_READDATA, t.get());
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &URLSessionEngine::onSeek);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, t.get());
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min(t->idleTimeout * 1000.0, double(LONG_MAX))));
        const double resource = config.timeoutIntervalForResource > 0 ? config.timeoutIntervalForResource * 1000.0 : 0.0;
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(resource, double(LONG_MAX))));
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, config.tlsVerifyPeer ? 1L : 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, config.tlsVerifyHost ? 2L : 0L);
        if (config.tlsCAFile) curl_easy_setopt(e, CURLOPT_CAINFO, config.tlsCAFile->c_str());
        curl_easy_setopt(e, CURLOPT_UNRESTRICTED_AUTH, 0L);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 1L);

        // Method and body.
        const std::string& method = request.httpMethod;
        curl_easy_setopt(e, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr);
        if (t->body != SessionTransfer::Body::none) {
            curl_easy_setopt(e, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(t->bodySize));
            if (method != "PUT") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
            t->task->setCounter(t->task->expectedToSend_, "countOfBytesExpectedToSend", t->bodySize);
        } else if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
            if (method != "GET") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }

        // Authentication: a credential the delegate gave (or one that worked before here).
        if (t->credential && t->credential->user()) {
            curl_easy_setopt(e, CURLOPT_HTTPAUTH, t->authMask ? t->authMask : static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
            curl_easy_setopt(e, CURLOPT_USERNAME, t->credential->user()->c_str());
            curl_easy_setopt(e, CURLOPT_PASSWORD, t->credential->password().value_or("").c_str());
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
            curl_easy_setopt(e, CURLOPT_USERNAME, nullptr);
            curl_easy_setopt(e, CURLOPT_PASSWORD, nullptr);
        }

        // Header fields: the request's, then the configuration's that the request lacks.
        if (t->headerList) {
            curl_slist_free_all(t->headerList);
            t->headerList = nullptr;
        }
        auto add = [&](const std::string& name, const std::string& value) {
            // curl computes these itself; a credential of ours replaces the request's own.
            if (equalsIgnoringCase(name, "Content-Length") || equalsIgnoringCase(name, "Transfer-Encoding") ||
                equalsIgnoringCase(name, "Accept-Encoding") || equalsIgnoringCase(name, "Host"))
                return;
            if (t->credential && equalsIgnoringCase(name, "Authorization")) return;
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            if (curl_slist* next = curl_slist_append(t->headerList, line.c_str())) t->headerList = next;
        };
        for (const auto& [name, value] : request.allHTTPHeaderFields()) add(name, value);
        for (const auto& [name, value] : config.httpAdditionalHeaders)
            if (!request.value(name)) add(name, value);
        // curl would hold a body back for "100 Continue", which many servers never send: a second lost per request.
        if (!request.value("Expect")) {
            if (curl_slist* next = curl_slist_append(t->headerList, "Expect:")) t->headerList = next;
        }
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

        const CURLMcode mc = curl_multi_add_handle(multi, e);
        if (mc != CURLM_OK) {
            complete(t, URLError::make(URLError::unknown, t->url));
            return;
        }
        t->inMulti = true;
    }

    // --- finishing ---

    void finished(std::shared_ptr<SessionTransfer> t, CURLcode rc) {
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

    void challenge(std::shared_ptr<SessionTransfer> t, const AuthOffer& offer) {
        URLAuthenticationChallenge c;
        c.protectionSpace.host = t->url->host().value_or("");
        c.protectionSpace.protocol_ = t->url->scheme().value_or("http");
        for (char& ch : c.protectionSpace.protocol_) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        c.protectionSpace.port = t->url->port().value_or(c.protectionSpace.protocol_ == "https" ? 443 : 80);
        c.protectionSpace.realm = offer.realm;
        c.protectionSpace.authenticationMethod =
            offer.digest ? NSURLAuthenticationMethodHTTPDigest : NSURLAuthenticationMethodHTTPBasic;
        c.previousFailureCount = t->failures;
        {
            std::lock_guard lock(mutex);
            if (auto it = remembered.find(t->origin); it != remembered.end()) c.proposedCredential = it->second.credential;
        }
        if (!c.proposedCredential) c.proposedCredential = t->urlCredential;
        c.failureResponse = std::make_shared<HTTPURLResponse>(t->url, t->status, t->headers);
        const long mask = offer.digest ? static_cast<long>(CURLAUTH_DIGEST) : static_cast<long>(CURLAUTH_BASIC);
        t->waitingChallenge = true;

        // The answer comes back exactly once; a delegate that drops the completion gets default handling.
        struct Answer {
            std::shared_ptr<URLSessionEngine> engine;
            std::shared_ptr<SessionTransfer> transfer;
            long mask;
            std::atomic<bool> done{false};
            void give(URLSessionAuthChallengeDisposition d, std::optional<URLCredential> cred) {
                if (done.exchange(true)) return;
                auto e = engine;
                auto tr = transfer;
                const long m = mask;
                e->command([e, tr, d, cred = std::move(cred), m] { e->answered(tr, d, cred, m); });
            }
            ~Answer() {
                if (!done.exchange(true)) {
                    auto e = engine;
                    auto tr = transfer;
                    const long m = mask;
                    e->command([e, tr, m] {
                        e->answered(tr, URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt, m);
                    });
                }
            }
        };
        auto answer = std::make_shared<Answer>();
        answer->engine = shared_from_this();
        answer->transfer = t;
        answer->mask = mask;
        auto self = shared_from_this();
        auto session = t->session;
        auto task = t->task;
        post([self, session, task, c, answer]() mutable {
            auto d = self->delegate();
            if (!d) return;  // the Answer's destructor gives default handling
            std::shared_ptr<Answer> a = std::move(answer);
            d->didReceiveChallenge(session, task, c, [a](URLSessionAuthChallengeDisposition disp, std::optional<URLCredential> cred) {
                a->give(disp, std::move(cred));
            });
        });
    }

    void answered(std::shared_ptr<SessionTransfer> t, URLSessionAuthChallengeDisposition disposition,
                  const std::optional<URLCredential>& credential, long mask) {
        if (t->completed) return;
        t->waitingChallenge = false;
        if (t->cancelled) {
            complete(t, t->cancelError ? t->cancelError : URLError::make(URLError::cancelled, t->url));
            return;
        }
        switch (disposition) {
        case URLSessionAuthChallengeDisposition::useCredential:
            if (credential && credential->user()) {
                t->failures += 1;
                t->credential = credential;
                t->authMask = mask;
                if (!seek(*t, 0)) {
                    complete(t, URLError::make(URLError::requestBodyStreamExhausted, t->url));
                    return;
                }
                attempt(t);
                return;
            }
            complete(t, nullptr);
            return;
        case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
            complete(t, URLError::make(URLError::cancelled, t->url));
            return;
        case URLSessionAuthChallengeDisposition::performDefaultHandling:
        case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
            // The 401 itself is the answer.
            complete(t, nullptr);
            return;
        }
    }

    void cancel(URLSessionTask* task, ErrorRef error) {
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
    std::function<void()> cacheStep(SessionTransfer& t, const ErrorRef& error) {
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

    void complete(std::shared_ptr<SessionTransfer> t, ErrorRef error) {
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

    void finishedTask(const std::shared_ptr<URLSessionTask>& task) {
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

    void notifyInvalid(std::shared_ptr<URLSessionDelegate> d) {
        shutdown();
        auto self = shared_from_this();
        auto s = session.lock();
        post([self, s, d] {
            if (d && s) d->didBecomeInvalidWithError(s, nullptr);
            std::lock_guard lock(self->mutex);
            self->delegate_.reset();
        });
    }
};


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
