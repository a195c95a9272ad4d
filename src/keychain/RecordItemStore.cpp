#include "keychain/RecordItemStore.hpp"

#include <algorithm>
#include <set>
#include <tuple>

namespace KeychainStore {
namespace {

using namespace Security;

enum class Kind { string, integer, data, boolean, date, accessControl };

struct AttributeRule {
    Kind kind;
    bool generic;      // belongs to generic passwords
    bool internet;     // belongs to internet passwords
    bool primaryKey;   // part of the identity of an item
    bool settable;     // may be given to add and update
};

const std::map<std::string, AttributeRule>& attributeRules() {
    static const std::map<std::string, AttributeRule> rules = {
        {kSecAttrAccessGroup, {Kind::string, true, true, true, true}},
        {kSecAttrAccessible, {Kind::string, true, true, false, true}},
        {kSecAttrAccessControl, {Kind::accessControl, true, true, false, true}},
        {kSecAttrSynchronizable, {Kind::boolean, true, true, true, true}},
        {kSecAttrCreationDate, {Kind::date, true, true, false, false}},
        {kSecAttrModificationDate, {Kind::date, true, true, false, false}},
        {kSecAttrDescription, {Kind::string, true, true, false, true}},
        {kSecAttrComment, {Kind::string, true, true, false, true}},
        {kSecAttrCreator, {Kind::string, true, true, false, true}},
        {kSecAttrType, {Kind::string, true, true, false, true}},
        {kSecAttrLabel, {Kind::string, true, true, false, true}},
        {kSecAttrIsInvisible, {Kind::boolean, true, true, false, true}},
        {kSecAttrIsNegative, {Kind::boolean, true, true, false, true}},
        {kSecAttrAccount, {Kind::string, true, true, true, true}},
        {kSecAttrService, {Kind::string, true, false, true, true}},
        {kSecAttrGeneric, {Kind::data, true, false, false, true}},
        {kSecAttrSecurityDomain, {Kind::string, false, true, true, true}},
        {kSecAttrServer, {Kind::string, false, true, true, true}},
        {kSecAttrProtocol, {Kind::string, false, true, true, true}},
        {kSecAttrAuthenticationType, {Kind::string, false, true, true, true}},
        {kSecAttrPort, {Kind::integer, false, true, true, true}},
        {kSecAttrPath, {Kind::string, false, true, true, true}},
    };
    return rules;
}

const std::set<std::string>& accessibilities() {
    static const std::set<std::string> values = {
        kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock, kSecAttrAccessibleAlways,
        kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
        kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly, kSecAttrAccessibleAlwaysThisDeviceOnly,
    };
    return values;
}

bool hasKind(const Value& v, Kind kind) {
    switch (kind) {
        case Kind::string: return v.is<std::string>();
        case Kind::integer: return v.is<std::int64_t>();
        case Kind::data: return v.is<Data>();
        case Kind::boolean: return v.is<bool>();
        case Kind::date: return v.is<platform::Date>();
        case Kind::accessControl: return v.is<AccessControlRef>() && *v.as<AccessControlRef>() != nullptr;
    }
    return false;
}

bool isGenericClass(const std::string& itemClass) { return itemClass == kSecClassGenericPassword; }

// Checks one kSecAttr* entry of a query (forQuery) or of attributes to store.
OSStatus checkAttribute(const std::string& itemClass, const std::string& key, const Value& value, bool forQuery) {
    auto it = attributeRules().find(key);
    if (it == attributeRules().end()) return Status::noSuchAttr;
    const AttributeRule& rule = it->second;
    if (isGenericClass(itemClass) ? !rule.generic : !rule.internet) return Status::noSuchAttr;
    if (key == kSecAttrSynchronizable && value.is<SynchronizableAny>()) return forQuery ? Status::success : Status::param;
    if (!hasKind(value, rule.kind)) return Status::param;
    if (!forQuery && !rule.settable) return Status::readOnlyAttr;
    if (forQuery && rule.kind == Kind::accessControl) return Status::param;
    if (key == kSecAttrAccessible && !accessibilities().count(*value.as<std::string>())) return Status::param;
    if (key == kSecAttrAccessControl && !accessibilities().count((*value.as<AccessControlRef>())->protection()))
        return Status::param;
    return Status::success;
}

OSStatus readClass(const Dictionary& dictionary, std::string& itemClass) {
    auto it = dictionary.find(kSecClass);
    if (it == dictionary.end()) return Status::param;
    const std::string* s = it->second.as<std::string>();
    if (!s || (*s != kSecClassGenericPassword && *s != kSecClassInternetPassword)) return Status::param;
    itemClass = *s;
    return Status::success;
}

OSStatus readBool(const Value& v, bool& out) {
    if (!v.is<bool>()) return Status::param;
    out = *v.as<bool>();
    return Status::success;
}

OSStatus readAccess(const Dictionary& dictionary, Access& access) {
    if (auto it = dictionary.find(kSecUseAuthenticationUI); it != dictionary.end()) {
        const std::string* s = it->second.as<std::string>();
        if (!s) return Status::param;
        if (*s == kSecUseAuthenticationUIAllow) access.ui = Interaction::allow;
        else if (*s == kSecUseAuthenticationUIFail) access.ui = Interaction::fail;
        else if (*s == kSecUseAuthenticationUISkip) access.ui = Interaction::skip;
        else return Status::param;
    }
    if (auto it = dictionary.find(kSecUseOperationPrompt); it != dictionary.end()) {
        const std::string* s = it->second.as<std::string>();
        if (!s) return Status::param;
        access.prompt = *s;
    }
    if (auto it = dictionary.find(kSecUseAuthenticationContext); it != dictionary.end()) {
        if (!it->second.is<LAContextRef>()) return Status::param;
    }
    return Status::success;
}

struct Query {
    std::string itemClass;
    Dictionary match;   // kSecAttr* entries the items must equal (synchronizable excluded)
    std::optional<bool> synchronizable = false;   // no value: either
    bool limitAll = false;
    bool returnData = false, returnAttributes = false, returnRef = false, returnPersistentRef = false;
    Access access;

