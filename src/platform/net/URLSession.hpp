// platform::URLSession — the platform's URL loading over libcurl's multi interface: data, upload
// and download tasks, delegate callbacks, authentication challenges, invalidation.
//
// What holds (and what the providers build on):
// - Delegate callbacks of one session arrive one at a time, in the order they happened, on the
//   session's delegate OperationQueue (whatever its concurrency limit), never under a lock of ours.
// - A 401 answer with "WWW-Authenticate" becomes a task-level challenge to the delegate; a
//   credential it answers with is retried with Digest or Basic, as the server offers. A credential
//   that succeeded is sent again to that server by later tasks of the session (easy handles are
//   kept per server, so a Digest nonce is reused rather than challenged again).
// - Redirects are followed (at most 16); bodies arrive decoded (gzip, deflate, br when built in).
// - The request time-out is an idle time-out: a transfer fails with timedOut only when no byte has
//   moved for that long; the resource time-out caps the whole task.
// - TLS peers and host names are verified unless the configuration turns it off.
// - Data delivered to the delegate is held back from the network while the delegate is behind
//   (the transfer pauses), so a slow delegate never makes the session hold a whole file.
// - Every HTTP status is an answer, not an error: callers read statusCode themselves.
//
// Callback names: the platform overloads `urlSession(...)` on its argument labels; these would
// clash here (tasks convert to their base class), so each callback is named by its distinguishing
// label (`didCompleteWithError`, `didReceiveData` ...).
#pragma once

#include "platform/data/Date.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/Stream.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCache.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/data/Value.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class OperationQueue;
class PlacementFile;
class URLSession;

/// NSURLSessionTransferSizeUnknown.
inline constexpr int64_t NSURLSessionTransferSizeUnknown = -1;

struct URLSessionConfiguration {
    /// URLSessionConfiguration.default.
    static URLSessionConfiguration defaultConfiguration() { return {}; }

    /// Idle time-out of a request: how long no byte may move (also the connect time-out). A request
    /// whose own timeoutInterval differs from URLRequest::defaultTimeoutInterval uses its own.
    TimeInterval timeoutIntervalForRequest = 60;
    /// Cap on a whole task.
    TimeInterval timeoutIntervalForResource = 7 * 24 * 3600;
    /// Kept for those who read it: every request is loaded from the network whatever the policy
    /// (a session-wide "return cached data" would answer with what a write has since changed).
    URLRequest::CachePolicy requestCachePolicy = URLRequest::CachePolicy::useProtocolCachePolicy;
    /// Data tasks keep their answers here as URLCache::storagePolicy allows; a change made
    /// through the session forgets what it changed.
    std::shared_ptr<URLCache> urlCache = URLCache::shared();
    /// Sent with every request unless the request sets the same field.
    URLRequest::HeaderFields httpAdditionalHeaders;
    int httpMaximumConnectionsPerHost = 6;
    /// TLS: verify the server's chain, and its name against the host. Both on by default.
    bool tlsVerifyPeer = true;
    bool tlsVerifyHost = true;
    /// A CA bundle (PEM file) to trust instead of the system's.
    std::optional<std::string> tlsCAFile;
};

// --- Authentication ------------------------------------------------------------------------------

inline constexpr const char* NSURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr const char* NSURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* NSURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* NSURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

struct URLProtectionSpace {
    std::string host;
    int port = 0;
    /// "http" or "https".
    std::string protocol_;
    std::optional<std::string> realm;
    std::string authenticationMethod = NSURLAuthenticationMethodDefault;
};

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    /// The credential the session would use: one that worked for this server before, or the user
    /// and password of the request's URL.
    std::optional<URLCredential> proposedCredential;
    /// How many credentials this task has already been refused with.
    int previousFailureCount = 0;
    std::shared_ptr<const URLResponse> failureResponse;
};

enum class URLSessionAuthChallengeDisposition {
    useCredential,
    performDefaultHandling,
    cancelAuthenticationChallenge,
    rejectProtectionSpace,
};

enum class URLSessionResponseDisposition { cancel, allow, becomeDownload, becomeStream };

using ChallengeCompletionHandler =
    std::function<void(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential)>;

