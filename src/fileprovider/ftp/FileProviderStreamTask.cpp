#include "fileprovider/ftp/FileProviderStreamTask.hpp"
#include "fileprovider/ftp/FileProviderStreamTaskConnection.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

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
    const auto c = currentConnection();
    if (c) c->stop();
    if (c && runsOtherIOThread()) c->waitForThreadEnd();
    // A queue left suspended is released with its items; their drop handlers complete them.
}

bool FileProviderStreamTask::runsOtherIOThread() const {
    std::lock_guard lock(ioThreadMutex_);
    return ioThreadId_ != std::thread::id() && ioThreadId_ != std::this_thread::get_id();
}

std::shared_ptr<FileProviderStreamTask::Connection> FileProviderStreamTask::currentConnection() const {
    std::lock_guard lock(mutex_);
    return connection_;
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
    const auto c = currentConnection();
    if (!c) return nullptr;
    std::lock_guard lock(c->m);
    return c->inputError ? c->inputError : c->outputError;
}

std::string FileProviderStreamTask::peerAddress() const {
    const auto c = currentConnection();
    if (!c) return "";
    std::lock_guard lock(c->m);
    return c->peerAddress;
}

std::string FileProviderStreamTask::localAddress() const {
    const auto c = currentConnection();
    if (!c) return "";
    std::lock_guard lock(c->m);
    return c->localAddress;
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
    const auto c = currentConnection();
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
                const auto c = self.currentConnection();
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
    const auto c = currentConnection();
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
        const auto c = self.currentConnection();
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


} // namespace RiridOzizevud
