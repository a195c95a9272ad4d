// test-labels: unit http tsan
// The HTTP provider base against the loopback fake server, through the smallest concrete provider.
#include "fileprovider/core/test_http_provider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"

#include "platform/data/KeyedArchive.hpp"
#include "platform/dispatch/MainQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/data/UUID.hpp"
#include "platform/base/UndoManager.hpp"
#include "support/FakeHTTPServer.hpp"
#include "support/ServerScript.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace fptest;
using ostrane_test::FakeHTTPServer;
using platform::Data;

namespace {

std::string text(const Data& d) { return std::string(d.begin(), d.end()); }
Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

std::string numbered(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('A' + (i * 7 + i / 251) % 26);
    return s;
}

std::optional<std::string> query(const FakeHTTPServer::Request& r, const std::string& name) {
    const auto q = r.target.find('?');
    if (q == std::string::npos) return std::nullopt;
    std::string rest = r.target.substr(q + 1);
    const std::string key = name + "=";
    const auto at = rest.find(key);
    if (at == std::string::npos) return std::nullopt;
    rest = rest.substr(at + key.size());
    return rest.substr(0, rest.find('&'));
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        path = std::filesystem::temp_directory_path() / ("http-provider-" + std::to_string(::getpid()) + "-" +
                                                         std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct HTTPProviderTest : ::testing::Test {
    FakeHTTPServer server;
    std::shared_ptr<TestHTTPProvider> provider = TestHTTPProvider::make(server.url("/base"));
    std::shared_ptr<RecordingProviderDelegate> delegate = std::make_shared<RecordingProviderDelegate>();

    void SetUp() override { provider->setDelegate(delegate); }

    // The first download lands whole; the second finds the place taken and leaves it alone.
    void downloadTwice(const std::string& path, const std::filesystem::path& target, const std::string& content) {
        Awaited<ErrorRef> first, second;
        provider->copyItem(path, platform::URL::fileURLWithPath(target.string()), first.handler());
        ASSERT_TRUE(first.wait());
        EXPECT_EQ(std::get<0>(first.result()), nullptr);
        EXPECT_TRUE(readFile(target) == content);
        provider->copyItem(path, platform::URL::fileURLWithPath(target.string()), second.handler());
        ASSERT_TRUE(second.wait());
        EXPECT_TRUE(std::get<0>(second.result()));
        EXPECT_TRUE(readFile(target) == content);
    }
};

template <class Pred>
bool eventuallyTrue(Pred done, double seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::shared_ptr<const TestHTTPError> httpError(const ErrorRef& e) { return std::dynamic_pointer_cast<const TestHTTPError>(e); }

}  // namespace

TEST_F(HTTPProviderTest, BaseURLQueuesAndSession) {
    EXPECT_EQ(provider->baseURL()->absoluteString(), server.url("/base/"));
    EXPECT_EQ(TestHTTPProvider::make(server.url("/base/"))->baseURL()->absoluteString(), server.url("/base/"));
    EXPECT_FALSE(TestHTTPProvider::make("")->baseURL());
    EXPECT_EQ(provider->dispatch_queue()->label(), "FileProvider.TestHTTP");
    EXPECT_EQ(provider->operation_queue()->name(), "FileProvider.TestHTTP.Operation");
    EXPECT_FALSE(provider->useCache());
    EXPECT_TRUE(provider->validatingCache());

    auto session = provider->session();
    EXPECT_EQ(provider->session(), session);
    const auto description = session->sessionDescription();
    ASSERT_TRUE(description);
    EXPECT_TRUE(platform::UUID::fromString(*description));
    const auto counts = sessionHandlerCounts(*description);
    EXPECT_EQ(counts.completion, 0u);
    EXPECT_EQ(counts.download, 0u);
    EXPECT_EQ(counts.data, 0u);
    EXPECT_EQ(counts.response, 0u);
    EXPECT_EQ(session->delegateQueue(), provider->operation_queue());

    // A new credential reaches the session delegate's later challenges.
    provider->setCredential(platform::URLCredential("u", "p"));
    ASSERT_TRUE(provider->sessionDelegate());
    EXPECT_EQ(provider->sessionDelegate()->credential(), platform::URLCredential("u", "p"));

    // A session made elsewhere without a description gets one; a foreign delegate is no SessionDelegate.
    auto foreign = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration(),
                                              std::make_shared<platform::URLSessionDelegate>());
    provider->setSession(foreign);
    EXPECT_TRUE(foreign->sessionDescription() && !foreign->sessionDescription()->empty());
    EXPECT_EQ(provider->sessionDelegate(), nullptr);

    // Releasing the provider takes its session's entries out of the tables.
    const auto foreignDescription = *foreign->sessionDescription();
    provider.reset();
    EXPECT_FALSE(sessionHandlerCounts(foreignDescription).completion);
}

TEST_F(HTTPProviderTest, ArchiveHoldsTheFourKeys) {
    provider->setCredential(platform::URLCredential("user", "pw"));
    provider->setUseCache(true);
    platform::KeyedArchiver archiver;
    provider->encode(archiver);
    const auto& j = archiver.json();
    EXPECT_EQ(j.size(), 4u);
    for (const char* key : {"baseURL", "credential", "useCache", "validatingCache"}) EXPECT_TRUE(j.contains(key)) << key;
    platform::KeyedUnarchiver unarchiver(archiver.json());
    EXPECT_EQ(HTTPFileProvider::decodeCredential(unarchiver), platform::URLCredential("user", "pw"));
    EXPECT_TRUE(unarchiver.decodeBool("useCache"));
    EXPECT_EQ(unarchiver.decodeURL("baseURL")->absoluteString(), server.url("/base/"));
}

// Each one-request operation against each kind of answer.
TEST_F(HTTPProviderTest, OperationStatusTable) {
    struct Op {
        const char* name;
        std::string method;
        std::string serverPath;
        std::string source;
        std::function<ProgressRef(TestHTTPProvider&, SimpleCompletionHandler)> run;
    };
    const std::vector<Op> ops = {
        {"create", "POST", "/base/docs/new/", "/docs/new/", [](auto& p, auto c) { return p.create("new", "/docs", c); }},
        {"move", "PATCH", "/base/a.txt", "/a.txt", [](auto& p, auto c) { return p.moveItem("/a.txt", "/b.txt", true, c); }},
        {"copy", "POST", "/base/c.txt", "/c.txt", [](auto& p, auto c) { return p.copyItem("/c.txt", "/d.txt", false, c); }},
        {"remove", "DELETE", "/base/e.txt", "/e.txt", [](auto& p, auto c) { return p.removeItem("/e.txt", c); }},
    };
    struct Answer {
        int status;
        std::string body;
        int errorStatus;  // 0: success
    };
    const std::vector<Answer> answers = {
        {201, "", 0}, {204, "", 0}, {207, "<all fine/>", 0}, {207, "ITEM-FAILED", 423},
        {404, "missing", 404}, {409, "conflict", 409}, {501, "not here", 501}, {418, "teapot", 418},
    };
    size_t reports = 0;
    for (const auto& op : ops) {
        for (const auto& a : answers) {
            SCOPED_TRACE(std::string(op.name) + " " + std::to_string(a.status) + " " + a.body);
            server.script(op.method, op.serverPath, {FakeHTTPServer::answer(a.status, a.body)});
            Awaited<ErrorRef> done;
            auto progress = op.run(*provider, done.handler());
            ASSERT_TRUE(progress);
            ASSERT_TRUE(done.wait());
            const auto error = std::get<0>(done.result());
            ASSERT_TRUE(delegate->waitReports(++reports));
            const auto report = delegate->all().back();
            EXPECT_EQ(report.error, error);
            EXPECT_EQ(report.operation.source(), op.source);
            if (a.errorStatus == 0) {
                EXPECT_EQ(error, nullptr);
                EXPECT_EQ(progress->completedUnitCount(), 1);
            } else {
                auto e = httpError(error);
                ASSERT_TRUE(e) << (error ? error->localizedDescription() : "no error");
                EXPECT_EQ(e->statusCode(), a.errorStatus);
                EXPECT_EQ(e->path(), op.source);
                if (a.status != 207) { EXPECT_EQ(e->serverDescription(), a.body); }
                EXPECT_EQ(progress->completedUnitCount(), 0);
            }
            EXPECT_EQ(done.calls(), 1);
            auto info = progress->userInfoObject(fileProvderOperationTypeKey);
            ASSERT_TRUE(info);
            EXPECT_EQ(operationFromProgressValue(*info)->source(), op.source);
            EXPECT_TRUE(progress->userInfoObject(startingTimeKey));
        }
    }
    // Create, copy and move sent the overwrite flag as the subclass built it.
    for (const auto& r : server.requests())
        if (r.method == "PATCH") { EXPECT_EQ(r.header("Overwrite"), "T"); }
}

TEST_F(HTTPProviderTest, RefusedOperationSendsNothingAndCallsNothing) {
    struct Refuse : FileOperationDelegate {
        std::atomic<int> asked{0};
        bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
            ++asked;
            return false;
        }
        bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&, const FileOperationType&) override {
            return false;
        }
    };
    auto veto = std::make_shared<Refuse>();
    provider->setFileOperationDelegate(veto);
    Awaited<ErrorRef> done;
    EXPECT_EQ(provider->removeItem("/x", done.handler()), nullptr);
    EXPECT_EQ(provider->create("f", "/", done.handler()), nullptr);
    EXPECT_EQ(provider->writeContents("/w", bytes("w"), false, true, done.handler()), nullptr);
    EXPECT_EQ(veto->asked.load(), 3);
    EXPECT_FALSE(done.wait(ostrane_test::quietPeriod));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(delegate->all().empty());
}

