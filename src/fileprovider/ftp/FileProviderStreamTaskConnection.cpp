// FileProviderStreamTask: connecting, accepting the caller of a listening service, and the
// connection's thread that reads whatever arrives.
#include "fileprovider/ftp/FileProviderStreamTaskConnection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace RiridOzizevud {

using platform::Data;
using platform::DispatchTime;
using platform::ErrorRef;
using platform::URLError;

namespace {

// The numeric text of a socket address ("" for another family).
std::string addressText(const sockaddr_storage& storage) {
    char text[INET6_ADDRSTRLEN] = {0};
    if (storage.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
    else if (storage.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text, sizeof text);
    return text;
}

} // namespace

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

// The connection's thread: connects (or accepts), runs the first handshake when asked, then reads.
namespace {

void serve(std::shared_ptr<FileProviderStreamTask::Connection> c, std::weak_ptr<FileProviderStreamTask> weakTask,
           std::optional<std::pair<std::string, int>> host, int listening, std::string expectedPeer, double timeout,
           std::optional<TLSConfig> tls,
           std::function<void(const std::shared_ptr<FileProviderStreamTask>&, size_t)> received,
           std::function<void(const std::shared_ptr<FileProviderStreamTask>&, ErrorRef)> failed) {
    using Connection = FileProviderStreamTask::Connection;
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

void serveConnection(std::shared_ptr<FileProviderStreamTask::Connection> c,
                     std::weak_ptr<FileProviderStreamTask> weakTask, std::optional<std::pair<std::string, int>> host,
                     int listening, std::string expectedPeer, double timeout, std::optional<TLSConfig> tls,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, size_t)> received,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, ErrorRef)> failed) {
    const auto end = c->threadEnd;
    // The connection (its SSL object) and the TLS settings (a saved session) go when serve returns,
    // before the end is told, not with this function's own arguments after it.
    serve(std::move(c), std::move(weakTask), std::move(host), listening, std::move(expectedPeer), timeout,
          std::exchange(tls, std::nullopt), std::move(received), std::move(failed));
    {
        std::lock_guard lock(end->m);
        end->ended = true;
    }
    end->changed.notify_all();
}

} // namespace RiridOzizevud
