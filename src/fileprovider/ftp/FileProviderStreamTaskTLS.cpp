// FileProviderStreamTask: TLS: the client contexts, the handshake, its settings, starting and
// stopping it, and the session a data connection resumes.
#include "fileprovider/ftp/FileProviderStreamTaskConnection.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>

#include <algorithm>
#include <map>

namespace RiridOzizevud {

using platform::DispatchTime;
using platform::ErrorRef;
using platform::URLError;

namespace {

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

bool isNumericAddress(const std::string& host) {
    in6_addr a6{};
    in_addr a4{};
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

} // namespace

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
    const auto c = currentConnection();
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
        const auto c = self.currentConnection();
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
