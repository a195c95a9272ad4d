#include "ostrane/LoginGate.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <vector>

namespace Ostrane {

struct LoginGate::State {
    mutable std::mutex mutex;
    bool running = false;
    std::vector<Finish> waiting;
};

LoginGate::LoginGate() : state_(std::make_shared<State>()) {}

bool LoginGate::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

void LoginGate::login(Finish finish, const std::function<void(Finish done)>& start) {
    {
        std::lock_guard lock(state_->mutex);
        state_->waiting.push_back(std::move(finish));
        if (state_->running) return;
        state_->running = true;
    }
    auto called = std::make_shared<std::atomic<bool>>(false);
    Finish done = [state = state_, called](OstraneErrorRef error) {
        if (called->exchange(true)) return;
        std::vector<Finish> waiting;
        {
            std::lock_guard lock(state->mutex);
            waiting.swap(state->waiting);
            state->running = false;
        }
        for (auto& f : waiting)
            if (f) f(error);
    };
    try {
        start(done);
    } catch (const std::exception& e) {
        done(OstraneError::make(e.what()));
    } catch (...) {
        done(OstraneError::make("login failed"));
    }
}

}  // namespace Ostrane
