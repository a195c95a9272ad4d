#include "platform/dispatch/RunLoop.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <thread>

namespace platform {

void RunLoop::run(DispatchTime until) {
    auto main = DispatchQueue::main();
    for (;;) {
        bool serves;
        {
            std::lock_guard guard(main->mutex_);
            serves = main->servesOnCallingThreadLocked();
        }
        if (!serves) {
            if (until.isDistantFuture()) throw std::invalid_argument("RunLoop.run: no deadline");
            std::this_thread::sleep_until(until.uptime);
            return;
        }
        if (DispatchTime::now() >= until) return;
        main->drainMain(until, std::numeric_limits<size_t>::max());
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    if (!done) throw std::invalid_argument("RunLoop.runUntil: no condition");
    // Slices far shorter than a tenth of a second: the waiter sees the condition soon
    // after it turns, and main-queue items are served as they come either way.
    constexpr double slice = 0.01;
    const DispatchTime deadline = DispatchTime::now() + timeoutSeconds;
    for (;;) {
        if (done()) return true;
        const DispatchTime now = DispatchTime::now();
        if (now >= deadline) return false;
        run(std::min(deadline, now + slice));
    }
}

}  // namespace platform
