#pragma once
// Items kept in this process only: for tests, and for hosts that want nothing written to disk.
#include "keychain/RecordItemStore.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace KeychainStore {

class MemoryItemStore : public RecordItemStore {
public:
    MemoryItemStore() = default;

protected:
    OSStatus begin(bool write, const Access& access, std::unique_ptr<Transaction>& out) override;

private:
    class MemoryTransaction;
    std::mutex mutex_;
    std::vector<StoredItem> items_;
    std::uint64_t nextId_ = 1;
};

} // namespace KeychainStore
