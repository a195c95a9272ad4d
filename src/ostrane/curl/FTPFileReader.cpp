#include "ostrane/curl/FTPFileReader.hpp"

#include "ostrane/curl/TransferExit.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace Ostrane {

namespace {

using Clock = std::chrono::steady_clock;
using Failure = FTPFileReader::Failure;

// Reads elsewhere than where the transfer stands: a little ahead is read through, anything else
// starts a new transfer.
constexpr std::int64_t kSkipLimit = 1 << 20;
constexpr std::size_t kMaxReplyLine = 64 * 1024;
constexpr int kMaxReplyLines = 1000;
// The longest single wait, so an exiting process is noticed.
constexpr int kPollSliceMs = 250;

struct Reply {
    int code = 0;
    std::string text;
    bool is(int first) const { return code / 100 == first; }
};

// TLS 1.2 or later, the peer's certificate checked against the system's trust (or SSL_CERT_FILE /
// SSL_CERT_DIR), as the client's curl requests do.
std::shared_ptr<SSL_CTX> clientContext() {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_client_method()), [](SSL_CTX* c) {
        if (!TransferActivity::librariesGone()) SSL_CTX_free(c);
    });
    if (!context) throw Failure("TLS could not be set up");
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(context.get());
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_CLIENT);
    return context;
}

std::string tlsErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "the connection failed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// OpenSSL writes to the socket without MSG_NOSIGNAL: a peer that went away must not end the
// process with SIGPIPE. The signal is held back around each TLS call and a pending one consumed.
class NoSigpipe {
public:
    NoSigpipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~NoSigpipe() {
        if (!wasPending_) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t old_;
    bool wasPending_ = false;
};

}  // namespace

// One TCP connection, with TLS once started; every wait bounded and broken off at process exit.
class FTPFileReader::Connection {
public:
    Connection(const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout) : timeout_(timeout) {
        fd_ = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) throw Failure(std::string("Could not make a socket: ") + std::strerror(errno));
        if (::connect(fd_, address, length) != 0) {
            if (errno != EINPROGRESS) fail("Could not connect");
            wait(POLLOUT);
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                errno = error;
                fail("Could not connect");
            }
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    static std::unique_ptr<Connection> to(const std::string& host, int port, std::chrono::milliseconds timeout) {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo* found = nullptr;
        const auto service = std::to_string(port);
        if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
            throw Failure("Could not resolve host: " + host);
        }
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
        std::string last = "Could not connect to " + host;
        for (auto* a = found; a; a = a->ai_next) {
            try {
                return std::make_unique<Connection>(a->ai_addr, a->ai_addrlen, timeout);
            } catch (const Failure& e) {
                last = e.what();
            }
        }
        throw Failure(last);
    }

    ~Connection() {
        // Once the process exits the crypto library may be gone: the session is left to the exit.
        if (ssl_ && !TransferActivity::librariesGone()) {
            // A close_notify if it goes out at once; the peer learns of the end from the close anyway.
            NoSigpipe guard;
            SSL_shutdown(ssl_);
            SSL_free(ssl_);
        }
        if (fd_ >= 0) ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// The peer's address with another port: where a passive data connection goes.
    std::pair<sockaddr_storage, socklen_t> peerWithPort(int port) const {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            throw Failure("The control connection is gone");
        }
        if (peer.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = htons(std::uint16_t(port));
        } else {
            reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(std::uint16_t(port));
        }
        return {peer, length};
    }

    void startTLS(SSL_CTX* context, const std::string& host, SSL_SESSION* resume) {
        ssl_ = SSL_new(context);
        if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) throw Failure("TLS could not be set up");
        in6_addr ip6;
        in_addr ip4;
        const bool literal = ::inet_pton(AF_INET, host.c_str(), &ip4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &ip6) == 1;
        if (literal) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl_, host.c_str());
            SSL_set1_host(ssl_, host.c_str());
        }
        if (resume) SSL_set_session(ssl_, resume);
        while (true) {
            NoSigpipe guard;
            const int result = SSL_connect(ssl_);
            if (result == 1) break;
            waitFor(SSL_get_error(ssl_, result), "TLS handshake failed");
        }
    }
    SSL_SESSION* session() const { return ssl_ ? SSL_get_session(ssl_) : nullptr; }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            if (ssl_) {
                NoSigpipe guard;
                const int n = SSL_write(ssl_, bytes.data(), int(std::min<std::size_t>(bytes.size(), 1 << 30)));
                if (n > 0) {
                    bytes.remove_prefix(std::size_t(n));
                } else {
                    waitFor(SSL_get_error(ssl_, n), "Could not send");
                }
                continue;
            }
            const auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n >= 0) {
                bytes.remove_prefix(std::size_t(n));
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait(POLLOUT);
            } else if (errno != EINTR) {
                fail("Could not send");
            }
        }
    }

    /// Some bytes, or 0 at the end of the stream.
    std::size_t receive(void* into, std::size_t count) {
        while (true) {
            if (ssl_) {
                NoSigpipe guard;
                const int n = SSL_read(ssl_, into, int(std::min<std::size_t>(count, 1 << 30)));
                if (n > 0) return std::size_t(n);
                const int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_ZERO_RETURN) return 0;
                // A peer that closes without close_notify: the byte count tells whether all came.
                if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
                waitFor(error, "Could not receive");
                continue;
            }
            const auto n = ::recv(fd_, into, count, 0);
            if (n >= 0) return std::size_t(n);
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                wait(POLLIN);
            } else if (errno != EINTR) {
                fail("Could not receive");
            }
        }
    }

    /// One reply, its lines joined; preliminary replies are returned like any other.
    Reply reply() {
        Reply r;
        std::string first = line();
        if (first.size() < 3 || !std::all_of(first.begin(), first.begin() + 3, [](char c) { return c >= '0' && c <= '9'; })) {
            throw Failure("The server's reply could not be read");
        }
        r.code = std::stoi(first.substr(0, 3));
        r.text = first;
        if (first.size() > 3 && first[3] == '-') {
            const std::string end = first.substr(0, 3) + " ";
            for (int n = 0;; ++n) {
                if (n > kMaxReplyLines) throw Failure("The server's reply is too long");
                std::string next = line();
                r.text += "\n" + next;
                if (next.compare(0, 4, end) == 0) break;
            }
        }
        return r;
    }

    /// A command and its final reply.
    Reply command(const std::string& text) {
        send(text + "\r\n");
        Reply r = reply();
        while (r.is(1)) r = reply();
        return r;
    }

