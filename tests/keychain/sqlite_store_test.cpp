// test-labels: keychain
#include "StoreBehaviour.hpp"
#include "keychain/SQLiteItemStore.hpp"
#include "support/Wait.hpp"

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace keychain_test {
namespace {

namespace fs = std::filesystem;

fs::path scratchFolder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "ostrane-sqlite-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        if (!made) std::abort();
        return fs::path(made);
    }();
    return folder;
}

fs::path freshDatabase() {
    static int counter = 0;
    return scratchFolder() / ("keychain-" + std::to_string(++counter) + ".sqlite");
}

// Runs `body` in a child process and gives its exit code (bounded by the body itself).
int inChild(const std::function<int()>& body) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

class SQLiteStore : public testing::Test {
protected:
    void TearDown() override { setItemStore(nullptr); }
};

// Removes the scratch folder after every suite of this program has run.
class ScratchCleanup : public testing::Environment {
public:
    void TearDown() override {
        setItemStore(nullptr);
        fs::remove_all(scratchFolder());
    }
};
const auto* const cleanup = testing::AddGlobalTestEnvironment(new ScratchCleanup);

}  // namespace

INSTANTIATE_TEST_SUITE_P(SQLite, StoreBehaviour,
                         testing::Values(StoreFactory{"SQLite",
                                                      [] { return std::make_shared<SQLiteItemStore>(freshDatabase().string()); }}),
                         [](const auto& info) { return info.param.name; });

TEST_F(SQLiteStore, FileIsPrivateToItsOwner) {
    fs::path path = freshDatabase();
    umask(0);   // even a permissive umask must not widen the file
    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    Keychain::make("svc")->set("pw", "k", true);
    umask(022);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SQLiteStore, DefaultPathFollowsXDGDataHome) {
    fs::path home = scratchFolder() / "xdg";
    const char* old = std::getenv("XDG_DATA_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    EXPECT_EQ(SQLiteItemStore::defaultPath(), (home / "ostrane" / "keychain.sqlite").string());
    setItemStore(std::make_shared<SQLiteItemStore>());
    Keychain::make("svc")->set("pw", "k", true);
    struct stat st {};
    ASSERT_EQ(stat((home / "ostrane").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((home / "ostrane" / "keychain.sqlite").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    setenv("XDG_DATA_HOME", "relative/path", 1);
    EXPECT_NE(SQLiteItemStore::defaultPath().rfind("relative", 0), 0u) << "a relative XDG_DATA_HOME is ignored";
    if (old) setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
}

TEST_F(SQLiteStore, RefusesFilesOthersCanReach) {
    // A database that other users can read, and a link to one, are refused, not used.
    fs::path path = freshDatabase();
    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    Keychain::make("svc")->set("pw", "k", true);
    setItemStore(nullptr);

    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    auto store = std::make_shared<SQLiteItemStore>(path.string());
    setItemStore(store);
    std::optional<int> thrown;
    std::string out = stdoutOf([&] { thrown = thrownStatus([] { Keychain::make("svc")->getString("k", true); }); });
    EXPECT_EQ(thrown, Status::invalidKeychain);
    EXPECT_EQ(out, "OSStatus error:[-25295] The specified keychain is not a valid keychain file.\n");

    // Also when the file is opened up after the store opened it.
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(Keychain::make("svc")->getString("k", true), "pw");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    stdoutOf([&] { thrown = thrownStatus([] { Keychain::make("svc")->getString("k", true); }); });
    EXPECT_EQ(thrown, Status::invalidKeychain);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);

    fs::path link = scratchFolder() / "link.sqlite";
    fs::create_symlink(path, link);
    setItemStore(std::make_shared<SQLiteItemStore>(link.string()));
    stdoutOf([&] { thrown = thrownStatus([] { Keychain::make("svc")->getString("k", true); }); });
    EXPECT_EQ(thrown, Status::invalidKeychain);
}

TEST_F(SQLiteStore, ItemsOutliveTheProcess) {
    fs::path path = freshDatabase();
    int code = inChild([&] {
        setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
        Keychain::make("svc")->set("kept", "k", true);
        return 0;
    });
    ASSERT_EQ(code, 0);
    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    EXPECT_EQ(Keychain::make("svc")->getString("k", true), "kept");
}

TEST_F(SQLiteStore, TwoProcessesWritingAtOnce) {
    // Children add the same item and items of their own at the same moment: the shared item
    // exists once (every other adder gets -25299), and no item of any child is lost.
    fs::path path = freshDatabase();
    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    Keychain::make("svc")->set("x", "warm-up", true);   // the table exists before the race
    setItemStore(nullptr);

    constexpr int children = 4;
    constexpr int each = 25;
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    std::vector<pid_t> pids;
    for (int c = 0; c < children; ++c) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            close(pipefd[1]);
            char go;
            if (read(pipefd[0], &go, 1) != 1) _exit(2);
            setItemStore(std::make_shared<SQLiteItemStore>(path.string(), ostrane_test::hangLimit));
            const Dictionary shared{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"},
                                    {kSecAttrAccount, "shared"}, {kSecValueData, bytes("s")}};
            OSStatus s = SecItemAdd(shared, nullptr);
            int result = s == 0 ? 10 : s == Status::duplicateItem ? 20 : 30;
            for (int i = 0; i < each; ++i) {
                const Dictionary own{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "svc"},
                                     {kSecAttrAccount, "c" + std::to_string(c) + "-" + std::to_string(i)},
                                     {kSecValueData, bytes("v")}};
                if (SecItemAdd(own, nullptr) != 0) result = 40;
            }
            _exit(result);
        }
        pids.push_back(pid);
    }
    close(pipefd[0]);
    ASSERT_EQ(write(pipefd[1], "gogo", children), children);
    close(pipefd[1]);

    int added = 0, duplicates = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        EXPECT_NE(code, 40) << "a child's own item failed";
        added += code == 10;
        duplicates += code == 20;
    }
    EXPECT_EQ(added, 1);
    EXPECT_EQ(duplicates, children - 1);

    setItemStore(std::make_shared<SQLiteItemStore>(path.string()));
    EXPECT_EQ(Keychain::make("svc")->allKeys().size(), static_cast<std::size_t>(1 + 1 + children * each));
}

}  // namespace keychain_test
