// test-labels: webdav
// WebDAV answers from the URL cache, against the loopback fake (which scripts the caching headers)
// and against Apache mod_dav with Digest: answered at once without validation, after a HEAD that
// finds the same "ETag" or "Last-Modified" with it, never for another credential or property set,
// never past the answer's lifetime unchecked, forgotten after a change.
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "platform/net/URLCache.hpp"
#include "support/FakeHTTPServer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

using namespace RiridOzizevud;
using ostrane_test::ApacheDAV;
using ostrane_test::FakeHTTPServer;
using platform::Data;
using platform::URL;
namespace fs = std::filesystem;

namespace {

template <class T>
T await(const std::function<void(std::function<void(T)>)>& call) {
    auto promise = std::make_shared<std::promise<T>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto future = promise->get_future();
    call([promise, calls](T value) {
        if (calls->fetch_add(1) == 0) promise->set_value(std::move(value));
    });
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) throw std::runtime_error("no completion");
    return future.get();
}

using Attributes = std::pair<FileObjectRef, ErrorRef>;
using Listing = std::pair<std::vector<FileObjectRef>, ErrorRef>;
struct Answer {
    std::string body;
    int status = 0;
    ErrorRef error;
};

Attributes attributes(const std::shared_ptr<WebDAVFileProvider>& p, const std::string& path,
                      const std::vector<std::string>& keys = {}) {
    return await<Attributes>([&](auto done) {
        p->attributesOfItem(path, keys, [done](FileObjectRef file, ErrorRef error) { done({file, error}); });
    });
}

Listing listing(const std::shared_ptr<WebDAVFileProvider>& p, const std::string& path) {
    return await<Listing>([&](auto done) {
        p->contentsOfDirectory(path, [done](std::vector<FileObjectRef> files, ErrorRef error) { done({files, error}); });
    });
}

Answer get(const std::shared_ptr<WebDAVFileProvider>& p, const std::string& path) {
    platform::URLRequest request(p->url(path));
    return await<Answer>([&](auto done) {
        p->runDataTask(request, std::nullopt,
                       [done](std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                           const auto* http = dynamic_cast<const platform::HTTPURLResponse*>(response.get());
                           done({data ? std::string(data->begin(), data->end()) : "", http ? http->statusCode() : 0, error});
                       });
    });
}

std::shared_ptr<WebDAVFileProvider> cachingProvider(const std::string& base, std::shared_ptr<platform::URLCache> cache,
                                                    bool validating, std::optional<platform::URLCredential> credential = std::nullopt) {
    auto p = WebDAVFileProvider::make(*URL::parse(base), std::move(credential), std::move(cache));
    p->setUseCache(true);
    p->setValidatingCache(validating);
    return p;
}

std::shared_ptr<platform::URLCache> tenMiB() { return platform::URLCache::make(10 << 20, 0); }

// --- The loopback fake ----------------------------------------------------------------------------

std::string multistatus(const std::string& href, int size) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>" + href +
           "</D:href><D:propstat><D:prop><D:getcontentlength>" + std::to_string(size) +
           "</D:getcontentlength><D:resourcetype/></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat></D:response>"
           "</D:multistatus>";
}

// A file whose PROPFIND answer and HEAD carry the headers the test sets; each answer tells its
// version by the size it reports.
class FakeDAV {
public:
    FakeDAV() {
        server.route("PROPFIND", "/dav/file.txt", [this](const FakeHTTPServer::Request&) {
            std::lock_guard lock(mutex);
            return FakeHTTPServer::answer(207, multistatus("/dav/file.txt", version), fields, "text/xml; charset=utf-8");
        });
        server.route("HEAD", "/dav/file.txt", [this](const FakeHTTPServer::Request&) {
            std::lock_guard lock(mutex);
            return FakeHTTPServer::answer(200, "", headFields.empty() ? fields : headFields);
        });
    }
    void set(FakeHTTPServer::Fields answerFields, int answerVersion = 1) {
        std::lock_guard lock(mutex);
        fields = std::move(answerFields);
        version = answerVersion;
    }
    void setHead(FakeHTTPServer::Fields fieldsOfHead) {
        std::lock_guard lock(mutex);
        headFields = std::move(fieldsOfHead);
    }
    std::string base() const { return server.url("/dav/"); }

