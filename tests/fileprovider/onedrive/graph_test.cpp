// test-labels: cloudapi tsan
// The OneDrive provider against scripted Graph replies on loopback: paging and its failures,
// attributes, storage, reachability, search, links, properties, thumbnails, and upload sessions
// chunk by chunk (ranges, odd replies, cancellation, refusals). A second server plays the
// upload-session host, which must never receive the token.
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"

#include "fileprovider/info/MediaFixtures.hpp"
#include "platform/media/Image.hpp"
#include "platform/dispatch/Progress.hpp"
#include "support/FakeHTTPServer.hpp"
#include "support/ProviderBehaviour.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace RiridOzizevud;
using nlohmann::json;
using ostrane_test::awaitCompletion;
using ostrane_test::FakeHTTPServer;
using platform::ErrorRef;
using platform::URL;

namespace {

const std::string drive = "/v1.0/me/drive/";

json item(const std::string& name, const std::string& folder = "/drive/root:/Docs") {
    return {{"id", "id-" + name}, {"name", name}, {"size", 3}, {"parentReference", {{"path", folder}}}};
}

FakeHTTPServer::Reply reply(int status, const json& body) {
    return FakeHTTPServer::answer(status, body.dump(), {}, "application/json");
}

FakeHTTPServer::Reply graphError(int status, const std::string& message) {
    return reply(status, {{"error", {{"code", "x"}, {"message", message}}}});
}

std::shared_ptr<const FileProviderOneDriveError> asOneDrive(const ErrorRef& e) {
    return std::dynamic_pointer_cast<const FileProviderOneDriveError>(e);
}

class Recorder : public FileProviderDelegate {
public:
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
        std::lock_guard lock(mutex);
        results.push_back("ok");
    }
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&,
                             const ErrorRef&) override {
        std::lock_guard lock(mutex);
        results.push_back("failed");
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
    std::vector<std::string> wait(size_t n) {
        ostrane_test::waitUntil([&] {
            std::lock_guard lock(mutex);
            return results.size() >= n;
        });
        std::lock_guard lock(mutex);
        return results;
    }
    std::mutex mutex;
    std::vector<std::string> results;
};

class OneDriveGraph : public ::testing::Test {
protected:
    void SetUp() override {
        provider = OneDriveFileProvider::make(platform::URLCredential("me", "tok-9"), URL::parse(graph.url("")));
        provider->setDelegate(recorder);
    }

    std::pair<std::vector<FileObjectRef>, ErrorRef> list(const std::string& path) {
        auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>(
            [&](auto done) { provider->contentsOfDirectory(path, done); });
        if (!r) return {};
        return {std::get<0>(*r), std::get<1>(*r)};
    }
    static std::vector<std::string> names(const std::vector<FileObjectRef>& files) {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(f->name());
        return out;
    }
    ErrorRef write(const std::string& path, const platform::Data& data, bool overwrite, ProgressRef* progress = nullptr) {
        auto r = awaitCompletion<ErrorRef>(
            [&](auto done) {
                auto p = provider->writeContents(path, data, false, overwrite, done);
                if (progress) *progress = p;
            });
        return r ? std::get<0>(*r) : platform::URLError::make(platform::URLError::timedOut);
    }
    // An upload session whose chunks go to the second server's "/up".
    void offerSession() {
        graph.route("POST", drive + "root:/u.bin:/createUploadSession",
                    [this](const FakeHTTPServer::Request&) { return reply(200, {{"uploadUrl", uploads.url("/up")}}); });
    }

    FakeHTTPServer graph;
    FakeHTTPServer uploads;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<OneDriveFileProvider> provider;
};

} // namespace

