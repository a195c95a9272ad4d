// FileProviderStreamTask::Connection: the socket of one stream task with its TLS state, its receive
// buffer and the status its thread reports; shared by the task's files.
#pragma once

#include "fileprovider/ftp/FileProviderStreamTask.hpp"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace RiridOzizevud {

struct TLSConfig {
    ServerTrustPolicy policy = ServerTrustPolicy::performDefaultEvaluation(true);
    SSLPeerID peer;
    std::string peerName;
    std::optional<std::string> caFile;
};

// Milliseconds until `deadline`, at most `cap`.
inline int pollSlice(platform::DispatchTime deadline, int cap) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.uptime - platform::DispatchTime::now().uptime);
    if (left.count() <= 0) return 0;
    return static_cast<int>(std::min<long long>(left.count(), cap));
}

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
    platform::Data received;
    bool endEncountered = false;
    InputStatus input = InputStatus::open;
    bool outputClosed = false;
    platform::ErrorRef inputError;
    platform::ErrorRef outputError;
    bool stopping = false;
    bool tlsOn = false;
    bool tlsPending = false;
    bool cancelled = false;
    std::string localAddress;
    std::string peerAddress;

    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakeFd, &one, sizeof one);
    }

    void fail(platform::ErrorRef error) {
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

    // Told by the thread once it holds nothing of the connection's nor of OpenSSL's: a waiter may
    // end the process, and OpenSSL's own clean-up with it, right after.
    struct ThreadEnd {
        std::mutex m;
        std::condition_variable changed;
        bool ended = false;
    };
    const std::shared_ptr<ThreadEnd> threadEnd = std::make_shared<ThreadEnd>();

    // The thread is detached, so that a process may end while a connection is still closing; this
    // stands in for joining it before the socket goes.
    void waitForThreadEnd() {
        std::unique_lock lock(threadEnd->m);
        threadEnd->changed.wait(lock, [&] { return threadEnd->ended; });
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

    platform::ErrorRef connectTo(const std::string& host, int port, platform::DispatchTime deadline);
    platform::ErrorRef acceptFrom(int listening, const std::string& expectedPeer, platform::DispatchTime deadline);
    platform::ErrorRef handshake(const TLSConfig& config, platform::DispatchTime deadline);
    void recordLocalAddress();
};

// The connection's thread: connects (or accepts), runs the first handshake when asked, then reads.
void serveConnection(std::shared_ptr<FileProviderStreamTask::Connection> c,
                     std::weak_ptr<FileProviderStreamTask> weakTask, std::optional<std::pair<std::string, int>> host,
                     int listening, std::string expectedPeer, double timeout, std::optional<TLSConfig> tls,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, size_t)> received,
                     std::function<void(const std::shared_ptr<FileProviderStreamTask>&, platform::ErrorRef)> failed);

} // namespace RiridOzizevud
