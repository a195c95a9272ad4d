#include "fileprovider/local/LocalFileMonitor.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/data/Date.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileSystemEventSource.hpp"

namespace RiridOzizevud {

namespace {
double nowSinceReferenceDate() { return platform::Date::now().timeIntervalSinceReferenceDate(); }
} // namespace

LocalFileMonitor::LocalFileMonitor(Token, const platform::URL& url)
    : qq_(platform::DispatchQueue::global()), url_(url), monitoredTime_(nowSinceReferenceDate()) {}

std::shared_ptr<LocalFileMonitor> LocalFileMonitor::make(const platform::URL& url, std::function<void()> handler) {
    const platform::URL absolute = url.absoluteURL();
    if (!absolute.isFileURL()) return nullptr;
    auto monitor = std::make_shared<LocalFileMonitor>(Token{}, url);
    const unsigned mask = isDirectory(absolute) ? platform::FileSystemEventSource::write
                                                : platform::FileSystemEventSource::all;
    monitor->source_ = platform::FileSystemEventSource::make(absolute.path(), mask, monitor->qq_);
    if (!monitor->source_) return nullptr;
    std::weak_ptr<LocalFileMonitor> weak = monitor;
    monitor->source_->setEventHandler([weak, handler = std::move(handler)] {
        if (const auto self = weak.lock()) self->eventArrived(handler);
    });
    monitor->start();
    return monitor;
}

LocalFileMonitor::~LocalFileMonitor() {
    if (source_) source_->cancel();
}

void LocalFileMonitor::eventArrived(const std::function<void()>& handler) {
    {
        std::lock_guard lock(monitoredTimeLock_);
        if (nowSinceReferenceDate() < monitoredTime_ + 0.2) return;
        monitoredTime_ = nowSinceReferenceDate();
    }
    source_->suspend();
    std::weak_ptr<LocalFileMonitor> weak = weak_from_this();
    std::weak_ptr<platform::FileSystemEventSource> source = source_;
    platform::DispatchQueue::main()->asyncAfter(0.25, [weak, source, handler] {
        const auto s = source.lock();
        // Changes since the first one of the burst are merged into this call: the handler sees
        // them all. Only later ones make another call.
        if (s) s->discardPendingEvents();
        // An unregistered monitor's handler belongs to nobody any more.
        if (weak.lock() && handler) handler();
        if (s) s->resume();
    });
}

void LocalFileMonitor::start() {
    std::lock_guard lock(mutex_);
    if (state_) return;
    state_ = true;
    source_->resume();
}

void LocalFileMonitor::stop() {
    std::lock_guard lock(mutex_);
    if (!state_) return;
    state_ = false;
    source_->suspend();
}

bool LocalFileMonitor::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

platform::URL LocalFileMonitor::url() const {
    std::lock_guard lock(mutex_);
    return url_;
}

void LocalFileMonitor::setUrl(const platform::URL& url) {
    std::lock_guard lock(mutex_);
    url_ = url;
}

int LocalFileMonitor::descriptor() const { return source_ ? source_->descriptor() : -1; }

} // namespace RiridOzizevud
