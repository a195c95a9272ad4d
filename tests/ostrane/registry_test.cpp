// test-labels: unit tsan
#include "ostrane/ClientFactory.hpp"
#include "ostrane/LoginGate.hpp"
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/curl/CURLClient.hpp"
#include "ostrane/fileprovider/FileProviderClient.hpp"
#include "ostrane/sftp/NMSSHClient.hpp"
#include "ostrane/smb/AMSMB2Client.hpp"
#include "platform/base/Trace.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

using namespace Ostrane;
using namespace std::chrono_literals;
using platform::URL;

namespace {

URL url(const std::string& text) {
    auto u = URL::parse(text);
    EXPECT_TRUE(u.has_value()) << text;
    return u ? *u : *URL::parse("x:");
}

struct FakeDescriptor : NetworkFileDescriptor {
    explicit FakeDescriptor(std::string path) : path(std::move(path)) {}
    std::string path;
};

// A client whose answers each test sets. Login by default succeeds at once on the caller's thread.
class FakeClient : public OstraneClient {
public:
    explicit FakeClient(OstraneInfo info) : info_(std::move(info)) {}

    const OstraneInfo& info() const override { return info_; }
    std::string baseDir() const override { return "/"; }
    std::shared_ptr<OstraneDirectory> baseDirItem() override { return root_; }

    void login(LoginCompletion finish) override {
        ++logins;
        std::function<void(LoginCompletion)> how;
        {
            std::lock_guard lock(mutex);
            how = onLogin;
        }
        if (how) {
            how(std::move(finish));
            return;
        }
        connected = true;
        finish(nullptr);
    }
    bool isConnected() const override { return connected.load(); }

    void contents(std::shared_ptr<OstranePathComponent>, ContentsCompletion finish) override {
        finish(std::nullopt, OstraneError::make("not used"));
    }
    void contents(const std::string& dir, NamesCompletion finish) override {
        std::optional<std::vector<std::string>> list;
        OstraneErrorRef error;
        {
            std::lock_guard lock(mutex);
            listedDirs.push_back(dir);
            list = names;
            error = listError;
        }
        finish(list, error);
    }
    void download(const std::string& file, const URL& to, DownloadCompletion completion) override {
        {
            std::lock_guard lock(mutex);
            downloads.emplace_back(file, to.absoluteString());
        }
        completion(downloadError);
    }
    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override {
        ++opens;
        if (!files.count(file)) return nullptr;
        return std::make_shared<FakeDescriptor>(file);
    }
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override {
        auto fd = std::dynamic_pointer_cast<FakeDescriptor>(file);
        if (!fd) return std::nullopt;
        auto& data = files.at(fd->path);
        if (offset >= static_cast<std::int64_t>(data.size())) return Bytes{};
        auto end = std::min<std::size_t>(data.size(), static_cast<std::size_t>(offset + size));
        return Bytes(data.begin() + offset, data.begin() + static_cast<std::ptrdiff_t>(end));
    }
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override {
        auto fd = std::dynamic_pointer_cast<FakeDescriptor>(file);
        if (!fd || !sizeKnown) return std::nullopt;
        return static_cast<std::int64_t>(files.at(fd->path).size());
    }
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override {
        std::lock_guard lock(mutex);
        closed.push_back(std::dynamic_pointer_cast<FakeDescriptor>(file)->path);
    }
    std::optional<std::string> address(const URL&) override { return std::nullopt; }
    std::optional<UserPassword> userpassword(const URL&) override { return std::nullopt; }

    std::mutex mutex;
    std::function<void(LoginCompletion)> onLogin;
    std::optional<std::vector<std::string>> names = std::vector<std::string>{};
    OstraneErrorRef listError;
    OstraneErrorRef downloadError;
    std::vector<std::string> listedDirs;
    std::vector<std::pair<std::string, std::string>> downloads;
    std::vector<std::string> closed;
    std::map<std::string, Bytes> files;  // set before use
    bool sizeKnown = true;
    std::atomic<bool> connected{false};
    std::atomic<int> logins{0};
    std::atomic<int> opens{0};

private:
    OstraneInfo info_;
    std::shared_ptr<OstraneDirectory> root_ = OstraneDirectory::make("/");
};

class RegistryTest : public ::testing::Test {
protected:
    std::shared_ptr<NetworkFileManager> registry = NetworkFileManager::shared();
    std::mutex madeMutex;
    std::vector<std::shared_ptr<FakeClient>> made;
    std::vector<OstraneInfo> records;