TEST_F(HTTPProviderTest, UndoIsRegisteredBeforeTheCompletionOfUndoableOperations) {
    auto undo = std::make_shared<platform::UndoManager>();
    provider->setUndoManager(undo);
    server.script("PATCH", "/base/m", {FakeHTTPServer::answer(201)});
    server.script("DELETE", "/base/r", {FakeHTTPServer::answer(204)});
    std::atomic<bool> couldUndo{false};
    Awaited<ErrorRef> moved;
    auto handler = moved.handler();
    provider->moveItem("/m", "/n", false, [&, handler](ErrorRef e) {
        couldUndo = undo->canUndo();
        handler(e);
    });
    ASSERT_TRUE(moved.wait());
    EXPECT_TRUE(couldUndo.load());
    EXPECT_EQ(undo->undoActionName(), FileOperationType::move("/m", "/n").actionDescription());

    auto other = std::make_shared<platform::UndoManager>();
    provider->setUndoManager(other);
    Awaited<ErrorRef> removed;
    provider->removeItem("/r", removed.handler());
    ASSERT_TRUE(removed.wait());
    EXPECT_EQ(std::get<0>(removed.result()), nullptr);
    EXPECT_FALSE(other->canUndo());
}

TEST_F(HTTPProviderTest, PagingCollectsPagesAndStopsOnEveryFailure) {
    // Pages by token; "list" names the scenario.
    server.route("GET", "*", [](const FakeHTTPServer::Request& r) {
        const auto page = query(r, "page").value_or("");
        const std::string list = r.path;
        auto reply = FakeHTTPServer::answer(200);
        if (page == "first") reply.body = "a\t1\nb\t1\nnext\tp2\n";
        else if (page == "p2") reply.body = list == "/base/repeat" ? "c\t1\nnext\tp2\n" : "c\t1\nnext\tp3\n";
        else if (page == "p3") {
            if (list == "/base/fails") return FakeHTTPServer::answer(500, "broken");
            if (list == "/base/pagefails") reply.body = "fail\tx\n";
            else reply.body = "d\t1\n";
        }
        // Held back until the server stops: the test cancels it.
        if (list == "/base/slow" && page == "p2") reply.delay = 2 * ostrane_test::hangLimitSeconds;
        if (list == "/base/single") reply.body = "only\t1\n";
        return reply;
    });
    auto names = [](const std::vector<FileObjectRef>& files) {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(f->name());
        return out;
    };
    using Names = std::vector<std::string>;
    struct Case {
        std::string list;
        Names expected;
        bool fails;
    };
    const std::vector<Case> cases = {
        {"/all", {"a", "b", "c", "d"}, false},
        {"/single", {"only"}, false},
        {"/fails", {"a", "b", "c"}, true},
        {"/pagefails", {"a", "b", "c"}, true},
        {"/repeat", {"a", "b", "c"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        server.clearRequests();
        Awaited<std::vector<FileObjectRef>, ErrorRef> done;
        provider->listPages(c.list, done.handler());
        ASSERT_TRUE(done.wait());
        const auto [files, error] = done.result();
        EXPECT_EQ(names(files), c.expected);
        EXPECT_EQ(error != nullptr, c.fails);
        if (c.list == "/fails") {
            auto e = httpError(error);
            ASSERT_TRUE(e);
            EXPECT_EQ(e->statusCode(), 500);
            EXPECT_EQ(e->path(), "/fails");
        }
        if (c.list == "/single") { EXPECT_EQ(server.count("GET"), 1u); }
    }

    // Cancelled while the second page runs: the first page's entries and the cancellation.
    {
        Awaited<std::vector<FileObjectRef>, ErrorRef> done;
        auto progress = provider->listPages("/slow", done.handler());
        ASSERT_TRUE(ostrane_test::waitUntil([&] {
            const auto seen = server.requests();
            return std::any_of(seen.begin(), seen.end(), [](const auto& r) {
                return r.path == "/base/slow" && r.target.find("page=p2") != std::string::npos;
            });
        })) << "the second page was never asked for";
        progress->cancel();
        ASSERT_TRUE(done.wait());
        const auto [files, error] = done.result();
        EXPECT_EQ(names(files), (Names{"a", "b"}));
        auto e = std::dynamic_pointer_cast<const platform::URLError>(error);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->errorCode(), platform::URLError::cancelled);
    }
    // No request for a page: an error, not silence.
    {
        Awaited<std::vector<FileObjectRef>, ErrorRef> done;
        int asked = 0;
        const auto base = provider->url("/all");
        provider->listPages("/all", done.handler(), [&asked, base](const std::optional<std::string>& token) -> std::optional<platform::URLRequest> {
            ++asked;
            if (token) return std::nullopt;
            return platform::URLRequest(platform::URL::parse(base.absoluteString() + "?page=first"));
        });
        ASSERT_TRUE(done.wait());
        const auto [files, error] = done.result();
        EXPECT_EQ(names(files), (Names{"a", "b"}));
        EXPECT_TRUE(error);
        EXPECT_EQ(asked, 2);
    }
    EXPECT_TRUE(delegate->all().empty()) << "listings are not reported to the delegate";
}

TEST_F(HTTPProviderTest, IsReachableFollowsTheRootListing) {
    server.route("GET", "/base/", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(200, "x\t1\n"); });
    Awaited<bool, ErrorRef> up;
    provider->isReachable(up.handler());
    ASSERT_TRUE(up.wait());
    EXPECT_TRUE(std::get<0>(up.result()));
    EXPECT_EQ(std::get<1>(up.result()), nullptr);

    auto elsewhere = TestHTTPProvider::make(server.url("/nothing"));
    Awaited<bool, ErrorRef> down;
    elsewhere->isReachable(down.handler());
    ASSERT_TRUE(down.wait());
    EXPECT_FALSE(std::get<0>(down.result()));
    EXPECT_TRUE(httpError(std::get<1>(down.result())));
}

