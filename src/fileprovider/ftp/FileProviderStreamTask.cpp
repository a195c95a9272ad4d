#include "fileprovider/ftp/FileProviderStreamTask.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>

namespace RiridOzizevud {

using platform::Data;
using platform::DispatchTime;
using platform::ErrorRef;
using platform::URLError;

void FPSStreamDelegate::streamTaskDidBecomeStreams(const SessionRef&, const StreamTaskRef&) {}
void FPSStreamDelegate::readClosedFor(const SessionRef&, const StreamTaskRef&) {}
void FPSStreamDelegate::writeClosedFor(const SessionRef&, const StreamTaskRef&) {}
void FPSStreamDelegate::streamTaskDidCompleteWithError(const SessionRef&, const StreamTaskRef&, const ErrorRef&) {}

namespace {

std::mutex taskIdentifierLock;
int64_t lastTaskIdentifier = FileProviderStreamTask::firstTaskIdentifierBase;

int64_t nextTaskIdentifier() {
    std::lock_guard lock(taskIdentifierLock);
    return ++lastTaskIdentifier;
}

// One client context per trust file, kept for the life of the process, so a session taken from one
// connection can be resumed by another made with the same settings.
struct ClientContexts {
    std::map<std::string, SSL_CTX*> contexts;
    ~ClientContexts() {
        for (auto& [key, ctx] : contexts) SSL_CTX_free(ctx);
    }
};

SSL_CTX* clientContext(const std::optional<std::string>& caFile) {
    static std::mutex mutex;
    static ClientContexts all;
    auto& contexts = all.contexts;
    const std::string key = caFile.value_or("");
    std::lock_guard lock(mutex);
    auto found = contexts.find(key);
    if (found != contexts.end()) return found->second;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    if (caFile)
        SSL_CTX_load_verify_locations(ctx, caFile->c_str(), nullptr);
    else
        SSL_CTX_set_default_verify_paths(ctx);
    contexts.emplace(key, ctx);
    return ctx;
}

// The numeric text of a socket address ("" for another family).
std::string addressText(const sockaddr_storage& storage) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (storage.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
    else if (storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text, sizeof text);
    return text;
}

bool isNumericAddress(const std::string& host) {
    in6_addr a6{};
    in_addr a4{};
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

struct TLSConfig {
    ServerTrustPolicy policy = ServerTrustPolicy::performDefaultEvaluation(true);
    SSLPeerID peer;
    std::string peerName;
    std::optional<std::string> caFile;
};

// Milliseconds until `deadline`, at most `cap`.
int pollSlice(DispatchTime deadline, int cap) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.uptime - DispatchTime::now().uptime);
    if (left.count() <= 0) return 0;
    return static_cast<int>(std::min<long long>(left.count(), cap));
}

} // namespace

// --- The connection and its thread --------------------------------------------------------------

struct FileProviderStreamTask::Connection {
    enum class Phase { connecting, ready, failed };
    enum class InputStatus { open, atEnd, closed, error };

    Connection() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Connection() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
        if (listenFd >= 0) ::close(listenFd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    // The socket and its TLS state: used by the thread for reading, by the queue for writing and
    // for switching TLS on and off.
    std::mutex ioMutex;
    int fd = -1;
    int listenFd = -1;
    SSL* ssl = nullptr;
    const int wakeFd;

    // dataReceivedLock: the receive buffer and the connection's status.
    std::mutex m;
    std::condition_variable changed;
    Phase phase = Phase::connecting;
    Data received;
    bool endEncountered = false;
    InputStatus input = InputStatus::open;
    bool outputClosed = false;
    ErrorRef inputError;
    ErrorRef outputError;
    bool stopping = false;
    bool tlsOn = false;
    bool tlsPending = false;
    bool cancelled = false;
    bool threadEnded = false;
    std::string localAddress;
    std::string peerAddress;

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakeFd, &one, sizeof one);
    }

    void fail(ErrorRef error) {
        {
            std::lock_guard lock(m);
            if (!inputError) inputError = error;
            if (!outputError) outputError = error;
            input = InputStatus::error;
            phase = Phase::failed;
        }
        changed.notify_all();
    }

    void stop() {
        {
            std::lock_guard lock(m);
            stopping = true;
        }
        changed.notify_all();
        wake();
    }

    bool isStopping() {
        std::lock_guard lock(m);
        return stopping;
    }

    // The thread is detached, so that a process may end while a connection is still closing; this
    // stands in for joining it before the socket goes.
    void waitForThreadEnd() {
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return threadEnded; });
    }

    // Waits for `events` on the socket (or a wake-up) for at most `ms`.
    int waitSocket(int which, short events, int ms) {
        pollfd fds[2] = {{which, events, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(fds, 2, ms);
        if (r > 0 && (fds[1].revents & POLLIN)) {
            uint64_t value;
            [[maybe_unused]] auto ignored = ::read(wakeFd, &value, sizeof value);
        }
        return r > 0 ? fds[0].revents : 0;
    }

    ErrorRef connectTo(const std::string& host, int port, DispatchTime deadline);
    ErrorRef acceptFrom(int listening, const std::string& expectedPeer, DispatchTime deadline);
    ErrorRef handshake(const TLSConfig& config, DispatchTime deadline);
    void recordLocalAddress();
};

ErrorRef FileProviderStreamTask::Connection::connectTo(const std::string& host, int port, DispatchTime deadline) {
    if (port < 0 || port > 65535) return URLError::make(URLError::badURL);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (host.empty() || ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return URLError::make(URLError::cannotFindHost);
    ErrorRef last = URLError::make(URLError::cannotConnectToHost);
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) continue;
        int rc = ::connect(s, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            for (;;) {
                if (isStopping()) {
                    ::close(s);
                    ::freeaddrinfo(found);
                    return URLError::make(URLError::cancelled);
                }
                const int slice = pollSlice(deadline, 100);
                const int revents = waitSocket(s, POLLOUT, slice);
                if (revents) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
                    rc = err == 0 ? 0 : -1;
                    errno = err;
                    break;
                }
                if (slice == 0) {
                    ::close(s);
                    ::freeaddrinfo(found);
                    return URLError::make(URLError::timedOut);
                }
            }
        }
        if (rc == 0) {
            const int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard io(ioMutex);
            fd = s;
            ::freeaddrinfo(found);
            return nullptr;
        }
        last = platform::POSIXError::make(errno ? errno : ECONNREFUSED);
        ::close(s);
    }
    ::freeaddrinfo(found);
    return last;
}