    bool returnsAnything() const { return returnData || returnAttributes || returnRef || returnPersistentRef; }

    Dictionary filter() const {
        Dictionary f;
        for (const auto& [k, v] : match) {
            if (v.is<std::string>() || v.is<std::int64_t>() || v.is<bool>()) f.emplace(k, v);
        }
        if (synchronizable) f.emplace(kSecAttrSynchronizable, *synchronizable);
        return f;
    }
};

// Reads a search query. An update or a delete acts on every match; it ignores match limits and
// return keys.
OSStatus parseQuery(const Dictionary& dictionary, Query& q) {
    if (OSStatus s = readClass(dictionary, q.itemClass)) return s;
    if (OSStatus s = readAccess(dictionary, q.access)) return s;
    for (const auto& [key, value] : dictionary) {
        if (key == kSecClass || key == kSecUseAuthenticationUI || key == kSecUseOperationPrompt ||
            key == kSecUseAuthenticationContext) {
            continue;
        }
        if (key == kSecMatchLimit) {
            const std::string* s = value.as<std::string>();
            if (s && *s == kSecMatchLimitOne) q.limitAll = false;
            else if (s && *s == kSecMatchLimitAll) q.limitAll = true;
            else if (const std::int64_t* n = value.as<std::int64_t>(); n && *n == 1) q.limitAll = false;
            else return Status::param;
        } else if (key == kSecReturnData) {
            if (OSStatus s = readBool(value, q.returnData)) return s;
        } else if (key == kSecReturnAttributes) {
            if (OSStatus s = readBool(value, q.returnAttributes)) return s;
        } else if (key == kSecReturnRef) {
            if (OSStatus s = readBool(value, q.returnRef)) return s;
        } else if (key == kSecReturnPersistentRef) {
            if (OSStatus s = readBool(value, q.returnPersistentRef)) return s;
        } else if (key == kSecValueRef) {
            return Status::valueRefUnsupported;
        } else if (key == kSecValuePersistentRef) {
            return Status::valuePersistentRefUnsupported;
        } else if (key == kSecValueData) {
            // Items are never found by their secret.
            return Status::param;
        } else {
            if (OSStatus s = checkAttribute(q.itemClass, key, value, true)) return s;
            if (key == kSecAttrSynchronizable) {
                q.synchronizable = value.is<SynchronizableAny>() ? std::nullopt : std::optional<bool>(*value.as<bool>());
            } else {
                q.match.emplace(key, value);
            }
        }
    }
    return Status::success;
}

// Attributes to store, read from an add or an update dictionary.
struct Change {
    Dictionary attributes;           // kSecAttr* entries
    std::optional<Data> data;
    Access access;
    bool returnData = false, returnAttributes = false, returnRef = false, returnPersistentRef = false;
};

OSStatus parseChange(const std::string& itemClass, const Dictionary& dictionary, bool forAdd, Change& c) {
    if (OSStatus s = readAccess(dictionary, c.access)) return s;
    for (const auto& [key, value] : dictionary) {
        if (key == kSecClass || key == kSecUseAuthenticationUI || key == kSecUseOperationPrompt ||
            key == kSecUseAuthenticationContext) {
            continue;
        }
        if (key == kSecValueData) {
            if (!value.is<Data>()) return Status::param;
            c.data = *value.as<Data>();
        } else if (key == kSecReturnData || key == kSecReturnAttributes || key == kSecReturnRef ||
                   key == kSecReturnPersistentRef) {
            if (!forAdd) return Status::param;
            bool flag = false;
            if (OSStatus s = readBool(value, flag)) return s;
            if (key == kSecReturnData) c.returnData = flag;
            else if (key == kSecReturnAttributes) c.returnAttributes = flag;
            else if (key == kSecReturnRef) c.returnRef = flag;
            else c.returnPersistentRef = flag;
        } else if (key == kSecMatchLimit) {
            return Status::param;
        } else if (key == kSecValueRef) {
            return Status::valueRefUnsupported;
        } else if (key == kSecValuePersistentRef) {
            return Status::valuePersistentRefUnsupported;
        } else {
            if (OSStatus s = checkAttribute(itemClass, key, value, false)) return s;
            c.attributes.emplace(key, value);
        }
    }
    return Status::success;
}

// Applies changed attributes to an item's attributes; kSecAttrAccessible and kSecAttrAccessControl
// describe one protection, so setting one replaces the other.
void applyAttributes(Dictionary& attributes, const Dictionary& changes) {
    for (const auto& [key, value] : changes) {
        if (key == kSecAttrAccessible && !changes.count(kSecAttrAccessControl)) {
            attributes.erase(kSecAttrAccessControl);
        }
        attributes.insert_or_assign(key, value);
    }
    if (auto it = changes.find(kSecAttrAccessControl); it != changes.end()) {
        attributes.insert_or_assign(kSecAttrAccessible, (*it->second.as<AccessControlRef>())->protection());
    }
}

// An attribute as identity and matching see it: absent primary-key entries count as their empty value.
std::optional<Value> effective(const Dictionary& attributes, const std::string& key) {
    if (auto it = attributes.find(key); it != attributes.end()) return it->second;
    auto rule = attributeRules().find(key);
    if (rule == attributeRules().end() || !rule->second.primaryKey) return std::nullopt;
    switch (rule->second.kind) {
        case Kind::string: return Value(std::string());
        case Kind::integer: return Value(std::int64_t{0});
        case Kind::boolean: return Value(false);
        default: return std::nullopt;
    }
}

bool matches(const StoredItem& item, const Query& q) {
    if (auto it = item.attributes.find(kSecClass); it == item.attributes.end() || !(it->second == Value(q.itemClass)))
        return false;
    if (q.synchronizable) {
        auto v = effective(item.attributes, kSecAttrSynchronizable);
        if (!v || !(*v == Value(*q.synchronizable))) return false;
    }
    for (const auto& [key, value] : q.match) {
        auto v = effective(item.attributes, key);
        if (!v || !(*v == value)) return false;
    }
    return true;
}

std::vector<Value> primaryKey(const StoredItem& item) {
    std::vector<Value> key;
    for (const auto& [name, rule] : attributeRules()) {
        if (!rule.primaryKey) continue;
        key.push_back(effective(item.attributes, name).value_or(Value(std::string())));
    }
    return key;
}

bool samePrimaryKey(const StoredItem& a, const StoredItem& b) {
    auto ka = primaryKey(a), kb = primaryKey(b);
    return ka == kb;
}

Data refOf(const StoredItem& item) { return Data(item.id.begin(), item.id.end()); }

Value shape(const StoredItem& item, bool returnData, bool returnAttributes, bool returnRef, bool returnPersistentRef) {
    int kinds = int(returnData) + int(returnAttributes) + int(returnRef) + int(returnPersistentRef);
    if (kinds == 1 && returnData) return item.data.value_or(Data{});
    if (kinds == 1 && (returnRef || returnPersistentRef)) return refOf(item);
    Dictionary d;
    if (returnAttributes) d = item.attributes;
    if (returnData) d.insert_or_assign(kSecValueData, item.data.value_or(Data{}));
    if (returnRef) d.insert_or_assign(kSecValueRef, refOf(item));
    if (returnPersistentRef) d.insert_or_assign(kSecValuePersistentRef, refOf(item));
    return d;
}

// A store without transactions across processes (the Secret Service) can end up holding two items
// of one identity when two processes add it at once; every later update would then fail as a
// duplicate. The write that meets such twins keeps one of each matching set, the same one in every
// process (the smallest id), and lets the others go.
template <class Transaction>
OSStatus repairDuplicates(Transaction& t, const Query& q, std::vector<StoredItem>& all) {
    std::vector<bool> drop(all.size(), false);
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (drop[i] || !matches(all[i], q)) continue;
        for (std::size_t j = 0; j < all.size(); ++j) {
            if (j == i || drop[j] || !matches(all[j], q) || !samePrimaryKey(all[i], all[j])) continue;
            const std::size_t loser = all[j].id < all[i].id ? i : j;
            drop[loser] = true;
            if (loser == i) break;
        }
    }
    std::vector<StoredItem> kept;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!drop[i]) {
            kept.push_back(std::move(all[i]));
            continue;
        }
        if (OSStatus s = t.erase(all[i].id)) return s;
    }
    all = std::move(kept);
    return Status::success;
}

