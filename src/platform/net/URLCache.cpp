#include "platform/net/URLCache.hpp"

#include "platform/fs/FilePlacement.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <pwd.h>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

constexpr int64_t kEntryOverhead = 256;     // bookkeeping of one answer in memory
constexpr int kEntryShare = 10;             // an answer may take a tenth of a part
constexpr int kCredentialRounds = 20000;    // PBKDF2 rounds of a credential's hash
constexpr std::size_t kSaltSize = 32;
constexpr std::size_t kRememberedCredentials = 64;
constexpr int kBusyMilliseconds = 10000;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string hex(const unsigned char* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string sha256Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

// The directives of "Cache-Control" (lower-case names; values without quotes).
std::map<std::string, std::string> cacheControl(const std::optional<std::string>& field) {
    std::map<std::string, std::string> out;
    if (!field) return out;
    std::string_view rest = *field;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (item.empty()) continue;
        const std::size_t eq = item.find('=');
        std::string name = lower(trim(item.substr(0, eq)));
        std::string value;
        if (eq != std::string_view::npos) {
            std::string_view v = trim(item.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            value = std::string(v);
        }
        out.emplace(std::move(name), std::move(value));
    }
    return out;
}

std::optional<int64_t> seconds(const std::string& text) {
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(text);
}

std::optional<std::string> headerOf(const URLResponse& response, std::string_view name) {
    if (const auto* http = dynamic_cast<const HTTPURLResponse*>(&response)) return http->value(name);
    return std::nullopt;
}

// The URL without user, password or fragment.
std::string requestedOf(const URL& url) {
    auto parts = URL::split(url.absoluteString());
    if (!parts) return url.absoluteString();
    parts->user.reset();
    parts->password.reset();
    parts->fragment.reset();
    return parts->toString();
}

// The URL an answer is filed under: as requested, without a final "/" (a folder is the same
// resource with or without it).
std::string resourceOf(const URL& url) {
    std::string text = requestedOf(url);
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// --- Files --------------------------------------------------------------------------------------

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// Makes each missing folder of `path` below `from` with 0700; the last one must be ours and is
// made private. False when that cannot be had.
bool makePrivateFolder(const std::string& path) {
    std::string partial;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t slash = path.find('/', pos);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        partial = path.substr(0, end);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ours;
}

// A file of ours with mode 0600 (made so, or tightened), never through a link.
bool privateFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ours;
}

// The folder's salt, made once by whichever process comes first (written whole, then placed
// without replacing anything).
std::optional<std::string> folderSalt(const std::string& folder) {
    const std::string path = folder + "/salt";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            std::string salt(kSaltSize, '\0');
            const ssize_t n = ::read(fd, salt.data(), salt.size());
            ::close(fd);
            if (n == static_cast<ssize_t>(kSaltSize)) return salt;
            return std::nullopt;
        }
        std::string salt(kSaltSize, '\0');
        if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1) {
            return std::nullopt;
        }
        try {
            PlacementFile file(path);
            if (::fchmod(file.fd(), 0600) != 0) return std::nullopt;
            file.write(salt.data(), salt.size());
            file.place(false);
            return salt;
        } catch (...) {
            // Most likely another process placed its salt first: the next round reads it.
        }
    }
    return std::nullopt;
}

// --- Answers as text ----------------------------------------------------------------------------