TEST_F(OneDriveGraph, ListingFollowsNextLinks) {
    graph.route("GET", drive + "root:/Docs:/children", [this](const FakeHTTPServer::Request&) {
        return reply(200, {{"value", {item("a"), 7, item("b"), {{"name", "no id"}}}}, {"@odata.nextLink", graph.url("/next?$skiptoken=2")}});
    });
    graph.route("GET", "/next", [](const FakeHTTPServer::Request&) { return reply(200, {{"value", {item("c")}}}); });
    auto [files, error] = list("/Docs");
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(names(files), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(files[0]->path(), "/Docs/a");
    const auto seen = graph.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].target, "/next?$skiptoken=2");
    for (const auto& r : seen) EXPECT_EQ(r.header("Authorization"), "Bearer tok-9");

    // A next link to another server is followed without the token.
    uploads.route("GET", "/elsewhere", [](const FakeHTTPServer::Request&) { return reply(200, {{"value", {item("d")}}}); });
    graph.route("GET", drive + "root:/Far:/children", [this](const FakeHTTPServer::Request&) {
        return reply(200, {{"value", json::array()}, {"@odata.nextLink", uploads.url("/elsewhere")}});
    });
    auto [far, farError] = list("/Far");
    EXPECT_EQ(farError, nullptr);
    EXPECT_EQ(names(far), std::vector<std::string>{"d"});
    ASSERT_EQ(uploads.requests().size(), 1u);
    EXPECT_FALSE(uploads.requests()[0].header("Authorization"));
}

TEST_F(OneDriveGraph, FailedListingsReportTheirError) {
    struct Case {
        const char* name;
        std::vector<FakeHTTPServer::Reply> first;  // replies to the first page, then to the next link
        std::vector<std::string> entries;
        std::optional<int> status;              // the server error's status
        std::optional<int64_t> urlError;        // or this URL error
    };
    const std::string next = graph.url("/page");
    const std::vector<Case> cases = {
        {"empty", {reply(200, {{"value", json::array()}})}, {}, std::nullopt, std::nullopt},
        {"not json", {FakeHTTPServer::answer(200, "<html>")}, {}, std::nullopt, platform::URLError::badServerResponse},
        {"no value", {reply(200, {{"items", json::array()}})}, {}, std::nullopt, platform::URLError::badServerResponse},
        {"missing folder", {graphError(404, "Item does not exist")}, {}, 404, std::nullopt},
        {"uncased status", {graphError(501, "nope")}, {}, 501, std::nullopt},
        {"second page fails", {reply(200, {{"value", {item("a")}}, {"@odata.nextLink", next}}), graphError(503, "busy")},
         {"a"}, 503, std::nullopt},
        {"next link repeats", {reply(200, {{"value", {item("a")}}, {"@odata.nextLink", next}})}, {"a", "a"}, std::nullopt,
         platform::URLError::badServerResponse},
        {"next link is no URL", {reply(200, {{"value", {item("a")}}, {"@odata.nextLink", "page 2"}})}, {"a"},
         std::nullopt, platform::URLError::badURL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto replies = c.first;
        graph.script("GET", drive + "root:/L:/children", {replies.front()});
        graph.script("GET", "/page", {replies.size() > 1 ? replies[1] : replies.front()});
        auto [files, error] = list("/L");
        EXPECT_EQ(names(files), c.entries);
        if (!c.status && !c.urlError) {
            EXPECT_EQ(error, nullptr);
            continue;
        }
        ASSERT_NE(error, nullptr);
        if (c.status) {
            ASSERT_TRUE(asOneDrive(error));
            EXPECT_EQ(asOneDrive(error)->statusCode(), *c.status);
            EXPECT_EQ(asOneDrive(error)->path(), "/L");
        } else {
            EXPECT_EQ(error->code(), *c.urlError);
        }
    }
    const auto missing = graphError(404, "Item does not exist");
    graph.script("GET", drive + "root:/M:/children", {missing});
    auto [none, notFound] = list("/M");
    ASSERT_TRUE(asOneDrive(notFound));
    EXPECT_EQ(asOneDrive(notFound)->serverDescription(), "Item does not exist");
}

TEST_F(OneDriveGraph, AttributesAndStorage) {
    graph.script("GET", drive + "root:/Docs/a", {reply(200, item("a")), graphError(404, "gone"), reply(200, {{"x", 1}})});
    auto get = [&] {
        return awaitCompletion<FileObjectRef, ErrorRef>([&](auto done) { provider->attributesOfItem("/Docs/a", done); });
    };
    auto found = get();
    ASSERT_TRUE(found && std::get<0>(*found));
    EXPECT_EQ(std::get<0>(*found)->name(), "a");
    EXPECT_EQ(std::get<1>(*found), nullptr);
    auto gone = get();
    EXPECT_FALSE(std::get<0>(*gone));
    ASSERT_TRUE(asOneDrive(std::get<1>(*gone)));
    EXPECT_EQ(asOneDrive(std::get<1>(*gone))->serverDescription(), "gone");
    auto odd = get();
    EXPECT_FALSE(std::get<0>(*odd));
    ASSERT_NE(std::get<1>(*odd), nullptr);
    EXPECT_EQ(std::get<1>(*odd)->code(), platform::URLError::badServerResponse);

    graph.script("GET", "/v1.0/me/drive",
                 {reply(200, {{"id", "d1"}, {"name", "OneDrive"}, {"createdDateTime", "2020-01-01T00:00:00Z"},
                              {"quota", {{"total", 100}, {"remaining", 40}}}}),
                  reply(200, {{"id", "d1"}}), graphError(401, "expired")});
    auto storage = [&] {
        auto r = awaitCompletion<VolumeObjectRef>([&](auto done) { provider->storageProperties(done); });
        return r ? std::get<0>(*r) : nullptr;
    };
    auto full = storage();
    ASSERT_TRUE(full);
    EXPECT_EQ(full->totalCapacity(), 100);
    EXPECT_EQ(full->availableCapacity(), 40);
    EXPECT_EQ(full->name(), "OneDrive");
    EXPECT_EQ(full->uuid(), "d1");
    EXPECT_EQ(full->url()->absoluteString(), graph.url("/v1.0/me/drive"));
    EXPECT_TRUE(full->creationDate());
    auto bare = storage();
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->totalCapacity(), -1);
    EXPECT_EQ(bare->availableCapacity(), 0);
    EXPECT_FALSE(storage()) << "an error page is no volume";
}