TEST_F(HTTPProviderTest, UploadsSendTheBodyAndFailOnErrorStatuses) {
    TempDir dir;
    const std::string content = numbered(300000);
    std::ofstream(dir.path / "local file.bin", std::ios::binary) << content;
    const auto local = platform::URL::fileURLWithPath((dir.path / "local file.bin").string());

    Awaited<ErrorRef> fromFile;
    auto progress = provider->copyItem(local, "/up/new file.bin", true, fromFile.handler());
    ASSERT_TRUE(progress);
    ASSERT_TRUE(fromFile.wait());
    EXPECT_EQ(std::get<0>(fromFile.result()), nullptr);
    EXPECT_EQ(server.file("/base/up/new file.bin"), content);
    EXPECT_EQ(progress->totalUnitCount(), static_cast<int64_t>(content.size()));
    EXPECT_EQ(progress->completedUnitCount(), static_cast<int64_t>(content.size()));

    Awaited<ErrorRef> written;
    provider->writeContents("/w.txt", std::nullopt, false, true, written.handler());
    ASSERT_TRUE(written.wait());
    EXPECT_EQ(std::get<0>(written.result()), nullptr);
    EXPECT_EQ(server.file("/base/w.txt"), "");

    server.script("PUT", "/base/conflict.txt", {FakeHTTPServer::answer(409, "parent missing")});
    Awaited<ErrorRef> conflict;
    auto p = provider->writeContents("/conflict.txt", bytes("data"), false, false, conflict.handler());
    ASSERT_TRUE(conflict.wait());
    auto e = httpError(std::get<0>(conflict.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 409);
    EXPECT_EQ(e->path(), "/conflict.txt");
    EXPECT_EQ(e->serverDescription(), "parent missing");
    EXPECT_TRUE(p->isCancelled());

    // A folder is no file to upload.
    Awaited<ErrorRef> folder;
    EXPECT_EQ(provider->copyItem(platform::URL::fileURLWithPath(dir.path.string()), "/dir", false, folder.handler()), nullptr);
    ASSERT_TRUE(folder.wait());
    auto urlError = std::dynamic_pointer_cast<const platform::URLError>(std::get<0>(folder.result()));
    ASSERT_TRUE(urlError);
    EXPECT_EQ(urlError->errorCode(), platform::URLError::fileIsDirectory);

    ASSERT_TRUE(delegate->waitReports(3));
}

// An upload reads its file under the coordination the local provider writes under, so the file it
// sends is one a coordinated writer left whole: a writer holding the file holds the upload back,
// and a writer coming while the file is sent is refused until the upload has ended.
TEST_F(HTTPProviderTest, UploadsAndCoordinatedWritersTakeTurns) {
    TempDir dir;
    const auto path = dir.path / "shared.bin";
    const std::string before = numbered(300000);
    const std::string after(before.size(), 'w');
    std::ofstream(path, std::ios::binary) << before;
    const auto local = platform::URL::fileURLWithPath(path.string());
    const auto writing = platform::FileAccessIntent::writingIntent(local, platform::FileAccessIntent::forReplacing);
    auto writers = platform::OperationQueue::make("test.writer");

    // The writer first: the upload waits for it and sends what it wrote.
    {
        auto release = std::make_shared<ostrane_test::Gate>();
        ostrane_test::GateOpener opener(release);
        Awaited<ErrorRef> holding;
        auto held = holding.handler();
        platform::FileCoordinator::coordinate({writing}, writers, [held, release](ErrorRef error) {
            held(error);
            release->pass();
        });
        ASSERT_TRUE(holding.wait());
        ASSERT_EQ(std::get<0>(holding.result()), nullptr);
        Awaited<ErrorRef> uploaded;
        ASSERT_TRUE(provider->copyItem(local, "/turns/first.bin", true, uploaded.handler()));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << after;
        release->open();
        ASSERT_TRUE(uploaded.wait());
        EXPECT_EQ(std::get<0>(uploaded.result()), nullptr);
        EXPECT_TRUE(server.file("/base/turns/first.bin") == after) << "the upload read the file while the writer held it";
    }

    // The upload first: while the server has the body but has not answered, the file is still held.
    {
        auto answer = std::make_shared<ostrane_test::Gate>();
        ostrane_test::GateOpener opener(answer);
        server.route("PUT", "/base/turns/second.bin", [answer](const FakeHTTPServer::Request&) {
            if (!answer->pass()) throw std::runtime_error("the test never let the upload be answered");
            return FakeHTTPServer::answer(201);
        });
        Awaited<ErrorRef> uploaded;
        ASSERT_TRUE(provider->copyItem(local, "/turns/second.bin", true, uploaded.handler()));
        ASSERT_TRUE(server.waitForRequests("PUT", 2));
        Awaited<ErrorRef> early;
        platform::FileCoordinator::coordinate({writing}, writers, early.handler(), 0);
        ASSERT_TRUE(early.wait());
        auto locked = std::dynamic_pointer_cast<const platform::CocoaError>(std::get<0>(early.result()));
        ASSERT_TRUE(locked) << "a writer got the file while the upload was sending it";
        EXPECT_EQ(locked->errorCode(), platform::CocoaError::fileLocking);
        answer->open();
        ASSERT_TRUE(uploaded.wait());
        EXPECT_EQ(std::get<0>(uploaded.result()), nullptr);
        // Let go by the time the upload is reported ended.
        Awaited<ErrorRef> late;
        platform::FileCoordinator::coordinate({writing}, writers, late.handler());
        ASSERT_TRUE(late.wait());
        EXPECT_EQ(std::get<0>(late.result()), nullptr);
    }
}

// Every operation that may replace its target reads what is there first: a folder refuses it and
// nothing is sent; nothing there sends the request that replaces nothing, so what appears
// meanwhile is refused by the server; a file there binds a PUT to its entity tag; a failed read
// tells nothing and the operation goes as asked.
TEST_F(HTTPProviderTest, OverwritesCheckTheirTargetFirst) {
    TempDir dir;
    std::ofstream(dir.path / "local.bin", std::ios::binary) << "local";
    const auto local = platform::URL::fileURLWithPath((dir.path / "local.bin").string());
    provider->writeContents("/source.txt", bytes("source"), false, true, nullptr);
    for (const char* method : {"POST", "PATCH"})
        server.route(method, "*", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(201); });

    struct Target {
        const char* name;
        std::function<std::pair<FileObjectRef, ErrorRef>()> found;
        bool refused;
        const char* overwrite;               // the request's "Overwrite", as the subclass set it
        std::optional<std::string> ifMatch;  // on the PUTs
    };
    const auto entry = [](URLFileResourceType type, std::optional<std::string> tag) {
        auto file = std::make_shared<FileObject>(std::nullopt, "target", "/target");
        file->setType(type);
        if (tag) file->allValues()[entryTagKey] = *tag;
        return std::pair<FileObjectRef, ErrorRef>(file, nullptr);
    };
    const auto failed = [](int status) {
        return std::pair<FileObjectRef, ErrorRef>(nullptr, std::make_shared<TestHTTPError>("TestHTTP", status, "/target", std::nullopt));
    };
    const Target targets[] = {
        {"a folder", [&] { return entry(URLFileResourceType::directory, std::nullopt); }, true, "", std::nullopt},
        {"a file", [&] { return entry(URLFileResourceType::regular, "\"v1\""); }, false, "T", "\"v1\""},
        {"a file with an unquoted tag", [&] { return entry(URLFileResourceType::regular, "v2"); }, false, "T", "\"v2\""},
        {"a file with a weak tag", [&] { return entry(URLFileResourceType::regular, "W/\"v3\""); }, false, "T", std::nullopt},
        {"nothing", [&] { return failed(404); }, false, "F", std::nullopt},
        {"what a failed read hides", [&] { return failed(500); }, false, "T", std::nullopt},
    };
    struct Operation {
        const char* name;
        const char* method;
        std::function<ProgressRef(SimpleCompletionHandler)> run;
    };
    const Operation operations[] = {
        {"write", "PUT", [&](auto done) { return provider->writeContents("/target", bytes("new"), false, true, done); }},
        {"upload", "PUT", [&](auto done) { return provider->copyItem(local, "/target", true, done); }},
        {"copy", "POST", [&](auto done) { return provider->copyItem("/source.txt", "/target", true, done); }},
        {"move", "PATCH", [&](auto done) { return provider->moveItem("/source.txt", "/target", true, done); }},
    };
    ASSERT_TRUE(server.waitForRequests("PUT"));
    for (const auto& t : targets) {
        for (const auto& op : operations) {
            SCOPED_TRACE(std::string(op.name) + " onto " + t.name);
            std::vector<std::string> asked;
            std::mutex askedMutex;
            provider->attributes = [&](const std::string& path) {
                std::lock_guard lock(askedMutex);
                asked.push_back(path);
                return t.found();
            };
            server.clearRequests();
            Awaited<ErrorRef> done;
            auto progress = op.run(done.handler());
            ASSERT_TRUE(progress);
            ASSERT_TRUE(done.wait());
            {
                std::lock_guard lock(askedMutex);
                EXPECT_EQ(asked, std::vector<std::string>{"/target"});
            }
            const auto sent = server.requests();
            if (t.refused) {
                auto e = std::dynamic_pointer_cast<const platform::CocoaError>(std::get<0>(done.result()));
                ASSERT_TRUE(e) << "a file must not take a folder's place";
                EXPECT_TRUE(sent.empty()) << sent.front().method;
                EXPECT_TRUE(progress->isCancelled());
                continue;
            }
            EXPECT_EQ(std::get<0>(done.result()), nullptr);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].method, op.method);
            EXPECT_EQ(sent[0].header("Overwrite"), t.overwrite);
            EXPECT_EQ(sent[0].header("If-Match"), std::string(op.method) == "PUT" ? t.ifMatch : std::nullopt);
        }
    }
    // Without overwrite nothing is read first.
    bool read = false;
    provider->attributes = [&](const std::string&) {
        read = true;
        return entry(URLFileResourceType::directory, std::nullopt);
    };
    Awaited<ErrorRef> plain;
    provider->writeContents("/plain.txt", bytes("plain"), false, false, plain.handler());
    ASSERT_TRUE(plain.wait());
    EXPECT_EQ(std::get<0>(plain.result()), nullptr);
    EXPECT_FALSE(read);
    provider->attributes = nullptr;
}