std::string encodeResponse(const CachedURLResponse& cached) {
    nlohmann::json j;
    const auto& response = *cached.response();
    j["url"] = response.url() ? response.url()->absoluteString() : "";
    if (const auto* http = dynamic_cast<const HTTPURLResponse*>(&response)) {
        j["status"] = http->statusCode();
        auto fields = nlohmann::json::array();
        for (const auto& [name, value] : http->allHeaderFields()) fields.push_back({name, value});
        j["headers"] = fields;
    } else {
        j["mime"] = response.mimeType() ? nlohmann::json(*response.mimeType()) : nlohmann::json();
        j["length"] = response.expectedContentLength();
        j["encoding"] = response.textEncodingName() ? nlohmann::json(*response.textEncodingName()) : nlohmann::json();
    }
    j["date"] = cached.date().timeIntervalSince1970();
    j["policy"] = static_cast<int>(cached.storagePolicy());
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<CachedURLResponse> decodeResponse(const std::string& text, Data data) {
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object() || !j.contains("url") || !j["url"].is_string() || !j.contains("date") || !j["date"].is_number())
        return std::nullopt;
    const auto url = URL::parse(j["url"].get<std::string>());
    std::shared_ptr<const URLResponse> response;
    if (j.contains("status") && j["status"].is_number_integer()) {
        HTTPURLResponse::HeaderFields fields;
        if (j.contains("headers") && j["headers"].is_array())
            for (const auto& f : j["headers"])
                if (f.is_array() && f.size() == 2 && f[0].is_string() && f[1].is_string())
                    fields.emplace_back(f[0].get<std::string>(), f[1].get<std::string>());
        response = std::make_shared<HTTPURLResponse>(url, j["status"].get<int>(), std::move(fields));
    } else {
        auto text = [&](const char* key) -> std::optional<std::string> {
            if (j.contains(key) && j[key].is_string()) return j[key].get<std::string>();
            return std::nullopt;
        };
        const int64_t length = j.contains("length") && j["length"].is_number_integer() ? j["length"].get<int64_t>() : -1;
        response = std::make_shared<URLResponse>(url, text("mime"), length, text("encoding"));
    }
    int policy = j.contains("policy") && j["policy"].is_number_integer() ? j["policy"].get<int>() : 0;
    if (policy < 0 || policy > 2) policy = 0;
    return CachedURLResponse(std::move(response), std::move(data), static_cast<CachedURLResponse::StoragePolicy>(policy),
                             Date(j["date"].get<double>()));
}

int64_t headerCost(const URLResponse& response) {
    int64_t cost = 0;
    if (const auto* http = dynamic_cast<const HTTPURLResponse*>(&response))
        for (const auto& [name, value] : http->allHeaderFields()) cost += static_cast<int64_t>(name.size() + value.size());
    return cost;
}

// --- SQLite -------------------------------------------------------------------------------------

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    Statement& bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, const Data& blob) {
        sqlite3_bind_blob(stmt_, i, blob.empty() ? "" : static_cast<const void*>(blob.data()), static_cast<int>(blob.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, int64_t value) {
        sqlite3_bind_int64(stmt_, i, value);
        return *this;
    }
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                 : std::string();
    }
    Data blob(int column) const {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
        return p ? Data(p, p + sqlite3_column_bytes(stmt_, column)) : Data();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// One write transaction: rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db), open_(exec(db, "BEGIN IMMEDIATE")) {}
    ~Transaction() {
        if (open_) exec(db_, "ROLLBACK");
    }
    explicit operator bool() const { return open_; }
    bool commit() {
        if (!open_) return false;
        open_ = false;
        if (exec(db_, "COMMIT")) return true;
        exec(db_, "ROLLBACK");
        return false;
    }

private:
    sqlite3* db_;
    bool open_;
};

} // namespace

// --- CachedURLResponse --------------------------------------------------------------------------

CachedURLResponse::CachedURLResponse(std::shared_ptr<const URLResponse> response, Data data, StoragePolicy storagePolicy,
                                     Date date)
    : response_(std::move(response)), data_(std::move(data)), storagePolicy_(storagePolicy), date_(date) {}

bool CachedURLResponse::isStale(Date now) const {
    if (!response_) return true;
    const auto control = cacheControl(headerOf(*response_, "Cache-Control"));
    if (control.count("no-cache")) return true;
    if (!headerOf(*response_, "Cache-Control")) {
        if (const auto pragma = headerOf(*response_, "Pragma"); pragma && lower(*pragma).find("no-cache") != std::string::npos)
            return true;
    }
    double age = std::max(0.0, now.timeIntervalSince(date_));
    if (const auto given = headerOf(*response_, "Age"))
        if (const auto a = seconds(std::string(trim(*given)))) age += static_cast<double>(*a);
    if (auto it = control.find("max-age"); it != control.end()) {
        const auto lifetime = seconds(it->second);
        return !lifetime || age >= static_cast<double>(*lifetime);
    }
    if (const auto expires = headerOf(*response_, "Expires")) {
        const time_t at = curl_getdate(expires->c_str(), nullptr);
        if (at < 0) return true;
        // Measured against the server's own clock when it sent one.
        Date sent = date_;
        if (const auto dateField = headerOf(*response_, "Date")) {
            const time_t d = curl_getdate(dateField->c_str(), nullptr);
            if (d >= 0) sent = Date::fromTimeT(d);
        }
        return age >= static_cast<double>(at) - sent.timeIntervalSince1970();
    }
    return false;
}