TEST_F(OneDriveGraph, Reachability) {
    struct Case {
        int status;
        bool reachable;
        std::optional<int> errorStatus;
    };
    // 302 without a Location stays the final answer.
    const std::vector<Case> cases = {{200, true, std::nullopt}, {204, false, std::nullopt}, {302, false, 302},
                                     {401, false, 401},          {501, false, 501}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        graph.script("GET", drive + "root", {FakeHTTPServer::answer(c.status)});
        auto r = awaitCompletion<bool, ErrorRef>([&](auto done) { provider->isReachable(done); });
        ASSERT_TRUE(r);
        EXPECT_EQ(std::get<0>(*r), c.reachable);
        if (!c.errorStatus) {
            EXPECT_EQ(std::get<1>(*r), nullptr);
            continue;
        }
        ASSERT_TRUE(asOneDrive(std::get<1>(*r)));
        EXPECT_EQ(asOneDrive(std::get<1>(*r))->statusCode(), *c.errorStatus);
        EXPECT_EQ(asOneDrive(std::get<1>(*r))->path(), "");
    }
    EXPECT_EQ(graph.requests().back().method, "HEAD");
    EXPECT_EQ(graph.requests().back().header("Authorization"), "Bearer tok-9");

    // No answer at all is the transport's error, not a made-up 400.
    int closedPort = 0;
    {
        FakeHTTPServer gone;
        closedPort = gone.port();
    }
    auto unreachable = OneDriveFileProvider::make(std::nullopt, URL::parse("http://127.0.0.1:" + std::to_string(closedPort)));
    auto r = awaitCompletion<bool, ErrorRef>([&](auto done) { unreachable->isReachable(done); });
    ASSERT_TRUE(r);
    EXPECT_FALSE(std::get<0>(*r));
    ASSERT_NE(std::get<1>(*r), nullptr);
    EXPECT_EQ(std::get<1>(*r)->domain(), platform::NSURLErrorDomain);
}

