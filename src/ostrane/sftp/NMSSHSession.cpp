#include "ostrane/sftp/NMSSHSession.hpp"

#include "ostrane/sftp/SSHKnownHosts.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace Ostrane {

// Every block libssh2 allocates for one session. libssh2 1.10 leaves some blocks behind when a
// connection dies under open handles (a handle whose close could not be sent is never freed); they
// go with the session.
struct NMSSHSession::Allocations {
    std::unordered_set<void*> live;
};

namespace {

using Allocations = NMSSHSession::Allocations;

LIBSSH2_ALLOC_FUNC(trackedAlloc) {
    void* block = std::malloc(count ? count : 1);
    if (block) static_cast<Allocations*>(*abstract)->live.insert(block);
    return block;
}

LIBSSH2_REALLOC_FUNC(trackedRealloc) {
    auto* allocations = static_cast<Allocations*>(*abstract);
    void* block = std::realloc(ptr, count ? count : 1);
    if (block) {
        if (ptr) allocations->live.erase(ptr);
        allocations->live.insert(block);
    }
    return block;
}

LIBSSH2_FREE_FUNC(trackedFree) {
    if (!ptr) return;
    static_cast<Allocations*>(*abstract)->live.erase(ptr);
    std::free(ptr);
}

void initLibrary() {
    static const int result = libssh2_init(0);
    (void)result;
}

bool isTransportFailure(int code) {
    switch (code) {
    case LIBSSH2_ERROR_SOCKET_NONE:
    case LIBSSH2_ERROR_BANNER_RECV:
    case LIBSSH2_ERROR_BANNER_SEND:
    case LIBSSH2_ERROR_INVALID_MAC:
    case LIBSSH2_ERROR_KEX_FAILURE:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_KEY_EXCHANGE_FAILURE:
    case LIBSSH2_ERROR_TIMEOUT:
    case LIBSSH2_ERROR_DECRYPT:
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_PROTO:
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_CHANNEL_EOF_SENT:
    case LIBSSH2_ERROR_SOCKET_TIMEOUT:
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_ENCRYPT:
    case LIBSSH2_ERROR_BAD_SOCKET:
        return true;
    default:
        return false;
    }
}

std::string bareHost(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

}  // namespace

std::shared_ptr<NMSSHSession> NMSSHSession::make(std::string host, std::string username) {
    return std::make_shared<NMSSHSession>(std::move(host), std::nullopt, std::move(username));
}

std::shared_ptr<NMSSHSession> NMSSHSession::make(std::string host, std::int64_t port, std::string username) {
    return std::make_shared<NMSSHSession>(std::move(host), port, std::move(username));
}

NMSSHSession::NMSSHSession(std::string host, std::optional<std::int64_t> port, std::string username)
    : host_(std::move(host)), port_(port), username_(std::move(username)) {
    initLibrary();
}

NMSSHSession::~NMSSHSession() {
    auto guard = lock();
    closeLocked(connected_.load());
}

void NMSSHSession::setTimeout(std::chrono::milliseconds timeout) {
    if (timeout.count() < 1) timeout = std::chrono::milliseconds(1);
    timeoutMs_.store(timeout.count());
    auto guard = lock();
    if (session_) libssh2_session_set_timeout(session_, static_cast<long>(timeout.count()));
}

void NMSSHSession::setKnownHostsFile(std::string file) {
    auto guard = lock();
    knownHostsFile_ = std::move(file);
    knownHostsChosen_ = true;
}

std::optional<std::string> NMSSHSession::lastError() const {
    std::lock_guard guard(errorMutex_);
    return lastError_;
}

void NMSSHSession::setLastError(std::optional<std::string> text) {
    std::lock_guard guard(errorMutex_);
    lastError_ = std::move(text);
}

bool NMSSHSession::openSocket(std::string& error) {
    const std::string where = host_ + ":" + std::to_string(port());
    if (port() < 1 || port() > 65535) {
        error = "Invalid port " + std::to_string(port());
        return false;
    }
    const std::string host = bareHost(host_);
    if (host.empty() || host.find('\0') != std::string::npos) {
        error = "Invalid host name";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port());
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "Cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout();
    int lastErrno = ECONNREFUSED;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            int ready = 0;
            do {
                ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            } while (ready < 0 && errno == EINTR);
            if (ready == 1) {
                int soError = 0;
                socklen_t length = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
                rc = soError == 0 ? 0 : -1;
                errno = soError;
            } else {
                rc = -1;
                errno = ready == 0 ? ETIMEDOUT : errno;
            }
        }
        if (rc == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            ::freeaddrinfo(found);
            socket_ = fd;
            return true;
        }
        lastErrno = errno;
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    ::freeaddrinfo(found);
    error = "Cannot connect to " + where + ": " + std::strerror(lastErrno);
    return false;
}