TEST_F(HTTPProviderTest, UploadsAboveTheSimpleLimitAreRefusedWithoutARequest) {
    provider->maxUpload = 10;
    TempDir dir;
    std::ofstream(dir.path / "big", std::ios::binary) << std::string(11, 'b');
    Awaited<ErrorRef> write;
    EXPECT_EQ(provider->writeContents("/big.txt", bytes(std::string(20, 'x')), false, true, write.handler()), nullptr);
    Awaited<ErrorRef> copy;
    EXPECT_EQ(provider->copyItem(platform::URL::fileURLWithPath((dir.path / "big").string()), "/big2", false, copy.handler()), nullptr);
    for (auto* done : {&write, &copy}) {
        ASSERT_TRUE(done->wait());
        auto e = httpError(std::get<0>(done->result()));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->statusCode(), 413);
    }
    EXPECT_EQ(httpError(std::get<0>(write.result()))->path(), "/big.txt");
    ASSERT_TRUE(delegate->waitReports(2));
    EXPECT_TRUE(delegate->all()[0].error);
    EXPECT_EQ(server.count("PUT"), 0u);
}

TEST_F(HTTPProviderTest, RangedReadsAcceptOnlyTheRange) {
    const std::string file = numbered(5000);
    server.putFile("/base/f.bin", file);
    struct Case {
        std::string name;
        int64_t offset, length;
        bool ignoreRange;
        std::optional<std::string> expected;  // no value: an error
        bool requestSent;
    };
    const std::vector<Case> cases = {
        {"range honoured", 100, 50, false, file.substr(100, 50), true},
        {"range ignored", 100, 50, true, file.substr(100, 50), true},
        {"to the end, ignored", 4990, -1, true, file.substr(4990), true},
        {"whole file", 0, -1, false, file, true},
        {"past the end", 6000, 10, false, std::nullopt, true},
        {"length zero", 10, 0, false, std::string(), false},
        {"negative offset", -5, 10, false, std::string(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.setIgnoreRange(c.ignoreRange);
        server.clearRequests();
        Awaited<std::optional<Data>, ErrorRef> done;
        provider->contents("/f.bin", c.offset, c.length, done.handler());
        ASSERT_TRUE(done.wait());
        const auto [data, error] = done.result();
        if (c.expected) {
            EXPECT_EQ(error, nullptr);
            ASSERT_TRUE(data);
            EXPECT_EQ(text(*data), *c.expected);
        } else {
            EXPECT_FALSE(data);
            auto e = httpError(error);
            ASSERT_TRUE(e);
            EXPECT_EQ(e->statusCode(), 416);
        }
        EXPECT_EQ(server.count("GET") > 0, c.requestSent);
        if (c.name == "whole file") { EXPECT_FALSE(server.requests().at(0).header("Range")); }
    }
    server.setIgnoreRange(false);
    // An error page is never taken for the file's bytes.
    Awaited<std::optional<Data>, ErrorRef> missing;
    provider->contents("/nope.bin", 100, 50, missing.handler());
    ASSERT_TRUE(missing.wait());
    EXPECT_FALSE(std::get<0>(missing.result()));
    EXPECT_EQ(httpError(std::get<1>(missing.result()))->statusCode(), 404);
}

TEST_F(HTTPProviderTest, StreamedReadsGivePositionsFromTheOffset) {
    const std::string file = numbered(400000);
    server.putFile("/base/s.bin", file);
    for (const int64_t length : {int64_t{300000}, int64_t{0}})
    for (bool ignore : {false, true}) {
        SCOPED_TRACE(std::string(ignore ? "range ignored" : "range honoured") + ", length " + std::to_string(length));
        server.setIgnoreRange(ignore);
        server.clearRequests();
        // Length 0 reads from the offset to the end.
        const std::string expected = length ? file.substr(1000, static_cast<size_t>(length)) : file.substr(1000);
        std::mutex m;
        std::string got;
        int64_t expectedPosition = 1000;
        bool positionsRight = true;
        std::atomic<int> responses{0};
        Awaited<ErrorRef> done;
        provider->contents(
            "/s.bin", 1000, length, [&](std::shared_ptr<const platform::URLResponse>) { ++responses; },
            [&](int64_t position, const Data& piece) {
                std::lock_guard lock(m);
                positionsRight = positionsRight && position == expectedPosition;
                expectedPosition += static_cast<int64_t>(piece.size());
                got += text(piece);
            },
            done.handler());
        ASSERT_TRUE(done.wait());
        EXPECT_EQ(std::get<0>(done.result()), nullptr);
        std::lock_guard lock(m);
        EXPECT_TRUE(positionsRight);
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
        EXPECT_EQ(responses.load(), 1);
        EXPECT_EQ(server.requests().at(0).header("Range"),
                  length ? "bytes=1000-300999" : "bytes=1000-");
    }
    server.setIgnoreRange(false);
    bool pieces = false;
    Awaited<ErrorRef> failed;
    provider->contents("/absent", 0, -1, nullptr, [&](int64_t, const Data&) { pieces = true; }, failed.handler());
    ASSERT_TRUE(failed.wait());
    EXPECT_EQ(httpError(std::get<0>(failed.result()))->statusCode(), 404);
    EXPECT_FALSE(pieces);
}

// A server that ignores the Range: the read ends with the range, not with the whole answer (this
// one would break off after 200 kB).
TEST_F(HTTPProviderTest, AWholeAnswerToARangeEndsWithTheRange) {
    const std::string file = numbered(1 << 20);
    auto whole = FakeHTTPServer::answer(200, file, {}, "application/octet-stream");
    whole.dropAfter = 200000;
    server.script("GET", "/base/cut.bin", {whole, whole});
    Awaited<std::optional<Data>, ErrorRef> read;
    provider->contents("/cut.bin", 10, 100, read.handler());
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(std::get<1>(read.result()), nullptr);
    EXPECT_EQ(text(std::get<0>(read.result()).value_or(Data{})), file.substr(10, 100));

    std::string got;
    Awaited<ErrorRef> streamed;
    provider->contents("/cut.bin", 20, 50, nullptr, [&](int64_t, const Data& piece) { got += text(piece); }, streamed.handler());
    ASSERT_TRUE(streamed.wait());
    EXPECT_EQ(std::get<0>(streamed.result()), nullptr);
    EXPECT_EQ(got, file.substr(20, 50));
}

TEST_F(HTTPProviderTest, DownloadsNeverReplaceOrLeaveBehindAFile) {
    TempDir dir;
    const std::string file = numbered(700000);
    server.putFile("/base/movie.mkv", file);
    const auto target = dir.path / "movie copy.mkv";

    Awaited<ErrorRef> ok;
    provider->copyItem("/movie.mkv", platform::URL::fileURLWithPath(target.string()), ok.handler());
    ASSERT_TRUE(ok.wait());
    EXPECT_EQ(std::get<0>(ok.result()), nullptr);
    EXPECT_TRUE(readFile(target) == file);

    std::ofstream(dir.path / "existing.mkv") << "mine";
    Awaited<ErrorRef> existing;
    provider->copyItem("/movie.mkv", platform::URL::fileURLWithPath((dir.path / "existing.mkv").string()), existing.handler());
    ASSERT_TRUE(existing.wait());
    auto cocoa = std::dynamic_pointer_cast<const platform::CocoaError>(std::get<0>(existing.result()));
    ASSERT_TRUE(cocoa);
    EXPECT_EQ(cocoa->errorCode(), platform::CocoaError::fileWriteFileExists);
    EXPECT_EQ(readFile(dir.path / "existing.mkv"), "mine");

    Awaited<ErrorRef> missing;
    const auto nowhere = dir.path / "never.mkv";
    provider->copyItem("/missing.mkv", platform::URL::fileURLWithPath(nowhere.string()), missing.handler());
    ASSERT_TRUE(missing.wait());
    auto e = httpError(std::get<0>(missing.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 404);
    EXPECT_EQ(e->path(), "/missing.mkv");
    EXPECT_FALSE(std::filesystem::exists(nowhere));

    // One report per download: success, file exists, not found.
    ASSERT_TRUE(delegate->waitReports(3));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    const auto reports = delegate->all();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0].error, nullptr);
    // Nothing of the temporary files stays behind in the destination folder.
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path)) ++entries;
    EXPECT_EQ(entries, 2u);
}

