#include "platform/fs/FileSystemEventSource.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

struct FileSystemEventSource::State : std::enable_shared_from_this<State> {
    std::mutex mutex;
    int wd = -1;
    uint32_t inotifyMask = 0;
    std::shared_ptr<DispatchQueue> queue;
    std::function<void()> handler;
    std::function<void()> cancelHandler;
    int suspendCount = 1;
    bool pending = false;
    bool running = false;
    bool cancelled = false;

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

    void eventArrived(uint32_t mask) {
        if (!(mask & inotifyMask)) return;
        std::lock_guard lock(mutex);
        pending = true;
        deliverLocked();
    }
};

namespace {

// One inotify instance and one reading thread for every source of the process: the system allows
// a user only a few instances (128 by default), and a host may watch many folders. Sources on the
// same item share its watch; each filters the events by its own mask.
class Watcher {
public:
    using State = FileSystemEventSource::State;

    static Watcher* shared() {
        // Never destroyed: its thread may still wait in poll() while the process exits.
        static Watcher* watcher = new Watcher();
        return watcher->fd_ >= 0 ? watcher : nullptr;
    }

    int add(const std::string& path, uint32_t mask, const std::shared_ptr<State>& state) {
        std::lock_guard lock(mutex_);
        const int wd = ::inotify_add_watch(fd_, path.c_str(), mask | IN_MASK_ADD);
        if (wd < 0) return -1;
        watches_[wd].push_back(state);
        return wd;
    }

    void remove(int wd, const State* state) {
        std::lock_guard lock(mutex_);
        const auto it = watches_.find(wd);
        if (it == watches_.end()) return;
        auto& states = it->second;
        std::erase_if(states, [state](const std::weak_ptr<State>& w) {
            const auto s = w.lock();
            return !s || s.get() == state;
        });
        if (states.empty()) {
            ::inotify_rm_watch(fd_, wd);
            watches_.erase(it);
        }
    }

private:
    Watcher() {
        fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (fd_ >= 0) std::thread([this] { run(); }).detach();
    }

    void run() {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            const ssize_t got = ::read(fd_, buffer.data(), buffer.size());
            if (got <= 0) continue;
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                std::vector<std::shared_ptr<State>> targets;
                {
                    std::lock_guard lock(mutex_);
                    const auto it = watches_.find(event->wd);
                    if (it == watches_.end()) continue;
                    for (const auto& w : it->second)
                        if (auto s = w.lock()) targets.push_back(std::move(s));
                    // The item is gone (or its file system): the kernel has dropped the watch.
                    if (event->mask & IN_IGNORED) watches_.erase(it);
                }
                for (const auto& s : targets) s->eventArrived(event->mask);
            }
        }
    }

    int fd_ = -1;
    std::mutex mutex_;
    std::map<int, std::vector<std::weak_ptr<State>>> watches_;
};

} // namespace

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
    Watcher* watcher = Watcher::shared();
    if (!watcher) return nullptr;

    auto state = std::make_shared<State>();
    state->inotifyMask = m;
    state->queue = queue ? std::move(queue) : DispatchQueue::global();
    state->wd = watcher->add(path, m, state);
    if (state->wd < 0) return nullptr;
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
    return state_->cancelled ? -1 : state_->wd;
}

void FileSystemEventSource::cancel() {
    std::function<void()> cancelHandler;
    int wd;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        state_->handler = nullptr;
        cancelHandler = std::move(state_->cancelHandler);
        wd = state_->wd;
    }
    if (Watcher* watcher = Watcher::shared()) watcher->remove(wd, state_.get());
    if (cancelHandler) state_->queue->async(std::move(cancelHandler));
}

} // namespace platform
