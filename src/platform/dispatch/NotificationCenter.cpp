#include "platform/dispatch/NotificationCenter.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <vector>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers may still be removed from static destructors.
    static auto* center = new NotificationCenter();
    return *center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name, const void* object,
                                                                  std::shared_ptr<OperationQueue> queue,
                                                                  std::function<void(const Notification&)> block) {
    auto observer = std::make_shared<Observer>(Observer{std::move(name), object, std::move(queue), std::move(block)});
    std::lock_guard lock(mutex_);
    const ObserverToken token = next_++;
    observers_.emplace(token, std::move(observer));
    return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::shared_ptr<Observer> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = observers_.find(token);
        if (it == observers_.end()) return;
        removed = std::move(it->second);
        observers_.erase(it);
    }
    // The block (and what it holds) is released here, outside the lock.
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::pair<ObserverToken, std::shared_ptr<Observer>>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, observer] : observers_)
            if (observer->name == notification.name && (!observer->object || observer->object == notification.object))
                matching.emplace_back(token, observer);
    }
    for (const auto& [token, observer] : matching) {
        {
            // An observer removed by an earlier one of this post is not called.
            std::lock_guard lock(mutex_);
            if (!observers_.count(token)) continue;
        }
        if (observer->queue) {
            observer->queue->addOperation([o = observer, notification] { o->block(notification); });
        } else {
            observer->block(notification);
        }
    }
}

void NotificationCenter::post(std::string name, const void* object, ValueDictionary userInfo) {
    post(Notification{std::move(name), object, std::move(userInfo)});
}

size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return observers_.size();
}

} // namespace platform