ErrorRef FileProviderStreamTask::Connection::acceptFrom(int listening, const std::string& expectedPeer, DispatchTime deadline) {
    if (listening < 0) return URLError::make(URLError::cannotConnectToHost);
    {
        std::lock_guard io(ioMutex);
        listenFd = listening;
    }
    for (;;) {
        if (isStopping()) return URLError::make(URLError::cancelled);
        const int slice = pollSlice(deadline, 100);
        if (waitSocket(listening, POLLIN, slice) & POLLIN) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int s = ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (s >= 0 && !expectedPeer.empty() && addressText(peer) != expectedPeer) {
                // Only the server may deliver the data; anyone else who finds the port is turned away.
                ::close(s);
                if (slice == 0) return URLError::make(URLError::timedOut);
                continue;
            }
            if (s >= 0) {
                std::lock_guard io(ioMutex);
                fd = s;
                ::close(listenFd);
                listenFd = -1;
                return nullptr;
            }
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) return platform::POSIXError::fromErrno();
        }
        if (slice == 0) return URLError::make(URLError::timedOut);
    }
}

void FileProviderStreamTask::Connection::recordLocalAddress() {
    sockaddr_storage local{}, peer{};
    socklen_t length = sizeof local;
    const std::string localText = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 ? addressText(local) : "";
    length = sizeof peer;
    const std::string peerText = ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? addressText(peer) : "";
    std::lock_guard lock(m);
    localAddress = localText;
    peerAddress = peerText;
}