// Digest and Basic, right and wrong password, through the provider's credential.
TEST_F(HTTPProviderTest, ChallengesAnsweredWithTheProvidersCredential) {
    struct Case {
        bool digest;
        std::string password;
        int errorStatus;
    };
    for (const Case& c : {Case{false, "pw", 0}, Case{false, "bad", 401}, Case{true, "pw", 0}, Case{true, "bad", 401}}) {
        SCOPED_TRACE(std::string(c.digest ? "digest " : "basic ") + c.password);
        FakeHTTPServer guarded;
        if (c.digest) guarded.requireDigest("dora", "pw");
        else guarded.requireBasic("dora", "pw");
        guarded.putFile("/d/file.txt", "guarded content");
        auto p = TestHTTPProvider::make(guarded.url("/d"), platform::URLCredential("dora", c.password));
        Awaited<std::optional<Data>, ErrorRef> read;
        p->contents("/file.txt", 0, -1, read.handler());
        ASSERT_TRUE(read.wait());
        const auto [data, error] = read.result();
        if (c.errorStatus == 0) {
            EXPECT_EQ(error, nullptr);
            ASSERT_TRUE(data);
            EXPECT_EQ(text(*data), "guarded content");
        } else {
            auto e = httpError(error);
            ASSERT_TRUE(e);
            EXPECT_EQ(e->statusCode(), 401);
            EXPECT_FALSE(data);
        }
    }
}

