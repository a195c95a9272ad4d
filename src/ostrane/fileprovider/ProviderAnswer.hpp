#pragma once
// One answer from a provider, waited for once, with a limit. The provider may answer after the
// waiter gave up; the answer is then dropped.
#include "platform/dispatch/Progress.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

namespace Ostrane {

template <class T>
class ProviderAnswer {
public:
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            if (value_) return;
            value_.emplace(std::move(value));
        }
        ready_.notify_all();
    }

    /// The answer, or none when nothing came and `progress` (if any) did not move for `limit`.
    std::optional<T> wait(std::chrono::milliseconds limit, const std::shared_ptr<platform::Progress>& progress = nullptr) {
        std::unique_lock lock(mutex_);
        auto lastMove = std::chrono::steady_clock::now();
        std::int64_t lastCount = progress ? progress->completedUnitCount() : 0;
        while (!value_) {
            const auto slice = std::min<std::chrono::milliseconds>(limit, std::chrono::milliseconds(500));
            ready_.wait_for(lock, slice, [this] { return value_.has_value(); });
            if (value_) break;
            const auto now = std::chrono::steady_clock::now();
            if (progress) {
                const std::int64_t count = progress->completedUnitCount();
                if (count != lastCount) {
                    lastCount = count;
                    lastMove = now;
                }
            }
            if (now - lastMove >= limit) return std::nullopt;
        }
        return std::move(value_);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<T> value_;
};

}  // namespace Ostrane
