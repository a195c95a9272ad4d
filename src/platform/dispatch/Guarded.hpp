#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace platform {

/// A value that many threads read and set, each access under the value's own lock. Reads hand out a
/// copy, so nothing is used while another thread replaces it. For settings that are read and set
/// alone; state whose parts must change together keeps one lock of its own.
template <class T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded& other) : value_(other.get()) {}
    Guarded& operator=(const Guarded& other) {
        if (this != &other) set(other.get());
        return *this;
    }

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            std::swap(value_, value);
        }
        // The old value, now in `value`, is let go outside the lock: it may own an object whose
        // release calls back here.
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

/// A weak reference under its own lock, as delegates are held: reads give an owner or nothing.
template <class T>
class GuardedWeak {
public:
    GuardedWeak() = default;
    GuardedWeak(const GuardedWeak& other) : value_(other.get()) {}
    GuardedWeak& operator=(const GuardedWeak& other) {
        if (this != &other) set(other.get());
        return *this;
    }

    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex_);
        return value_.lock();
    }
    void set(const std::shared_ptr<T>& value) {
        std::lock_guard lock(mutex_);
        value_ = value;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

}  // namespace platform
