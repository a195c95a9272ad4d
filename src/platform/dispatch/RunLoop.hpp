#pragma once

#include "platform/dispatch/DispatchTime.hpp"

#include <functional>

namespace platform {

/// The calling thread's run loop, as far as the library needs one: on the thread that
/// serves the main queue, running it serves main-queue items; elsewhere it only passes
/// the time.
class RunLoop {
public:
    /// Runs until the deadline.
    static void run(DispatchTime until);
    static void run(double seconds) { run(DispatchTime::now() + seconds); }

    /// Runs in slices until `done()` holds or `timeoutSeconds` pass; true when done.
    /// `done` is tested between slices, so it must be safe to read while other threads
    /// make it true (an atomic flag, say).
    static bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
};

}  // namespace platform
