#pragma once
// A loopback TCP peer for stream-task tests: listens on 127.0.0.1, takes one connection and talks
// to it with calls bounded by the hang limit, optionally over TLS with a certificate made for 127.0.0.1.
#include "support/ServerScript.hpp"
#include "support/Wait.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>

namespace ostrane_test {

/// A self-signed certificate for 127.0.0.1 in a fresh folder, removed with the object.
class TestCertificate {
public:
    TestCertificate() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrane-cert-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        std::string out;
        const int rc = runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                  "-addext subjectAltName=IP:127.0.0.1 -keyout " + shellQuote(key()) + " -out " +
                                      shellQuote(cert()),
                                  commandLimit(), &out);
        if (rc != 0) throw std::runtime_error("openssl req: " + out);
    }
    ~TestCertificate() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string cert() const { return (dir_ / "cert.pem").string(); }
    std::string key() const { return (dir_ / "key.pem").string(); }

    /// A server context with this certificate (TLS 1.2 or later).
    SSL_CTX* serverContext() const {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(ctx, cert().c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(ctx, key().c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char*>("ostrane"), 7);
        return ctx;
    }

private:
    std::filesystem::path dir_;
};

class LoopbackPeer {
public:
    LoopbackPeer() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 4) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("loopback listen");
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackPeer() {
        closeConnection();
        if (listenFd_ >= 0) ::close(listenFd_);
    }
    int port() const { return port_; }

    /// Makes waiting accepts and receives on another thread give up at once.
    void stop() { stopped_ = true; }

    /// Takes the next connection within `limit`; false when none came or the peer was stopped.
    bool accept(std::chrono::steady_clock::duration limit = hangLimit) {
        if (!readable(listenFd_, limit)) return false;
        closeConnection();
        fd_ = ::accept(listenFd_, nullptr, nullptr);
        if (fd_ < 0) return false;
        const timeval tv{static_cast<time_t>(hangLimit.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        return true;
    }
    /// TLS server handshake on the accepted connection.
    bool startTLS(SSL_CTX* ctx) {
        const timeval tv{static_cast<time_t>(hangLimit.count()), 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ssl_ = SSL_new(ctx);
        SSL_set_fd(ssl_, fd_);
        return SSL_accept(ssl_) == 1;
    }
    bool sessionReused() const { return ssl_ && SSL_session_reused(ssl_) == 1; }

    /// Sends all of `text`; throws when the other side stops taking it.
    void send(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const long n = ssl_ ? SSL_write(ssl_, text.data() + done, static_cast<int>(text.size() - done))
                                : ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                const int error = errno;
                throw std::runtime_error("peer send: " + std::string(n == 0 ? "connection closed" : std::strerror(error)) +
                                         " after " + std::to_string(done) + " of " + std::to_string(text.size()) + " bytes");
            }
            done += static_cast<size_t>(n);
        }
    }
    /// Waits until everything sent has reached the other side, so that the next send travels apart.
    bool flush() {
        return waitUntil([&] {
            int queued = 0;
            return ::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0;
        });
    }
    /// Exactly `n` bytes, or fewer when the connection ends, the peer is stopped or nothing comes
    /// within the hang limit.
    std::string receive(size_t n) {
        std::string out;
        char buffer[4096];
        while (out.size() < n) {
            if (!(ssl_ && SSL_pending(ssl_) > 0) && !readable(fd_, hangLimit)) break;
            const long r = ssl_ ? SSL_read(ssl_, buffer, static_cast<int>(std::min(sizeof buffer, n - out.size())))
                                : ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (r <= 0) break;
            out.append(buffer, static_cast<size_t>(r));
        }
        return out;
    }
    /// Everything until the other side closes.
    std::string receiveAll() { return receive(static_cast<size_t>(-1) / 2); }
    void closeConnection() {
        if (ssl_) {
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    /// Stops taking bytes (the receive buffer fills up), for write time-outs.
    void shrinkReceiveBuffer() {
        int size = 4096;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }

private:
    /// Waits in short slices, so that stop() is seen soon.
    bool readable(int fd, std::chrono::steady_clock::duration limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!stopped_) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, 50);
            if (r == 1) return true;
            if (r < 0 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= end) return false;
        }
        return false;
    }

    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
    SSL* ssl_ = nullptr;
    std::atomic<bool> stopped_{false};
};

/// Waits for a future within the hang limit; throws when it does not come.
template <class T>
T await(std::future<T>& f) {
    return awaitValue(f);
}

}  // namespace ostrane_test
