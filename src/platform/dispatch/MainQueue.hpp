#pragma once

#include "platform/dispatch/DispatchQueue.hpp"

#include <cstddef>
#include <memory>

namespace platform {

/// Who serves DispatchQueue::main(). By default the library's own thread does; a host
/// (or a test) that wants delegate reports on its own thread turns that off and calls
/// drain() from that thread.
class MainQueue {
public:
    static std::shared_ptr<DispatchQueue> queue() { return DispatchQueue::main(); }

    /// On: the library's thread stops taking items (after the one it runs) and the
    /// calling thread becomes the main thread until another thread drains.
    static void setDrainedByHost(bool drainedByHost);
    static bool isDrainedByHost();

    /// Host mode only (std::logic_error otherwise). Waits up to `timeoutSeconds` for an
    /// item, then runs the items queued at that moment, in order, on the calling thread,
    /// which becomes the main thread. Returns how many ran.
    static size_t drain(double timeoutSeconds);
    /// drain(0): runs what is queued now without waiting.
    static size_t drainPending();

    /// True on the thread that serves the main queue: the library's thread, or in host
    /// mode the thread that drains it.
    static bool isMainThread();
};

}  // namespace platform