TEST_F(OneDriveGraph, SearchAsksForTheTermAndKeepsWhatThePredicateKeeps) {
    graph.route("GET", drive + "root/search", [](const FakeHTTPServer::Request&) {
        return reply(200, {{"value", {item("abc one"), item("xyz abc"), item("ABC two")}}});
    });
    std::mutex m;
    std::vector<std::string> found;
    auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>([&](auto done) {
        provider->searchFiles("/ignored", true, platform::Predicate::format("name BEGINSWITH[c] %@", {"abc"}),
                              [&](FileObjectRef f) {
                                  std::lock_guard lock(m);
                                  found.push_back(f->name());
                              },
                              done);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<1>(*r), nullptr);
    EXPECT_EQ(names(std::get<0>(*r)), (std::vector<std::string>{"abc one", "ABC two"}));
    EXPECT_EQ(found, (std::vector<std::string>{"abc one", "ABC two"}));
    const auto sent = graph.requests().back();
    EXPECT_EQ(sent.target, drive + "root/search?q=abc&expand=children");
    EXPECT_EQ(sent.header("Authorization"), "Bearer tok-9");

    auto all = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>([&](auto done) {
        provider->searchFiles("/", false, platform::Predicate::value(true), nullptr, done);
    });
    EXPECT_EQ(std::get<0>(*all).size(), 3u);
    EXPECT_EQ(graph.requests().back().target, drive + "root/search?q=*");
}

TEST_F(OneDriveGraph, LinksPropertiesAndThumbnails) {
    graph.script("POST", drive + "root:/a.jpg:/createLink",
                 {reply(201, {{"link", {{"webUrl", "https://1drv.ms/x"}}}}), reply(200, {{"id", "1"}}), graphError(404, "gone")});
    auto link = [&] {
        return awaitCompletion<std::optional<URL>, FileObjectRef, std::optional<platform::Date>, ErrorRef>(
            [&](auto done) { provider->publicLink("/a.jpg", done); });
    };
    auto made = link();
    ASSERT_TRUE(made);
    EXPECT_EQ(std::get<0>(*made)->absoluteString(), "https://1drv.ms/x");
    EXPECT_EQ(std::get<3>(*made), nullptr);
    const auto sent = graph.requests().back();
    EXPECT_EQ(sent.header("Authorization"), "Bearer tok-9");
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(sent.body), (json{{"type", "view"}}));
    auto none = link();
    EXPECT_FALSE(std::get<0>(*none));
    ASSERT_NE(std::get<3>(*none), nullptr) << "no link is no success";
    EXPECT_EQ(std::get<3>(*none)->code(), platform::URLError::badServerResponse);
    auto gone = link();
    ASSERT_TRUE(asOneDrive(std::get<3>(*gone)));
    EXPECT_EQ(asOneDrive(std::get<3>(*gone))->statusCode(), 404);

    graph.script("GET", drive + "root:/a.jpg",
                 {reply(200, {{"id", "1"}, {"name", "a.jpg"}, {"image", {{"width", 4}, {"height", 3}}}}), graphError(404, "gone"),
                  FakeHTTPServer::answer(200, "<html>")});
    auto properties = [&] {
        return awaitCompletion<platform::ValueDictionary, std::vector<std::string>, ErrorRef>(
            [&](auto done) { EXPECT_EQ(provider->propertiesOfFile("/a.jpg", done), nullptr); });
    };
    auto photo = properties();
    EXPECT_EQ(std::get<1>(*photo), std::vector<std::string>{"Dimensions"});
    EXPECT_EQ(std::get<0>(*photo)["Dimensions"], platform::Value("4x3"));
    EXPECT_EQ(std::get<2>(*photo), nullptr);
    auto missing = properties();
    EXPECT_TRUE(std::get<1>(*missing).empty());
    ASSERT_TRUE(asOneDrive(std::get<2>(*missing)));
    EXPECT_EQ(asOneDrive(std::get<2>(*missing))->serverDescription(), "gone");
    auto unreadable = properties();
    ASSERT_NE(std::get<2>(*unreadable), nullptr) << "an unreadable item is no item without properties";
    EXPECT_EQ(std::get<2>(*unreadable)->code(), platform::URLError::badServerResponse);

    const auto png = fixtures::image(AV_CODEC_ID_PNG, 40, 30, fixtures::solid(0, 0, 255));
    graph.script("GET", drive + "root:/a.jpg:/thumbnails/0/medium/content",
                 {FakeHTTPServer::answer(200, std::string(png.begin(), png.end()), {}, "image/png"),
                  FakeHTTPServer::answer(200, "\x89PNG", {}, "image/png"), graphError(404, "no thumbnail")});
    auto thumbnail = [&] {
        return awaitCompletion<std::shared_ptr<platform::Image>, ErrorRef>([&](auto done) {
            EXPECT_EQ(provider->thumbnailOfFile("/a.jpg", platform::Size{150, 100}, done), nullptr);
        });
    };
    // The server already scaled it: the image keeps its own size.
    auto decoded = thumbnail();
    ASSERT_TRUE(std::get<0>(*decoded));
    EXPECT_EQ(std::get<0>(*decoded)->size(), (platform::Size{40, 30}));
    EXPECT_EQ(std::get<0>(*decoded)->pixel(20, 15), (std::array<uint8_t, 4>{0, 0, 255, 255}));
    EXPECT_EQ(std::get<1>(*decoded), nullptr);
    auto undecoded = thumbnail();
    EXPECT_FALSE(std::get<0>(*undecoded));
    ASSERT_NE(std::get<1>(*undecoded), nullptr);
    EXPECT_EQ(std::get<1>(*undecoded)->code(), platform::URLError::cannotDecodeContentData);
    auto refused = thumbnail();
    ASSERT_TRUE(asOneDrive(std::get<1>(*refused)));
    EXPECT_EQ(asOneDrive(std::get<1>(*refused))->statusCode(), 404);
}