TEST_F(HTTPProviderTest, IdleTimeoutNotACapOnSlowTransfers) {
    // Bytes far more often than the idle limit, for longer than it in all; and a server that never answers.
    provider->timeout = 3;
    auto steady = FakeHTTPServer::answer(200, std::string(20, 's'));
    steady.dripBytes = 1;
    steady.dripInterval = 0.25;
    server.script("GET", "/base/steady", {steady});
    auto silent = FakeHTTPServer::answer(200, "late");
    silent.delay = 2 * ostrane_test::hangLimitSeconds;
    server.script("GET", "/base/silent", {silent});

    Awaited<std::optional<Data>, ErrorRef> a, b;
    provider->contents("/steady", 0, -1, a.handler());
    provider->contents("/silent", 0, -1, b.handler());
    ASSERT_TRUE(a.wait());
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(std::get<1>(a.result()), nullptr);
    EXPECT_EQ(text(*std::get<0>(a.result())), std::string(20, 's'));
    auto e = std::dynamic_pointer_cast<const platform::URLError>(std::get<1>(b.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCode(), platform::URLError::timedOut);
}

TEST_F(HTTPProviderTest, CancellingADownloadLeavesNothing) {
    TempDir dir;
    // A body that would take far longer than the test to arrive.
    auto slow = FakeHTTPServer::answer(200, std::string(200, 'z'));
    slow.dripBytes = 10;
    slow.dripInterval = ostrane_test::hangLimitSeconds / 10;
    server.script("GET", "/base/slow.bin", {slow});
    const auto target = dir.path / "slow.bin";
    Awaited<ErrorRef> done;
    auto progress = provider->copyItem("/slow.bin", platform::URL::fileURLWithPath(target.string()), done.handler());
    ASSERT_TRUE(progress);
    ASSERT_TRUE(server.waitForRequests("GET"));
    progress->cancel();
    ASSERT_TRUE(done.wait());
    auto e = std::dynamic_pointer_cast<const platform::URLError>(std::get<0>(done.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->errorCode(), platform::URLError::cancelled);
    EXPECT_FALSE(std::filesystem::exists(target));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_EQ(done.calls(), 1);
}

// A provider released while its uploads run: cancelled tasks answer "cancelled" at once; tasks
// left to finish answer how they really ended. Once each.
TEST_F(HTTPProviderTest, ReleasingTheProviderReportsWhatBecameOfItsUploads) {
    // The server answers each upload only once the test lets it.
    auto gate = std::make_shared<ostrane_test::Gate>();
    ostrane_test::GateOpener opener(gate);
    auto answered = std::make_shared<std::atomic<int>>(0);
    server.route("PUT", "*", [gate, answered](const FakeHTTPServer::Request&) {
        if (!gate->pass()) throw std::runtime_error("the test never let the upload be answered");
        ++*answered;
        return FakeHTTPServer::answer(201);
    });
    for (bool cancelTasks : {true, false}) {
        SCOPED_TRACE(cancelTasks ? "tasks cancelled" : "tasks finish");
        gate->close();
        const int answeredBefore = *answered;
        fileProviderCancelTasksOnInvalidating = cancelTasks;
        auto p = TestHTTPProvider::make(server.url("/rel"));
        Awaited<ErrorRef> done;
        const size_t putsBefore = server.count("PUT");
        p->writeContents("/x.txt", bytes("abc"), false, true, done.handler());
        const auto description = *p->session()->sessionDescription();
        ASSERT_TRUE(server.waitForRequests("PUT", putsBefore + 1));
        p.reset();
        if (cancelTasks) {
            const bool answeredFirst = done.wait();
            gate->open();
            ASSERT_TRUE(answeredFirst) << "the release must answer before the server does";
            auto e = std::dynamic_pointer_cast<const platform::URLError>(std::get<0>(done.result()));
            ASSERT_TRUE(e);
            EXPECT_EQ(e->errorCode(), platform::URLError::cancelled);
        } else {
            gate->open();
            ASSERT_TRUE(done.wait());
            EXPECT_EQ(std::get<0>(done.result()), nullptr) << "the server stored the upload";
        }
        ASSERT_TRUE(ostrane_test::waitUntil([&] { return !sessionHandlerCounts(description).completion; }));
        // The server's answer calls nothing a second time.
        ASSERT_TRUE(ostrane_test::waitUntil([&] { return *answered > answeredBefore; }));
        std::this_thread::sleep_for(ostrane_test::quietPeriod);
        EXPECT_EQ(done.calls(), 1);
    }
    fileProviderCancelTasksOnInvalidating = true;
}

TEST_F(HTTPProviderTest, FinishedTransfersLeaveNoTableEntries) {
    server.putFile("/base/t.txt", "table");
    Awaited<std::optional<Data>, ErrorRef> read;
    provider->contents("/t.txt", 0, -1, read.handler());
    ASSERT_TRUE(read.wait());
    Awaited<ErrorRef> written;
    provider->writeContents("/u.txt", bytes("u"), false, true, written.handler());
    ASSERT_TRUE(written.wait());
    const auto description = *provider->session()->sessionDescription();
    // The completion runs inside the last callback; it returns soon after.
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return sessionHandlerCounts(description).completion == 0u; }));
    const auto counts = sessionHandlerCounts(description);
    EXPECT_EQ(counts.completion, 0u);
    EXPECT_EQ(counts.download, 0u);
    EXPECT_EQ(counts.data, 0u);
    EXPECT_EQ(counts.response, 0u);
    EXPECT_EQ(provider->sessionDelegate()->observedTaskCount(), 0u);
}