// An add, checked and ready to write.
struct Addition {
    std::string itemClass;
    Change change;
    StoredItem item;
};

OSStatus prepareAdd(const Dictionary& attributes, Addition& a) {
    if (OSStatus s = readClass(attributes, a.itemClass)) return s;
    if (OSStatus s = parseChange(a.itemClass, attributes, true, a.change)) return s;
    StoredItem& item = a.item;
    item.attributes.emplace(kSecClass, a.itemClass);
    applyAttributes(item.attributes, a.change.attributes);
    if (!item.attributes.count(kSecAttrSynchronizable)) item.attributes.emplace(kSecAttrSynchronizable, false);
    if (!item.attributes.count(kSecAttrAccessible))
        item.attributes.emplace(kSecAttrAccessible, std::string(kSecAttrAccessibleWhenUnlocked));
    platform::Date now;
    item.attributes.insert_or_assign(kSecAttrCreationDate, now);
    item.attributes.insert_or_assign(kSecAttrModificationDate, now);
    item.data = a.change.data.value_or(Data{});
    return Status::success;
}

// Inserts the item unless one with its primary key is there; does not commit.
template <class Transaction>
OSStatus addIn(Transaction& t, Addition& a) {
    // Everything that shares the new item's primary key, whatever its other attributes.
    Dictionary filter;
    for (const auto& [name, rule] : attributeRules()) {
        if (!rule.primaryKey) continue;
        if (auto v = effective(a.item.attributes, name);
            v && (isGenericClass(a.itemClass) ? rule.generic : rule.internet))
            filter.emplace(name, *v);
    }
    std::vector<StoredItem> found;
    if (OSStatus s = t.find(a.itemClass, filter, false, found)) return s;
    for (const StoredItem& other : found) {
        if (samePrimaryKey(other, a.item)) return Status::duplicateItem;
    }
    return t.insert(a.item);
}