// --- URLCache -----------------------------------------------------------------------------------

struct URLCache::Impl {
    struct Entry {
        std::string key;
        std::string resource;
        CachedURLResponse answer;
        int64_t cost;
    };

    mutable std::mutex mutex;  // memory part, capacities, remembered credentials
    int64_t memoryCapacity = 0;
    int64_t diskCapacity = 0;
    int64_t memoryUsage = 0;
    std::list<Entry> recent;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> byKey;
    std::string salt;
    std::unordered_map<std::string, std::string> credentialKeys;

    mutable std::mutex diskMutex;  // the connection
    std::optional<std::string> folder;
    sqlite3* db = nullptr;

    ~Impl() {
        if (db) sqlite3_close_v2(db);
    }

    // --- keys ---

    std::string credentialKey(const std::string& material) {
        const std::string memo = sha256Hex(material);
        std::lock_guard lock(mutex);
        if (auto it = credentialKeys.find(memo); it != credentialKeys.end()) return it->second;
        unsigned char derived[32];
        PKCS5_PBKDF2_HMAC(material.data(), static_cast<int>(material.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          kCredentialRounds, EVP_sha256(), sizeof derived, derived);
        if (credentialKeys.size() >= kRememberedCredentials) credentialKeys.clear();
        return credentialKeys[memo] = hex(derived, sizeof derived);
    }

    std::string identity(const URLRequest& request, const std::optional<URLCredential>& credential) {
        if (credential && credential->user())
            return credentialKey(std::string("credential\n") + *credential->user() + '\n' + credential->password().value_or(""));
        if (const auto authorization = request.value("Authorization"))
            return credentialKey("authorization\n" + *authorization);
        if (request.url && request.url->user())
            return credentialKey(std::string("credential\n") + *request.url->user() + '\n' + request.url->password().value_or(""));
        return {};
    }

    std::optional<std::string> keyOf(const URLRequest& request, const std::optional<URLCredential>& credential) {
        if (!request.url) return std::nullopt;
        std::string material = request.httpMethod + '\n' + requestedOf(*request.url) + '\n';
        material += request.value("Depth").value_or("") + '\n';
        if (request.httpBody)
            material += sha256Hex(std::string_view(reinterpret_cast<const char*>(request.httpBody->data()), request.httpBody->size()));
        material += '\n' + identity(request, credential);
        return sha256Hex(material);
    }

    // --- memory part (under mutex) ---

    void forgetInMemory(std::list<Entry>::iterator it) {
        memoryUsage -= it->cost;
        byKey.erase(it->key);
        recent.erase(it);
    }

    void trimMemory(int64_t capacity) {
        while (memoryUsage > capacity && !recent.empty()) forgetInMemory(std::prev(recent.end()));
    }

    void keepInMemory(const std::string& key, const std::string& resource, const CachedURLResponse& answer) {
        if (auto it = byKey.find(key); it != byKey.end()) forgetInMemory(it->second);
        const int64_t cost = static_cast<int64_t>(answer.data().size() + key.size() + resource.size()) +
                             headerCost(*answer.response()) + kEntryOverhead;
        if (cost > memoryCapacity / kEntryShare) return;
        recent.push_front(Entry{key, resource, answer, cost});
        byKey[key] = recent.begin();
        memoryUsage += cost;
        trimMemory(memoryCapacity);
    }

    // --- disk part (under diskMutex) ---

    bool openDisk() {
        if (db) return true;
        if (!folder) return false;
        const std::string path = *folder + "/answers.sqlite";
        // Made 0600 before SQLite sees it; its journal files take the same mode.
        if (!privateFile(path)) return false;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr) != SQLITE_OK) {
            sqlite3_close_v2(db);
            db = nullptr;
            return false;
        }
        sqlite3_busy_timeout(db, kBusyMilliseconds);
        exec(db, "PRAGMA journal_mode=WAL");
        exec(db, "PRAGMA synchronous=NORMAL");
        if (!exec(db, "CREATE TABLE IF NOT EXISTS answers(key TEXT PRIMARY KEY, resource TEXT NOT NULL,"
                      " response TEXT NOT NULL, data BLOB NOT NULL, size INTEGER NOT NULL, used INTEGER NOT NULL)") ||
            !exec(db, "CREATE INDEX IF NOT EXISTS answers_used ON answers(used)") ||
            !exec(db, "CREATE INDEX IF NOT EXISTS answers_resource ON answers(resource)")) {
            sqlite3_close_v2(db);
            db = nullptr;
            return false;
        }
        return true;
    }

    void trimDisk(int64_t capacity) {
        Statement total(db, "SELECT COALESCE(SUM(size), 0) FROM answers");
        if (total.step() != SQLITE_ROW) return;
        int64_t usage = total.integer(0);
        if (usage <= capacity) return;
        std::vector<std::string> victims;
        Statement oldest(db, "SELECT key, size FROM answers ORDER BY used");
        while (usage > capacity && oldest.step() == SQLITE_ROW) {
            victims.push_back(oldest.text(0));
            usage -= oldest.integer(1);
        }
        for (const auto& key : victims) Statement(db, "DELETE FROM answers WHERE key = ?").bind(1, key).step();
    }

    void keepOnDisk(const std::string& key, const std::string& resource, const CachedURLResponse& answer, int64_t capacity) {
        if (!openDisk()) return;
        Transaction transaction(db);
        if (!transaction) return;
        Statement(db, "DELETE FROM answers WHERE key = ?").bind(1, key).step();
        const std::string response = encodeResponse(answer);
        const auto size = static_cast<int64_t>(answer.data().size() + response.size() + key.size() + resource.size());
        if (size <= capacity / kEntryShare) {
            Statement insert(db, "INSERT INTO answers(key, resource, response, data, size, used)"
                                 " VALUES(?, ?, ?, ?, ?, (SELECT COALESCE(MAX(used), 0) + 1 FROM answers))");
            insert.bind(1, key).bind(2, resource).bind(3, response).bind(4, answer.data()).bind(5, size);
            if (insert.step() != SQLITE_DONE) return;
            trimDisk(capacity);
        }
        transaction.commit();
    }

    std::optional<CachedURLResponse> findOnDisk(const std::string& key) {
        if (!openDisk()) return std::nullopt;
        Transaction transaction(db);
        if (!transaction) return std::nullopt;
        Statement select(db, "SELECT response, data FROM answers WHERE key = ?");
        select.bind(1, key);
        if (select.step() != SQLITE_ROW) return std::nullopt;
        auto answer = decodeResponse(select.text(0), select.blob(1));
        if (!answer) {
            Statement(db, "DELETE FROM answers WHERE key = ?").bind(1, key).step();
        } else {
            Statement(db, "UPDATE answers SET used = (SELECT MAX(used) + 1 FROM answers) WHERE key = ?").bind(1, key).step();
        }
        transaction.commit();
        return answer;
    }
};