TEST_F(OneDriveGraph, UploadChunksFollowTheServersRanges) {
    offerSession();
    std::mutex m;
    std::vector<std::string> ranges;
    std::vector<size_t> sizes;
    uploads.route("PUT", "/up", [&](const FakeHTTPServer::Request& r) {
        std::lock_guard lock(m);
        ranges.push_back(r.header("Content-Range").value_or(""));
        sizes.push_back(r.body.size());
        if (ranges.size() == 1) return reply(202, {{"nextExpectedRanges", {"10485760-"}}});
        return reply(201, {{"id", "new"}, {"name", "u.bin"}});
    });
    const int64_t size = OneDriveFileProvider::uploadChunkLimit + 1;
    platform::Data data(static_cast<size_t>(size), 7);
    ProgressRef progress;
    EXPECT_EQ(write("/u.bin", data, false, &progress), nullptr);
    {
        // The server's threads wrote these; the reply reached us over a socket, which orders nothing.
        std::lock_guard lock(m);
        EXPECT_EQ(ranges, (std::vector<std::string>{"bytes 0-10485759/10485761", "bytes 10485760-10485760/10485761"}));
        EXPECT_EQ(sizes, (std::vector<size_t>{10485760, 1}));
    }
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->totalUnitCount(), size);
    EXPECT_EQ(progress->completedUnitCount(), size);
    for (const auto& r : uploads.requests()) EXPECT_FALSE(r.header("Authorization")) << "the token left its server";
    const auto session = graph.requests().back();
    EXPECT_EQ(session.header("Authorization"), "Bearer tok-9");
    EXPECT_EQ(session.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(session.body), (json{{"item", {{"@microsoft.graph.conflictBehavior", "fail"}}}}));
    EXPECT_EQ(recorder->wait(1), std::vector<std::string>{"ok"});
}

