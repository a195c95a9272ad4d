// test-labels: keychain tsan
// One Keychain used from several threads at once, on the memory and SQLite stores.
#include "KeychainTestSupport.hpp"
#include "keychain/ItemStore.hpp"
#include "keychain/MemoryItemStore.hpp"
#include "keychain/SQLiteItemStore.hpp"

#include <atomic>
#include <filesystem>
#include <thread>

using namespace keychain_test;
namespace fs = std::filesystem;

namespace {

void hammer(const std::shared_ptr<Keychain>& keychain) {
    constexpr int threads = 4;
    constexpr int rounds = 30;
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < rounds; ++i) {
                const std::string key = "t" + std::to_string(t);
                const std::string value = key + "-" + std::to_string(i);
                try {
                    keychain->set(value, key, true);
                    if (keychain->getString(key, true) != value) ++failures;
                    // Everyone writes the shared key: whoever wins, it holds one of the values.
                    (*keychain)["shared"] = value;
                    if (!keychain->subscriptString("shared").has_value()) ++failures;
                    if (keychain->allKeys().empty()) ++failures;
                } catch (const platform::Exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(failures.load(), 0);
    auto keys = keychain->allKeys();
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(threads + 1));
}

}  // namespace

TEST(KeychainConcurrency, MemoryStore) {
    setItemStore(std::make_shared<MemoryItemStore>());
    hammer(Keychain::make("concurrent"));
    setItemStore(nullptr);
}

TEST(KeychainConcurrency, SQLiteStore) {
    std::string pattern = (fs::temp_directory_path() / "ostrane-concurrency-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    setItemStore(std::make_shared<SQLiteItemStore>((fs::path(pattern) / "keychain.sqlite").string()));
    hammer(Keychain::make("concurrent"));
    setItemStore(nullptr);
    fs::remove_all(pattern);
}