    void SetUp() override {
        registry->setServerInfos({});
        replaceClientMaker([this](const OstraneInfo& info) {
            auto client = std::make_shared<FakeClient>(info);
            std::lock_guard lock(madeMutex);
            made.push_back(client);
            return client;
        });
    }
    void TearDown() override {
        for (auto& r : records) registry->close(r);
        registry->setServerInfos({});
        replaceClientMaker(nullptr);
        Util::setTraceSink(nullptr);
    }
    OstraneInfo add(OstraneType type, std::string identifier = {}) {
        OstraneInfo info(type);
        if (!identifier.empty()) info.identifier = identifier;
        info.host = "h";
        records.push_back(info);
        auto infos = registry->serverInfos();
        infos.push_back(info);
        registry->setServerInfos(infos);
        return info;
    }
    std::shared_ptr<FakeClient> fake(const OstraneInfo& info) {
        return std::dynamic_pointer_cast<FakeClient>(registry->serverClient(info, true));
    }
    static std::string base(const OstraneInfo& info) { return std::string("calvora-internal://") + info.identifier; }
};

TEST_F(RegistryTest, LookupTable) {
    auto smb = add(OstraneType::smb);
    struct Case { std::string url; bool handled; } cases[] = {
        {base(smb) + "/Movies/a.mkv", true},
        {base(smb), true},
        {"Calvora-Internal://" + smb.identifier + "/x", false},
        {"CALVORA-INTERNAL://" + smb.identifier + "/x", false},
        {"smb://" + smb.identifier + "/x", false},
        {"calvora-internal:///x", false},
        {"calvora-internal:x", false},
        {"calvora-internal://UNKNOWN/x", false},
    };
    for (auto& c : cases) {
        auto u = url(c.url);
        EXPECT_EQ(registry->canHandle(u), c.handled) << c.url;
        EXPECT_EQ(registry->serverClient(u) != nullptr, c.handled) << c.url;
        EXPECT_EQ(registry->isResponsibleForStreaming(u), c.handled) << c.url;
    }
}

TEST_F(RegistryTest, StreamingOnlyForSftpAndSmb) {
    struct Case { OstraneType type; bool streams; } cases[] = {
        {OstraneType::ftp, false}, {OstraneType::sftp, true}, {OstraneType::smb, true}, {OstraneType::webdav, false}};
    for (auto& c : cases) {
        auto info = add(c.type);
        auto u = url(base(info) + "/m.mkv");
        EXPECT_TRUE(registry->canHandle(u));
        EXPECT_EQ(registry->isResponsibleForStreaming(u), c.streams) << rawValue(c.type);
    }
}

TEST_F(RegistryTest, LiveClientOutlivesItsRecordUntilClosed) {
    auto info = add(OstraneType::smb);
    auto u = url(base(info) + "/a");
    auto client = registry->serverClient(u);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(registry->serverClient(u), client);  // made once
    EXPECT_EQ(made.size(), 1u);

    registry->setServerInfos({});
    EXPECT_TRUE(registry->canHandle(u));
    EXPECT_EQ(registry->serverClient(u), client);

    auto changed = info;
    changed.title = "other fields";
    changed.host = "elsewhere";
    registry->close(changed);  // by identifier only
    EXPECT_FALSE(registry->canHandle(u));
    EXPECT_EQ(registry->serverClient(u), nullptr);
    EXPECT_EQ(registry->serverClient(info, false), nullptr);
}

TEST_F(RegistryTest, FirstOfDuplicateIdentifiersIsUsed) {
    auto first = add(OstraneType::smb, "DUP");
    auto second = add(OstraneType::ftp, "DUP");
    auto client = registry->serverClient(url("calvora-internal://DUP/x"));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->info().type, OstraneType::smb);
    EXPECT_TRUE(registry->isResponsibleForStreaming(url("calvora-internal://DUP/x")));
    // The live client's record wins over the list from now on.
    registry->setServerInfos({second});
    EXPECT_TRUE(registry->isResponsibleForStreaming(url("calvora-internal://DUP/x")));
}

TEST_F(RegistryTest, ServerClientByRecord) {
    auto info = add(OstraneType::webdav);
    EXPECT_EQ(registry->serverClient(info, false), nullptr);
    auto client = registry->serverClient(info, true);
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(registry->serverClient(info, false), client);
    EXPECT_EQ(client->isConnected(), false);  // making a client does not log in
}