private:
    std::string line() {
        while (true) {
            const auto end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string text = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (!text.empty() && text.back() == '\r') text.pop_back();
                return text;
            }
            if (pending_.size() > kMaxReplyLine) throw Failure("The server's reply is too long");
            char buffer[4096];
            const auto n = receive(buffer, sizeof buffer);
            if (n == 0) throw Failure("The server closed the connection");
            pending_.append(buffer, n);
        }
    }

    void waitFor(int sslError, const char* what) {
        if (sslError == SSL_ERROR_WANT_READ) {
            wait(POLLIN);
        } else if (sslError == SSL_ERROR_WANT_WRITE) {
            wait(POLLOUT);
        } else {
            throw Failure(std::string(what) + ": " + tlsErrorText());
        }
    }

    void wait(short events) {
        const auto deadline = Clock::now() + timeout_;
        while (true) {
            if (TransferActivity::exiting()) throw Failure("The process is exiting");
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) throw Failure("The server did not answer in time");
            pollfd p{fd_, events, 0};
            const int n = ::poll(&p, 1, int(std::min<long long>(left, kPollSliceMs)));
            if (n > 0) return;
            if (n < 0 && errno != EINTR) fail("Could not wait for the server");
        }
    }

    [[noreturn]] void fail(const char* what) { throw Failure(std::string(what) + ": " + std::strerror(errno)); }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    std::chrono::milliseconds timeout_;
    std::string pending_;
};

namespace {

std::optional<int> passivePort(const Reply& reply) {
    if (reply.code == 229) {
        // "(|||port|)"
        const auto open = reply.text.find("(|||");
        if (open == std::string::npos) return std::nullopt;
        const auto close = reply.text.find('|', open + 4);
        if (close == std::string::npos) return std::nullopt;
        const auto digits = reply.text.substr(open + 4, close - open - 4);
        if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) return std::nullopt;
        const int port = std::stoi(digits);
        if (port < 1 || port > 65535) return std::nullopt;
        return port;
    }
    if (reply.code == 227) {
        // "h1,h2,h3,h4,p1,p2" somewhere in the text; the host part is not used.
        int n[6];
        const auto at = reply.text.find_first_of("0123456789", 4);
        if (at == std::string::npos ||
            std::sscanf(reply.text.c_str() + at, "%d,%d,%d,%d,%d,%d", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6) {
            return std::nullopt;
        }
        if (n[4] < 0 || n[4] > 255 || n[5] < 0 || n[5] > 255) return std::nullopt;
        const int port = n[4] * 256 + n[5];
        if (port < 1) return std::nullopt;
        return port;
    }
    return std::nullopt;
}

// The reply as an error text: its first line.
std::string refused(const std::string& what, const Reply& reply) {
    return what + ": " + reply.text.substr(0, reply.text.find('\n'));
}

}  // namespace