    FakeHTTPServer server{FakeHTTPServer::AnyMethod{}};

private:
    std::mutex mutex;
    FakeHTTPServer::Fields fields;
    FakeHTTPServer::Fields headFields;
    int version = 1;
};

int64_t sizeOf(const Attributes& a) {
    EXPECT_FALSE(a.second) << (a.second ? a.second->localizedDescription() : "");
    return a.first ? a.first->size() : -1;
}

} // namespace

TEST(WebDAVCacheFake, AnswersAtOnceWithoutValidation) {
    FakeDAV dav;
    dav.set({{"ETag", "\"v1\""}, {"Cache-Control", "max-age=300"}});
    auto p = cachingProvider(dav.base(), tenMiB(), false);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1);
    dav.set({{"ETag", "\"v2\""}, {"Cache-Control", "max-age=300"}}, 2);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1) << "the kept answer";
    EXPECT_EQ(dav.server.count("PROPFIND"), 1u);
    EXPECT_EQ(dav.server.count("HEAD"), 0u);

    // Without useCache every call asks the server.
    p->setUseCache(false);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 2);
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u);
}

TEST(WebDAVCacheFake, WithValidationTheCacheAnswersOnlyForTheSameTag) {
    FakeDAV dav;
    dav.set({{"ETag", "\"v1\""}});
    auto p = cachingProvider(dav.base(), tenMiB(), true);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1);
    EXPECT_EQ(dav.server.count("HEAD"), 0u) << "nothing kept yet, nothing to check";

    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1);
    EXPECT_EQ(dav.server.count("HEAD"), 1u);
    EXPECT_EQ(dav.server.count("PROPFIND"), 1u);
    for (const auto& r : dav.server.requests()) {
        if (r.method == "HEAD") {
            EXPECT_TRUE(r.body.empty()) << "a HEAD carries no body";
        }
    }

    dav.set({{"ETag", "\"v2\""}}, 2);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 2) << "another tag: the server's answer";
    EXPECT_EQ(dav.server.count("HEAD"), 2u);
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 2) << "and that one is kept in turn";
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u);
}

TEST(WebDAVCacheFake, LastModifiedValidatesWhenThereIsNoTag) {
    FakeDAV dav;
    dav.set({{"Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"}});
    auto p = cachingProvider(dav.base(), tenMiB(), true);
    attributes(p, "file.txt");
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1);
    EXPECT_EQ(dav.server.count("PROPFIND"), 1u);
    dav.setHead({{"Last-Modified", "Tue, 01 Dec 2026 11:00:00 GMT"}});
    dav.set({{"Last-Modified", "Tue, 01 Dec 2026 11:00:00 GMT"}}, 3);
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 3);
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u);

    // With neither validator, validation cannot succeed: every call asks the server.
    dav.setHead({});
    dav.set({}, 4);
    attributes(p, "file.txt");
    EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 4);
    EXPECT_EQ(dav.server.count("PROPFIND"), 4u);
}

