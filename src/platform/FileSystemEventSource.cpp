#include "platform/FileSystemEventSource.hpp"

#include "platform/DispatchQueue.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

struct FileSystemEventSource::State : std::enable_shared_from_this<State> {
    std::mutex mutex;
    int fd = -1;
    int wake = -1;
    uint32_t inotifyMask = 0;
    std::shared_ptr<DispatchQueue> queue;
    std::function<void()> handler;
    std::function<void()> cancelHandler;
    int suspendCount = 1;
    bool pending = false;
    bool running = false;
    bool cancelled = false;
    std::thread thread;

    // Called with `mutex` held.
    void deliverLocked() {
        if (cancelled || suspendCount > 0 || !pending || running) return;
        pending = false;
        running = true;
        queue->async([self = shared_from_this()] {
            std::function<void()> h;
            {
                std::lock_guard lock(self->mutex);
                if (!self->cancelled) h = self->handler;
            }
            if (h) h();
            std::lock_guard lock(self->mutex);
            self->running = false;
            self->deliverLocked();
        });
    }

    void watch() {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
            const int n = ::poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got <= 0) {
                if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
                return;
            }
            bool relevant = false;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                if (event->mask & inotifyMask) relevant = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            if (!relevant) continue;
            std::lock_guard lock(mutex);
            pending = true;
            deliverLocked();
        }
    }
};

std::shared_ptr<FileSystemEventSource> FileSystemEventSource::make(const std::string& path, unsigned mask,
                                                                   std::shared_ptr<DispatchQueue> queue) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    const bool directory = S_ISDIR(st.st_mode);

    uint32_t m = 0;
    if (mask & write) m |= directory ? (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO) : IN_MODIFY;
    if (mask & extend) m |= IN_MODIFY;
    if (mask & (attrib | link)) m |= IN_ATTRIB;
    if (mask & delete_) m |= IN_DELETE_SELF;
    if (mask & rename) m |= IN_MOVE_SELF;
    if (mask & revoke) m |= IN_UNMOUNT;
    if (m == 0) {
        errno = EINVAL;
        return nullptr;
    }

    auto state = std::make_shared<State>();
    state->fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (state->fd < 0) return nullptr;
    if (::inotify_add_watch(state->fd, path.c_str(), m) < 0) {
        const int e = errno;
        ::close(state->fd);
        errno = e;
        return nullptr;
    }
    state->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wake < 0) {
        const int e = errno;
        ::close(state->fd);
        errno = e;
        return nullptr;
    }
    state->inotifyMask = m | IN_UNMOUNT;
    state->queue = queue ? std::move(queue) : DispatchQueue::global();
    // The thread owns what it reads from until cancel() has joined it.
    state->thread = std::thread([raw = state.get()] { raw->watch(); });
    return std::shared_ptr<FileSystemEventSource>(new FileSystemEventSource(std::move(state)));
}

FileSystemEventSource::~FileSystemEventSource() { cancel(); }

void FileSystemEventSource::setEventHandler(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

void FileSystemEventSource::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(state_->mutex);
    state_->cancelHandler = std::move(handler);
}

void FileSystemEventSource::resume() {
    std::lock_guard lock(state_->mutex);
    if (state_->suspendCount > 0) --state_->suspendCount;
    state_->deliverLocked();
}

void FileSystemEventSource::suspend() {
    std::lock_guard lock(state_->mutex);
    ++state_->suspendCount;
}

void FileSystemEventSource::discardPendingEvents() {
    std::lock_guard lock(state_->mutex);
    state_->pending = false;
}

bool FileSystemEventSource::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

int FileSystemEventSource::descriptor() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled ? -1 : state_->fd;
}

void FileSystemEventSource::cancel() {
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        state_->handler = nullptr;
        cancelHandler = std::move(state_->cancelHandler);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(state_->wake, &one, sizeof one);
    }
    // The watching thread runs no outside code, so this is never called from it.
    if (state_->thread.joinable()) state_->thread.join();
    {
        std::lock_guard lock(state_->mutex);
        ::close(state_->fd);
        ::close(state_->wake);
    }
    if (cancelHandler) state_->queue->async(std::move(cancelHandler));
}

} // namespace platform
