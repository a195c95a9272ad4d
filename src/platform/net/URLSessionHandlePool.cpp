// platform::URLSession's easy handles: kept per server between requests (with their connection and
// Digest state), and the options each request sets on one.
#include "platform/net/URLSessionEngine.hpp"

#include <climits>

namespace platform {

CURL* URLSessionEngine::takeHandle(const std::string& origin) {
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
void URLSessionEngine::giveBack(SessionTransfer& t, bool reusable) {
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
void URLSessionEngine::attempt(std::shared_ptr<SessionTransfer> t) {
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

} // namespace platform
