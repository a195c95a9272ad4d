// RiridOzizevud::LocalFileMonitor — watches one local file or folder and calls its handler on the
// main queue, at most once per burst of changes: the first change of a burst is passed on 0.25 s
// later, changes meanwhile are merged into it, and a change within 0.2 s of the last one passed on
// is dropped (so are changes in the first 0.2 s). A folder reports entries added, removed or
// renamed in it; a file every change of its own (content, attributes, rename, deletion).
#pragma once

#include "platform/net/URL.hpp"

#include <functional>
#include <memory>
#include <mutex>

namespace platform {
class DispatchQueue;
class FileSystemEventSource;
} // namespace platform

namespace RiridOzizevud {

class LocalFileMonitor : public std::enable_shared_from_this<LocalFileMonitor> {
    struct Token {};

public:
    /// init?(url:handler:): watching starts at once; nullptr when the item cannot be watched.
    static std::shared_ptr<LocalFileMonitor> make(const platform::URL& url, std::function<void()> handler);
    LocalFileMonitor(Token, const platform::URL& url);
    /// Cancels the watch; a change already waiting for the main queue is not passed on.
    ~LocalFileMonitor();
    LocalFileMonitor(const LocalFileMonitor&) = delete;
    LocalFileMonitor& operator=(const LocalFileMonitor&) = delete;

    void start();
    void stop();
    /// True while watching.
    bool state() const;
    platform::URL url() const;
    void setUrl(const platform::URL& url);
    int descriptor() const;

private:
    void eventArrived(const std::function<void()>& handler);

    std::shared_ptr<platform::FileSystemEventSource> source_;
    std::shared_ptr<platform::DispatchQueue> qq_;
    mutable std::mutex mutex_;
    bool state_ = false;
    platform::URL url_;
    double monitoredTime_;
    mutable std::mutex monitoredTimeLock_;
};

} // namespace RiridOzizevud