ErrorRef FileProviderStreamTask::Connection::handshake(const TLSConfig& config, DispatchTime deadline) {
    std::lock_guard io(ioMutex);
    if (ssl) return nullptr;
    if (fd < 0) return URLError::make(URLError::cancelled);
    SSL_CTX* ctx = clientContext(config.caFile);
    SSL* s = ctx ? SSL_new(ctx) : nullptr;
    if (!s) return URLError::make(URLError::secureConnectionFailed);
    SSL_set_fd(s, fd);
    SSL_set_mode(s, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A stream task checks the host name whichever form of the default evaluation it was given.
    const ServerTrustPolicy effective = config.policy.kind() == ServerTrustPolicy::Case::disableEvaluation
                                            ? config.policy
                                            : ServerTrustPolicy::performDefaultEvaluation(true);
    effective.apply(s, config.peerName);
    if (!config.peerName.empty() && !isNumericAddress(config.peerName))
        SSL_set_tlsext_host_name(s, config.peerName.c_str());
    if (config.peer.peerID && config.peer.peerIDLen > 0) SSL_set_session(s, config.peer.peerID.get());
    ERR_clear_error();
    for (;;) {
        const int rc = SSL_connect(s);
        if (rc == 1) break;
        const int err = SSL_get_error(s, rc);
        short events = 0;
        if (err == SSL_ERROR_WANT_READ) events = POLLIN;
        else if (err == SSL_ERROR_WANT_WRITE) events = POLLOUT;
        if (events == 0 || isStopping()) {
            const bool untrusted = effective.kind() != ServerTrustPolicy::Case::disableEvaluation &&
                                   SSL_get_verify_result(s) != X509_V_OK;
            SSL_free(s);
            ERR_clear_error();
            if (isStopping()) return URLError::make(URLError::cancelled);
            return URLError::make(untrusted ? URLError::serverCertificateUntrusted : URLError::secureConnectionFailed);
        }
        const int slice = pollSlice(deadline, 100);
        pollfd p{fd, events, 0};
        ::poll(&p, 1, slice);
        if (slice == 0) {
            SSL_free(s);
            return URLError::make(URLError::timedOut);
        }
    }
    if (effective.kind() != ServerTrustPolicy::Case::disableEvaluation && SSL_get_verify_result(s) != X509_V_OK) {
        SSL_free(s);
        return URLError::make(URLError::serverCertificateUntrusted);
    }
    ssl = s;
    std::lock_guard lock(m);
    tlsOn = true;
    return nullptr;
}

namespace {

// The connection's thread: connects (or accepts), runs the first handshake when asked, then reads.
void serveConnection(std::shared_ptr<FileProviderStreamTask::Connection> c,
                     std::weak_ptr<FileProviderStreamTask> weakTask, std::optional<std::pair<std::string, int>> host,
                     int listening, std::string expectedPeer, double timeout, std::optional<TLSConfig> tls,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, size_t)> received,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, ErrorRef)> failed) {
    using Connection = FileProviderStreamTask::Connection;
    struct EndSignal {
        Connection& c;
        ~EndSignal() {
            {
                std::lock_guard lock(c.m);
                c.threadEnded = true;
            }
            c.changed.notify_all();
        }
    } endSignal{*c};
    const DispatchTime deadline = DispatchTime::now() + timeout;
    ErrorRef error = host ? c->connectTo(host->first, host->second, deadline) : c->acceptFrom(listening, expectedPeer, deadline);
    if (!error) {
        c->recordLocalAddress();
        if (tls) {
            {
                std::lock_guard lock(c->m);
                c->tlsPending = true;
            }
            error = c->handshake(*tls, deadline);
            {
                std::lock_guard lock(c->m);
                c->tlsPending = false;
            }
        }
    }
    if (error) {
        c->fail(error);
        if (auto task = weakTask.lock()) failed(task, error);
        return;
    }
    {
        std::lock_guard lock(c->m);
        if (c->phase == Connection::Phase::connecting) c->phase = Connection::Phase::ready;
    }
    c->changed.notify_all();

    uint8_t buffer[2048];
    for (;;) {
        {
            std::unique_lock lock(c->m);
            if (c->stopping || c->input != Connection::InputStatus::open) return;
            // A reader that falls behind holds the connection back instead of the buffer growing
            // without end: what the peer sends waits in the socket.
            if (c->received.size() >= FileProviderStreamTask::receiveBufferLimit) {
                c->changed.wait_for(lock, std::chrono::milliseconds(100), [&] {
                    return c->received.size() < FileProviderStreamTask::receiveBufferLimit || c->stopping ||
                           c->input != Connection::InputStatus::open;
                });
                continue;
            }
        }
        c->waitSocket(c->fd, POLLIN, 100);
        Data chunk;
        bool atEnd = false;
        ErrorRef readError;
        {
            std::lock_guard io(c->ioMutex);
            for (;;) {
                ssize_t n;
                if (c->ssl) {
                    ERR_clear_error();
                    const int rc = SSL_read(c->ssl, buffer, sizeof buffer);
                    if (rc > 0) {
                        n = rc;
                    } else {
                        const int err = SSL_get_error(c->ssl, rc);
                        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) break;
                        if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)) {
                            atEnd = true;
                        } else {
                            readError = URLError::make(URLError::secureConnectionFailed);
                        }
                        ERR_clear_error();
                        break;
                    }
                } else {
                    n = ::recv(c->fd, buffer, sizeof buffer, 0);
                    if (n == 0) {
                        atEnd = true;
                        break;
                    }
                    if (n < 0) {
                        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                        readError = platform::POSIXError::fromErrno();
                        break;
                    }
                }
                chunk.insert(chunk.end(), buffer, buffer + n);
                if (chunk.size() >= FileProviderStreamTask::receiveBufferLimit) break;
            }
        }
        if (!chunk.empty() || atEnd || readError) {
            // Counted before a reader can take the bytes, so a reader never sees them uncounted.
            auto task = weakTask.lock();
            if (task && !chunk.empty()) received(task, chunk.size());
            {
                std::lock_guard lock(c->m);
                c->received.insert(c->received.end(), chunk.begin(), chunk.end());
                if (readError) {
                    c->input = Connection::InputStatus::error;
                    if (!c->inputError) c->inputError = readError;
                } else if (atEnd) {
                    c->input = Connection::InputStatus::atEnd;
                    c->endEncountered = true;
                }
            }
            c->changed.notify_all();
            if (task && readError) failed(task, readError);
        }
        if (atEnd || readError) return;
    }
}

} // namespace

// --- The task -----------------------------------------------------------------------------------