// --- Tasks ---------------------------------------------------------------------------------------

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    enum class State { running, suspended, canceling, completed };
    enum class Kind { data, upload, download };

    virtual ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    Kind kind() const { return kind_; }
    /// Unique within its session, from 1.
    uint64_t taskIdentifier() const { return identifier_; }
    std::optional<std::string> taskDescription() const;
    void setTaskDescription(std::optional<std::string> description);

    const URLRequest& originalRequest() const { return originalRequest_; }
    /// The final answer, once it is known.
    std::shared_ptr<const URLResponse> response() const;
    State state() const;
    /// Why the task failed, once it completed.
    ErrorRef error() const;

    // Byte counters. The expected counts are NSURLSessionTransferSizeUnknown while unknown.
    int64_t countOfBytesReceived() const { return received_.load(); }
    int64_t countOfBytesSent() const { return sent_.load(); }
    int64_t countOfBytesExpectedToSend() const { return expectedToSend_.load(); }
    int64_t countOfBytesExpectedToReceive() const { return expectedToReceive_.load(); }

    /// Key-value observation of the counters ("countOfBytesReceived", "countOfBytesSent",
    /// "countOfBytesExpectedToSend", "countOfBytesExpectedToReceive"): the observer is called with
    /// the new value on the thread that changed it, never under a lock of ours. One already under
    /// way may still run after removeObserver returns.
    using CounterObserver =
        std::function<void(const std::shared_ptr<URLSessionTask>& task, const std::string& keyPath, int64_t newValue)>;
    using ObserverToken = uint64_t;
    ObserverToken addObserver(const std::string& keyPath, CounterObserver observer);
    void removeObserver(ObserverToken token);

    /// Starts the task (once; later calls do nothing).
    void resume();
    /// Ends the task with URLError cancelled (from any thread; a completed task stays as it is).
    void cancel();

protected:
    URLSessionTask(Kind kind, uint64_t identifier, URLRequest request, std::weak_ptr<URLSession> session);

private:
    friend class URLSession;
    friend struct URLSessionEngine;

    void setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value);

    const Kind kind_;
    const uint64_t identifier_;
    const URLRequest originalRequest_;
    const std::weak_ptr<URLSession> session_;

    mutable std::mutex mutex_;
    std::optional<std::string> description_;
    std::shared_ptr<const URLResponse> response_;
    State state_ = State::suspended;
    ErrorRef error_;
    bool started_ = false;
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, std::pair<std::string, std::shared_ptr<CounterObserver>>> observers_;

    std::atomic<int64_t> received_{0};
    std::atomic<int64_t> sent_{0};
    std::atomic<int64_t> expectedToSend_{NSURLSessionTransferSizeUnknown};
    std::atomic<int64_t> expectedToReceive_{NSURLSessionTransferSizeUnknown};
};

class URLSessionDataTask : public URLSessionTask {
protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

class URLSessionUploadTask : public URLSessionDataTask {
protected:
    using URLSessionDataTask::URLSessionDataTask;
    friend class URLSession;
};

class URLSessionDownloadTask : public URLSessionTask {
protected:
    using URLSessionTask::URLSessionTask;
    friend class URLSession;
};

// --- Delegate ------------------------------------------------------------------------------------

/// Every callback has a default body; a delegate overrides what it needs.
class URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;

    using SessionRef = std::shared_ptr<URLSession>;
    using TaskRef = std::shared_ptr<URLSessionTask>;
    using DataTaskRef = std::shared_ptr<URLSessionDataTask>;
    using DownloadTaskRef = std::shared_ptr<URLSessionDownloadTask>;

