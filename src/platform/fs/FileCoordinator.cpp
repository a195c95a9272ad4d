#include "platform/fs/FileCoordinator.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace platform {

namespace {

using ItemLock = std::shared_timed_mutex;

// One lock per item path for as long as someone holds or waits for it.
std::shared_ptr<ItemLock> lockFor(const std::string& path) {
    static std::mutex tableMutex;
    static std::map<std::string, std::weak_ptr<ItemLock>> table;
    std::lock_guard guard(tableMutex);
    for (auto it = table.begin(); it != table.end();) {
        if (it->second.expired())
            it = table.erase(it);
        else
            ++it;
    }
    auto& slot = table[path];
    auto lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<ItemLock>();
        slot = lock;
    }
    return lock;
}

std::string keyOf(const URL& url) {
    std::string path = url.isFileURL() ? url.path() : url.absoluteString();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

struct Held {
    std::shared_ptr<ItemLock> lock;
    bool exclusive;
};

} // namespace

void FileCoordinator::coordinate(const std::vector<FileAccessIntent>& intents, const std::shared_ptr<OperationQueue>& queue,
                                 std::function<void(ErrorRef error)> accessor, double timeout) {
    // Items in path order, each once with the strongest access asked for it: two accesses that
    // share items take them in the same order and cannot wait for each other.
    std::map<std::string, bool> items;
    for (const auto& intent : intents) items[keyOf(intent.url())] |= intent.isWriting();

    auto work = [items = std::move(items), accessor = std::move(accessor), timeout] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                                     std::chrono::duration<double>(timeout > 0 ? timeout : 0));
        std::vector<Held> held;
        ErrorRef error;
        for (const auto& [path, exclusive] : items) {
            auto lock = lockFor(path);
            const bool got = exclusive ? lock->try_lock_until(deadline) : lock->try_lock_shared_until(deadline);
            if (!got) {
                error = CocoaError::make(CocoaError::fileLocking, path);
                break;
            }
            held.push_back({std::move(lock), exclusive});
        }
        auto release = [&held] {
            for (auto it = held.rbegin(); it != held.rend(); ++it) {
                if (it->exclusive)
                    it->lock->unlock();
                else
                    it->lock->unlock_shared();
            }
            held.clear();
        };
        if (error) {
            release();
            accessor(error);
            return;
        }
        try {
            accessor(nullptr);
        } catch (...) {
            release();
            throw;
        }
        release();
    };
    queue->addOperation(std::move(work));
}

} // namespace platform
