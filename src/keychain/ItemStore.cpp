#include "keychain/ItemStore.hpp"

#include "keychain/MemoryItemStore.hpp"
#include "keychain/SQLiteItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"
#include "keychain/Status.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace KeychainStore {
namespace {

std::mutex storeMutex;
ItemStoreRef currentStore;

// The store an unknown OSTRANE_KEYCHAIN_STORE names: none. Every call fails, so a misspelt choice
// never puts passwords into a store the host did not mean.
class UnknownItemStore : public ItemStore {
public:
    explicit UnknownItemStore(std::string name) : name_(std::move(name)) {}
    OSStatus copyMatching(const Security::Dictionary&, Security::Result*) override { return refuse(); }
    OSStatus add(const Security::Dictionary&, Security::Result*) override { return refuse(); }
    OSStatus update(const Security::Dictionary&, const Security::Dictionary&) override { return refuse(); }
    OSStatus remove(const Security::Dictionary&) override { return refuse(); }

private:
    OSStatus refuse() const {
        std::fprintf(stderr, "OSTRANE_KEYCHAIN_STORE=\"%s\" names no keychain store (sqlite, secret-service or memory)\n",
                     name_.c_str());
        return Status::notAvailable;
    }
    const std::string name_;
};

ItemStoreRef storeFromEnvironment() {
    const char* choice = std::getenv("OSTRANE_KEYCHAIN_STORE");
    std::string_view name = choice ? choice : "";
    if (name == "secret-service") return std::make_shared<SecretServiceItemStore>();
    if (name == "memory") return std::make_shared<MemoryItemStore>();
    if (name.empty() || name == "sqlite") return std::make_shared<SQLiteItemStore>();
    return std::make_shared<UnknownItemStore>(std::string(name));
}

}  // namespace

OSStatus ItemStore::addOrUpdate(const Security::Dictionary& attributes, const Security::Dictionary& query,
                                const Security::Dictionary& changes) {
    // Each lost turn means another writer's call went through in between; the bound only keeps a
    // store that answers nonsense from looping for good.
    OSStatus s = add(attributes, nullptr);
    for (int turn = 0; turn < 16 && s == Status::duplicateItem; ++turn) {
        s = update(query, changes);
        if (s == Status::itemNotFound) s = add(attributes, nullptr);
    }
    return s;
}

void setItemStore(ItemStoreRef store) {
    std::lock_guard<std::mutex> lock(storeMutex);
    currentStore = std::move(store);
}

ItemStoreRef itemStore() {
    std::lock_guard<std::mutex> lock(storeMutex);
    if (!currentStore) currentStore = storeFromEnvironment();
    return currentStore;
}

} // namespace KeychainStore
