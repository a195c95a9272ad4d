#pragma once
// Items in one SQLite database file that only its owner may read (mode 0600). Every call is one
// transaction; writers take the database lock before they look, so two processes that add the same
// item at once get one item and one -25299. A file that other users can read or that belongs to
// someone else is refused (-25295) rather than used.
#include "keychain/RecordItemStore.hpp"

#include <chrono>
#include <mutex>
#include <string>

struct sqlite3;

namespace KeychainStore {

class SQLiteItemStore : public RecordItemStore {
public:
    /// $XDG_DATA_HOME/ostrane/keychain.sqlite, or ~/.local/share/ostrane/keychain.sqlite when
    /// XDG_DATA_HOME is unset or not absolute.
    static std::string defaultPath();

    /// The store at `path` (its folder must exist unless it is the default path). The file is
    /// made on first use. A writer waits at most `lockTimeout` for another process's transaction.
    explicit SQLiteItemStore(std::string path = defaultPath(),
                             std::chrono::milliseconds lockTimeout = std::chrono::seconds(10));
    ~SQLiteItemStore() override;
    SQLiteItemStore(const SQLiteItemStore&) = delete;
    SQLiteItemStore& operator=(const SQLiteItemStore&) = delete;

    const std::string& path() const { return path_; }

protected:
    OSStatus begin(bool write, const Access& access, std::unique_ptr<Transaction>& out) override;

private:
    class SQLiteTransaction;
    OSStatus open();

    std::string path_;
    std::chrono::milliseconds lockTimeout_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

} // namespace KeychainStore