URLCache::URLCache(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
URLCache::~URLCache() = default;

std::string URLCache::defaultDirectory() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') return std::string(xdg) + "/ostrane";
    return homeFolder() + "/.cache/ostrane";
}

std::shared_ptr<URLCache> URLCache::make(int64_t memoryCapacity, int64_t diskCapacity, std::optional<std::string> diskPath) {
    auto impl = std::make_unique<Impl>();
    impl->memoryCapacity = std::max<int64_t>(0, memoryCapacity);
    impl->diskCapacity = std::max<int64_t>(0, diskCapacity);
    if (impl->diskCapacity > 0) {
        std::string path = diskPath.value_or("URLCache");
        bool usable = !path.empty();
        if (usable && path.front() != '/') {
            // A relative folder stays below the cache root.
            for (std::size_t pos = 0; pos <= path.size();) {
                const std::size_t slash = std::min(path.find('/', pos), path.size());
                if (path.compare(pos, slash - pos, "..") == 0) usable = false;
                pos = slash + 1;
            }
            const std::string root = defaultDirectory();
            usable = usable && makePrivateFolder(root);
            path = root + "/" + path;
        }
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (usable && makePrivateFolder(path)) {
            if (auto salt = folderSalt(path)) {
                impl->folder = path;
                impl->salt = std::move(*salt);
            }
        }
    }
    if (impl->salt.empty()) {
        impl->salt.assign(kSaltSize, '\0');
        RAND_bytes(reinterpret_cast<unsigned char*>(impl->salt.data()), static_cast<int>(impl->salt.size()));
    }
    return std::shared_ptr<URLCache>(new URLCache(std::move(impl)));
}

