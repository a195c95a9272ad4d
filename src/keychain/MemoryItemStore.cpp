#include "keychain/MemoryItemStore.hpp"

namespace KeychainStore {

// Works on a copy of the items under the store's lock and swaps it in on commit, so an abandoned
// transaction changes nothing.
class MemoryItemStore::MemoryTransaction : public Transaction {
public:
    explicit MemoryTransaction(MemoryItemStore& store)
        : lock_(store.mutex_), store_(store), items_(store.items_), nextId_(store.nextId_) {}

    OSStatus find(const std::string& itemClass, const Security::Dictionary&, bool withData,
                  std::vector<StoredItem>& out) override {
        for (const StoredItem& item : items_) {
            auto it = item.attributes.find(Security::kSecClass);
            if (it == item.attributes.end() || !(it->second == Security::Value(itemClass))) continue;
            out.push_back(item);
            if (!withData) out.back().data.reset();
        }
        return Status::success;
    }

    OSStatus insert(StoredItem& item) override {
        item.id = "memory:" + std::to_string(nextId_++);
        items_.push_back(item);
        return Status::success;
    }

    OSStatus replace(const StoredItem& item) override {
        for (StoredItem& mine : items_) {
            if (mine.id != item.id) continue;
            mine.attributes = item.attributes;
            if (item.data) mine.data = item.data;
            return Status::success;
        }
        return Status::itemNotFound;
    }

    OSStatus erase(const std::string& id) override {
        std::erase_if(items_, [&](const StoredItem& i) { return i.id == id; });
        return Status::success;
    }

    OSStatus commit() override {
        store_.items_ = std::move(items_);
        store_.nextId_ = nextId_;
        return Status::success;
    }

private:
    std::lock_guard<std::mutex> lock_;
    MemoryItemStore& store_;
    std::vector<StoredItem> items_;
    std::uint64_t nextId_;
};

OSStatus MemoryItemStore::begin(bool, const Access&, std::unique_ptr<Transaction>& out) {
    out = std::make_unique<MemoryTransaction>(*this);
    return Status::success;
}

} // namespace KeychainStore