std::shared_ptr<FileProviderStreamTask> fpstreamTask(const std::shared_ptr<platform::URLSession>& session,
                                                     const std::string& withHostName, int port) {
    return FileProviderStreamTask::make(session, withHostName, port);
}

std::shared_ptr<FileProviderStreamTask> fpstreamTask(const std::shared_ptr<platform::URLSession>& session,
                                                     const std::shared_ptr<NetService>& withNetService) {
    return FileProviderStreamTask::make(session, withNetService);
}

std::shared_ptr<FileProviderStreamTask> FileProviderStreamTask::make(std::shared_ptr<platform::URLSession> session,
                                                                     std::string hostName, int port) {
    return std::shared_ptr<FileProviderStreamTask>(
        new FileProviderStreamTask(std::move(session), std::make_pair(std::move(hostName), port), nullptr));
}

std::shared_ptr<FileProviderStreamTask> FileProviderStreamTask::make(std::shared_ptr<platform::URLSession> session,
                                                                     std::shared_ptr<NetService> service) {
    return std::shared_ptr<FileProviderStreamTask>(
        new FileProviderStreamTask(std::move(session), std::nullopt, std::move(service)));
}

FileProviderStreamTask::FileProviderStreamTask(std::shared_ptr<platform::URLSession> session,
                                               std::optional<std::pair<std::string, int>> host,
                                               std::shared_ptr<NetService> service)
    : session_(std::move(session)),
      host_(std::move(host)),
      service_(std::move(service)),
      taskIdentifier_(nextTaskIdentifier()),
      dispatch_queue_(platform::DispatchQueue::make("FileProviderStreamTask")) {
    dispatch_queue_->suspend();
}

FileProviderStreamTask::~FileProviderStreamTask() {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (c) c->stop();
    if (c && runsOtherIOThread()) c->waitForThreadEnd();
    // A queue left suspended is released with its items; their drop handlers complete them.
}

bool FileProviderStreamTask::runsOtherIOThread() const {
    std::lock_guard lock(ioThreadMutex_);
    return ioThreadId_ != std::thread::id() && ioThreadId_ != std::this_thread::get_id();
}

double FileProviderStreamTask::requestTimeout() const {
    const double t = session_ ? session_->configuration().timeoutIntervalForRequest : 60.0;
    return t > 0 ? t : 60.0;
}

std::shared_ptr<FPSStreamDelegate> FileProviderStreamTask::streamDelegate() const {
    if (!session_) return nullptr;
    return std::dynamic_pointer_cast<FPSStreamDelegate>(session_->delegate());
}

std::optional<std::string> FileProviderStreamTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return taskDescription_;
}

void FileProviderStreamTask::setTaskDescription(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    taskDescription_ = std::move(description);
}

ErrorRef FileProviderStreamTask::error() const {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return nullptr;
    std::lock_guard lock(c->m);
    return c->inputError ? c->inputError : c->outputError;
}

int64_t FileProviderStreamTask::countOfBytesExpectedToSend() const {
    std::lock_guard lock(dataToBeSentLock_);
    return static_cast<int64_t>(dataToBeSent_.size()) + countOfBytesSent_.load();
}

int64_t FileProviderStreamTask::countOfBytesExpectedToReceive() const {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return 0;
    std::lock_guard lock(c->m);
    return static_cast<int64_t>(c->received.size());
}

StreamSocketSecurityLevel FileProviderStreamTask::securityLevel() const {
    std::lock_guard lock(mutex_);
    return securityLevel_;
}
void FileProviderStreamTask::setSecurityLevel(StreamSocketSecurityLevel level) {
    std::lock_guard lock(mutex_);
    securityLevel_ = level;
}
ServerTrustPolicy FileProviderStreamTask::serverTrustPolicy() const {
    std::lock_guard lock(mutex_);
    return serverTrustPolicy_;
}
void FileProviderStreamTask::setServerTrustPolicy(ServerTrustPolicy policy) {
    std::lock_guard lock(mutex_);
    serverTrustPolicy_ = policy;
}
SSLPeerID FileProviderStreamTask::peerID() const {
    std::lock_guard lock(mutex_);
    return peerID_;
}
void FileProviderStreamTask::setPeerID(SSLPeerID peerID) {
    std::lock_guard lock(mutex_);
    peerID_ = std::move(peerID);
}
std::optional<std::string> FileProviderStreamTask::tlsPeerName() const {
    std::lock_guard lock(mutex_);
    return tlsPeerName_;
}
void FileProviderStreamTask::setTlsPeerName(std::optional<std::string> name) {
    std::lock_guard lock(mutex_);
    tlsPeerName_ = std::move(name);
}