std::shared_ptr<URLCache> URLCache::shared() {
    static const std::shared_ptr<URLCache> cache = make(512 * 1024, 0);
    return cache;
}

int64_t URLCache::memoryCapacity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->memoryCapacity;
}

int64_t URLCache::diskCapacity() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->diskCapacity;
}

void URLCache::setMemoryCapacity(int64_t capacity) {
    std::lock_guard lock(impl_->mutex);
    impl_->memoryCapacity = std::max<int64_t>(0, capacity);
    impl_->trimMemory(impl_->memoryCapacity);
}

void URLCache::setDiskCapacity(int64_t capacity) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->diskCapacity = std::max<int64_t>(0, capacity);
    }
    std::lock_guard disk(impl_->diskMutex);
    if (!impl_->openDisk()) return;
    Transaction transaction(impl_->db);
    if (!transaction) return;
    impl_->trimDisk(std::max<int64_t>(0, capacity));
    transaction.commit();
}

int64_t URLCache::currentMemoryUsage() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->memoryUsage;
}

int64_t URLCache::currentDiskUsage() const {
    std::lock_guard disk(impl_->diskMutex);
    if (!impl_->openDisk()) return 0;
    Statement total(impl_->db, "SELECT COALESCE(SUM(size), 0) FROM answers");
    return total.step() == SQLITE_ROW ? total.integer(0) : 0;
}

std::optional<std::string> URLCache::diskDirectory() const {
    return impl_->folder;
}

int64_t URLCache::maximumEntrySize() const {
    std::lock_guard lock(impl_->mutex);
    return std::max(impl_->memoryCapacity, impl_->folder ? impl_->diskCapacity : 0) / kEntryShare;
}

std::optional<CachedURLResponse> URLCache::cachedResponse(const URLRequest& request, const std::optional<URLCredential>& credential) {
    const auto key = impl_->keyOf(request, credential);
    if (!key) return std::nullopt;
    int64_t diskCapacity = 0;
    {
        std::lock_guard lock(impl_->mutex);
        if (auto it = impl_->byKey.find(*key); it != impl_->byKey.end()) {
            impl_->recent.splice(impl_->recent.begin(), impl_->recent, it->second);
            return it->second->answer;
        }
        diskCapacity = impl_->diskCapacity;
    }
    if (diskCapacity <= 0 || !impl_->folder) return std::nullopt;
    std::optional<CachedURLResponse> answer;
    {
        std::lock_guard disk(impl_->diskMutex);
        answer = impl_->findOnDisk(*key);
    }
    if (answer) {
        std::lock_guard lock(impl_->mutex);
        impl_->keepInMemory(*key, resourceOf(*request.url), *answer);
    }
    return answer;
}

