// The engine under platform::URLSession, shared by the files that make it up: the state of one
// task on the wire (SessionTransfer) and the engine that runs them all on one worker thread over
// libcurl's multi handle.
#pragma once

#include "platform/net/URLSession.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <unistd.h>

namespace platform {

using Clock = std::chrono::steady_clock;

// Data waiting for the delegate beyond this pauses the transfers that feed it.
constexpr int64_t kQueuedDataLimit = 4 << 20;
// Pieces handed to the delegate are gathered up to this size within one turn of the worker.
constexpr size_t kDeliveryChunk = 256 << 10;
// The body of an answer that may still be replaced (401, redirect) is held up to this size.
constexpr size_t kHeldBodyLimit = 1 << 20;
constexpr long kMaxRedirects = 16;
// An idle worker waits this long for the next task before its thread ends: starting a thread for
// each request of a reader that asks for one range at a time cost more than the request itself on
// a busy machine (a new thread waits for a whole time slice; a woken one runs at once).
constexpr auto kWorkerLinger = std::chrono::seconds(5);

inline bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The URL without user and password: those are never put on the wire unasked nor into errors.
std::optional<URL> withoutUserInfo(const URL& url);

struct AuthOffer {
    bool basic = false;
    bool digest = false;
    std::optional<std::string> realm;
};

AuthOffer parseAuthenticate(const HTTPURLResponse::HeaderFields& fields);

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
                     std::shared_ptr<OperationQueue> queue);
    ~URLSessionEngine();

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

    // URLSessionDelegateDispatch.cpp
    void post(std::function<void()> callback);
    void drain();
    void commit(SessionTransfer& t);
    void flush(SessionTransfer& t);
    void unpauseAll();
    void reportSend(SessionTransfer& t);
    void reportWrite(SessionTransfer& t);

    // URLSessionTransferLoop.cpp
    void command(std::function<void()> fn);
    void shutdown();
    void run();
    void flushAll();
    void checkIdle();
    void start(std::shared_ptr<SessionTransfer> t);
    void finished(std::shared_ptr<SessionTransfer> t, CURLcode rc);
    void cancel(URLSessionTask* task, ErrorRef error);
    std::function<void()> cacheStep(SessionTransfer& t, const ErrorRef& error);
    void complete(std::shared_ptr<SessionTransfer> t, ErrorRef error);
    void finishedTask(const std::shared_ptr<URLSessionTask>& task);
    void notifyInvalid(std::shared_ptr<URLSessionDelegate> d);

    // URLSessionTaskBodies.cpp
    static size_t onHeader(char* buffer, size_t size, size_t count, void* user);
    static bool mayBeReplaced(const SessionTransfer& t);
    static size_t onWrite(char* buffer, size_t size, size_t count, void* user);
    size_t write(SessionTransfer& t, const char* buffer, size_t n);
    static size_t onRead(char* buffer, size_t size, size_t count, void* user);
    size_t read(SessionTransfer& t, char* buffer, size_t max);
    static int onSeek(void* user, curl_off_t offset, int origin);
    bool seek(SessionTransfer& t, int64_t offset);

    // URLSessionHandlePool.cpp
    CURL* takeHandle(const std::string& origin);
    void giveBack(SessionTransfer& t, bool reusable);
    void attempt(std::shared_ptr<SessionTransfer> t);

    // URLSessionAuthentication.cpp
    void challenge(std::shared_ptr<SessionTransfer> t, const AuthOffer& offer);
    void answered(std::shared_ptr<SessionTransfer> t, URLSessionAuthChallengeDisposition disposition,
                  const std::optional<URLCredential>& credential, long mask);
};

} // namespace platform