bool NMSSHSession::connect() {
    auto guard = lock();
    if (session_ || socket_ >= 0) {
        setLastError(std::string("The session was used before; a new connection needs a new session"));
        return false;
    }
    setLastError(std::nullopt);
    std::string error;
    if (!openSocket(error)) {
        setLastError(error);
        return false;
    }
    allocations_ = std::make_unique<Allocations>();
    session_ = libssh2_session_init_ex(trackedAlloc, trackedFree, trackedRealloc, allocations_.get());
    if (!session_) {
        setLastError(std::string("Cannot start an SSH session"));
        closeLocked(false);
        return false;
    }
    libssh2_session_set_blocking(session_, 1);
    libssh2_session_set_timeout(session_, static_cast<long>(timeoutMs_.load()));
    const std::string where = SSHKnownHosts::entryName(host_, static_cast<int>(port()));
    if (libssh2_session_handshake(session_, socket_) != 0) {
        noteFailure("SSH handshake with " + where + " failed");
        closeLocked(false);
        return false;
    }
    std::size_t keyLength = 0;
    int keyType = 0;
    const char* key = libssh2_session_hostkey(session_, &keyLength, &keyType);
    if (!key || keyLength == 0) {
        setLastError("The server " + where + " showed no host key");
        closeLocked(false);
        return false;
    }
    const std::string file = knownHostsChosen_ ? knownHostsFile_ : SSHKnownHosts::path();
    const auto verdict = SSHKnownHosts::check(file, host_, static_cast<int>(port()), std::string(key, keyLength));
    if (!verdict.accepted()) {
        setLastError(verdict.message);
        closeLocked(false);
        return false;
    }
    connected_.store(true);
    return true;
}

bool NMSSHSession::authenticateByPassword(const std::string& password) {
    auto guard = lock();
    if (!session_ || !connected_.load()) {
        setLastError(std::string("Not connected"));
        return false;
    }
    if (username_.size() > 65535 || password.size() > 65535) {
        setLastError(std::string("User name or password too long"));
        return false;
    }
    const int rc = libssh2_userauth_password_ex(session_, username_.data(), static_cast<unsigned>(username_.size()),
                                                password.data(), static_cast<unsigned>(password.size()), nullptr);
    if (rc != 0) {
        noteFailure();
        return false;
    }
    authorized_.store(true);
    return true;
}

void NMSSHSession::disconnect() {
    auto guard = lock();
    if (session_ && connected_.load()) {
        libssh2_session_set_timeout(session_, static_cast<long>(std::min<std::int64_t>(timeoutMs_.load(), 2000)));
        libssh2_session_disconnect(session_, "Goodbye");
    }
    markDead();
}

int NMSSHSession::noteFailure(const std::string& context) {
    if (!session_) {
        setLastError(context.empty() ? std::string("Not connected") : context);
        return LIBSSH2_ERROR_SOCKET_DISCONNECT;
    }
    char* message = nullptr;
    int length = 0;
    const int code = libssh2_session_last_error(session_, &message, &length, 0);
    std::string text = message && length > 0 ? std::string(message, static_cast<std::size_t>(length)) : std::string();
    if (text.empty()) text = code == 0 ? "Unknown error" : "libssh2 error " + std::to_string(code);
    setLastError(context.empty() ? text : context + ": " + text);
    if (isTransportFailure(code)) markDead();
    return code;
}

void NMSSHSession::markDead() {
    connected_.store(false);
    // Every later read or write on the socket fails at once instead of waiting for a time-out.
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

void NMSSHSession::closeLocked(bool sayGoodbye) {
    if (session_) {
        if (sayGoodbye) {
            libssh2_session_set_timeout(session_, static_cast<long>(std::min<std::int64_t>(timeoutMs_.load(), 2000)));
            libssh2_session_disconnect(session_, "Goodbye");
        } else if (socket_ >= 0) {
            ::shutdown(socket_, SHUT_RDWR);
        }
        libssh2_session_free(session_);
        session_ = nullptr;
    }
    if (allocations_) {
        for (void* block : allocations_->live) std::free(block);
        allocations_.reset();
    }
    if (socket_ >= 0) {
        ::close(socket_);
        socket_ = -1;
    }
    connected_.store(false);
    authorized_.store(false);
}

}  // namespace Ostrane
