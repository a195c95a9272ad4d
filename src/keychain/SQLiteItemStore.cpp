#include "keychain/SQLiteItemStore.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KeychainStore {
namespace {

using namespace Security;
using nlohmann::json;

OSStatus statusOf(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW: return Status::success;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return Status::databaseLocked;
        case SQLITE_FULL: return Status::diskFull;
        case SQLITE_IOERR: return Status::io;
        case SQLITE_READONLY: return Status::readOnly;
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT: return Status::invalidKeychain;
        case SQLITE_CANTOPEN: return Status::noSuchKeychain;
        case SQLITE_NOMEM: return Status::allocate;
        case SQLITE_PERM:
        case SQLITE_AUTH: return Status::wrPerm;
        default: return Status::unexpectedError;
    }
}

std::string hex(const Data& data) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(data.size() * 2);
    for (std::uint8_t b : data) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::optional<Data> unhex(const std::string& s) {
    if (s.size() % 2) return std::nullopt;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    Data d;
    d.reserve(s.size() / 2);
    for (std::size_t i = 0; i < s.size(); i += 2) {
        int hi = nibble(s[i]), lo = nibble(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        d.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return d;
}

// Attributes as JSON, each value tagged with its kind.
json encode(const Dictionary& attributes) {
    json j = json::object();
    for (const auto& [key, value] : attributes) {
        if (const auto* s = value.as<std::string>()) j[key] = {{"s", *s}};
        else if (const auto* i = value.as<std::int64_t>()) j[key] = {{"i", *i}};
        else if (const auto* b = value.as<bool>()) j[key] = {{"b", *b}};
        else if (const auto* d = value.as<Data>()) j[key] = {{"x", hex(*d)}};
        else if (const auto* t = value.as<platform::Date>()) j[key] = {{"t", t->timeIntervalSince1970()}};
        else if (const auto* a = value.as<AccessControlRef>(); a && *a)
            j[key] = {{"ac", {{"protection", (*a)->protection()}, {"flags", (*a)->flags()}}}};
    }
    return j;
}

std::optional<Dictionary> decode(const std::string& text) {
    json j = json::parse(text, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    Dictionary d;
    for (const auto& [key, tagged] : j.items()) {
        if (!tagged.is_object() || tagged.size() != 1) return std::nullopt;
        auto entry = tagged.begin();
        const std::string tag = entry.key();
        const json& v = entry.value();
        if (tag == "s" && v.is_string()) d.emplace(key, v.get<std::string>());
        else if (tag == "i" && v.is_number_integer()) d.emplace(key, v.get<std::int64_t>());
        else if (tag == "b" && v.is_boolean()) d.emplace(key, v.get<bool>());
        else if (tag == "x" && v.is_string()) {
            auto data = unhex(v.get<std::string>());
            if (!data) return std::nullopt;
            d.emplace(key, std::move(*data));
        } else if (tag == "t" && v.is_number()) d.emplace(key, platform::Date(v.get<double>()));
        else if (tag == "ac" && v.is_object() && v.contains("protection") && v["protection"].is_string() &&
                 v.contains("flags") && v["flags"].is_number_unsigned()) {
            d.emplace(key, std::make_shared<const AccessControl>(v["protection"].get<std::string>(),
                                                                 v["flags"].get<std::uint64_t>()));
        } else {
            return std::nullopt;
        }
    }
    return d;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

// Makes each missing folder of `path` with mode 0700.
void makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos != std::string::npos && pos < path.size();) {
        pos = path.find('/', pos);
        std::string part = path.substr(0, pos);
        ::mkdir(part.c_str(), 0700);
        if (pos != std::string::npos) ++pos;
    }
}

// The file must be a regular file of ours that nobody else can read or write.
OSStatus checkFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Status::io;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return Status::invalidKeychain;
    return Status::success;
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int prepared() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    int bind(int index, const std::string& text) {
        return sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    int bind(int index, const Data& data) {
        return sqlite3_bind_blob(stmt_, index, data.empty() ? "" : static_cast<const void*>(data.data()),
                                 static_cast<int>(data.size()), SQLITE_TRANSIENT);
    }
    int bind(int index, sqlite3_int64 n) { return sqlite3_bind_int64(stmt_, index, n); }
    int step() { return sqlite3_step(stmt_); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_;
};

OSStatus exec(sqlite3* db, const char* sql) { return statusOf(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

std::optional<sqlite3_int64> idOf(const std::string& id) {
    if (id.rfind("sqlite:", 0) != 0) return std::nullopt;
    try {
        return std::stoll(id.substr(7));
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

class SQLiteItemStore::SQLiteTransaction : public Transaction {
public:
    SQLiteTransaction(std::unique_lock<std::mutex> lock, sqlite3* db) : lock_(std::move(lock)), db_(db) {}
    ~SQLiteTransaction() override {
        if (!done_) exec(db_, "ROLLBACK");
    }

    OSStatus find(const std::string& itemClass, const Dictionary&, bool withData, std::vector<StoredItem>& out) override {
        Statement st(db_, withData ? "SELECT id, attributes, data FROM items WHERE class = ?1 ORDER BY id"
                                   : "SELECT id, attributes FROM items WHERE class = ?1 ORDER BY id");
        if (st.prepared() != SQLITE_OK) return statusOf(st.prepared());
        st.bind(1, itemClass);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            StoredItem item;
            item.id = "sqlite:" + std::to_string(sqlite3_column_int64(st.get(), 0));
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 1));
            auto attributes = decode(text ? text : "");
            if (!attributes) return Status::invalidDatabaseBlob;
            item.attributes = std::move(*attributes);
            if (withData) {
                const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(st.get(), 2));
                int size = sqlite3_column_bytes(st.get(), 2);
                item.data = bytes ? Data(bytes, bytes + size) : Data{};
            }
            out.push_back(std::move(item));
        }
        return statusOf(rc);
    }

    OSStatus insert(StoredItem& item) override {
        Statement st(db_, "INSERT INTO items(class, attributes, data) VALUES(?1, ?2, ?3)");
        if (st.prepared() != SQLITE_OK) return statusOf(st.prepared());
        const Value& itemClass = item.attributes.at(kSecClass);
        st.bind(1, *itemClass.as<std::string>());
        st.bind(2, encode(item.attributes).dump());
        st.bind(3, item.data.value_or(Data{}));
        if (int rc = st.step(); rc != SQLITE_DONE) return statusOf(rc);
        item.id = "sqlite:" + std::to_string(sqlite3_last_insert_rowid(db_));
        return Status::success;
    }

    OSStatus replace(const StoredItem& item) override {
        auto id = idOf(item.id);
        if (!id) return Status::invalidItemRef;
        Statement st(db_, item.data ? "UPDATE items SET attributes = ?1, data = ?3 WHERE id = ?2"
                                    : "UPDATE items SET attributes = ?1 WHERE id = ?2");
        if (st.prepared() != SQLITE_OK) return statusOf(st.prepared());
        st.bind(1, encode(item.attributes).dump());
        st.bind(2, *id);
        if (item.data) st.bind(3, *item.data);
        if (int rc = st.step(); rc != SQLITE_DONE) return statusOf(rc);
        return Status::success;
    }

    OSStatus erase(const std::string& itemId) override {
        auto id = idOf(itemId);
        if (!id) return Status::invalidItemRef;
        Statement st(db_, "DELETE FROM items WHERE id = ?1");
        if (st.prepared() != SQLITE_OK) return statusOf(st.prepared());
        st.bind(1, *id);
        if (int rc = st.step(); rc != SQLITE_DONE) return statusOf(rc);
        return Status::success;
    }

    OSStatus commit() override {
        OSStatus s = exec(db_, "COMMIT");
        if (s == Status::success) done_ = true;
        return s;
    }

private:
    std::unique_lock<std::mutex> lock_;
    sqlite3* db_;
    bool done_ = false;
};

std::string SQLiteItemStore::defaultPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') base = xdg;
    else base = homeFolder() + "/.local/share";
    return base + "/ostrane/keychain.sqlite";
}

SQLiteItemStore::SQLiteItemStore(std::string path, std::chrono::milliseconds lockTimeout)
    : path_(std::move(path)), lockTimeout_(lockTimeout) {}

SQLiteItemStore::~SQLiteItemStore() {
    if (db_) sqlite3_close_v2(db_);
}

OSStatus SQLiteItemStore::open() {
    if (path_ == defaultPath()) {
        auto slash = path_.rfind('/');
        if (slash != std::string::npos && slash > 0) makeFolders(path_.substr(0, slash));
    }
    // Made here with 0600 (never widened by the umask), and checked on every open, so the file
    // SQLite uses is one that only we can read.
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ELOOP ? Status::invalidKeychain : Status::noSuchKeychain;
    OSStatus checked = checkFile(fd);
    ::close(fd);
    if (checked) return checked;

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return statusOf(rc);
    }
    sqlite3_busy_timeout(db, static_cast<int>(lockTimeout_.count()));
    OSStatus s = exec(db,
                      "CREATE TABLE IF NOT EXISTS items("
                      " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                      " class TEXT NOT NULL,"
                      " attributes TEXT NOT NULL,"
                      " data BLOB NOT NULL)");
    if (s) {
        sqlite3_close_v2(db);
        return s;
    }
    db_ = db;
    return Status::success;
}

OSStatus SQLiteItemStore::begin(bool write, const Access&, std::unique_ptr<Transaction>& out) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (db_) {
        // The file may have been replaced or opened up since we opened it.
        int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        OSStatus checked = fd < 0 ? Status::noSuchKeychain : checkFile(fd);
        if (fd >= 0) ::close(fd);
        if (checked) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return checked;
        }
    } else if (OSStatus s = open()) {
        return s;
    }
    if (OSStatus s = exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN")) return s;
    out = std::make_unique<SQLiteTransaction>(std::move(lock), db_);
    return Status::success;
}

} // namespace KeychainStore
