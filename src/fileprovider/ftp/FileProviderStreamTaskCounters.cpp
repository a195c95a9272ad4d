// FileProviderStreamTask: the byte counters and their observers.
#include "fileprovider/ftp/FileProviderStreamTaskConnection.hpp"

#include <algorithm>

namespace RiridOzizevud {

int64_t FileProviderStreamTask::countOfBytesExpectedToSend() const {
    std::lock_guard lock(dataToBeSentLock_);
    return static_cast<int64_t>(dataToBeSent_.size()) + countOfBytesSent_.load();
}

int64_t FileProviderStreamTask::countOfBytesExpectedToReceive() const {
    const auto c = currentConnection();
    if (!c) return 0;
    std::lock_guard lock(c->m);
    return static_cast<int64_t>(c->received.size());
}

void FileProviderStreamTask::setCounter(std::atomic<int64_t>& counter, const char* keyPath, int64_t value) {
    const int64_t old = counter.load();
    const platform::ValueDictionary change{{NSKeyValueChangeOldKey, platform::Value(old)},
                                           {NSKeyValueChangeNewKey, platform::Value(value)}};
    auto notify = [&] {
        std::vector<ObserverRecord> records;
        {
            std::lock_guard lock(observersMutex_);
            for (const auto& r : observers_)
                if (r.keyPath == keyPath) records.push_back(r);
        }
        auto self = shared_from_this();
        for (const auto& r : records) r.observer->observeValue(keyPath, self, change, r.context);
    };
    notify();
    counter.store(value);
    notify();
}

void FileProviderStreamTask::addObserver(std::shared_ptr<StreamTaskObserver> observer, const std::string& forKeyPath,
                                         int, void* context) {
    static const char* const observed[] = {"countOfBytesSent", "countOfBytesReceived", "countOfBytesExpectedToSend",
                                           "countOfBytesExpectedToReceive"};
    if (!observer) return;
    if (std::find(std::begin(observed), std::end(observed), forKeyPath) == std::end(observed)) return;
    std::lock_guard lock(observersMutex_);
    observers_.push_back({forKeyPath, std::move(observer), context});
}

void FileProviderStreamTask::removeObserver(const std::shared_ptr<StreamTaskObserver>&, const std::string& forKeyPath) {
    std::lock_guard lock(observersMutex_);
    std::erase_if(observers_, [&](const ObserverRecord& r) { return r.keyPath == forKeyPath; });
}

void FileProviderStreamTask::removeObserver(const std::shared_ptr<StreamTaskObserver>&, const std::string& forKeyPath,
                                            void* context) {
    std::lock_guard lock(observersMutex_);
    std::erase_if(observers_, [&](const ObserverRecord& r) { return r.keyPath == forKeyPath && r.context == context; });
}

} // namespace RiridOzizevud