FTPFileReader::FTPFileReader(Server server, std::string path) : server_(std::move(server)), path_(std::move(path)) {
    connect();
    const auto r = control_->command("SIZE " + path_);
    std::int64_t size = -1;
    if (r.code == 213) {
        const std::string digits = r.text.substr(std::min<std::size_t>(4, r.text.size()));
        if (!digits.empty() && digits.size() <= 18 && std::all_of(digits.begin(), digits.end(), ::isdigit)) {
            size = std::stoll(digits);
        }
    }
    if (size < 0) throw Failure(refused("No size for " + path_, r));
    size_ = size;
}

FTPFileReader::~FTPFileReader() {
    if (!control_ || TransferActivity::exiting()) return;
    try {
        TransferActivity activity;
        data_.reset();
        control_->send("QUIT\r\n");
    } catch (const Failure&) {
        // Gone already: nothing to end.
    }
}

void FTPFileReader::connect() {
    TransferActivity activity;
    auto control = Connection::to(server_.host, server_.port, server_.timeout);
    std::shared_ptr<SSL_CTX> context;
    if (server_.tls != TLS::none) context = clientContext();
    if (server_.tls == TLS::implicit) control->startTLS(context.get(), server_.host, nullptr);
    auto welcome = control->reply();
    while (welcome.is(1)) welcome = control->reply();
    if (!welcome.is(2)) throw Failure(refused("The server refused the connection", welcome));
    if (server_.tls == TLS::explicit_) {
        const auto r = control->command("AUTH TLS");
        if (!r.is(2)) throw Failure(refused("The server refused TLS", r));
        control->startTLS(context.get(), server_.host, nullptr);
    }
    if (server_.tls != TLS::none) {
        control->command("PBSZ 0");
        const auto r = control->command("PROT P");
        if (!r.is(2)) throw Failure(refused("The server refused to protect the data connection", r));
    }
    auto r = control->command("USER " + server_.user.value_or("anonymous"));
    if (r.code == 331) r = control->command("PASS " + server_.password.value_or(""));
    if (!r.is(2)) throw Failure(refused("Login denied", r));
    r = control->command("TYPE I");
    if (!r.is(2)) throw Failure(refused("The server refused binary transfers", r));
    context_ = std::move(context);
    control_ = std::move(control);
    ++logins_;
}

void FTPFileReader::startTransfer(std::int64_t offset) {
    auto r = control_->command("EPSV");
    auto port = passivePort(r);
    if (!port) {
        r = control_->command("PASV");
        port = passivePort(r);
    }
    if (!port) throw Failure(refused("No passive data connection", r));
    const auto [address, length] = control_->peerWithPort(*port);
    auto data = std::make_unique<Connection>(reinterpret_cast<const sockaddr*>(&address), length, server_.timeout);
    r = control_->command("REST " + std::to_string(offset));
    if (r.code != 350) throw Failure(refused("The server cannot read from an offset", r));
    control_->send("RETR " + path_ + "\r\n");
    r = control_->reply();
    if (!r.is(1)) throw Failure(refused("Could not read " + path_, r));
    if (server_.tls != TLS::none) data->startTLS(context_.get(), server_.host, control_->session());
    data_ = std::move(data);
    position_ = offset;
}

void FTPFileReader::endTransfer() {
    if (!data_) return;
    // Closing the data connection ends the transfer; the server then answers the RETR (226 when
    // it had sent everything, else 426 or 451) and the control connection is ready again.
    data_.reset();
    control_->reply();
}

void FTPFileReader::drop() {
    data_.reset();
    control_.reset();
}

bool FTPFileReader::fill(std::uint8_t* into, std::size_t count) {
    while (count > 0) {
        const auto n = data_->receive(into, count);
        if (n == 0) return false;
        into += n;
        count -= n;
    }
    return true;
}

std::optional<std::vector<std::uint8_t>> FTPFileReader::read(std::int64_t offset, std::size_t size) {
    if (offset < 0 || size == 0) return std::nullopt;
    if (offset >= size_) return std::vector<std::uint8_t>{};
    const auto want = std::size_t(std::min<std::int64_t>(std::int64_t(size), size_ - offset));
    TransferActivity activity;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A connection that sat idle may have been closed by the server: one more try on a new one.
        const bool reused = control_ != nullptr;
        try {
            if (!control_) connect();
            if (data_ && (offset < position_ || offset > position_ + kSkipLimit)) endTransfer();
            if (!data_) startTransfer(offset);
            if (offset > position_) {
                std::vector<std::uint8_t> skipped(std::size_t(offset - position_));
                if (!fill(skipped.data(), skipped.size())) throw Failure("The transfer ended early");
                position_ = offset;
            }
            std::vector<std::uint8_t> bytes(want);
            if (!fill(bytes.data(), want)) throw Failure("The transfer ended early");
            position_ += std::int64_t(want);
            if (position_ >= size_) endTransfer();
            return bytes;
        } catch (const Failure&) {
            drop();
            if (!reused || TransferActivity::exiting()) return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace Ostrane
