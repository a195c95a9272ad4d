#include "ostrane/sftp/NMSSHSession.hpp"

#include "ostrane/sftp/SSHCallWatch.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "platform/data/Base64.hpp"

#include <libssh/libssh.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace Ostrane {

namespace {

constexpr const char* preferredCiphers =
    "aes256-gcm@openssh.com,aes128-gcm@openssh.com,chacha20-poly1305@openssh.com,aes256-ctr,aes192-ctr,aes128-ctr";

std::string bareHost(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// The server's key in SSH wire form, as the known-hosts file keeps it.
std::optional<std::string> serverKeyBlob(ssh_session session) {
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK || !key) return std::nullopt;
    char* text = nullptr;
    const int rc = ssh_pki_export_pubkey_base64(key, &text);
    ssh_key_free(key);
    if (rc != SSH_OK || !text) return std::nullopt;
    const auto blob = platform::Base64::decode(text);
    ssh_string_free_char(text);
    if (!blob) return std::nullopt;
    return std::string(blob->begin(), blob->end());
}

}  // namespace

// --- Call -----------------------------------------------------------------------------------------

NMSSHSession::Call::Call(const NMSSHSession& session) : session_(session), guard_(session.mutex_) {
    renew();
}

NMSSHSession::Call::~Call() {
    if (session_.socket_ >= 0 && SSHCallWatch::shared().disarm(&session_)) {
        session_.timedOut_ = true;
        session_.markDeadLocked();
    }
}

void NMSSHSession::Call::renew() {
    if (session_.socket_ < 0) return;
    SSHCallWatch::shared().arm(&session_, session_.socket_,
                               SSHCallWatch::Clock::now() + std::chrono::milliseconds(session_.timeoutMs_.load()));
}

bool NMSSHSession::Call::usable() const {
    // The watch was armed before this check: an end of the process that began after it cuts us.
    return session_.session_ && session_.connected_.load() && !SSHCallWatch::shared().ending();
}

bool NMSSHSession::Call::transportFailed() const {
    if (!session_.session_ || session_.timedOut_ || SSHCallWatch::shared().ending()) return true;
    return ssh_get_error_code(session_.session_) == SSH_FATAL || !ssh_is_connected(session_.session_);
}

void NMSSHSession::Call::noteFailure(const std::string& context) {
    std::string text;
    if (SSHCallWatch::shared().ending()) {
        text = "The process is ending";
    } else if (session_.timedOut_ || SSHCallWatch::shared().wasCut(&session_)) {
        session_.timedOut_ = true;
        text = "No answer from " + session_.whereText() + " within " +
               std::to_string(session_.timeoutMs_.load()) + " ms";
    } else if (!session_.session_) {
        text = "Not connected";
    } else {
        const char* message = ssh_get_error(session_.session_);
        text = message && *message ? message : "Unknown SSH error";
    }
    const_cast<NMSSHSession&>(session_).setLastError(context.empty() ? text : context + ": " + text);
    if (transportFailed()) session_.markDeadLocked();
}

// --- NMSSHSession ----------------------------------------------------------------------------------

std::shared_ptr<NMSSHSession> NMSSHSession::make(std::string host, std::string username) {
    return std::make_shared<NMSSHSession>(std::move(host), std::nullopt, std::move(username));
}

std::shared_ptr<NMSSHSession> NMSSHSession::make(std::string host, std::int64_t port, std::string username) {
    return std::make_shared<NMSSHSession>(std::move(host), port, std::move(username));
}

NMSSHSession::NMSSHSession(std::string host, std::optional<std::int64_t> port, std::string username)
    : host_(std::move(host)), port_(port), username_(std::move(username)) {
    SSHCallWatch::shared();
}

NMSSHSession::~NMSSHSession() {
    std::lock_guard guard(mutex_);
    closeLocked(connected_.load());
}

bool NMSSHSession::processEnding() { return SSHCallWatch::shared().ending(); }

void NMSSHSession::abandon(void* libsshObject) { SSHCallWatch::shared().abandon(libsshObject); }

void NMSSHSession::setTimeout(std::chrono::milliseconds timeout) {
    if (timeout.count() < 1) timeout = std::chrono::milliseconds(1);
    timeoutMs_.store(timeout.count());
}

