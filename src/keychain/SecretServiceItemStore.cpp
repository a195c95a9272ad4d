#include "keychain/SecretServiceItemStore.hpp"

#include <libsecret/secret.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

namespace KeychainStore {
namespace {

using namespace Security;

enum class Kind { string, integer, boolean, data, date, accessControl };

struct Field {
    const char* key;    // our attribute key
    const char* name;   // the Secret Service attribute name
    Kind kind;
};

constexpr Field fields[] = {
    {kSecClass, "class", Kind::string},
    {kSecAttrAccessGroup, "accessGroup", Kind::string},
    {kSecAttrAccessible, "accessible", Kind::string},
    {kSecAttrAccessControl, "accessControl", Kind::accessControl},
    {kSecAttrSynchronizable, "synchronizable", Kind::boolean},
    {kSecAttrCreationDate, "created", Kind::date},
    {kSecAttrModificationDate, "modified", Kind::date},
    {kSecAttrDescription, "description", Kind::string},
    {kSecAttrComment, "comment", Kind::string},
    {kSecAttrCreator, "creator", Kind::string},
    {kSecAttrType, "type", Kind::string},
    {kSecAttrLabel, "label", Kind::string},
    {kSecAttrIsInvisible, "invisible", Kind::boolean},
    {kSecAttrIsNegative, "negative", Kind::boolean},
    {kSecAttrAccount, "account", Kind::string},
    {kSecAttrService, "service", Kind::string},
    {kSecAttrGeneric, "generic", Kind::data},
    {kSecAttrSecurityDomain, "securityDomain", Kind::string},
    {kSecAttrServer, "server", Kind::string},
    {kSecAttrProtocol, "protocol", Kind::string},
    {kSecAttrAuthenticationType, "authenticationType", Kind::string},
    {kSecAttrPort, "port", Kind::integer},
    {kSecAttrPath, "path", Kind::string},
};

const SecretSchema* schema() {
    static const SecretSchema value = [] {
        SecretSchema s{};
        s.name = SecretServiceItemStore::schemaName;
        s.flags = SECRET_SCHEMA_NONE;
        std::size_t i = 0;
        for (const Field& f : fields) s.attributes[i++] = {f.name, SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[i] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &value;
}

const Field* fieldOfKey(const std::string& key) {
    for (const Field& f : fields) {
        if (key == f.key) return &f;
    }
    return nullptr;
}

std::string hex(const Data& data) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : data) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::optional<Data> unhex(const std::string& s) {
    if (s.size() % 2) return std::nullopt;
    Data d;
    for (std::size_t i = 0; i < s.size(); i += 2) {
        unsigned v = 0;
        auto [p, ec] = std::from_chars(s.data() + i, s.data() + i + 2, v, 16);
        if (ec != std::errc() || p != s.data() + i + 2) return std::nullopt;
        d.push_back(static_cast<std::uint8_t>(v));
    }
    return d;
}

std::optional<std::string> encodeValue(const Field& f, const Value& v) {
    switch (f.kind) {
        case Kind::string:
            if (const auto* s = v.as<std::string>()) return *s;
            break;
        case Kind::integer:
            if (const auto* i = v.as<std::int64_t>()) return std::to_string(*i);
            break;
        case Kind::boolean:
            if (const auto* b = v.as<bool>()) return std::string(*b ? "true" : "false");
            break;
        case Kind::data:
            if (const auto* d = v.as<Data>()) return hex(*d);
            break;
        case Kind::date:
            if (const auto* t = v.as<platform::Date>()) {
                char text[64];
                std::snprintf(text, sizeof text, "%.17g", t->timeIntervalSince1970());
                return std::string(text);
            }
            break;
        case Kind::accessControl:
            if (const auto* a = v.as<AccessControlRef>(); a && *a)
                return (*a)->protection() + " " + std::to_string((*a)->flags());
            break;
    }
    return std::nullopt;
}

std::optional<Value> decodeValue(const Field& f, const std::string& text) {
    switch (f.kind) {
        case Kind::string: return Value(text);
        case Kind::integer: {
            std::int64_t i = 0;
            auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
            if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
            return Value(i);
        }
        case Kind::boolean:
            if (text == "true") return Value(true);
            if (text == "false") return Value(false);
            return std::nullopt;
        case Kind::data:
            if (auto d = unhex(text)) return Value(std::move(*d));
            return std::nullopt;
        case Kind::date: {
            char* end = nullptr;
            double seconds = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0') return std::nullopt;
            return Value(platform::Date(seconds));
        }
        case Kind::accessControl: {
            auto space = text.rfind(' ');
            if (space == std::string::npos) return std::nullopt;
            std::uint64_t flags = 0;
            auto [p, ec] = std::from_chars(text.data() + space + 1, text.data() + text.size(), flags);
            if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
            return Value(std::make_shared<const AccessControl>(text.substr(0, space), flags));
        }
    }
    return std::nullopt;
}

struct HashTable {
    GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    HashTable() = default;
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;
    ~HashTable() { g_hash_table_unref(table); }
    void put(const std::string& k, const std::string& v) { g_hash_table_insert(table, g_strdup(k.c_str()), g_strdup(v.c_str())); }
};

void encodeInto(HashTable& table, const Dictionary& attributes) {
    for (const auto& [key, value] : attributes) {
        const Field* f = fieldOfKey(key);
        if (!f) continue;
        if (auto text = encodeValue(*f, value)) table.put(f->name, *text);
    }
}

std::optional<Dictionary> decodeAttributes(GHashTable* table) {
    Dictionary d;
    for (const Field& f : fields) {
        auto* text = static_cast<const char*>(g_hash_table_lookup(table, f.name));
        if (!text) continue;
        auto v = decodeValue(f, text);
        if (!v) return std::nullopt;
        d.emplace(f.key, std::move(*v));
    }
    if (!d.count(kSecClass)) return std::nullopt;
    return d;
}

OSStatus statusOf(const GError* error) {
    if (!error) return Status::unexpectedError;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return Status::userCanceled;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return Status::interactionNotAllowed;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return Status::itemNotFound;
    if (error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR) return Status::notAvailable;
    return Status::unexpectedError;
}

// Another process deleted the item between our search and this call: the service no longer knows
// its object path.
bool itemVanished(const GError* error) {
    return error && (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT) ||
                     g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT) ||
                     g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD) ||
                     g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_INTERFACE));
}