TEST_F(HTTPProviderTest, AbstractMembersAnswerAnErrorNamingThem) {
    struct Bare : HTTPFileProvider {
        Bare() : HTTPFileProvider("Bare", platform::URL::parse("http://127.0.0.1:9/"), std::nullopt, nullptr) {}
    };
    auto bare = std::make_shared<Bare>();
    Awaited<std::vector<FileObjectRef>, ErrorRef> listing;
    bare->contentsOfDirectory("/", listing.handler());
    ASSERT_TRUE(listing.wait());
    EXPECT_EQ(std::get<1>(listing.result())->localizedDescription(),
              "HTTPFileProvider is an abstract class. Please implement contentsOfDirectory(path:completionHandler:) in subclass.");
    Awaited<ErrorRef> removed;
    bare->removeItem("/x", removed.handler());
    ASSERT_TRUE(removed.wait());
    EXPECT_EQ(std::get<0>(removed.result())->localizedDescription(),
              "HTTPFileProvider is an abstract class. Please implement request(for:overwrite:attributes:) in subclass.");
}

// The file is written beside its destination, on whatever file system that is, and still
// replaces nothing there.
TEST_F(HTTPProviderTest, DownloadsAcrossFileSystems) {
    const std::filesystem::path shm = "/dev/shm";
    struct stat a {}, b {};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(std::filesystem::temp_directory_path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    const std::string file = numbered(300000);
    server.putFile("/base/x.bin", file);
    const auto target = shm / ("http-provider-" + std::to_string(::getpid()) + ".bin");
    std::filesystem::remove(target);
    downloadTwice("/x.bin", target, file);
    std::filesystem::remove(target);
    for (const auto& entry : std::filesystem::directory_iterator(shm))
        EXPECT_EQ(entry.path().filename().string().rfind(".ostrane-download-", 0), std::string::npos) << entry.path();
}

// A downloaded file gets the process's umask, as any file the process makes.
TEST_F(HTTPProviderTest, DownloadsTakeTheUmask) {
    TempDir dir;
    server.putFile("/base/m.txt", "mode");
    for (const mode_t mask : {mode_t{022}, mode_t{027}, mode_t{077}}) {
        SCOPED_TRACE(mask);
        const auto target = dir.path / ("m" + std::to_string(mask));
        const mode_t old = ::umask(mask);
        Awaited<ErrorRef> done;
        provider->copyItem("/m.txt", platform::URL::fileURLWithPath(target.string()), done.handler());
        const bool answered = done.wait();
        ::umask(old);
        ASSERT_TRUE(answered);
        ASSERT_EQ(std::get<0>(done.result()), nullptr);
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    }
}

// A FAT medium has no hard links: a download there still lands whole and replaces nothing.
TEST_F(HTTPProviderTest, DownloadsOntoAFileSystemWithoutHardLinks) {
    TempDir dir;
    const auto image = dir.path / "fat.img";
    const auto mount = dir.path / "mnt";
    std::filesystem::create_directories(mount);
    std::string output;
    if (ostrane_test::runCommand("truncate -s 8M " + ostrane_test::shellQuote(image.string()) + " && mkfs.fat " +
                                     ostrane_test::shellQuote(image.string()),
                                 60, &output) != 0)
        GTEST_SKIP() << "no FAT image (mkfs.fat from dosfstools): " << output;
    if (ostrane_test::runCommand("mount -o loop " + ostrane_test::shellQuote(image.string()) + " " +
                                     ostrane_test::shellQuote(mount.string()),
                                 60, &output) != 0)
        GTEST_SKIP() << "this machine cannot loop-mount a FAT image (root, loop devices and vfat needed): " << output;
    const std::string file = numbered(300000);
    server.putFile("/base/fat.bin", file);
    downloadTwice("/fat.bin", mount / "fat.bin", file);
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(mount)) ++entries;
    EXPECT_EQ(entries, 1u);
    ostrane_test::runCommand("umount " + ostrane_test::shellQuote(mount.string()), 60);
}