void URLCache::storeCachedResponse(const CachedURLResponse& cachedResponse, const URLRequest& request,
                                   const std::optional<URLCredential>& credential) {
    if (!cachedResponse.response() || cachedResponse.storagePolicy() == CachedURLResponse::StoragePolicy::notAllowed) return;
    const auto key = impl_->keyOf(request, credential);
    if (!key) return;
    const std::string resource = resourceOf(*request.url);
    int64_t diskCapacity = 0;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->keepInMemory(*key, resource, cachedResponse);
        diskCapacity = impl_->diskCapacity;
    }
    if (!impl_->folder) return;
    std::lock_guard disk(impl_->diskMutex);
    if (diskCapacity > 0 && cachedResponse.storagePolicy() == CachedURLResponse::StoragePolicy::allowed) {
        impl_->keepOnDisk(*key, resource, cachedResponse, diskCapacity);
    } else if (impl_->openDisk()) {
        Statement(impl_->db, "DELETE FROM answers WHERE key = ?").bind(1, *key).step();
    }
}

void URLCache::removeCachedResponse(const URLRequest& request, const std::optional<URLCredential>& credential) {
    const auto key = impl_->keyOf(request, credential);
    if (!key) return;
    {
        std::lock_guard lock(impl_->mutex);
        if (auto it = impl_->byKey.find(*key); it != impl_->byKey.end()) impl_->forgetInMemory(it->second);
    }
    if (!impl_->folder) return;
    std::lock_guard disk(impl_->diskMutex);
    if (impl_->openDisk()) Statement(impl_->db, "DELETE FROM answers WHERE key = ?").bind(1, *key).step();
}

void URLCache::removeCachedResponses(const URL& url) {
    const std::string resource = resourceOf(url);
    {
        std::lock_guard lock(impl_->mutex);
        for (auto it = impl_->recent.begin(); it != impl_->recent.end();) {
            auto next = std::next(it);
            if (it->resource == resource) impl_->forgetInMemory(it);
            it = next;
        }
    }
    if (!impl_->folder) return;
    std::lock_guard disk(impl_->diskMutex);
    if (impl_->openDisk()) Statement(impl_->db, "DELETE FROM answers WHERE resource = ?").bind(1, resource).step();
}

void URLCache::removeAllCachedResponses() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->trimMemory(0);
    }
    if (!impl_->folder) return;
    std::lock_guard disk(impl_->diskMutex);
    if (impl_->openDisk()) exec(impl_->db, "DELETE FROM answers");
}

CachedURLResponse::StoragePolicy URLCache::storagePolicy(const URLRequest& request, const URLResponse& response) {
    using Policy = CachedURLResponse::StoragePolicy;
    const auto* http = dynamic_cast<const HTTPURLResponse*>(&response);
    if (!http || !request.url) return Policy::notAllowed;
    const int status = http->statusCode();
    const bool storable = (request.httpMethod == "GET" && (status == 200 || status == 203)) ||
                          (request.httpMethod == "PROPFIND" && status == 207);
    if (!storable || request.value("Range") || http->value("Content-Range")) return Policy::notAllowed;
    if (cacheControl(request.value("Cache-Control")).count("no-store") || cacheControl(http->value("Cache-Control")).count("no-store"))
        return Policy::notAllowed;
    if (const auto vary = http->value("Vary")) {
        std::string_view rest = *vary;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const std::string name = lower(trim(rest.substr(0, comma)));
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
            if (!name.empty() && name != "accept-encoding") return Policy::notAllowed;
        }
    }
    return Policy::allowed;
}

void URLCache::forgetChangedBy(const URLRequest& request, int status) {
    static const char* const safe[] = {"GET", "HEAD", "OPTIONS", "TRACE", "PROPFIND"};
    if (!request.url || status >= 400 || status < 200) return;
    if (std::find(std::begin(safe), std::end(safe), request.httpMethod) != std::end(safe)) return;
    auto forget = [this](const URL& url) {
        removeCachedResponses(url);
        // The folder's listing named it too.
        std::string resource = resourceOf(url);
        if (const std::size_t slash = resource.rfind('/'); slash != std::string::npos && resource.find("://") + 2 < slash)
            if (auto folder = URL::parse(resource.substr(0, slash + 1))) removeCachedResponses(*folder);
    };
    forget(*request.url);
    if (const auto destination = request.value("Destination"))
        if (auto url = URL::parse(*destination, *request.url)) forget(*url);
}

} // namespace platform
