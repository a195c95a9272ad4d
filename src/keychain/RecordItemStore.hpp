#pragma once
// The platform's item-call semantics, written once over stores that keep plain records: query
// checking, matching, primary keys, dates and result shapes. A store supplies transactions.
#include "keychain/ItemStore.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace KeychainStore {

/// One item as a store keeps it.
struct StoredItem {
    std::string id;                         // the store's own name for it, stable for its life
    Security::Dictionary attributes;        // kSecClass and kSecAttr* entries only
    std::optional<Security::Data> data;     // absent unless asked for (and on replace: unchanged)
};

/// What a call allows when an item needs the user to unlock it first.
enum class Interaction { allow, fail, skip };

struct Access {
    Interaction ui = Interaction::allow;
    std::optional<std::string> prompt;
};

class RecordItemStore : public ItemStore {
public:
    OSStatus copyMatching(const Security::Dictionary& query, Security::Result* result) final;
    OSStatus add(const Security::Dictionary& attributes, Security::Result* result) final;
    OSStatus update(const Security::Dictionary& query, const Security::Dictionary& attributes) final;
    OSStatus remove(const Security::Dictionary& query) final;
    /// In one write transaction: where the store's transactions shut out other writers (the
    /// SQLite and memory stores), no writer beside it can make it fail.
    OSStatus addOrUpdate(const Security::Dictionary& attributes, const Security::Dictionary& query,
                         const Security::Dictionary& changes) final;

protected:
    /// One unit of work. Destroyed without commit(), it leaves the store as it was (where the
    /// store can undo; see each store).
    class Transaction {
    public:
        virtual ~Transaction() = default;
        /// Items of `itemClass`; the store may narrow by the string, integer and boolean entries of
        /// `filter` (all of which a match must equal) but the caller checks every item again.
        virtual OSStatus find(const std::string& itemClass, const Security::Dictionary& filter, bool withData,
                              std::vector<StoredItem>& out) = 0;
        /// Stores a new item and sets its id.
        virtual OSStatus insert(StoredItem& item) = 0;
        /// Replaces the attributes of the item with this id, and its data when present.
        virtual OSStatus replace(const StoredItem& item) = 0;
        virtual OSStatus erase(const std::string& id) = 0;
        virtual OSStatus commit() = 0;
    };

    virtual OSStatus begin(bool write, const Access& access, std::unique_ptr<Transaction>& out) = 0;
};

} // namespace KeychainStore
