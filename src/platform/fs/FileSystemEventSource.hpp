// platform::FileSystemEventSource — a file-system object event source over inotify: it watches one
// item and runs its event handler on a queue when an event of its mask happens. All sources of the
// process share one inotify instance and one reading thread. Like a dispatch
// source it starts suspended; events that arrive while it is suspended, or while its handler runs,
// are merged into one later call. Cancelling ends the watch and runs the cancel handler once.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace platform {

class DispatchQueue;

class FileSystemEventSource {
public:
    // The vnode event kinds.
    enum Mask : unsigned {
        delete_ = 0x1,
        write = 0x2,   // on a folder: an entry was added, removed or renamed
        extend = 0x4,
        attrib = 0x8,
        link = 0x10,
        rename = 0x20,
        revoke = 0x40,
        all = 0x7f,
    };

    /// Watches the item at `path` (a final link is followed). nullptr, with errno set, when it
    /// cannot be watched.
    static std::shared_ptr<FileSystemEventSource> make(const std::string& path, unsigned mask,
                                                       std::shared_ptr<DispatchQueue> queue);
    ~FileSystemEventSource();
    FileSystemEventSource(const FileSystemEventSource&) = delete;
    FileSystemEventSource& operator=(const FileSystemEventSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);
    /// Suspensions nest; each resume undoes one. Resuming more often than suspending is ignored.
    void resume();
    void suspend();
    /// Forgets the events that arrived and were not yet passed on (they are seen by whoever runs now).
    void discardPendingEvents();
    void cancel();
    bool isCancelled() const;
    /// The inotify watch descriptor of the item (-1 once cancelled).
    int descriptor() const;

    struct State;

private:
    explicit FileSystemEventSource(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

} // namespace platform
