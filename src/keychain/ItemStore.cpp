#include "keychain/ItemStore.hpp"

#include "keychain/MemoryItemStore.hpp"
#include "keychain/SQLiteItemStore.hpp"
#include "keychain/SecretServiceItemStore.hpp"

#include <cstdlib>
#include <mutex>
#include <string_view>

namespace KeychainStore {
namespace {

std::mutex storeMutex;
ItemStoreRef currentStore;

ItemStoreRef storeFromEnvironment() {
    const char* choice = std::getenv("OSTRANE_KEYCHAIN_STORE");
    std::string_view name = choice ? choice : "";
    if (name == "secret-service") return std::make_shared<SecretServiceItemStore>();
    if (name == "memory") return std::make_shared<MemoryItemStore>();
    return std::make_shared<SQLiteItemStore>();
}

}  // namespace

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
