// platform::NotificationCenter — named notifications posted by one object to the observers that
// asked for that name (and that object, or any). Observers without a queue run on the posting
// thread; with one they run as an operation of that queue. Observers are called without any lock
// of ours held, so an observer may post, add or remove observers.
#pragma once

#include "platform/data/Value.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class OperationQueue;

struct Notification {
    std::string name;
    /// The posting object; compared by address only.
    const void* object = nullptr;
    ValueDictionary userInfo;
};

class NotificationCenter {
public:
    using ObserverToken = std::uint64_t;

    /// The process-wide centre (NotificationCenter.default).
    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    /// addObserver(forName:object:queue:using:): `object` nullptr observes every poster.
    ObserverToken addObserver(std::string name, const void* object, std::shared_ptr<OperationQueue> queue,
                              std::function<void(const Notification&)> block);
    /// Once it returns no new call of the observer starts; one already under way may finish.
    void removeObserver(ObserverToken token);
    void post(const Notification& notification);
    void post(std::string name, const void* object, ValueDictionary userInfo = {});

    size_t observerCount() const;

private:
    struct Observer {
        std::string name;
        const void* object;
        std::shared_ptr<OperationQueue> queue;
        std::function<void(const Notification&)> block;
    };

    mutable std::mutex mutex_;
    ObserverToken next_ = 1;
    std::map<ObserverToken, std::shared_ptr<Observer>> observers_;
};

} // namespace platform
