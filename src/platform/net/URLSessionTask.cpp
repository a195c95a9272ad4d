// platform::URLSessionTask: state, byte counters and their observers, resume and cancel.
#include "platform/net/URLSession.hpp"

namespace platform {

URLSessionTask::URLSessionTask(Kind kind, uint64_t identifier, URLRequest request, std::weak_ptr<URLSession> session)
    : kind_(kind), identifier_(identifier), originalRequest_(std::move(request)), session_(std::move(session)) {}

URLSessionTask::~URLSessionTask() = default;

std::optional<std::string> URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::optional<std::string> description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

URLSessionTask::State URLSessionTask::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

ErrorRef URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

URLSessionTask::ObserverToken URLSessionTask::addObserver(const std::string& keyPath, CounterObserver observer) {
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.emplace(token, std::make_pair(keyPath, std::make_shared<CounterObserver>(std::move(observer))));
    return token;
}

void URLSessionTask::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    observers_.erase(token);
}

void URLSessionTask::setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value) {
    if (counter.exchange(value) == value) return;
    std::vector<std::shared_ptr<CounterObserver>> toCall;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, entry] : observers_)
            if (entry.first == keyPath) toCall.push_back(entry.second);
    }
    if (toCall.empty()) return;
    const auto self = shared_from_this();
    const std::string path(keyPath);
    for (const auto& observer : toCall) (*observer)(self, path, value);
}

void URLSessionTask::resume() {
    {
        std::lock_guard lock(mutex_);
        if (started_ || state_ != State::suspended) return;
        started_ = true;
        state_ = State::running;
    }
    if (const auto session = session_.lock()) {
        session->resumeTask(shared_from_this());
    } else {
        std::lock_guard lock(mutex_);
        state_ = State::completed;
        error_ = URLError::make(URLError::cancelled);
    }
}

void URLSessionTask::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == State::completed || state_ == State::canceling) return;
        state_ = State::canceling;
    }
    if (const auto session = session_.lock()) session->cancelTask(shared_from_this());
}

} // namespace platform
