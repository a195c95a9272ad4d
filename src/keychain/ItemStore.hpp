#pragma once
// Where keychain items live. The four item calls of SecItem.hpp go to one process-wide store,
// which the host chooses; by default it is the SQLite file store under $XDG_DATA_HOME.
#include "keychain/SecItem.hpp"

#include <memory>
#include <string>

namespace KeychainStore {

class ItemStore {
public:
    virtual ~ItemStore() = default;

    // The platform's semantics: a query selects by its kSecClass and kSecAttr* entries (with the
    // kSecAttrSynchronizable rule: absent means local items only, the "any" marker means both);
    // kSecMatchLimit one (default) or all; data, attributes and references come back only when a
    // kSecReturn* key asks; kSecUse*, kSecMatch* and kSecReturn* keys are never stored.
    virtual OSStatus copyMatching(const Security::Dictionary& query, Security::Result* result) = 0;
    /// -25299 when an item with the same primary key exists.
    virtual OSStatus add(const Security::Dictionary& attributes, Security::Result* result) = 0;
    /// Changes every matching item; -25300 when none matches.
    virtual OSStatus update(const Security::Dictionary& query, const Security::Dictionary& attributes) = 0;
    /// Deletes every matching item; -25300 when none matches.
    virtual OSStatus remove(const Security::Dictionary& query) = 0;
    /// Adds `attributes`, or where an item with their primary key is there updates the items
    /// `query` selects with `changes`, whatever other writers do beside it. This one tries the add
    /// and the update in turn, so a writer that adds or removes the item between the two cannot
    /// make it fail; a store with transactions does both in one.
    virtual OSStatus addOrUpdate(const Security::Dictionary& attributes, const Security::Dictionary& query,
                                 const Security::Dictionary& changes);
};

using ItemStoreRef = std::shared_ptr<ItemStore>;

/// Replaces the process-wide store (nullptr restores the default choice).
void setItemStore(ItemStoreRef store);
/// The process-wide store. Unless the host set one, it is chosen on first use by the environment
/// variable OSTRANE_KEYCHAIN_STORE: "secret-service" for the desktop Secret Service, "memory" for a
/// store that lives as long as the process, "sqlite" or unset for the file store at its default path.
/// Any other value chooses no store: every call then fails with notAvailable (-25291) and says why
/// on standard error.
ItemStoreRef itemStore();

} // namespace KeychainStore
