// FileProviderStreamTask — the byte pipe under every FTP control and data connection: a TCP
// connection to a host and port (or the first caller of a listening NetService), with optional TLS,
// a send and a receive buffer, and reads, writes and closings run one at a time on the task's own
// serial queue "FileProviderStreamTask".
//
// The socket is served by one thread of the task's own: it connects (or accepts), runs the TLS
// handshake when the task is secure, then reads whatever arrives into the receive buffer. Reads on
// the queue wait for that buffer; writes wait until the connection is ready, so work queued before
// the connection is up simply waits its turn.
//
// Every wait is bounded: connecting, the TLS handshake, a write with no time limit of its own and
// waiting for the end of the read side all give up after the session configuration's request
// time-out (60 s without a session).
#pragma once

#include "fileprovider/core/ServerTrustPolicy.hpp"
#include "fileprovider/ftp/NetService.hpp"
#include "platform/dispatch/DispatchTime.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/data/Value.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

typedef struct ssl_session_st SSL_SESSION;

namespace platform {
class DispatchQueue;
}

namespace RiridOzizevud {

class FileProviderStreamTask;

/// Stream events for a session delegate that wants them; every method is optional.
class FPSStreamDelegate : public virtual platform::URLSessionDelegate {
public:
    using StreamTaskRef = std::shared_ptr<FileProviderStreamTask>;
    /// urlSession(_:streamTask:didBecome:outputStream:): the connection exists (at resume) or was
    /// captured (captureStreams). The task is its own stream pair here.
    virtual void streamTaskDidBecomeStreams(const SessionRef& session, const StreamTaskRef& streamTask);
    /// urlSession(_:readClosedFor:).
    virtual void readClosedFor(const SessionRef& session, const StreamTaskRef& streamTask);
    /// urlSession(_:writeClosedFor:).
    virtual void writeClosedFor(const SessionRef& session, const StreamTaskRef& streamTask);
    /// urlSession(_:task:didCompleteWithError:) for a stream error.
    virtual void streamTaskDidCompleteWithError(const SessionRef& session, const StreamTaskRef& streamTask,
                                                const platform::ErrorRef& error);
};

/// The platform's stream socket security levels.
enum class StreamSocketSecurityLevel { none, SSLv2, SSLv3, TLSv1, negotiatedSSL };

/// A TLS session another connection can resume: the session and the length of its identifier.
struct SSLPeerID {
    std::shared_ptr<SSL_SESSION> peerID;
    int64_t peerIDLen = 0;
};

/// Observer of a task's byte counters (key-value observation).
class StreamTaskObserver {
public:
    virtual ~StreamTaskObserver() = default;
    /// `change` holds exactly "old" and "new" (NSKeyValueChangeOldKey, NSKeyValueChangeNewKey), both
    /// 64-bit integers.
    virtual void observeValue(const std::string& keyPath, const std::shared_ptr<FileProviderStreamTask>& object,
                              const platform::ValueDictionary& change, void* context) = 0;
};

inline constexpr const char* NSKeyValueChangeOldKey = "old";
inline constexpr const char* NSKeyValueChangeNewKey = "new";

class FileProviderStreamTask : public std::enable_shared_from_this<FileProviderStreamTask> {
public:
    using State = platform::URLSessionTask::State;
    using ReadCompletionHandler = std::function<void(std::optional<platform::Data> data, bool atEOF, platform::ErrorRef error)>;
    using WriteCompletionHandler = std::function<void(platform::ErrorRef error)>;

    /// Received bytes kept for readers: once this many wait, the connection takes no more until they
    /// are read (one last batch may take the buffer to under twice this).
    static constexpr size_t receiveBufferLimit = 1024 * 1024;

    /// The first identifier handed out is this plus one.
    static constexpr int64_t firstTaskIdentifierBase = 1000000000;

    ~FileProviderStreamTask();
    FileProviderStreamTask(const FileProviderStreamTask&) = delete;
    FileProviderStreamTask& operator=(const FileProviderStreamTask&) = delete;

    // Made by fpstreamTask(...) only.
    static std::shared_ptr<FileProviderStreamTask> make(std::shared_ptr<platform::URLSession> session,
                                                         std::string hostName, int port);
    static std::shared_ptr<FileProviderStreamTask> make(std::shared_ptr<platform::URLSession> session,
                                                         std::shared_ptr<NetService> service);

    /// Always false: the platform session has no stream tasks to forward to.
    bool useURLSession() const { return false; }

    int64_t taskIdentifier() const { return taskIdentifier_; }
    std::optional<std::string> taskDescription() const;
    void setTaskDescription(std::optional<std::string> description);
    State state() const { return state_.load(); }
    /// The last stream error.
    platform::ErrorRef error() const;
    /// None for a socket task.
    std::optional<platform::URLRequest> originalRequest() const { return std::nullopt; }
    std::optional<platform::URLRequest> currentRequest() const { return std::nullopt; }

    int64_t countOfBytesSent() const { return countOfBytesSent_.load(); }
    int64_t countOfBytesReceived() const { return countOfBytesReceived_.load(); }
    /// Bytes sent plus bytes still queued.
    int64_t countOfBytesExpectedToSend() const;
    /// Bytes received and not yet read.
    int64_t countOfBytesExpectedToReceive() const;

    const std::optional<std::pair<std::string, int>>& host() const { return host_; }
    const std::shared_ptr<NetService>& service() const { return service_; }
    const std::shared_ptr<platform::URLSession>& underlyingSession() const { return session_; }