SSLPeerID FileProviderStreamTask::getSSLPeerID() const {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return {};
    std::lock_guard io(c->ioMutex);
    if (!c->ssl) return {};
    SSL_SESSION* session = SSL_get1_session(c->ssl);
    if (!session) return {};
    unsigned int length = 0;
    SSL_SESSION_get_id(session, &length);
    // TLS 1.3 tickets carry no session identifier; the session still resumes.
    return SSLPeerID{std::shared_ptr<SSL_SESSION>(session, SSL_SESSION_free), std::max<int64_t>(length, 1)};
}

std::string FileProviderStreamTask::peerAddress() const {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return "";
    std::lock_guard lock(c->m);
    return c->peerAddress;
}

std::string FileProviderStreamTask::localAddress() const {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return "";
    std::lock_guard lock(c->m);
    return c->localAddress;
}

void FileProviderStreamTask::setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value) {
    const int64_t old = counter.load();
    const platform::ValueDictionary change{{NSKeyValueChangeOldKey, platform::Value(old)},
                                           {NSKeyValueChangeNewKey, platform::Value(value)}};
    auto notify = [&] {
        std::vector<ObserverRecord> records;
        {
            std::lock_guard lock(observersMutex_);
            for (const auto& r : observers_)
                if (r.keyPath == keyPath) records.push_back(r);
        }
        auto self = shared_from_this();
        for (const auto& r : records) r.observer->observeValue(keyPath, self, change, r.context);
    };
    notify();
    counter.store(value);
    notify();
}

void FileProviderStreamTask::addObserver(std::shared_ptr<StreamTaskObserver> observer, const std::string& forKeyPath,
                                         int, void* context) {
    static const char* const observed[] = {"countOfBytesSent", "countOfBytesReceived", "countOfBytesExpectedToSend",
                                           "countOfBytesExpectedToReceive"};
    if (!observer) return;
    if (std::find(std::begin(observed), std::end(observed), forKeyPath) == std::end(observed)) return;
    std::lock_guard lock(observersMutex_);
    observers_.push_back({forKeyPath, std::move(observer), context});
}

void FileProviderStreamTask::removeObserver(const std::shared_ptr<StreamTaskObserver>&, const std::string& forKeyPath) {
    std::lock_guard lock(observersMutex_);
    std::erase_if(observers_, [&](const ObserverRecord& r) { return r.keyPath == forKeyPath; });
}

void FileProviderStreamTask::removeObserver(const std::shared_ptr<StreamTaskObserver>&, const std::string& forKeyPath,
                                            void* context) {
    std::lock_guard lock(observersMutex_);
    std::erase_if(observers_, [&](const ObserverRecord& r) { return r.keyPath == forKeyPath && r.context == context; });
}

namespace {
// Calls `dropped` when the item it travels with is destroyed without having run.
struct DropGuard {
    std::function<void()> dropped;
    bool ran = false;
    ~DropGuard() {
        if (!ran && dropped) dropped();
    }
};
} // namespace

void FileProviderStreamTask::enqueue(std::function<void(FileProviderStreamTask&)> work, std::function<void()> dropped) {
    auto guard = std::make_shared<DropGuard>();
    guard->dropped = std::move(dropped);
    std::weak_ptr<FileProviderStreamTask> weak = weak_from_this();
    dispatch_queue_->async([weak, guard, work = std::move(work)] {
        auto self = weak.lock();
        if (!self) return;
        guard->ran = true;
        work(*self);
    });
}

void FileProviderStreamTask::resume() {
    std::shared_ptr<Connection> made;
    bool resumeQueue = false;
    {
        std::lock_guard lock(mutex_);
        const State s = state_.load();
        if (!started_ && s != State::canceling && s != State::completed) {
            started_ = true;
            made = std::make_shared<Connection>();
            connection_ = made;
        }
        if (queueSuspended_) {
            queueSuspended_ = false;
            resumeQueue = true;
        }
        if (s == State::suspended) state_.store(State::running);
    }
    if (made) {
        std::optional<TLSConfig> tls;
        if (isSecure_.load()) {
            std::lock_guard lock(mutex_);
            tls = TLSConfig{serverTrustPolicy_, peerID_, tlsPeerName_.value_or(host_ ? host_->first : ""),
                            session_ ? session_->configuration().tlsCAFile : std::nullopt};
        }
        const int listening = service_ ? service_->takeListeningSocket() : -1;
        std::weak_ptr<FileProviderStreamTask> weak = weak_from_this();
        auto onReceived = [](const std::shared_ptr<FileProviderStreamTask>& task, size_t n) {
            task->setCounter(task->countOfBytesReceived_, "countOfBytesReceived",
                             task->countOfBytesReceived_.load() + static_cast<int64_t>(n));
        };
        auto onFailed = [](const std::shared_ptr<FileProviderStreamTask>& task, ErrorRef error) {
            if (auto d = task->streamDelegate()) d->streamTaskDidCompleteWithError(task->session_, task, error);
        };
        // The delegate hears of the streams before anything can happen on them.
        if (auto d = streamDelegate()) d->streamTaskDidBecomeStreams(session_, shared_from_this());
        {
            std::lock_guard lock(ioThreadMutex_);
            std::thread thread(serveConnection, made, weak, host_, listening,
                               service_ ? service_->expectedPeerAddress().value_or("") : std::string(), requestTimeout(),
                               tls, onReceived, onFailed);
            ioThreadId_ = thread.get_id();
            thread.detach();
        }
    }
    if (resumeQueue) dispatch_queue_->resume();
}