// An update, checked and ready to write.
struct Modification {
    Query query;
    Change change;
};

OSStatus prepareUpdate(const Dictionary& query, const Dictionary& attributes, Modification& m) {
    if (OSStatus s = parseQuery(query, m.query)) return s;
    if (auto it = attributes.find(kSecClass); it != attributes.end() && !(it->second == Value(m.query.itemClass)))
        return Status::param;
    return parseChange(m.query.itemClass, attributes, false, m.change);
}

// Changes every matching item; does not commit.
template <class Transaction>
OSStatus updateIn(Transaction& t, const Modification& m) {
    const Query& q = m.query;
    std::vector<StoredItem> all;
    if (OSStatus s = t.find(q.itemClass, {}, false, all)) return s;
    if (OSStatus s = repairDuplicates(t, q, all)) return s;
    platform::Date now;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!matches(all[i], q)) continue;
        applyAttributes(all[i].attributes, m.change.attributes);
        all[i].attributes.insert_or_assign(kSecAttrModificationDate, now);
        all[i].data = m.change.data;
        changed.push_back(i);
    }
    if (changed.empty()) return Status::itemNotFound;
    // A change must not give two items one identity.
    for (std::size_t i : changed) {
        for (std::size_t j = 0; j < all.size(); ++j) {
            if (j != i && samePrimaryKey(all[i], all[j])) return Status::duplicateItem;
        }
    }
    for (std::size_t i : changed) {
        if (OSStatus s = t.replace(all[i])) return s;
    }
    return Status::success;
}

}  // namespace