TEST_F(OneDriveGraph, UploadRepliesAndTheirOutcome) {
    offerSession();
    struct Case {
        const char* name;
        std::vector<FakeHTTPServer::Reply> replies;  // to the chunks, in order
        std::vector<std::string> ranges;
        std::optional<int64_t> urlError;
        std::optional<int> status;
        std::optional<std::string> description;
    };
    const std::string closed = "bytes 2-4/10";
    const std::vector<Case> cases = {
        {"done", {reply(201, {{"id", "1"}})}, {"bytes 0-9/10"}, std::nullopt, std::nullopt, std::nullopt},
        {"empty ranges and an id", {reply(200, {{"nextExpectedRanges", json::array()}, {"id", "1"}})}, {"bytes 0-9/10"},
         std::nullopt, std::nullopt, std::nullopt},
        // A closed range names its last byte.
        {"closed range", {reply(202, {{"nextExpectedRanges", {"2-4"}}}), reply(201, {{"id", "1"}})},
         {"bytes 0-9/10", closed}, std::nullopt, std::nullopt, std::nullopt},
        {"error object", {reply(200, {{"error", {{"message", "quota"}}}})}, {"bytes 0-9/10"}, std::nullopt, 400, "quota"},
        {"error status", {FakeHTTPServer::answer(416, "range")}, {"bytes 0-9/10"}, std::nullopt, 416, "range"},
        {"not json", {FakeHTTPServer::answer(200, "ok")}, {"bytes 0-9/10"}, platform::URLError::badServerResponse, std::nullopt, std::nullopt},
        {"nothing usable", {reply(200, {{"name", "x"}})}, {"bytes 0-9/10"}, platform::URLError::badServerResponse, std::nullopt, std::nullopt},
        {"asks again for the start", {reply(202, {{"nextExpectedRanges", {"0-"}}})}, {"bytes 0-9/10"},
         platform::URLError::badServerResponse, std::nullopt, std::nullopt},
        {"asks beyond the end", {reply(202, {{"nextExpectedRanges", {"10-"}}})}, {"bytes 0-9/10"},
         platform::URLError::badServerResponse, std::nullopt, std::nullopt},
        {"unreadable start at the end", {reply(202, {{"nextExpectedRanges", {"x-"}}})}, {"bytes 0-9/10"},
         platform::URLError::badServerResponse, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uploads.clearRequests();
        uploads.script("PUT", "/up", c.replies);
        const ErrorRef error = write("/u.bin", platform::Data(10, 1), true);
        std::vector<std::string> ranges;
        for (const auto& r : uploads.requests()) ranges.push_back(r.header("Content-Range").value_or(""));
        EXPECT_EQ(ranges, c.ranges);
        if (!c.urlError && !c.status) {
            EXPECT_EQ(error, nullptr);
            continue;
        }
        ASSERT_NE(error, nullptr);
        if (c.urlError) {
            EXPECT_EQ(error->code(), *c.urlError);
            const auto urlError = std::dynamic_pointer_cast<const platform::URLError>(error);
            ASSERT_TRUE(urlError);
            EXPECT_EQ(urlError->failingURL(), URL::parse(uploads.url("/up")));
        } else {
            ASSERT_TRUE(asOneDrive(error));
            EXPECT_EQ(asOneDrive(error)->statusCode(), *c.status);
            EXPECT_EQ(asOneDrive(error)->serverDescription(), c.description);
            EXPECT_EQ(asOneDrive(error)->path(), "/u.bin");
        }
    }
    // Nothing was at the path (the item is not found): the sessions above replaced nothing.
    EXPECT_EQ(json::parse(graph.requests().back().body)["item"]["@microsoft.graph.conflictBehavior"], "fail");
    // An unreadable start continues where the server confirmed; a file that is there is replaced.
    graph.script("GET", drive + "root:/u.bin", {reply(200, item("u.bin"))});
    uploads.clearRequests();
    uploads.script("PUT", "/up", {reply(202, {{"nextExpectedRanges", {"x-"}}}), reply(201, {{"id", "1"}})});
    const int64_t size = OneDriveFileProvider::uploadChunkLimit + 1;
    EXPECT_EQ(write("/u.bin", platform::Data(static_cast<size_t>(size), 2), true), nullptr);
    ASSERT_EQ(uploads.requests().size(), 2u);
    EXPECT_EQ(uploads.requests()[1].header("Content-Range"), "bytes 10485760-10485760/10485761");
    EXPECT_EQ(json::parse(graph.requests().back().body)["item"]["@microsoft.graph.conflictBehavior"], "replace");
}

TEST_F(OneDriveGraph, UploadSessionsTheServerRefuses) {
    graph.script("POST", drive + "root:/u.bin:/createUploadSession",
                 {graphError(409, "The name is already in use."), reply(200, {{"id", "x"}}), reply(200, {{"uploadUrl", "not a url"}})});
    const ErrorRef conflict = write("/u.bin", platform::Data(3, 1), false);
    ASSERT_TRUE(asOneDrive(conflict));
    EXPECT_EQ(asOneDrive(conflict)->statusCode(), 409);
    EXPECT_EQ(asOneDrive(conflict)->serverDescription(), "The name is already in use.");
    for (int i = 0; i < 2; ++i) {
        const ErrorRef error = write("/u.bin", platform::Data(3, 1), false);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), platform::URLError::badServerResponse);
    }
    EXPECT_EQ(uploads.requests().size(), 0u);
    EXPECT_EQ(recorder->wait(3), (std::vector<std::string>{"failed", "failed", "failed"}));
}