// The Secret Service has no transactions, and an add is a search followed by a create: two
// processes adding one item at once would both create it, and a search that meets an item being
// deleted fails. Calls of this library, in every process of the user, take turns on a lock file:
// writers one at a time, readers beside each other. False only when the turn does not come within
// 30 s; a lock file that cannot be made leaves the call to go on alone (`fd` -1).
bool lockStore(bool write, int& fd) {
    fd = -1;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string path = runtime && *runtime ? std::string(runtime) + "/ostrane-keychain.lock"
                                                 : "/tmp/ostrane-keychain-" + std::to_string(::getuid()) + ".lock";
    const int opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (opened < 0) return true;
    struct stat info {};
    if (::fstat(opened, &info) != 0 || info.st_uid != ::getuid()) {
        ::close(opened);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::flock(opened, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK || errno == EINTR;
        if (!busy || std::chrono::steady_clock::now() > deadline) {
            ::close(opened);
            return !busy;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fd = opened;
    return true;
}

struct ErrorHolder {
    GError* error = nullptr;
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder() { g_clear_error(&error); }
    GError** out() {
        g_clear_error(&error);
        return &error;
    }
};

// One unlock request, run on a main context of its own so that its wait can be bounded.
struct UnlockCall {
    GMainContext* context = g_main_context_new();
    GCancellable* cancellable = g_cancellable_new();
    bool done = false;
    gint count = 0;
    GError* error = nullptr;

    ~UnlockCall() {
        g_clear_error(&error);
        g_object_unref(cancellable);
        g_main_context_unref(context);
    }

    static void finished(GObject* source, GAsyncResult* result, gpointer data) {
        auto* call = static_cast<UnlockCall*>(data);
        GList* unlocked = nullptr;
        call->count = secret_service_unlock_finish(SECRET_SERVICE(source), result, &unlocked, &call->error);
        g_list_free_full(unlocked, g_object_unref);
        call->done = true;
    }

    // Runs the context until the call is done or `until` has passed.
    void runUntil(std::chrono::steady_clock::time_point until) {
        while (!done) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return;
            GSource* timer = g_timeout_source_new(static_cast<guint>(std::min<long long>(left.count(), 100)));
            g_source_set_callback(timer, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
            g_source_attach(timer, context);
            g_main_context_iteration(context, TRUE);
            g_source_destroy(timer);
            g_source_unref(timer);
        }
    }
};

// Unlock calls that never finished: libsecret may never complete a cancelled prompt, so such a
// call is set aside (kept reachable) rather than waited for or freed under its feet.
std::mutex abandonedMutex;
std::vector<std::unique_ptr<UnlockCall>> abandonedCalls;

std::string objectPath(gpointer proxy) { return g_dbus_proxy_get_object_path(G_DBUS_PROXY(proxy)); }

std::string labelOf(const Dictionary& attributes) {
    auto text = [&](const char* key) -> std::string {
        auto it = attributes.find(key);
        const std::string* s = it == attributes.end() ? nullptr : it->second.as<std::string>();
        return s ? *s : std::string();
    };
    if (std::string label = text(kSecAttrLabel); !label.empty()) return label;
    std::string where = text(kSecAttrService);
    if (where.empty()) where = text(kSecAttrServer);
    return where + " (" + text(kSecAttrAccount) + ")";
}

SecretValue* secretOf(const Data& data) {
    static const char empty[] = "";
    const char* bytes = data.empty() ? empty : reinterpret_cast<const char*>(data.data());
    return secret_value_new(bytes, static_cast<gssize>(data.size()), "application/octet-stream");
}

}  // namespace

class SecretServiceItemStore::SecretServiceTransaction : public Transaction {
public:
    SecretServiceTransaction(SecretService* service, Access access, std::chrono::milliseconds promptTimeout, int storeLock)
        : service_(service), access_(std::move(access)), promptTimeout_(promptTimeout), storeLock_(storeLock) {}

    ~SecretServiceTransaction() override {
        for (auto& [path, item] : items_) g_object_unref(item);
        g_object_unref(service_);
        if (storeLock_ >= 0) ::close(storeLock_);
    }

    OSStatus find(const std::string& itemClass, const Dictionary& filter, bool withData,
                  std::vector<StoredItem>& out) override {
        // An empty text or a zero may match an item that lacks the attribute, which the service's
        // exact search would miss: leave those to the caller's own check.
        Dictionary narrowing;
        for (const auto& [key, value] : filter) {
            const std::string* s = value.as<std::string>();
            const std::int64_t* i = value.as<std::int64_t>();
            if ((s && s->empty()) || (i && *i == 0)) continue;
            narrowing.emplace(key, value);
        }
        HashTable query;
        encodeInto(query, narrowing);
        query.put("class", itemClass);
        ErrorHolder error;
        GList* found = secret_service_search_sync(service_, schema(), query.table, SECRET_SEARCH_ALL, nullptr,
                                                  error.out());
        if (error.error) return statusOf(error.error);

        std::vector<SecretItem*> unlocked, locked;
        for (GList* l = found; l; l = l->next) {
            auto* item = SECRET_ITEM(l->data);
            (secret_item_get_locked(item) ? locked : unlocked).push_back(item);
        }
        OSStatus status = Status::success;
        if (!locked.empty()) {
            switch (access_.ui) {
                case Interaction::fail: status = Status::interactionNotAllowed; break;
                case Interaction::skip: break;
                case Interaction::allow: {
                    GList* lockedList = nullptr;
                    for (SecretItem* item : locked) lockedList = g_list_prepend(lockedList, item);
                    status = unlock(lockedList);
                    g_list_free(lockedList);
                    if (status == Status::success) {
                        unlocked.insert(unlocked.end(), locked.begin(), locked.end());
                    }
                    break;
                }
            }
        }
        if (status == Status::success) {
            for (SecretItem* item : unlocked) {
                if (withData) {
                    SecretValue* loaded = secret_item_get_secret(item);
                    if (loaded) {
                        secret_value_unref(loaded);
                    } else {
                        ErrorHolder loadError;
                        if (!secret_item_load_secret_sync(item, nullptr, loadError.out())) {
                            if (itemVanished(loadError.error)) continue;
                            status = statusOf(loadError.error);
                            break;
                        }
                    }
                }
                GHashTable* table = secret_item_get_attributes(item);
                auto attributes = decodeAttributes(table);
                g_hash_table_unref(table);
                if (!attributes) continue;   // not written by us in a form we know: leave it alone
                StoredItem stored;
                stored.id = objectPath(item);
                stored.attributes = std::move(*attributes);
                if (withData) {
                    if (SecretValue* secret = secret_item_get_secret(item)) {
                        gsize length = 0;
                        const gchar* bytes = secret_value_get(secret, &length);
                        stored.data = Data(reinterpret_cast<const std::uint8_t*>(bytes),
                                           reinterpret_cast<const std::uint8_t*>(bytes) + length);
                        secret_value_unref(secret);
                    } else {
                        stored.data = Data{};
                    }
                }
                if (!items_.count(stored.id)) items_.emplace(stored.id, SECRET_ITEM(g_object_ref(item)));
                out.push_back(std::move(stored));
            }
        }
        g_list_free_full(found, g_object_unref);
        return status;
    }

    OSStatus insert(StoredItem& item) override {
        ErrorHolder error;
        SecretCollection* collection = secret_collection_for_alias_sync(service_, SECRET_COLLECTION_DEFAULT,
                                                                        SECRET_COLLECTION_NONE, nullptr, error.out());
        if (error.error) return statusOf(error.error);
        if (!collection) return Status::noDefaultKeychain;
        OSStatus status = Status::success;
        if (secret_collection_get_locked(collection)) {
            if (access_.ui != Interaction::allow) {
                status = Status::interactionNotAllowed;
            } else {
                GList one{collection, nullptr, nullptr};
                status = unlock(&one);
            }
        }
        if (status == Status::success) {
            HashTable attributes;
            encodeInto(attributes, item.attributes);
            SecretValue* secret = secretOf(item.data.value_or(Data{}));
            SecretItem* created =
                secret_item_create_sync(collection, schema(), attributes.table, labelOf(item.attributes).c_str(),
                                        secret, SECRET_ITEM_CREATE_NONE, nullptr, error.out());
            secret_value_unref(secret);
            if (!created) {
                status = statusOf(error.error);
            } else {
                item.id = objectPath(created);
                items_.emplace(item.id, created);
            }
        }
        g_object_unref(collection);
        return status;
    }

    OSStatus replace(const StoredItem& item) override {
        auto it = items_.find(item.id);
        if (it == items_.end()) return Status::invalidItemRef;
        HashTable attributes;
        encodeInto(attributes, item.attributes);
        ErrorHolder error;
        // An item another process removed meanwhile is not there to change.
        auto failed = [&] { return itemVanished(error.error) ? OSStatus(Status::itemNotFound) : statusOf(error.error); };
        if (!secret_item_set_attributes_sync(it->second, schema(), attributes.table, nullptr, error.out())) return failed();
        if (!secret_item_set_label_sync(it->second, labelOf(item.attributes).c_str(), nullptr, error.out())) return failed();
        if (item.data) {
            SecretValue* secret = secretOf(*item.data);
            gboolean ok = secret_item_set_secret_sync(it->second, secret, nullptr, error.out());
            secret_value_unref(secret);
            if (!ok) return failed();
        }
        return Status::success;
    }

    OSStatus erase(const std::string& id) override {
        auto it = items_.find(id);
        if (it == items_.end()) return Status::invalidItemRef;
        ErrorHolder error;
        // One that another process removed meanwhile is gone, as asked.
        if (!secret_item_delete_sync(it->second, nullptr, error.out()) && !itemVanished(error.error))
            return statusOf(error.error);
        g_object_unref(it->second);
        items_.erase(it);
        return Status::success;
    }

    // The Secret Service has no transactions: each change above is already made.
    OSStatus commit() override { return Status::success; }

private:
    // Asks the service to unlock `objects`, which may show a prompt; a prompt that is dismissed or
    // not answered in time counts as a cancel by the user.
    OSStatus unlock(GList* objects) {
        auto call = std::make_unique<UnlockCall>();
        g_main_context_push_thread_default(call->context);
        secret_service_unlock(service_, objects, call->cancellable, &UnlockCall::finished, call.get());
        call->runUntil(std::chrono::steady_clock::now() + promptTimeout_);
        if (!call->done) {
            // Cancelling dismisses the prompt; give the dismissal a moment to reach the service.
            g_cancellable_cancel(call->cancellable);
            call->runUntil(std::chrono::steady_clock::now() + std::chrono::seconds(2));
        }
        g_main_context_pop_thread_default(call->context);
        if (!call->done) {
            std::lock_guard<std::mutex> lock(abandonedMutex);
            abandonedCalls.push_back(std::move(call));
            return Status::userCanceled;
        }
        if (call->error) return statusOf(call->error);
        return call->count < static_cast<gint>(g_list_length(objects)) ? Status::userCanceled : Status::success;
    }

    SecretService* service_;
    Access access_;
    std::chrono::milliseconds promptTimeout_;
    int storeLock_;
    std::map<std::string, SecretItem*> items_;
};

SecretServiceItemStore::SecretServiceItemStore(std::chrono::milliseconds promptTimeout) : promptTimeout_(promptTimeout) {}

SecretServiceItemStore::~SecretServiceItemStore() = default;

OSStatus SecretServiceItemStore::begin(bool write, const Access& access, std::unique_ptr<Transaction>& out) {
    int storeLock = -1;
    if (!lockStore(write, storeLock)) return Status::notAvailable;
    ErrorHolder error;
    // A proxy of our own, not the process-wide one, so a bus that went away is noticed next time.
    SecretService* service =
        secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, error.out());
    if (!service) {
        if (storeLock >= 0) ::close(storeLock);
        return Status::notAvailable;
    }
    out = std::make_unique<SecretServiceTransaction>(service, access, promptTimeout_, storeLock);
    return Status::success;
}

} // namespace KeychainStore
