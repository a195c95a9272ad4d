// The time limit of a FileProviderClient login.
#include "ostrane/fileprovider/LoginTimer.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

namespace Ostrane {

std::shared_ptr<LoginTimer> LoginTimer::start(const std::shared_ptr<platform::DispatchQueue>& queue,
                                              std::chrono::milliseconds limit, std::function<void()> expired) {
    auto timer = std::make_shared<LoginTimer>();
    const double seconds = std::chrono::duration<double>(limit).count();
    queue->asyncAfter(seconds, [timer, expired = std::move(expired)] {
        if (timer->settle())
            expired();
    });
    return timer;
}

}  // namespace Ostrane