    // TLS settings, read when TLS starts.
    StreamSocketSecurityLevel securityLevel() const;
    void setSecurityLevel(StreamSocketSecurityLevel level);
    ServerTrustPolicy serverTrustPolicy() const;
    void setServerTrustPolicy(ServerTrustPolicy policy);
    /// The TLS session to resume (with a length above 0), from another connection's getSSLPeerID().
    SSLPeerID peerID() const;
    void setPeerID(SSLPeerID peerID);
    /// The name the server's certificate must carry; the task's host when unset. A data connection
    /// reached at an address the server named sets the control connection's host here.
    std::optional<std::string> tlsPeerName() const;
    void setTlsPeerName(std::optional<std::string> name);
    /// The TLS session of this connection's read side, for a data connection to resume; empty
    /// without TLS.
    SSLPeerID getSSLPeerID() const;
    bool isSecure() const { return isSecure_.load(); }

    /// The local numeric address of the connection once it is up ("" before).
    std::string localAddress() const;
    /// The numeric address of the other end once the connection is up ("" before).
    std::string peerAddress() const;

    void resume();
    void suspend();
    void cancel();

    /// Waits on the task's queue for at least `minLength` bytes, the end of the stream or the
    /// time-out (counted from this call), and hands out at most `maxLength` bytes. The completion
    /// runs on the task's queue.
    void readData(int64_t minLength, int64_t maxLength, double timeout, ReadCompletionHandler completionHandler);
    /// Queues the bytes and sends everything queued within `timeout` seconds (0: the request
    /// time-out, as an idle limit). A write that cannot finish in time fails with timedOut.
    void write(const platform::Data& data, double timeout, WriteCompletionHandler completionHandler);
    /// Sends what is queued, then tells the delegate of the streams.
    void captureStreams();
    /// Sends what is queued, then closes the write side.
    void closeWrite();
    void closeRead() { closeRead(false); }
    /// Unless `immediate`, waits (bounded) for the end of the read side first.
    void closeRead(bool immediate);
    /// TLS from now on (or from the connection's start when it is not up yet).
    void startSecureConnection();
    /// Ends TLS (close_notify sent) and goes on in plain text.
    void stopSecureConnection();

    // Key-value observation of the counters ("countOfBytesSent", "countOfBytesReceived",
    // "countOfBytesExpectedToSend", "countOfBytesExpectedToReceive"). Other key paths are not
    // recorded. Observers are called without any lock of the task held.
    void addObserver(std::shared_ptr<StreamTaskObserver> observer, const std::string& forKeyPath, int options,
                     void* context);
    void removeObserver(const std::shared_ptr<StreamTaskObserver>& observer, const std::string& forKeyPath);
    void removeObserver(const std::shared_ptr<StreamTaskObserver>& observer, const std::string& forKeyPath,
                        void* context);

    struct Connection;

private:
    FileProviderStreamTask(std::shared_ptr<platform::URLSession> session, std::optional<std::pair<std::string, int>> host,
                           std::shared_ptr<NetService> service);

    double requestTimeout() const;
    /// The connection made by the first resume (none before).
    std::shared_ptr<Connection> currentConnection() const;
    std::shared_ptr<FPSStreamDelegate> streamDelegate() const;
    void setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value);
    void performRead(int64_t minLength, int64_t maxLength, platform::DispatchTime expiry,
                     const ReadCompletionHandler& completionHandler);
    int64_t flushSendBuffer(bool closeAfterWriting, double timeout);
    void closeStreams();
    // Runs on the queue when the task still exists; otherwise the drop handler runs.
    void enqueue(std::function<void(FileProviderStreamTask&)> work, std::function<void()> dropped = {});

    const std::shared_ptr<platform::URLSession> session_;
    const std::optional<std::pair<std::string, int>> host_;
    const std::shared_ptr<NetService> service_;
    const int64_t taskIdentifier_;
    const std::shared_ptr<platform::DispatchQueue> dispatch_queue_;

    mutable std::mutex mutex_;
    std::optional<std::string> taskDescription_;
    StreamSocketSecurityLevel securityLevel_ = StreamSocketSecurityLevel::negotiatedSSL;
    ServerTrustPolicy serverTrustPolicy_ = ServerTrustPolicy::performDefaultEvaluation(true);
    SSLPeerID peerID_;
    std::optional<std::string> tlsPeerName_;
    bool queueSuspended_ = true;
    bool started_ = false;
    std::shared_ptr<Connection> connection_;

    std::atomic<State> state_{State::suspended};
    std::atomic<bool> isSecure_{false};
    std::atomic<int64_t> countOfBytesSent_{0};
    std::atomic<int64_t> countOfBytesReceived_{0};
    std::atomic<bool> shouldCloseWrite_{false};

    // Held by one flush at a time, so `write` callers only wait for the buffer, never for a flush.
    std::mutex flushMutex_;
    mutable std::mutex dataToBeSentLock_;
    platform::Data dataToBeSent_;

    struct ObserverRecord {
        std::string keyPath;
        std::shared_ptr<StreamTaskObserver> observer;
        void* context;
    };
    mutable std::mutex observersMutex_;
    std::vector<ObserverRecord> observers_;

    // Of the connection's thread, once started; it runs detached.
    std::thread::id ioThreadId_;
    mutable std::mutex ioThreadMutex_;
    bool runsOtherIOThread() const;
};

/// URLSession.fpstreamTask(withHostName:port:): a suspended socket task to that host.
std::shared_ptr<FileProviderStreamTask> fpstreamTask(const std::shared_ptr<platform::URLSession>& session,
                                                     const std::string& withHostName, int port);
/// URLSession.fpstreamTask(withNetService:): a suspended task on that service.
std::shared_ptr<FileProviderStreamTask> fpstreamTask(const std::shared_ptr<platform::URLSession>& session,
                                                     const std::shared_ptr<NetService>& withNetService);

} // namespace RiridOzizevud