TEST_F(OneDriveGraph, CancellingAnUploadDeletesItsSession) {
    offerSession();
    std::atomic<bool> arrived{false};
    uploads.route("PUT", "/up", [&](const FakeHTTPServer::Request&) {
        arrived = true;
        auto r = reply(201, {{"id", "1"}});
        r.delay = 2 * ostrane_test::hangLimitSeconds;  // held back until the server stops: the test cancels
        return r;
    });
    uploads.route("DELETE", "/up", [](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(204); });
    auto r = awaitCompletion<ErrorRef>([&](auto done) {
        auto progress = provider->writeContents("/u.bin", platform::Data(10, 1), false, false, done);
        ASSERT_TRUE(progress);
        ASSERT_TRUE(ostrane_test::waitUntil([&] { return arrived.load(); }));
        progress->cancel();
    });
    ASSERT_TRUE(r);
    ASSERT_NE(std::get<0>(*r), nullptr);
    EXPECT_EQ(std::get<0>(*r)->code(), platform::URLError::cancelled);
    ASSERT_TRUE(uploads.waitForRequests("DELETE"));
    ASSERT_EQ(uploads.count("DELETE"), 1u);
    for (const auto& q : uploads.requests()) EXPECT_FALSE(q.header("Authorization"));
    EXPECT_EQ(recorder->wait(1), std::vector<std::string>{"failed"});
}

TEST_F(OneDriveGraph, UploadsThatNeverStart) {
    // Empty data: the session cannot take it, and the caller hears so.
    auto empty = awaitCompletion<ErrorRef>([&](auto done) {
        EXPECT_EQ(provider->writeContents("/e.bin", std::nullopt, false, false, done), nullptr);
    });
    ASSERT_TRUE(empty);
    ASSERT_NE(std::get<0>(*empty), nullptr);
    EXPECT_EQ(std::get<0>(*empty)->code(), platform::URLError::zeroByteResource);

    // A local folder, or nothing, is no file to upload.
    const auto folder = std::filesystem::temp_directory_path();
    const std::vector<std::pair<URL, int64_t>> locals = {
        {URL::fileURLWithPath(folder.string(), true), platform::URLError::fileIsDirectory},
        {URL::fileURLWithPath((folder / "onedrive-absent-file").string()), platform::URLError::fileDoesNotExist}};
    for (const auto& [local, code] : locals) {
        auto r = awaitCompletion<ErrorRef>(
            [&](auto done) { EXPECT_EQ(provider->copyItem(local, "/x", false, done), nullptr); });
        ASSERT_TRUE(r);
        ASSERT_NE(std::get<0>(*r), nullptr);
        EXPECT_EQ(std::get<0>(*r)->code(), code);
    }

    // A data source that fails ends the upload before any chunk.
    offerSession();
    auto failing = awaitCompletion<ErrorRef>([&](auto done) {
        provider->createUploadSession("/u.bin", FileOperationType::modify("/u.bin"), 5, false,
                                      [](int64_t, int64_t) -> platform::Data {
                                          platform::throwError(platform::POSIXError::make(EIO));
                                      },
                                      done);
    });
    ASSERT_TRUE(failing);
    ASSERT_NE(std::get<0>(*failing), nullptr);
    EXPECT_EQ(std::get<0>(*failing)->code(), EIO);
    // Fewer bytes than the range says (a file that shrank) are not sent under that range.
    auto shrunk = awaitCompletion<ErrorRef>([&](auto done) {
        provider->createUploadSession("/u.bin", FileOperationType::modify("/u.bin"), 5, false,
                                      [](int64_t, int64_t) { return platform::Data(2, 1); }, done);
    });
    ASSERT_TRUE(shrunk);
    ASSERT_NE(std::get<0>(*shrunk), nullptr);
    EXPECT_EQ(std::get<0>(*shrunk)->code(), platform::URLError::requestBodyStreamExhausted);
    EXPECT_EQ(uploads.count("PUT"), 0u);

    // A refusing operation delegate: no progress, no request, no completion.
    class Refuse : public FileOperationDelegate {
    public:
        bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
            return false;
        }
        bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                       const FileOperationType&) override {
            return false;
        }
    };
    auto refuse = std::make_shared<Refuse>();
    provider->setFileOperationDelegate(refuse);
    const auto before = graph.requests().size();
    std::atomic<bool> called{false};
    const auto file = std::filesystem::temp_directory_path() / ("onedrive-upload-" + std::to_string(::getpid()));
    std::ofstream(file) << "data";
    EXPECT_EQ(provider->writeContents("/v.bin", platform::Data(3, 1), false, false, [&](ErrorRef) { called = true; }), nullptr);
    EXPECT_EQ(provider->copyItem(URL::fileURLWithPath(file.string()), "/v.bin", false, [&](ErrorRef) { called = true; }), nullptr);
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_FALSE(called);
    EXPECT_EQ(graph.requests().size(), before);
    std::filesystem::remove(file);
}

