#include "platform/dispatch/MainQueue.hpp"

#include <stdexcept>

namespace platform {

void MainQueue::setDrainedByHost(bool drainedByHost) {
    auto main = DispatchQueue::main();
    {
        std::lock_guard guard(main->mutex_);
        main->drainedByHost_ = drainedByHost;
        main->hostThread_ = drainedByHost ? std::this_thread::get_id() : std::thread::id{};
    }
    main->changed_.notify_all();
}

bool MainQueue::isDrainedByHost() {
    auto main = DispatchQueue::main();
    std::lock_guard guard(main->mutex_);
    return main->drainedByHost_;
}

size_t MainQueue::drain(double timeoutSeconds) {
    auto main = DispatchQueue::main();
    {
        std::lock_guard guard(main->mutex_);
        if (!main->drainedByHost_) {
            throw std::logic_error("MainQueue.drain: the main queue is served by the library's thread; call setDrainedByHost(true) first");
        }
        main->hostThread_ = std::this_thread::get_id();
    }
    return main->drainMain(DispatchTime::now() + timeoutSeconds, static_cast<size_t>(-1));
}

size_t MainQueue::drainPending() { return drain(0); }

bool MainQueue::isMainThread() {
    auto main = DispatchQueue::main();
    std::lock_guard guard(main->mutex_);
    return main->servesOnCallingThreadLocked();
}

}  // namespace platform