TEST(WebDAVCacheFake, StaleOrUnstorableAnswersAreNotServedUnchecked) {
    struct Case {
        const char* what;
        FakeHTTPServer::Fields fields;
        std::size_t propfinds;
        std::size_t heads;
    };
    const std::vector<Case> cases = {
        {"past its lifetime, no validator", {{"Cache-Control", "max-age=0"}}, 2, 0},
        {"past its lifetime, same tag", {{"Cache-Control", "max-age=0"}, {"ETag", "\"v1\""}}, 1, 1},
        {"no-cache", {{"Cache-Control", "no-cache"}}, 2, 0},
        {"expired", {{"Expires", "Thu, 01 Jan 1998 00:00:00 GMT"}}, 2, 0},
        {"no-store", {{"Cache-Control", "no-store"}, {"ETag", "\"v1\""}}, 2, 0},
        {"no lifetime given", {}, 1, 0},
    };
    for (const auto& c : cases) {
        FakeDAV dav;
        dav.set(c.fields);
        auto p = cachingProvider(dav.base(), tenMiB(), false);
        attributes(p, "file.txt");
        EXPECT_EQ(sizeOf(attributes(p, "file.txt")), 1) << c.what;
        EXPECT_EQ(dav.server.count("PROPFIND"), c.propfinds) << c.what;
        EXPECT_EQ(dav.server.count("HEAD"), c.heads) << c.what;
    }
}

TEST(WebDAVCacheFake, AnswersAreKeptPerCredentialAndPropertySet) {
    FakeDAV dav;
    dav.set({{"Cache-Control", "max-age=300"}});
    auto cache = tenMiB();
    auto alice = cachingProvider(dav.base(), cache, false, platform::URLCredential("alice", "one"));
    alice->setCredentialType(URLRequestAuthenticationType::basic);
    auto mallory = cachingProvider(dav.base(), cache, false, platform::URLCredential("alice", "guess"));
    mallory->setCredentialType(URLRequestAuthenticationType::basic);
    auto aliceAgain = cachingProvider(dav.base(), cache, false, platform::URLCredential("alice", "one"));
    aliceAgain->setCredentialType(URLRequestAuthenticationType::basic);

    attributes(alice, "file.txt");
    attributes(mallory, "file.txt");
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u) << "another password asks the server";
    attributes(aliceAgain, "file.txt");
    EXPECT_EQ(dav.server.count("PROPFIND"), 2u) << "the same login shares the answer";

    attributes(alice, "file.txt", {platform::URLResourceKey::fileSizeKey});
    EXPECT_EQ(dav.server.count("PROPFIND"), 3u) << "another property set is another question";
}

// --- Apache ----------------------------------------------------------------------------------------