OSStatus RecordItemStore::copyMatching(const Dictionary& query, Result* result) {
    Query q;
    if (OSStatus s = parseQuery(query, q)) return s;
    std::unique_ptr<Transaction> t;
    if (OSStatus s = begin(false, q.access, t)) return s;
    std::vector<StoredItem> found;
    if (OSStatus s = t->find(q.itemClass, q.filter(), q.returnData, found)) return s;
    std::vector<const StoredItem*> hits;
    for (const StoredItem& item : found) {
        if (matches(item, q)) hits.push_back(&item);
        if (!q.limitAll && !hits.empty()) break;
    }
    if (hits.empty()) return Status::itemNotFound;
    if (result && q.returnsAnything()) {
        if (q.limitAll) {
            Array list;
            for (const StoredItem* item : hits)
                list.push_back(shape(*item, q.returnData, q.returnAttributes, q.returnRef, q.returnPersistentRef));
            *result = Value(std::move(list));
        } else {
            *result = shape(*hits.front(), q.returnData, q.returnAttributes, q.returnRef, q.returnPersistentRef);
        }
    }
    return t->commit();
}

OSStatus RecordItemStore::add(const Dictionary& attributes, Result* result) {
    Addition a;
    if (OSStatus s = prepareAdd(attributes, a)) return s;
    std::unique_ptr<Transaction> t;
    if (OSStatus s = begin(true, a.change.access, t)) return s;
    if (OSStatus s = addIn(*t, a)) return s;
    if (OSStatus s = t->commit()) return s;
    const Change& c = a.change;
    if (result && (c.returnData || c.returnAttributes || c.returnRef || c.returnPersistentRef))
        *result = shape(a.item, c.returnData, c.returnAttributes, c.returnRef, c.returnPersistentRef);
    return Status::success;
}

OSStatus RecordItemStore::update(const Dictionary& query, const Dictionary& attributes) {
    Modification m;
    if (OSStatus s = prepareUpdate(query, attributes, m)) return s;
    std::unique_ptr<Transaction> t;
    if (OSStatus s = begin(true, m.query.access, t)) return s;
    if (OSStatus s = updateIn(*t, m)) return s;
    return t->commit();
}

OSStatus RecordItemStore::addOrUpdate(const Dictionary& attributes, const Dictionary& query,
                                      const Dictionary& changes) {
    Addition a;
    if (OSStatus s = prepareAdd(attributes, a)) return s;
    Modification m;
    if (OSStatus s = prepareUpdate(query, changes, m)) return s;
    // A store whose transactions do not shut out other processes (the Secret Service) can see the
    // item go between its add's look and its update; the next turn then adds it.
    OSStatus s = Status::success;
    for (int turn = 0; turn < 16; ++turn) {
        std::unique_ptr<Transaction> t;
        if ((s = begin(true, a.change.access, t))) return s;
        s = addIn(*t, a);
        if (s == Status::duplicateItem) s = updateIn(*t, m);
        if (s == Status::success) return t->commit();
        if (s != Status::itemNotFound) return s;
    }
    return s;
}

OSStatus RecordItemStore::remove(const Dictionary& query) {
    Query q;
    if (OSStatus s = parseQuery(query, q)) return s;
    std::unique_ptr<Transaction> t;
    if (OSStatus s = begin(true, q.access, t)) return s;
    std::vector<StoredItem> found;
    if (OSStatus s = t->find(q.itemClass, q.filter(), false, found)) return s;
    bool any = false;
    for (const StoredItem& item : found) {
        if (!matches(item, q)) continue;
        if (OSStatus s = t->erase(item.id)) return s;
        any = true;
    }
    if (!any) return Status::itemNotFound;
    return t->commit();
}

} // namespace KeychainStore