void FileProviderStreamTask::suspend() {
    std::lock_guard lock(mutex_);
    if (state_.load() != State::running) return;
    state_.store(State::suspended);
    if (!queueSuspended_) {
        queueSuspended_ = true;
        dispatch_queue_->suspend();
    }
}

void FileProviderStreamTask::cancel() {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        const State s = state_.load();
        if (s == State::canceling || s == State::completed) return;
        state_.store(State::canceling);
        c = connection_;
    }
    if (c) {
        {
            std::lock_guard lock(c->m);
            c->cancelled = true;
        }
        c->changed.notify_all();
    }
    enqueue([](FileProviderStreamTask& self) {
        self.closeStreams();
        self.state_.store(State::completed);
        self.setCounter(self.countOfBytesSent_, "countOfBytesSent", 0);
        self.setCounter(self.countOfBytesReceived_, "countOfBytesReceived", 0);
    });
}

void FileProviderStreamTask::closeStreams() {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        peerID_ = {};
        c = connection_;
    }
    if (!c) return;
    c->stop();
    if (runsOtherIOThread()) c->waitForThreadEnd();
    {
        std::lock_guard io(c->ioMutex);
        if (c->ssl) {
            SSL_free(c->ssl);
            c->ssl = nullptr;
        }
        if (c->fd >= 0) ::close(c->fd);
        c->fd = -1;
    }
    {
        std::lock_guard lock(c->m);
        if (c->input == Connection::InputStatus::open || c->input == Connection::InputStatus::atEnd)
            c->input = Connection::InputStatus::closed;
        c->outputClosed = true;
    }
    c->changed.notify_all();
}

void FileProviderStreamTask::readData(int64_t minLength, int64_t maxLength, double timeout,
                                      ReadCompletionHandler completionHandler) {
    const DispatchTime expiry = DispatchTime::now() + timeout;
    auto shared = std::make_shared<ReadCompletionHandler>(std::move(completionHandler));
    enqueue([=](FileProviderStreamTask& self) { self.performRead(minLength, maxLength, expiry, *shared); },
            [shared] {
                if (*shared) (*shared)(std::nullopt, false, URLError::make(URLError::cancelled));
            });
}

void FileProviderStreamTask::performRead(int64_t minLength, int64_t maxLength, DispatchTime expiry,
                                         const ReadCompletionHandler& completionHandler) {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) {
        if (completionHandler) completionHandler(std::nullopt, false, URLError::make(URLError::cancelled));
        return;
    }
    std::unique_lock lock(c->m);
    bool timedOut = false;
    for (;;) {
        const size_t n = c->received.size();
        if (n > 0 && (timedOut || static_cast<int64_t>(n) >= minLength)) break;
        if (n == 0 && timedOut) break;
        if (c->endEncountered) break;
        // The end was handed out before: nothing more can come, so the answer is ready now.
        if (n == 0 && c->input == Connection::InputStatus::atEnd) break;
        // Bytes that arrived before an error are handed out first; the error comes with the next read.
        if (c->input == Connection::InputStatus::error || c->input == Connection::InputStatus::closed || c->cancelled) {
            if (n > 0) break;
            const bool atEnd = c->input == Connection::InputStatus::atEnd;
            ErrorRef error = c->cancelled ? URLError::make(URLError::cancelled) : c->inputError;
            if (!error) error = URLError::make(URLError::cancelled);
            lock.unlock();
            if (completionHandler) completionHandler(std::nullopt, atEnd, error);
            return;
        }
        platform::waitUntil(c->changed, lock, expiry, [&] {
            return c->received.size() != n || c->endEncountered || c->cancelled ||
                   c->input == Connection::InputStatus::error || c->input == Connection::InputStatus::closed;
        });
        timedOut = !(DispatchTime::now() < expiry);
    }
    c->endEncountered = false;
    std::optional<Data> bytes;
    const size_t n = c->received.size();
    if (n > 0) {
        const size_t take = maxLength >= 0 && static_cast<uint64_t>(maxLength) < n ? static_cast<size_t>(maxLength) : n;
        bytes.emplace(c->received.begin(), c->received.begin() + static_cast<std::ptrdiff_t>(take));
        c->received.erase(c->received.begin(), c->received.begin() + static_cast<std::ptrdiff_t>(take));
    }
    const bool atEnd = c->input == Connection::InputStatus::atEnd && c->received.empty();
    ErrorRef error;
    if (!bytes) error = timedOut ? URLError::make(URLError::timedOut) : c->inputError;
    lock.unlock();
    // The connection's thread may be waiting for room.
    if (bytes) c->changed.notify_all();
    if (completionHandler) completionHandler(std::move(bytes), atEnd, error);
}