TEST_F(OneDriveGraph, ALocalFileGoesUpRangeByRange) {
    graph.route("POST", drive + "root:/up load.bin:/createUploadSession",
                [this](const FakeHTTPServer::Request&) { return reply(200, {{"uploadUrl", uploads.url("/up")}}); });
    uploads.route("PUT", "/up", [](const FakeHTTPServer::Request&) { return reply(201, {{"id", "1"}}); });
    const auto file = std::filesystem::temp_directory_path() / ("onedrive local " + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << "local bytes";
    auto r = awaitCompletion<ErrorRef>([&](auto done) {
        EXPECT_TRUE(provider->copyItem(URL::fileURLWithPath(file.string()), "/up load.bin", true, done));
    });
    std::filesystem::remove(file);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<0>(*r), nullptr);
    ASSERT_EQ(uploads.requests().size(), 1u);
    EXPECT_EQ(uploads.requests().front().body, "local bytes");
    EXPECT_EQ(uploads.requests().front().header("Content-Range"), "bytes 0-10/11");
}

TEST_F(OneDriveGraph, AChallengeFromTheUploadHostIsNotAnsweredWithTheToken) {
    offerSession();
    uploads.requireBasic("me", "tok-9");
    const ErrorRef error = write("/u.bin", platform::Data(4, 1), false);
    ASSERT_TRUE(asOneDrive(error));
    EXPECT_EQ(asOneDrive(error)->statusCode(), 401);
    EXPECT_EQ(uploads.challengesSent(), 1);
    for (const auto& r : uploads.requests()) EXPECT_FALSE(r.header("Authorization"));
}

TEST_F(OneDriveGraph, ChunksNeverPassTheLimitOrTheEnd) {
    offerSession();
    const int64_t limit = OneDriveFileProvider::uploadChunkLimit;
    struct Case {
        const char* name;
        int64_t size;
        std::vector<FakeHTTPServer::Reply> replies;
        std::vector<std::string> ranges;
    };
    const std::vector<Case> cases = {
        {"exactly one chunk", limit, {reply(201, {{"id", "1"}})}, {"bytes 0-10485759/10485760"}},
        // An open range from byte 1 is cut at the limit, and at the end of the data.
        {"open range", limit + 1, {reply(202, {{"nextExpectedRanges", {"1-"}}}), reply(201, {{"id", "1"}})},
         {"bytes 0-10485759/10485761", "bytes 1-10485760/10485761"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uploads.clearRequests();
        uploads.script("PUT", "/up", c.replies);
        EXPECT_EQ(write("/u.bin", platform::Data(static_cast<size_t>(c.size), 3), true), nullptr);
        std::vector<std::string> ranges;
        for (const auto& r : uploads.requests()) {
            ranges.push_back(r.header("Content-Range").value_or(""));
            EXPECT_LE(static_cast<int64_t>(r.body.size()), limit);
        }
        EXPECT_EQ(ranges, c.ranges);
    }
}