TEST_F(RegistryTest, UrlOfComponents) {
    auto info = add(OstraneType::smb, "ID");
    auto client = registry->serverClient(info, true);
    auto root = OstraneDirectory::make("/");
    auto movies = OstraneDirectory::make("Movies", root);
    auto link = OstraneSymbolicLink::make("Link", root);
    link->setTarget(movies);
    auto based = OstraneDirectory::make("/srv/media/");  // parents are weak: hold the roots
    struct Case { std::shared_ptr<OstranePathComponent> c; std::string text; std::string path; } cases[] = {
        {root, "calvora-internal://ID/", "/"},
        {movies, "calvora-internal://ID/Movies/", "/Movies"},
        {link, "calvora-internal://ID/Link/", "/Link"},
        {OstraneFile::make("a b.mkv", movies, 1), "calvora-internal://ID/Movies/a%20b.mkv", "/Movies/a b.mkv"},
        {OstraneFile::make("q?#%;'\".mkv", movies, 1), "calvora-internal://ID/Movies/q%3F%23%25%3B'%22.mkv",
         "/Movies/q?#%;'\".mkv"},
        {OstraneFile::make("\xC3\xA9t\xC3\xA9", root, 1), "calvora-internal://ID/%C3%A9t%C3%A9", "/\xC3\xA9t\xC3\xA9"},
        {OstraneFile::make(".hidden", based, 1), "calvora-internal://ID/srv/media/.hidden",
         "/srv/media/.hidden"},
    };
    for (auto& c : cases) {
        auto u = registry->url(c.c, client);
        ASSERT_TRUE(u.has_value()) << c.text;
        EXPECT_EQ(u->absoluteString(), c.text);
        EXPECT_EQ(u->scheme(), "calvora-internal");
        EXPECT_EQ(u->host(), "ID");
        EXPECT_EQ(u->path(), c.path);
        EXPECT_EQ(u->hasDirectoryPath(), c.c->isDirectory()) << c.text;
        EXPECT_EQ(registry->serverClient(*u), client);
    }
}

TEST_F(RegistryTest, UrlOfAComponentWhoseTreeIsGone) {
    auto client = registry->serverClient(add(OstraneType::smb, "ID"), true);
    std::shared_ptr<OstraneFile> orphan;
    {
        auto root = OstraneDirectory::make("/");
        orphan = OstraneFile::make("a.mkv", OstraneDirectory::make("Movies", root), 1);
    }
    auto u = registry->url(orphan, client);
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->absoluteString(), "calvora-internal://ID/Movies/a.mkv");
}

TEST_F(RegistryTest, UnsafeNamesGiveNoUrl) {
    auto client = registry->serverClient(add(OstraneType::smb), true);
    auto root = OstraneDirectory::make("/");
    auto dotdot = OstraneDirectory::make("..", root);
    auto climbing = OstraneDirectory::make("/srv/../etc");
    for (auto c : std::vector<std::shared_ptr<OstranePathComponent>>{
             OstraneFile::make("a/b", root, 0), OstraneFile::make(".", root, 0), dotdot,
             OstraneFile::make("x", dotdot, 0), OstraneFile::make("", root, 0),
             OstraneFile::make("x", climbing, 0)})
        EXPECT_EQ(registry->url(c, client), std::nullopt) << c->path();
}

TEST_F(RegistryTest, IdentifierThatIsNoHostIsEncoded) {
    auto info = add(OstraneType::smb, "my server:1@x");
    auto client = registry->serverClient(info, true);
    auto u = registry->url(OstraneFile::make("a", client->baseDirItem(), 0), client);
    ASSERT_TRUE(u.has_value());
    EXPECT_EQ(u->host(), "my server:1@x");
    EXPECT_EQ(registry->serverClient(*u), client);
}