void FileProviderStreamTask::write(const Data& data, double timeout, WriteCompletionHandler completionHandler) {
    const State s = state_.load();
    if (s == State::canceling || s == State::completed) {
        if (completionHandler) completionHandler(URLError::make(URLError::cancelled));
        return;
    }
    {
        std::lock_guard lock(dataToBeSentLock_);
        dataToBeSent_.insert(dataToBeSent_.end(), data.begin(), data.end());
    }
    auto shared = std::make_shared<WriteCompletionHandler>(std::move(completionHandler));
    enqueue(
        [timeout, shared](FileProviderStreamTask& self) {
            const int64_t result = self.flushSendBuffer(false, timeout);
            ErrorRef error;
            if (result < 0) {
                std::shared_ptr<Connection> c;
                {
                    std::lock_guard lock(self.mutex_);
                    c = self.connection_;
                }
                if (c) {
                    std::lock_guard lock(c->m);
                    error = c->outputError;
                }
                if (!error) {
                    const State s = self.state_.load();
                    error = URLError::make(s == State::canceling || s == State::completed ? URLError::cancelled
                                                                                          : URLError::cannotWriteToFile);
                }
            }
            if (*shared) (*shared)(error);
        },
        [shared] {
            if (*shared) (*shared)(URLError::make(URLError::cancelled));
        });
}

int64_t FileProviderStreamTask::flushSendBuffer(bool closeAfterWriting, double timeout) {
    std::shared_ptr<Connection> c;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
    }
    if (!c) return -1;
    std::lock_guard flushing(flushMutex_);
    // A time-out of 0 has no overall limit, but a connection that takes nothing for the request
    // time-out is given up.
    const bool idleLimit = timeout <= 0;
    const double limit = idleLimit ? requestTimeout() : timeout;
    DispatchTime expiry = DispatchTime::now() + limit;
    auto failWith = [&](ErrorRef error) {
        {
            std::lock_guard lock(c->m);
            if (!c->outputError) c->outputError = error;
        }
        // What cannot be sent any more is not kept for a later write to report as sent.
        std::lock_guard lock(dataToBeSentLock_);
        dataToBeSent_.clear();
        return int64_t{-1};
    };
    {
        std::unique_lock lock(c->m);
        platform::waitUntil(c->changed, lock, expiry, [&] {
            return c->phase != Connection::Phase::connecting || c->cancelled || c->stopping;
        });
        if (c->outputError) {
            lock.unlock();
            return failWith(c->outputError);
        }
        if (c->cancelled || c->stopping || c->outputClosed) {
            lock.unlock();
            return failWith(URLError::make(URLError::cancelled));
        }
        if (c->phase == Connection::Phase::connecting) {
            lock.unlock();
            return failWith(URLError::make(URLError::timedOut));
        }
    }
    int64_t total = 0;
    for (;;) {
        Data pending;
        {
            std::lock_guard lock(dataToBeSentLock_);
            if (dataToBeSent_.empty()) break;
            pending.assign(dataToBeSent_.begin(),
                           dataToBeSent_.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(dataToBeSent_.size(), 256 * 1024)));
        }
        ssize_t n = 0;
        short waitFor = POLLOUT;
        ErrorRef error;
        {
            std::lock_guard io(c->ioMutex);
            if (c->fd < 0) {
                error = URLError::make(URLError::cancelled);
            } else if (c->ssl) {
                ERR_clear_error();
                const int rc = SSL_write(c->ssl, pending.data(), static_cast<int>(pending.size()));
                if (rc > 0) {
                    n = rc;
                } else {
                    const int err = SSL_get_error(c->ssl, rc);
                    if (err == SSL_ERROR_WANT_WRITE) waitFor = POLLOUT;
                    else if (err == SSL_ERROR_WANT_READ) waitFor = POLLIN;
                    else error = URLError::make(URLError::secureConnectionFailed);
                    ERR_clear_error();
                }
            } else {
                n = ::send(c->fd, pending.data(), pending.size(), MSG_NOSIGNAL);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) n = 0;
                    else error = platform::POSIXError::fromErrno();
                }
            }
        }
        if (error) return failWith(error);
        if (n > 0) {
            {
                std::lock_guard lock(dataToBeSentLock_);
                dataToBeSent_.erase(dataToBeSent_.begin(), dataToBeSent_.begin() + n);
            }
            total += n;
            setCounter(countOfBytesSent_, "countOfBytesSent", countOfBytesSent_.load() + n);
            if (idleLimit) expiry = DispatchTime::now() + limit;
            continue;
        }
        const int slice = pollSlice(expiry, 100);
        if (slice == 0) return failWith(URLError::make(URLError::timedOut));
        {
            std::lock_guard lock(c->m);
            if (c->cancelled || c->stopping) return failWith(URLError::make(URLError::cancelled));
        }
        pollfd p{c->fd, waitFor, 0};
        ::poll(&p, 1, slice);
    }
    if (closeAfterWriting) {
        {
            std::lock_guard io(c->ioMutex);
            if (c->ssl) SSL_shutdown(c->ssl);
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_WR);
        }
        {
            std::lock_guard lock(c->m);
            c->outputClosed = true;
        }
        shouldCloseWrite_.store(true);
        if (auto d = streamDelegate()) d->writeClosedFor(session_, shared_from_this());
    }
    return total;
}