    /// urlSession(_:didBecomeInvalidWithError:): the last callback of a session.
    virtual void didBecomeInvalidWithError(const SessionRef& session, const ErrorRef& error);
    /// urlSession(_:didReceive:completionHandler:): session-wide challenges. Default handling.
    virtual void didReceiveChallenge(const SessionRef& session, const URLAuthenticationChallenge& challenge,
                                     ChallengeCompletionHandler completionHandler);
    /// urlSession(_:task:didReceive:completionHandler:): a server's 401. Default handling, which
    /// lets the 401 answer through as the task's response.
    virtual void didReceiveChallenge(const SessionRef& session, const TaskRef& task,
                                     const URLAuthenticationChallenge& challenge,
                                     ChallengeCompletionHandler completionHandler);
    /// urlSession(_:task:didSendBodyData:totalBytesSent:totalBytesExpectedToSend:).
    virtual void didSendBodyData(const SessionRef& session, const TaskRef& task, int64_t bytesSent,
                                 int64_t totalBytesSent, int64_t totalBytesExpectedToSend);
    /// urlSession(_:task:didCompleteWithError:): the task's last callback; no error on success,
    /// whatever the HTTP status.
    virtual void didCompleteWithError(const SessionRef& session, const TaskRef& task, const ErrorRef& error);
    /// urlSession(_:dataTask:didReceive:completionHandler:). Default: allow.
    virtual void didReceiveResponse(const SessionRef& session, const DataTaskRef& dataTask,
                                    const std::shared_ptr<const URLResponse>& response,
                                    std::function<void(URLSessionResponseDisposition)> completionHandler);
    /// urlSession(_:dataTask:didReceive:): the next piece of the body.
    virtual void didReceiveData(const SessionRef& session, const DataTaskRef& dataTask, const Data& data);
    /// urlSession(_:downloadTask:didFinishDownloadingTo:): the temporary file exists until this
    /// callback returns.
    virtual void didFinishDownloadingTo(const SessionRef& session, const DownloadTaskRef& downloadTask,
                                        const URL& location);
    /// urlSession(_:downloadTask:didWriteData:totalBytesWritten:totalBytesExpectedToWrite:).
    virtual void didWriteData(const SessionRef& session, const DownloadTaskRef& downloadTask, int64_t bytesWritten,
                              int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite);
};

// --- Session -------------------------------------------------------------------------------------

struct URLSessionEngine;

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    using DataCompletionHandler =
        std::function<void(std::optional<Data> data, std::shared_ptr<const URLResponse> response, ErrorRef error)>;

    /// URLSession(configuration:delegate:delegateQueue:). Without a queue the session makes a serial
    /// one. The session keeps its delegate until it is invalidated.
    static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                            std::shared_ptr<OperationQueue> delegateQueue = nullptr);

    /// A session that nobody invalidated finishes its tasks and lets go of its delegate.
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const { return configuration_; }
    /// Nothing once the session is invalid.
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<OperationQueue>& delegateQueue() const { return delegateQueue_; }
    std::optional<std::string> sessionDescription() const;
    void setSessionDescription(std::optional<std::string> description);

    /// Tasks start suspended; resume() starts them. A task made after invalidation fails with
    /// cancelled when resumed. The request's httpBody, when present, is sent as the body.
    std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request);
    /// The body and response go to `completionHandler` (on the delegate queue) instead of the
    /// delegate's data callbacks; challenges still go to the delegate.
    std::shared_ptr<URLSessionDataTask> dataTask(const URLRequest& request, DataCompletionHandler completionHandler);
    std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, const Data& fromData);
    std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& request, const URL& fromFile);
    /// uploadTask(withStreamedRequest:): the body comes from `bodyStream` (the platform keeps it in
    /// the request). A stream that cannot rewind fails an authentication retry with
    /// requestBodyStreamExhausted.
    std::shared_ptr<URLSessionUploadTask> uploadTask(const URLRequest& withStreamedRequest,
                                                     std::shared_ptr<InputStream> bodyStream);
    std::shared_ptr<URLSessionDownloadTask> downloadTask(const URLRequest& request);
    /// A download written straight into `into` (a file beside its destination) instead of a
    /// temporary file of ours; didFinishDownloadingTo hands over a path that reads it
    /// ("/proc/self/fd/N"). Placing the file stays the caller's.
    std::shared_ptr<URLSessionDownloadTask> downloadTask(const URLRequest& request, std::shared_ptr<PlacementFile> into);

    /// Tasks that are resumed and not yet completed.
    std::vector<std::shared_ptr<URLSessionTask>> allTasks() const;

    /// No new tasks; the running ones finish; then didBecomeInvalidWithError(nil) and the delegate
    /// is let go.
    void finishTasksAndInvalidate();
    /// As above, cancelling the running tasks.
    void invalidateAndCancel();
    bool isInvalidated() const;

private:
    friend class URLSessionTask;
    friend struct URLSessionEngine;

    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<OperationQueue> delegateQueue);

    template <class T>
    std::shared_ptr<T> makeTask(URLSessionTask::Kind kind, const URLRequest& request);

    void resumeTask(const std::shared_ptr<URLSessionTask>& task);
    void cancelTask(const std::shared_ptr<URLSessionTask>& task);

    const URLSessionConfiguration configuration_;
    const std::shared_ptr<OperationQueue> delegateQueue_;
    std::atomic<uint64_t> nextIdentifier_{1};
    std::shared_ptr<URLSessionEngine> engine_;

    mutable std::mutex mutex_;
    std::optional<std::string> description_;
};

} // namespace platform