void NMSSHSession::setKnownHostsFile(std::string file) {
    std::lock_guard guard(mutex_);
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

std::string NMSSHSession::whereText() const { return SSHKnownHosts::entryName(host_, static_cast<int>(port())); }

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
            int ready = 0;
            do {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
    {
        std::lock_guard guard(mutex_);
        if (used_) {
            setLastError(std::string("The session was used before; a new connection needs a new session"));
            return false;
        }
        used_ = true;
        setLastError(std::nullopt);
        if (SSHCallWatch::shared().ending()) {
            setLastError(std::string("The process is ending"));
            return false;
        }
        std::string error;
        if (!openSocket(error)) {
            setLastError(error);
            return false;
        }
        session_ = ssh_new();
        // libssh closes the descriptor it is given; the watch and markDead() use this duplicate.
        const int libsshSocket = session_ ? ::fcntl(socket_, F_DUPFD_CLOEXEC, 0) : -1;
        if (libsshSocket < 0) {
            setLastError(std::string("Cannot start an SSH session"));
            closeLocked(false);
            return false;
        }
        const std::string host = bareHost(host_);
        const bool noConfig = false;
        const long seconds = std::max<long>(1, static_cast<long>((timeoutMs_.load() + 999) / 1000));
        // The user's ~/.ssh/config must not change where or how this record connects.
        ssh_options_set(session_, SSH_OPTIONS_PROCESS_CONFIG, &noConfig);
        ssh_options_set(session_, SSH_OPTIONS_HOST, host.c_str());
        ssh_options_set(session_, SSH_OPTIONS_USER, username_.c_str());
        ssh_options_set(session_, SSH_OPTIONS_FD, &libsshSocket);
        ssh_options_set(session_, SSH_OPTIONS_TIMEOUT, &seconds);
        // AES-GCM first: with the processors' AES instructions it costs both ends far less per
        // byte than ChaCha20-Poly1305, libssh's first choice; the rest is libssh's own list.
        ssh_options_set(session_, SSH_OPTIONS_CIPHERS_C_S, preferredCiphers);
        ssh_options_set(session_, SSH_OPTIONS_CIPHERS_S_C, preferredCiphers);
    }
    Call call(*this);
    if (!call.raw()) return false;
    if (ssh_connect(call.raw()) != SSH_OK) {
        call.noteFailure("SSH handshake with " + whereText() + " failed");
        closeLocked(false);
        return false;
    }
    const auto key = serverKeyBlob(call.raw());
    if (!key || key->empty()) {
        setLastError("The server " + whereText() + " showed no host key");
        closeLocked(false);
        return false;
    }
    const std::string file = knownHostsChosen_ ? knownHostsFile_ : SSHKnownHosts::path();
    const auto verdict = SSHKnownHosts::check(file, host_, static_cast<int>(port()), *key);
    if (!verdict.accepted()) {
        setLastError(verdict.message);
        closeLocked(false);
        return false;
    }
    connected_.store(true);
    return true;
}

bool NMSSHSession::authenticateByPassword(const std::string& password) {
    Call call(*this);
    if (!call.usable()) {
        setLastError(std::string(SSHCallWatch::shared().ending() ? "The process is ending" : "Not connected"));
        return false;
    }
    if (password.find('\0') != std::string::npos || username_.find('\0') != std::string::npos) {
        setLastError(std::string("User name or password holds a NUL character"));
        return false;
    }
    const int rc = ssh_userauth_password(call.raw(), nullptr, password.c_str());
    if (rc == SSH_AUTH_SUCCESS) {
        authorized_.store(true);
        return true;
    }
    if (rc == SSH_AUTH_ERROR) {
        call.noteFailure("Authentication of " + username_ + " at " + whereText() + " failed");
    } else {
        setLastError("Authentication of " + username_ + " at " + whereText() + " failed: the password was refused");
    }
    return false;
}

void NMSSHSession::disconnect() {
    std::lock_guard guard(mutex_);
    closeLocked(connected_.load());
}

void NMSSHSession::markDeadLocked() const {
    connected_.store(false);
    // Every later read or write on the socket fails at once instead of waiting for a time-out.
    if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
}

void NMSSHSession::closeLocked(bool sayGoodbye) {
    if (session_) {
        if (SSHCallWatch::shared().ending()) {
            // Freeing needs the crypto library that the end of the process tears down.
            SSHCallWatch::shared().abandon(std::exchange(session_, nullptr));
        } else {
            if (socket_ >= 0) {
                SSHCallWatch::shared().arm(this, socket_, SSHCallWatch::Clock::now() +
                                                              std::min(timeout(), std::chrono::milliseconds(2000)));
            }
            if (sayGoodbye) {
                ssh_disconnect(session_);
            } else if (socket_ >= 0) {
                ::shutdown(socket_, SHUT_RDWR);
            }
            ssh_free(std::exchange(session_, nullptr));
            SSHCallWatch::shared().disarm(this);
        }
    }
    if (socket_ >= 0) ::close(std::exchange(socket_, -1));
    connected_.store(false);
    authorized_.store(false);
}

}  // namespace Ostrane