void FileProviderStreamTask::captureStreams() {
    {
        std::lock_guard lock(mutex_);
        if (!connection_) return;
    }
    enqueue([](FileProviderStreamTask& self) {
        self.flushSendBuffer(false, 0);
        if (auto d = self.streamDelegate()) d->streamTaskDidBecomeStreams(self.session_, self.shared_from_this());
    });
}

void FileProviderStreamTask::closeWrite() {
    enqueue([](FileProviderStreamTask& self) { self.flushSendBuffer(true, 0); });
}

void FileProviderStreamTask::closeRead(bool immediate) {
    {
        std::lock_guard lock(mutex_);
        if (!connection_) return;
    }
    enqueue([immediate](FileProviderStreamTask& self) {
        std::shared_ptr<Connection> c;
        {
            std::lock_guard lock(self.mutex_);
            c = self.connection_;
        }
        {
            std::unique_lock lock(c->m);
            if (!immediate)
                platform::waitUntil(c->changed, lock, DispatchTime::now() + self.requestTimeout(), [&] {
                    return c->input != Connection::InputStatus::open || c->cancelled || c->stopping;
                });
            if (c->input == Connection::InputStatus::open || c->input == Connection::InputStatus::atEnd)
                c->input = Connection::InputStatus::closed;
        }
        c->changed.notify_all();
        c->wake();
        {
            std::lock_guard io(c->ioMutex);
            if (c->fd >= 0) ::shutdown(c->fd, SHUT_RD);
        }
        if (auto d = self.streamDelegate()) d->readClosedFor(self.session_, self.shared_from_this());
    });
}

void FileProviderStreamTask::startSecureConnection() {
    isSecure_.store(true);
    std::shared_ptr<Connection> c;
    TLSConfig config;
    {
        std::lock_guard lock(mutex_);
        c = connection_;
        config = TLSConfig{serverTrustPolicy_, peerID_, tlsPeerName_.value_or(host_ ? host_->first : ""),
                           session_ ? session_->configuration().tlsCAFile : std::nullopt};
    }
    if (!c) return;  // resume starts TLS with the connection
    {
        std::lock_guard lock(c->m);
        if (c->tlsOn || c->tlsPending) return;
        c->tlsPending = true;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    enqueue(
        [c, config, done](FileProviderStreamTask& self) {
            const DispatchTime deadline = DispatchTime::now() + self.requestTimeout();
            ErrorRef error;
            {
                std::unique_lock lock(c->m);
                platform::waitUntil(c->changed, lock, deadline,
                                    [&] { return c->phase != Connection::Phase::connecting || c->stopping; });
                if (c->phase == Connection::Phase::connecting) error = URLError::make(URLError::timedOut);
            }
            if (!error && c->phase == Connection::Phase::ready) error = c->handshake(config, deadline);
            if (error) c->fail(error);
            {
                std::lock_guard lock(c->m);
                c->tlsPending = false;
                done->store(true);
            }
            c->changed.notify_all();
            if (error)
                if (auto d = self.streamDelegate()) d->streamTaskDidCompleteWithError(self.session_, self.shared_from_this(), error);
        },
        [c, done] {
            {
                std::lock_guard lock(c->m);
                c->tlsPending = false;
                done->store(true);
            }
            c->changed.notify_all();
        });
    // Off the task's queue the caller waits for the handshake; on it, the handshake runs next.
    if (!dispatch_queue_->isCurrent() && state_.load() == State::running) {
        std::unique_lock lock(c->m);
        platform::waitUntil(c->changed, lock, DispatchTime::now() + requestTimeout() + 1,
                            [&] { return done->load() || c->stopping; });
    }
}

void FileProviderStreamTask::stopSecureConnection() {
    isSecure_.store(false);
    enqueue([](FileProviderStreamTask& self) {
        std::shared_ptr<Connection> c;
        {
            std::lock_guard lock(self.mutex_);
            c = self.connection_;
        }
        if (!c) return;
        std::lock_guard io(c->ioMutex);
        if (!c->ssl) return;
        SSL_shutdown(c->ssl);
        SSL_free(c->ssl);
        c->ssl = nullptr;
        std::lock_guard lock(c->m);
        c->tlsOn = false;
    });
}

} // namespace RiridOzizevud