TEST_F(RegistryTest, ContentsOfDirectory) {
    auto info = add(OstraneType::smb);
    auto client = fake(info);
    client->names = std::vector<std::string>{"a.mkv", "b.mkv", "..", "x/y", "", "c d#?.mkv"};
    std::optional<std::vector<URL>> got;
    OstraneErrorRef error;
    int calls = 0;
    registry->contentsOfDirectory(url(base(info) + "/Movies%20HD"), [&](auto list, auto e) {
        ++calls;
        got = list;
        error = e;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(client->logins, 1);  // not connected: logged in first
    EXPECT_EQ(client->listedDirs, std::vector<std::string>{"/Movies HD"});
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(error, nullptr);
    std::vector<std::string> texts;
    for (auto& u : *got) texts.push_back(u.absoluteString());
    EXPECT_EQ(texts, (std::vector<std::string>{base(info) + "/Movies%20HD/a.mkv", base(info) + "/Movies%20HD/b.mkv",
                                               base(info) + "/Movies%20HD/c%20d%23%3F.mkv"}));
    EXPECT_EQ(got->back().lastPathComponent(), "c d#?.mkv");

    // Connected now: no second login; a directory URL with a final "/" and the root without a path.
    registry->contentsOfDirectory(url(base(info) + "/Movies/"), [&](auto list, auto) { got = list; });
    EXPECT_EQ(client->logins, 1);
    EXPECT_EQ(got->front().absoluteString(), base(info) + "/Movies/a.mkv");
    registry->contentsOfDirectory(url(base(info)), [&](auto list, auto) { got = list; });
    EXPECT_EQ(client->listedDirs.back(), "");
    EXPECT_EQ(got->front().absoluteString(), base(info) + "/a.mkv");
}

TEST_F(RegistryTest, ContentsOfDirectoryFailures) {
    auto info = add(OstraneType::sftp);
    auto client = fake(info);
    auto u = url(base(info) + "/d");
    struct Result { int calls = 0; std::optional<std::vector<URL>> list; OstraneErrorRef error; };
    auto run = [&](const URL& target) {
        auto r = std::make_shared<Result>();
        registry->contentsOfDirectory(target, [r](auto list, auto error) {
            ++r->calls;
            r->list = list;
            r->error = error;
        });
        EXPECT_EQ(r->calls, 1);
        EXPECT_FALSE(r->list.has_value());
        return r->error ? r->error->description() : std::string("<none>");
    };

    EXPECT_EQ(run(url("calvora-internal://NOPE/d")), "server not found");

    client->onLogin = [](OstraneClient::LoginCompletion finish) { finish(OstraneError::make("Failed to connect")); };
    EXPECT_EQ(run(u), "Failed to connect");
    EXPECT_TRUE(client->listedDirs.empty());
    EXPECT_EQ(run(u), "Failed to connect");  // still not connected: logs in again
    EXPECT_EQ(client->logins, 2);

    client->onLogin = nullptr;
    client->listError = OstraneError::make("permission denied");
    client->names = std::vector<std::string>{};  // a list together with an error is still a failure
    EXPECT_EQ(run(u), "permission denied");

    client->listError = nullptr;
    client->names = std::nullopt;
    EXPECT_EQ(run(u), "listing failed");
}

TEST_F(RegistryTest, DownloadFile) {
    auto info = add(OstraneType::smb);
    auto client = fake(info);
    auto to = URL::fileURLWithPath("/tmp/out.mkv");
    std::vector<std::string> results;
    auto record = [&](OstraneErrorRef e) { results.push_back(e ? e->description() : "ok"); };

    registry->downloadFile(url("calvora-internal://NOPE/a"), to, record);
    registry->downloadFile(url(base(info) + "/Movies/a%20b.mkv"), to, record);
    client->downloadError = OstraneError::make("disk full");
    registry->downloadFile(url(base(info) + "/b"), to, record);
    client->connected = false;
    client->onLogin = [](OstraneClient::LoginCompletion finish) { finish(OstraneError::make("bad password")); };
    registry->downloadFile(url(base(info) + "/c"), to, record);

    EXPECT_EQ(results, (std::vector<std::string>{"server not found", "ok", "disk full", "bad password"}));
    ASSERT_EQ(client->downloads.size(), 2u);
    EXPECT_EQ(client->downloads[0].first, "/Movies/a b.mkv");
    EXPECT_EQ(client->downloads[0].second, to.absoluteString());
}

TEST_F(RegistryTest, DownloadOfTheServerItselfFails) {
    auto info = add(OstraneType::ftp);
    auto client = fake(info);
    client->connected = true;
    for (const auto& text : {base(info), base(info) + "/"}) {
        OstraneErrorRef error;
        registry->downloadFile(url(text), URL::fileURLWithPath("/tmp/x"), [&](OstraneErrorRef e) { error = e; });
        ASSERT_NE(error, nullptr) << text;
        EXPECT_EQ(error->description(), "The URL names no file");
    }
    EXPECT_TRUE(client->downloads.empty());
}

TEST_F(RegistryTest, BuiltInClientForEveryKind) {
    // With no maker of its own the registry gives each kind its client, for a copy of the record.
    replaceClientMaker(nullptr);
    const std::vector<std::tuple<OstraneType, std::function<bool(const OstraneClient*)>>> cases = {
        {OstraneType::ftp, [](const OstraneClient* c) { return dynamic_cast<const CURLClient*>(c) != nullptr; }},
        {OstraneType::sftp, [](const OstraneClient* c) { return dynamic_cast<const NMSSHClient*>(c) != nullptr; }},
        {OstraneType::smb, [](const OstraneClient* c) { return dynamic_cast<const AMSMB2Client*>(c) != nullptr; }},
        {OstraneType::webdav,
         [](const OstraneClient* c) { return dynamic_cast<const FileProviderClient*>(c) != nullptr; }},
    };
    ASSERT_EQ(cases.size(), std::size(OstraneTypeAllCases));
    for (const auto& [type, isItsClient] : cases) {
        OstraneInfo record(type);
        record.host = "127.0.0.1";
        auto made = makeClient(record);
        ASSERT_NE(made, nullptr) << rawValue(type);
        EXPECT_TRUE(isItsClient(made.get())) << rawValue(type);
        EXPECT_EQ(made->info().identifier, record.identifier);
        EXPECT_FALSE(made->isConnected()) << "made without logging in";
        record.host = "elsewhere";
        EXPECT_EQ(made->info().host, "127.0.0.1") << "the client keeps its own copy";
    }
}

// --- Streaming handle -------------------------------------------------------------------------

class HandleTest : public RegistryTest {
protected:
    OstraneInfo info;
    std::shared_ptr<FakeClient> client;
    void SetUp() override {
        RegistryTest::SetUp();
        info = add(OstraneType::smb);
        client = fake(info);
        client->files["/Movies/a b.mkv"] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        client->files["/other"] = {1};
    }
    std::shared_ptr<NetworkFileHandle> handle(const std::string& path = "/Movies/a%20b.mkv") {
        auto h = NetworkFileHandle::make(url(base(info) + path));
        EXPECT_NE(h, nullptr);
        if (h) h->setLoginTimeout(ostrane_test::hangLimit);
        return h;
    }
    HandleTest() : info(OstraneType::smb) {}
};

TEST_F(HandleTest, MakeNeedsAClient) {
    EXPECT_EQ(NetworkFileHandle::make(url("calvora-internal://NOPE/a")), nullptr);
    EXPECT_EQ(NetworkFileHandle::make(url("file:///a")), nullptr);
    auto fresh = add(OstraneType::sftp);
    EXPECT_EQ(registry->serverClient(fresh, false), nullptr);
    auto h = NetworkFileHandle::make(url(base(fresh) + "/a"));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(registry->serverClient(fresh, false), nullptr);  // registered by the handle
    EXPECT_EQ(h->size(), -1);
    EXPECT_EQ(h->offset(), 0);
    EXPECT_EQ(h->defaultLoginTimeout, 60s);
    EXPECT_EQ(NetworkFileHandle::make(url(base(fresh) + "/a"))->loginTimeout(), 60s);
}

TEST_F(HandleTest, OpenReadClose) {
    client->connected = true;
    auto h = handle();
    EXPECT_EQ(h->read(0, 4), std::nullopt);  // not open yet
    ASSERT_TRUE(h->open());
    EXPECT_EQ(client->logins, 0);  // already connected
    EXPECT_EQ(h->size(), 10);
    EXPECT_EQ(h->read(0, 3), (OstraneClient::Bytes{1, 2, 3}));
    EXPECT_EQ(h->read(8, 5), (OstraneClient::Bytes{9, 10}));
    EXPECT_EQ(h->read(10, 5), OstraneClient::Bytes{});
    EXPECT_EQ(h->read(-1, 5), std::nullopt);
    EXPECT_EQ(h->read(0, -5), std::nullopt);
    EXPECT_EQ(h->offset(), 0);

    // Opening again releases the earlier descriptor on the server first.
    ASSERT_TRUE(h->open());
    EXPECT_EQ(client->closed, std::vector<std::string>{"/Movies/a b.mkv"});
    h->close();
    h->close();
    EXPECT_EQ(client->closed.size(), 2u);
    EXPECT_EQ(h->read(0, 1), std::nullopt);
    EXPECT_EQ(h->size(), 10);  // kept after close
}

TEST_F(HandleTest, ReleasingTheHandleCloses) {
    client->connected = true;
    {
        auto h = handle();
        ASSERT_TRUE(h->open());
    }
    EXPECT_EQ(client->closed.size(), 1u);
}

TEST_F(HandleTest, CloseWhileDisconnectedSendsNothing) {
    client->connected = true;
    auto h = handle();
    ASSERT_TRUE(h->open());
    client->connected = false;
    h->close();
    EXPECT_TRUE(client->closed.empty());
    EXPECT_EQ(h->read(0, 1), std::nullopt);
}

TEST_F(HandleTest, OpenFailures) {
    client->connected = true;
    auto missing = handle("/missing");
    EXPECT_FALSE(missing->open());
    EXPECT_EQ(missing->size(), -1);

    client->sizeKnown = false;
    auto h = handle();
    EXPECT_FALSE(h->open());
    EXPECT_EQ(h->size(), -1);
    EXPECT_EQ(h->read(0, 2), (OstraneClient::Bytes{1, 2}));  // the descriptor stays held
    h->close();
    EXPECT_EQ(client->closed.size(), 1u);
}

TEST_F(HandleTest, LoginWait) {
    // Immediate, late (from another thread), failing, and never answered: only the last waits
    // for the time-out, so only it gets a short one.
    std::vector<std::thread> threads;
    struct Case {
        const char* name;
        std::function<void(OstraneClient::LoginCompletion)> login;
        bool opens;
        std::chrono::milliseconds loginTimeout = ostrane_test::hangLimit;
    };
    std::vector<Case> cases = {
        {"immediate", nullptr, true},
        {"late",
         [&](OstraneClient::LoginCompletion finish) {
             threads.emplace_back([this, finish] {
                 std::this_thread::sleep_for(150ms);
                 client->connected = true;
                 finish(nullptr);
             });
         },
         true},
        {"failed", [](OstraneClient::LoginCompletion finish) { finish(OstraneError::make("bad password")); }, false},
        {"never", [](OstraneClient::LoginCompletion) {}, false, 500ms},
    };
    std::mutex traceMutex;
    std::vector<Util::TraceLine> lines;
    Util::setTraceSink([&](const Util::TraceLine& line) {
        std::lock_guard lock(traceMutex);
        lines.push_back(line);
    });
    for (auto& c : cases) {
        client->connected = false;
        client->onLogin = c.login;
        auto h = handle();
        h->setLoginTimeout(c.loginTimeout);
        EXPECT_EQ(h->open(), c.opens) << c.name;
        EXPECT_EQ(h->size(), c.opens ? 10 : -1) << c.name;
        if (!c.opens) {
            EXPECT_EQ(client->connected, false) << c.name;
        }
    }
    for (auto& t : threads) t.join();
    std::lock_guard lock(traceMutex);
    ASSERT_EQ(lines.size(), 1u);  // the failed login only
    EXPECT_EQ(lines[0].messages, std::vector<std::string>{"bad password"});
    EXPECT_EQ(lines[0].line, 48);
    EXPECT_EQ(lines[0].function, "open()");
    EXPECT_NE(lines[0].file.find("NetworkFileHandle"), std::string::npos);
}

TEST_F(HandleTest, LaterOpenRetriesTheLogin) {
    client->onLogin = [](OstraneClient::LoginCompletion finish) { finish(OstraneError::make("down")); };
    auto h = handle();
    EXPECT_FALSE(h->open());
    client->onLogin = nullptr;
    EXPECT_TRUE(h->open());
    EXPECT_EQ(client->logins, 2);
}

// A name is bytes: one that is not UTF-8 (Latin-1 "xété.mkv") and a name that merely spells its
// escapes ("x%E9t%E9.mkv") must reach the client as two different files on every path.
TEST_F(HandleTest, NamesThatAreNotUTF8ReachTheClientAsTheirBytes) {
    client->connected = true;
    const std::string latin1 = "/x\xE9t\xE9.mkv";
    const std::string decoy = "/x%E9t%E9.mkv";
    client->files[latin1] = {1, 1};
    client->files[decoy] = {2, 2, 2};

    auto root = client->baseDirItem();
    auto real = registry->url(OstraneFile::make(latin1.substr(1), root, 2), client);
    auto spelled = registry->url(OstraneFile::make(decoy.substr(1), root, 3), client);
    ASSERT_TRUE(real && spelled);
    EXPECT_EQ(real->absoluteString(), base(info) + "/x%E9t%E9.mkv");
    EXPECT_EQ(spelled->absoluteString(), base(info) + "/x%25E9t%25E9.mkv");

    for (const auto& [u, path, bytes] : {std::tuple{*real, latin1, OstraneClient::Bytes{1, 1}},
                                         std::tuple{*spelled, decoy, OstraneClient::Bytes{2, 2, 2}}}) {
        SCOPED_TRACE(u.absoluteString());
        auto h = NetworkFileHandle::make(u);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(h->open());
        EXPECT_EQ(h->read(0, 10), bytes);
        h->close();

        client->downloads.clear();
        registry->downloadFile(u, URL::fileURLWithPath("/tmp/x"), [](OstraneErrorRef) {});
        ASSERT_EQ(client->downloads.size(), 1u);
        EXPECT_EQ(client->downloads[0].first, path);
    }

    // Folders likewise, and the names listed in them come back as URLs of their own bytes.
    client->names = std::vector<std::string>{"\xE9.mkv"};
    std::optional<std::vector<URL>> listed;
    registry->contentsOfDirectory(url(base(info) + "/d%E9j%E0/"), [&](auto list, auto) { listed = list; });
    EXPECT_EQ(client->listedDirs.back(), "/d\xE9j\xE0");
    ASSERT_TRUE(listed && listed->size() == 1u);
    EXPECT_EQ(listed->front().absoluteString(), base(info) + "/d%E9j%E0/%E9.mkv");
    EXPECT_EQ(listed->front().pathBytes(), "/d\xE9j\xE0/\xE9.mkv");
}

TEST_F(HandleTest, HandleKeepsItsClientAfterClose) {
    client->connected = true;
    auto h = handle();
    registry->close(info);
    EXPECT_EQ(registry->serverClient(info, false), nullptr);
    EXPECT_TRUE(h->open());
    EXPECT_EQ(h->read(0, 1), OstraneClient::Bytes{1});
}

// --- Login gate -------------------------------------------------------------------------------

TEST(LoginGateTest, OneLoginForConcurrentCallers) {
    LoginGate gate;
    std::atomic<int> started{0};
    std::mutex m;
    std::condition_variable cv;
    LoginGate::Finish pending;
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&] {
            gate.login(
                [&](OstraneErrorRef e) {
                    EXPECT_EQ(e->description(), "nope");
                    ++answered;
                },
                [&](LoginGate::Finish done) {
                    ++started;
                    std::lock_guard lock(m);
                    pending = done;
                    cv.notify_all();
                });
        });
    }
    for (auto& t : callers) t.join();
    LoginGate::Finish done;
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(ostrane_test::waitUntil(cv, lock, [&] { return pending != nullptr; }));
        done = pending;
    }
    EXPECT_TRUE(gate.isRunning());
    std::thread finisher([done] { done(OstraneError::make("nope")); done(nullptr); });
    finisher.join();
    EXPECT_EQ(started, 1);
    EXPECT_EQ(answered, 8);
    EXPECT_FALSE(gate.isRunning());

    // The next login starts afresh; a start that throws answers with an error.
    int calls = 0;
    gate.login([&](OstraneErrorRef e) { ++calls; EXPECT_NE(e, nullptr); },
               [](LoginGate::Finish) { throw std::runtime_error("no socket"); });
    gate.login([&](OstraneErrorRef e) { ++calls; EXPECT_EQ(e, nullptr); }, [](LoginGate::Finish d) { d(nullptr); });
    EXPECT_EQ(calls, 2);
}

TEST_F(RegistryTest, ConcurrentUse) {
    auto info = add(OstraneType::smb);
    auto u = url(base(info) + "/a");
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                if (auto c = registry->serverClient(u)) {
                    EXPECT_EQ(c->info().identifier, info.identifier);
                }
                registry->canHandle(u);
                registry->contentsOfDirectory(u, [](auto, auto) {});
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            registry->close(info);
            registry->setServerInfos(registry->serverInfos());
        }
    });
    for (auto& t : threads) t.join();
    // At most one live client per record at any time.
    auto first = registry->serverClient(u);
    EXPECT_EQ(registry->serverClient(info, false), first);
}

}  // namespace