class ApacheCache : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ApacheDAV();
        server_->start();
        write("readme.txt", "WebDAV sample\n");
        write("folder/one.txt", "1");
        write("folder/two.txt", "22");
        write("tagged.txt", "first version");
        server_->handOver();
    }
    static void TearDownTestSuite() {
        server_->stop();
        delete server_;
        server_ = nullptr;
    }
    static void write(const std::string& relative, const std::string& content) {
        const auto path = server_->root() / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        // Apache tags a file changed within the last second weakly, and a weak tag never validates;
        // each write is dated well back, a second apart from the one before.
        static int writes = 0;
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(1) + std::chrono::seconds(++writes));
    }
    static platform::URLCredential login() { return platform::URLCredential(ApacheDAV::user, ApacheDAV::password); }
    static std::string base() { return server_->url("/dav/"); }

    // How many requests of this method, path and status Apache served. Waits until at least
    // `atLeast` are logged; then a marker request, sent after everything the test did, is awaited
    // so that none of the test's own requests can still be missing.
    static std::size_t served(const std::string& method, const std::string& path, int status, std::size_t atLeast) {
        const std::string line = method + " " + path + " " + std::to_string(status);
        auto count = [&] {
            const auto lines = server_->requests();
            return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
        };
        for (int i = 0; i < 600 && count() < atLeast; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string marker = "/plain/marker-" + std::to_string(++markers_);
        auto session = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration());
        std::promise<void> done;
        session->dataTask(platform::URLRequest(URL::parse(server_->url(marker))),
                          [&done](auto, auto, auto) { done.set_value(); })
            ->resume();
        done.get_future().wait_for(std::chrono::seconds(60));
        session->finishTasksAndInvalidate();
        const std::string markerLine = "GET " + marker + " 404";
        for (int i = 0; i < 600; ++i) {
            const auto lines = server_->requests();
            if (std::find(lines.begin(), lines.end(), markerLine) != lines.end()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return count();
    }

    static ApacheDAV* server_;
    static int markers_;
};

ApacheDAV* ApacheCache::server_ = nullptr;
int ApacheCache::markers_ = 0;

TEST_F(ApacheCache, TwoAttributeCallsSendOnePropfindWithoutValidation) {
    auto p = cachingProvider(base(), tenMiB(), false, login());
    const auto first = attributes(p, "readme.txt");
    const auto second = attributes(p, "readme.txt");
    ASSERT_FALSE(first.second);
    ASSERT_FALSE(second.second);
    EXPECT_EQ(second.first->size(), first.first->size());
    EXPECT_EQ(second.first->name(), "readme.txt");
    EXPECT_EQ(served("PROPFIND", "/dav/readme.txt", 207, 1), 1u);

    // The second listing of a folder as well.
    const auto one = listing(p, "folder");
    const auto two = listing(p, "folder");
    ASSERT_FALSE(one.second);
    ASSERT_FALSE(two.second);
    EXPECT_EQ(one.first.size(), 2u);
    EXPECT_EQ(two.first.size(), 2u);
    EXPECT_EQ(served("PROPFIND", "/dav/folder", 207, 1), 1u);
}

TEST_F(ApacheCache, WithValidationAHeadDecidesByTheTag) {
    auto p = cachingProvider(base(), tenMiB(), true, login());
    Answer first = get(p, "tagged.txt");
    ASSERT_EQ(first.status, 200);
    EXPECT_EQ(first.body, "first version");
    Answer second = get(p, "tagged.txt");
    EXPECT_EQ(second.body, "first version");
    EXPECT_EQ(served("HEAD", "/dav/tagged.txt", 200, 1), 1u);
    EXPECT_EQ(served("GET", "/dav/tagged.txt", 200, 1), 1u) << "the unchanged tag let the cache answer";

    write("tagged.txt", "the second, longer version");
    server_->handOver();
    Answer third = get(p, "tagged.txt");
    EXPECT_EQ(third.body, "the second, longer version");
    EXPECT_EQ(served("HEAD", "/dav/tagged.txt", 200, 2), 2u);
    EXPECT_EQ(served("GET", "/dav/tagged.txt", 200, 2), 2u);
}

TEST_F(ApacheCache, AnotherCredentialOrPropertySetNeverGetsTheKeptAnswer) {
    auto cache = tenMiB();
    auto p = cachingProvider(base(), cache, false, login());
    ASSERT_FALSE(attributes(p, "folder/one.txt").second);
    auto stranger = cachingProvider(base(), cache, false, platform::URLCredential(ApacheDAV::user, "wrong password"));
    const auto refused = attributes(stranger, "folder/one.txt");
    EXPECT_FALSE(refused.first);
    ASSERT_TRUE(refused.second);
    auto status = std::dynamic_pointer_cast<const FileProviderHTTPError>(refused.second);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->statusCode(), 401);

    ASSERT_FALSE(attributes(p, "folder/one.txt", {platform::URLResourceKey::fileSizeKey}).second);
    EXPECT_EQ(served("PROPFIND", "/dav/folder/one.txt", 207, 2), 2u);
}

TEST_F(ApacheCache, AChangeThroughTheProviderForgetsTheKeptAnswer) {
    auto p = cachingProvider(base(), tenMiB(), false, login());
    EXPECT_EQ(sizeOf(attributes(p, "folder/two.txt")), 2);
    const auto written = await<ErrorRef>([&](auto done) {
        p->writeContents("folder/two.txt", Data(5, 'x'), false, true, [done](ErrorRef error) { done(error); });
    });
    ASSERT_FALSE(written);
    EXPECT_EQ(sizeOf(attributes(p, "folder/two.txt")), 5);
    EXPECT_EQ(served("PROPFIND", "/dav/folder/two.txt", 207, 2), 2u);
}
