#pragma once
// The time limit of a FileProviderClient login: the provider's answer and the limit settle the
// login once, whichever comes first.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace platform {
class DispatchQueue;
}

namespace Ostrane {

class LoginTimer {
public:
    /// Starts the limit: `expired` runs on `queue` once `limit` has passed, unless the answer
    /// settled the login first.
    static std::shared_ptr<LoginTimer> start(const std::shared_ptr<platform::DispatchQueue>& queue,
                                             std::chrono::milliseconds limit, std::function<void()> expired);

    /// Settles the login; true only for the first caller, the answer or the limit.
    bool settle() { return !settled_.exchange(true); }

private:
    std::atomic<bool> settled_{false};
};

}  // namespace Ostrane