// TLS: the chain and the host name are checked unless the trust policy relaxes them.
TEST(HTTPProviderTLS, VerifiedByDefaultAndRelaxedByTheTrustPolicy) {
    TempDir dir;
    const auto cert = (dir.path / "cert.pem").string();
    const auto key = (dir.path / "key.pem").string();
    ASSERT_EQ(ostrane_test::runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                                       "-addext subjectAltName=IP:127.0.0.1 -keyout " + ostrane_test::shellQuote(key) +
                                           " -out " + ostrane_test::shellQuote(cert) + " >/dev/null 2>&1",
                                       ostrane_test::commandLimit()),
              0);
    FakeHTTPServer server(cert, key);
    server.putFile("/tls/f.txt", "over tls");
    struct Case {
        std::string name;
        std::string host;
        std::optional<ServerTrustPolicy> policy;
        bool trustCertificate;
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {"unknown issuer", "127.0.0.1", std::nullopt, false, false},
        {"trusted", "127.0.0.1", std::nullopt, true, true},
        {"other name", "localhost", std::nullopt, true, false},
        {"other name, host not checked", "localhost", ServerTrustPolicy::performDefaultEvaluation(false), true, true},
        {"unknown issuer, still checked", "127.0.0.1", ServerTrustPolicy::performDefaultEvaluation(true), false, false},
        {"evaluation off", "localhost", ServerTrustPolicy::disableEvaluation(), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto provider = TestHTTPProvider::make("https://" + c.host + ":" + std::to_string(server.port()) + "/tls");
        auto config = platform::URLSessionConfiguration::defaultConfiguration();
        if (c.trustCertificate) config.tlsCAFile = cert;
        if (c.policy) applyServerTrustPolicy(*c.policy, config);
        provider->setSession(platform::URLSession::make(config, std::make_shared<SessionDelegate>(provider), provider->operation_queue()));
        const size_t before = server.count("GET");
        Awaited<std::optional<Data>, ErrorRef> read;
        provider->contents("/f.txt", 0, -1, read.handler());
        ASSERT_TRUE(read.wait());
        const auto [data, error] = read.result();
        if (c.succeeds) {
            EXPECT_EQ(error, nullptr) << error->localizedDescription();
            EXPECT_EQ(data ? text(*data) : "", "over tls");
        } else {
            auto e = std::dynamic_pointer_cast<const platform::URLError>(error);
            ASSERT_TRUE(e);
            EXPECT_TRUE(e->errorCode() == platform::URLError::serverCertificateUntrusted ||
                        e->errorCode() == platform::URLError::secureConnectionFailed)
                << e->debugDescription();
            EXPECT_EQ(server.count("GET"), before) << "nothing may be sent to an unverified server";
        }
    }
}

// Many providers and threads at once share the module-wide tables.
TEST_F(HTTPProviderTest, ConcurrentTransfersOfManyProviders) {
    for (int i = 0; i < 4; ++i) server.putFile("/p" + std::to_string(i) + "/f.bin", numbered(20000 + static_cast<size_t>(i)));
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            auto p = TestHTTPProvider::make(server.url("/p" + std::to_string(i)));
            std::vector<Awaited<std::optional<Data>, ErrorRef>> reads(6);
            for (auto& r : reads) p->contents("/f.bin", 100, 1000, r.handler());
            for (auto& r : reads) {
                if (!r.wait()) continue;
                const auto [data, error] = r.result();
                if (!error && data && text(*data) == numbered(20000 + static_cast<size_t>(i)).substr(100, 1000)) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 24);
}

// The delegate answers challenges with the credential set last, also when the setter races the
// first session().
TEST_F(HTTPProviderTest, TheDelegateHoldsTheCredentialSetLast) {
    for (int round = 0; round < 200; ++round) {
        auto p = TestHTTPProvider::make(server.url("/base"), platform::URLCredential("old", "old"));
        std::atomic<bool> go{false};
        std::thread maker([&] {
            while (!go.load()) {}
            p->session();
        });
        std::thread setter([&] {
            while (!go.load()) {}
            p->setCredential(platform::URLCredential("new", "new"));
        });
        go = true;
        maker.join();
        setter.join();
        auto d = p->sessionDelegate();
        ASSERT_TRUE(d);
        ASSERT_TRUE(d->credential()) << "round " << round;
        ASSERT_EQ(d->credential()->user(), "new") << "round " << round;
    }
}

// Hooks of a subclass that throw end their operation with the exception's error.
TEST_F(HTTPProviderTest, HooksThatThrowStillComplete) {
    struct Throwing : HTTPFileProvider {
        explicit Throwing(std::optional<platform::URL> base) : HTTPFileProvider("Throwing", std::move(base), std::nullopt, nullptr) {}
        platform::URLRequest request(const FileOperationType& op, bool, const platform::ValueDictionary&) override {
            platform::URLRequest r(url(op.source()));
            r.httpMethod = op.kind() == FileOperationType::Kind::remove ? "DELETE" : "GET";
            return r;
        }
        std::shared_ptr<const FileProviderHTTPError> serverError(int, const std::optional<std::string>&,
                                                                 const std::optional<Data>&) override {
            platform::throwError(platform::POSIXError::make(EPROTO));
        }
        std::shared_ptr<const FileProviderHTTPError> multiStatusError(const FileOperationType&, const Data&) override {
            platform::throwError(platform::POSIXError::make(EBADMSG));
        }
    };
    server.route("DELETE", "/base/gone", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(404, "no"); });
    server.route("DELETE", "/base/multi", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(207, "<x/>"); });
    server.route("GET", "*", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(200, "page"); });
    auto p = std::make_shared<Throwing>(platform::URL::parse(server.url("/base")));
    auto isPOSIX = [](const ErrorRef& e, int code) { return e && e->is(platform::NSPOSIXErrorDomain, code); };
    for (const auto& [path, code] : std::vector<std::pair<std::string, int>>{{"gone", EPROTO}, {"multi", EBADMSG}}) {
        Awaited<ErrorRef> removed;
        ASSERT_TRUE(p->removeItem(path, removed.handler()));
        ASSERT_TRUE(removed.wait()) << path;
        EXPECT_TRUE(isPOSIX(std::get<0>(removed.result()), code)) << path;
    }
    // A page handler or a page request that throws.
    for (bool throwInRequest : {false, true}) {
        Awaited<std::vector<FileObjectRef>, ErrorRef> listed;
        const auto base = p->url("/dir");
        p->paginated(
            "/dir",
            [throwInRequest, base](const std::optional<std::string>& token) -> std::optional<platform::URLRequest> {
                if (throwInRequest && token) platform::throwError(platform::POSIXError::make(EIO));
                return platform::URLRequest(base);
            },
            [throwInRequest](const std::optional<Data>&, const ProgressRef&) -> HTTPFileProvider::Page {
                if (!throwInRequest) platform::throwError(platform::POSIXError::make(EIO));
                return {{}, nullptr, std::string("next")};
            },
            listed.handler());
        ASSERT_TRUE(listed.wait()) << throwInRequest;
        EXPECT_TRUE(isPOSIX(std::get<1>(listed.result()), EIO)) << throwInRequest;
        EXPECT_EQ(listed.calls(), 1);
    }
}
