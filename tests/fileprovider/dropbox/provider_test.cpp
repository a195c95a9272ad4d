// test-labels: cloudapi tsan
// The Dropbox provider against a loopback stand-in of the Dropbox API: paged listings and
// searches, attributes, storage, temporary links, saved copies, thumbnails, properties, failures,
// hostile names and where the token goes.
#include "fileprovider/dropbox/DropboxFake.hpp"
#include "fileprovider/dropbox/DropboxFileProvider.hpp"
#include "fileprovider/info/MediaFixtures.hpp"
#include "platform/media/Image.hpp"
#include "support/ProviderBehaviour.hpp"

#include "platform/dispatch/Progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

using namespace RiridOzizevud;
using nlohmann::json;
using ostrane_test::awaitCompletion;
using ostrane_test::DropboxFake;
using ostrane_test::FakeHTTPServer;
using platform::ErrorRef;
using platform::URL;

namespace {

class DropboxProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.write("/docs/readme.txt", "hello");
        fake_.write("/docs/sub/inner note.txt", "inner");
        fake_.write("/docs/sub/Inside.md", "deeper");
        for (int i = 0; i < 7; ++i) fake_.write("/many/f" + std::to_string(i) + ".txt", std::string(i, 'x'));
        provider_ = make(DropboxFake::token);
    }

    std::shared_ptr<DropboxFileProvider> make(const std::string& token) {
        auto p = DropboxFileProvider::make(platform::URLCredential("", token), nullptr, *URL::parse(fake_.apiURL()),
                                           *URL::parse(fake_.contentURL()));
        EXPECT_NE(p, nullptr);
        return p;
    }

    std::pair<std::vector<FileObjectRef>, ErrorRef> list(const std::string& path) {
        auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>(
            [&](auto done) { provider_->contentsOfDirectory(path, done); });
        if (!r) return {{}, platform::URLError::make(platform::URLError::timedOut)};
        return {std::get<0>(*r), std::get<1>(*r)};
    }

    struct Search {
        std::vector<std::string> names;
        std::vector<std::string> found;
        ErrorRef error;
        int64_t counted = 0;
    };
    Search search(const std::string& path, bool recursive, const platform::PredicateRef& query) {
        Search out;
        std::mutex m;
        ProgressRef progress;
        auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>([&](auto done) {
            progress = provider_->searchFiles(
                path, recursive, query,
                [&](FileObjectRef f) {
                    std::lock_guard lock(m);
                    out.found.push_back(f->name());
                },
                done);
        });
        if (!r) return out;
        for (const auto& f : std::get<0>(*r)) out.names.push_back(f->name());
        out.error = std::get<1>(*r);
        out.counted = progress ? progress->completedUnitCount() : -1;
        return out;
    }

    static std::vector<std::string> namesOf(const std::vector<FileObjectRef>& files) {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(f->name());
        return out;
    }

    std::vector<FakeHTTPServer::Request> requestsTo(const std::string& endpoint) {
        std::vector<FakeHTTPServer::Request> out;
        for (auto* server : {&fake_.api(), &fake_.content()})
            for (const auto& r : server->requests())
                if (r.path == endpoint) out.push_back(r);
        return out;
    }

    static const platform::URLError* urlError(const ErrorRef& e) { return dynamic_cast<const platform::URLError*>(e.get()); }
    static const FileProviderDropboxError* dropboxError(const ErrorRef& e) {
        return dynamic_cast<const FileProviderDropboxError*>(e.get());
    }

    DropboxFake fake_;
    std::shared_ptr<DropboxFileProvider> provider_;
};

} // namespace

TEST_F(DropboxProviderTest, ListingFollowsCursorsToTheLastPage) {
    auto [files, error] = list("many/");
    ASSERT_EQ(error, nullptr) << error->localizedDescription();
    EXPECT_EQ(namesOf(files), (std::vector<std::string>{"f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt", "f6.txt"}));
    EXPECT_EQ(files[3]->size(), 3);
    EXPECT_TRUE(files[3]->isRegularFile());
    EXPECT_EQ(files[3]->path(), "/many/f3.txt");

    const auto first = requestsTo("/2/files/list_folder");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(json::parse(first[0].body), (json{{"path", "/many"}, {"recursive", false}}));
    EXPECT_EQ(first[0].header("Content-Type"), "application/json");
    const auto more = requestsTo("/2/files/list_folder/continue");
    ASSERT_EQ(more.size(), 2u);
    for (const auto& r : more) {
        const json body = json::parse(r.body);
        EXPECT_EQ(body.size(), 1u);
        EXPECT_TRUE(body.at("cursor").is_string());
    }

    auto [root, rootError] = list("/");
    ASSERT_EQ(rootError, nullptr);
    EXPECT_EQ(namesOf(root), (std::vector<std::string>{"docs", "many"}));
    EXPECT_TRUE(root[0]->isDirectory());
    EXPECT_EQ(root[0]->size(), -1);
    EXPECT_EQ(fake_.lastArguments("/2/files/list_folder"), (json{{"path", ""}, {"recursive", false}}));
}

TEST_F(DropboxProviderTest, AFailedPageFailsTheListing) {
    const auto page = [](json body) { return DropboxFake::json(200, body); };
    const json entry = {{".tag", "file"}, {"name", "a"}, {"path_display", "/x/a"}};
    struct Case {
        const char* name;
        std::vector<FakeHTTPServer::Reply> first;
        std::vector<FakeHTTPServer::Reply> next;
        int status;  // of the Dropbox error; 0: a URL error
        std::optional<std::string> description;
    };
    const std::vector<Case> cases = {
        {"missing folder", {DropboxFake::pathError("path", "not_found")}, {}, 409, std::nullopt},
        {"user message",
         {DropboxFake::json(409, {{"user_message", "Folder is gone"}, {"error", {{"tag", "not_found"}}}})}, {}, 409,
         "Folder is gone"},
        {"status without a case", {FakeHTTPServer::answer(501, "no")}, {}, 501, "no"},
        {"redirect left unanswered", {FakeHTTPServer::answer(304, "")}, {}, 304, std::nullopt},
        {"error object with 200", {page({{"error", {{".tag", "reset"}}}})}, {}, 0, std::nullopt},
        {"entries not a list", {page({{"entries", "none"}, {"has_more", false}})}, {}, 0, std::nullopt},
        {"more without a cursor", {page({{"entries", {entry}}, {"has_more", true}})}, {}, 0, std::nullopt},
        {"cursor handed out again",
         {page({{"entries", {entry}}, {"has_more", true}, {"cursor", "c1"}})},
         {page({{"entries", {entry}}, {"has_more", true}, {"cursor", "c1"}})}, 0, std::nullopt},
        {"second page fails",
         {page({{"entries", {entry}}, {"has_more", true}, {"cursor", "c1"}})},
         {FakeHTTPServer::answer(500, "down")}, 500, "down"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_.api().script("POST", "/2/files/list_folder", c.first);
        if (!c.next.empty()) fake_.api().script("POST", "/2/files/list_folder/continue", c.next);
        auto [files, error] = list("/x");
        // A failed listing is no listing: nothing gathered is passed off as the folder's content.
        ASSERT_NE(error, nullptr);
        if (c.status) {
            const auto* dropbox = dropboxError(error);
            ASSERT_NE(dropbox, nullptr) << error->localizedDescription();
            EXPECT_EQ(dropbox->statusCode(), c.status);
            EXPECT_EQ(dropbox->serverDescription(), c.description);
            EXPECT_EQ(dropbox->path(), "/x");
        } else {
            ASSERT_NE(urlError(error), nullptr) << error->localizedDescription();
        }
    }
}

TEST_F(DropboxProviderTest, SearchAsksTheServerAndKeepsWhatThePredicateKeeps) {
    fake_.setPageSize(1);
    auto result = search("/docs", true, platform::Predicate::format("name BEGINSWITH[c] %@", {platform::Value("in")}));
    ASSERT_EQ(result.error, nullptr) << result.error->localizedDescription();
    EXPECT_EQ(result.names, (std::vector<std::string>{"Inside.md", "inner note.txt"}));
    EXPECT_EQ(result.found, result.names);
    EXPECT_EQ(result.counted, 2);
    const auto calls = requestsTo("/2/files/search");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(json::parse(calls[0].body), (json{{"path", "/docs"}, {"query", "in"}, {"start", 0}}));
    EXPECT_EQ(json::parse(calls[1].body).at("start"), 1);
    EXPECT_TRUE(requestsTo("/2/files/list_folder").empty());

    // Case counts when the predicate says so, though the server ignores it.
    result = search("/docs", true, platform::Predicate::format("name BEGINSWITH %@", {platform::Value("In")}));
    EXPECT_EQ(result.names, std::vector<std::string>{"Inside.md"});
}

TEST_F(DropboxProviderTest, SearchesTheServerCannotNarrowListAndFilter) {
    struct Case {
        const char* name;
        bool recursive;
        std::string format;
        std::vector<platform::Value> arguments;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"size alone", true, "fileSize > 4", {}, {"f5.txt", "f6.txt"}},
        {"one level only", false, "name BEGINSWITH[c] 'f'", {}, {"f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt", "f6.txt"}},
        {"negated", true, "NOT name BEGINSWITH 'f'", {}, {}},
        {"either", true, "name BEGINSWITH 'f6' OR fileSize < 2", {}, {"f0.txt", "f1.txt", "f6.txt"}},
        {"text on the left", true, "'f3.txt and more' BEGINSWITH name", {}, {"f3.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake_.api().clearRequests();
        auto result = search("/many", c.recursive, platform::Predicate::format(c.format, c.arguments));
        ASSERT_EQ(result.error, nullptr);
        auto names = result.names;
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.expected);
        EXPECT_TRUE(requestsTo("/2/files/search").empty());
        const auto listing = requestsTo("/2/files/list_folder");
        ASSERT_EQ(listing.size(), 1u);
        EXPECT_EQ(json::parse(listing[0].body), (json{{"path", "/many"}, {"recursive", c.recursive}}));
    }
}

TEST_F(DropboxProviderTest, SearchPagesByStart) {
    fake_.api().script("POST", "/2/files/search",
                       {DropboxFake::json(200, {{"matches", {{{"metadata", fake_.metadata("/many/f1.txt")}}}},
                                                {"more", true},
                                                {"start", 20}}),
                        DropboxFake::json(200, {{"matches", {{{"metadata", fake_.metadata("/many/f2.txt")}}, "junk"}},
                                                {"more", false}})});
    auto result = search("/many", true, platform::Predicate::format("name BEGINSWITH 'f'"));
    ASSERT_EQ(result.error, nullptr);
    EXPECT_EQ(result.names, (std::vector<std::string>{"f1.txt", "f2.txt"}));
    const auto calls = requestsTo("/2/files/search");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(json::parse(calls[1].body).at("start"), 20);
}

TEST_F(DropboxProviderTest, Attributes) {
    auto r = awaitCompletion<FileObjectRef, ErrorRef>([&](auto done) { provider_->attributesOfItem("docs/readme.txt", done); });
    ASSERT_TRUE(r);
    auto [file, error] = *r;
    ASSERT_EQ(error, nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->name(), "readme.txt");
    EXPECT_EQ(file->size(), 5);
    ASSERT_NE(std::dynamic_pointer_cast<DropboxFileObject>(file), nullptr);
    EXPECT_TRUE(std::dynamic_pointer_cast<DropboxFileObject>(file)->id());
    EXPECT_EQ(fake_.lastArguments("/2/files/get_metadata"), (json{{"path", "/docs/readme.txt"}}));

    fake_.api().script("POST", "/2/files/get_metadata",
                       {DropboxFake::json(409, {{"error", {{"tag", "not_found"}}}}),
                        DropboxFake::json(200, {{"unexpected", true}})});
    r = awaitCompletion<FileObjectRef, ErrorRef>([&](auto done) { provider_->attributesOfItem("/absent", done); });
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<0>(*r), nullptr);
    const auto* missing = dropboxError(std::get<1>(*r));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->statusCode(), 409);
    EXPECT_EQ(missing->serverDescription(), "not_found");

    // A success answer that holds no entry is no success.
    r = awaitCompletion<FileObjectRef, ErrorRef>([&](auto done) { provider_->attributesOfItem("/odd", done); });
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<0>(*r), nullptr);
    ASSERT_NE(urlError(std::get<1>(*r)), nullptr);
    EXPECT_EQ(urlError(std::get<1>(*r))->code(), platform::URLError::badServerResponse);
}

TEST_F(DropboxProviderTest, StorageProperties) {
    auto volume = [&] {
        auto r = awaitCompletion<VolumeObjectRef>([&](auto done) { provider_->storageProperties(done); });
        return r ? std::get<0>(*r) : nullptr;
    };
    auto v = volume();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->totalCapacity(), 2000000000);
    EXPECT_EQ(v->usage(), 314159);
    const auto usage = requestsTo("/2/users/get_space_usage");
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_EQ(usage[0].header("Authorization"), std::string("Bearer ") + DropboxFake::token);
    EXPECT_TRUE(usage[0].body.empty());

    fake_.api().script("POST", "/2/users/get_space_usage",
                       {DropboxFake::json(200, {{"used", 10}}), DropboxFake::json(500, {{"used", 10}}),
                        FakeHTTPServer::answer(200, "not json")});
    v = volume();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->totalCapacity(), -1);
    // An error answer is no volume, even when its body reads like one.
    EXPECT_EQ(volume(), nullptr);
    EXPECT_EQ(volume(), nullptr);

    auto reachable = awaitCompletion<bool, ErrorRef>([&](auto done) { provider_->isReachable(done); });
    ASSERT_TRUE(reachable);
    EXPECT_TRUE(std::get<0>(*reachable));  // the root listing answers
}

TEST_F(DropboxProviderTest, TemporaryLinks) {
    using Result = std::tuple<std::optional<URL>, FileObjectRef, std::optional<platform::Date>, ErrorRef>;
    auto link = [&](const std::string& path) {
        auto r = awaitCompletion<std::optional<URL>, FileObjectRef, std::optional<platform::Date>, ErrorRef>(
            [&](auto done) { provider_->publicLink(path, done); });
        return r ? *r : Result{};
    };
    const auto before = platform::Date::now();
    auto [url, entry, expiry, error] = link("docs/readme.txt");
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), fake_.content().url("/temporary/abc123"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->path(), "/docs/readme.txt");
    ASSERT_TRUE(expiry);
    EXPECT_GE(expiry->timeIntervalSince(before), 14400);
    EXPECT_LE(expiry->timeIntervalSince(platform::Date::now()), 14400);
    // The link is handed back, never fetched.
    EXPECT_TRUE(requestsTo("/temporary/abc123").empty());

    fake_.api().script("POST", "/2/files/get_temporary_link",
                       {DropboxFake::json(200, {{"metadata", fake_.metadata("/docs/readme.txt")}}),
                        DropboxFake::pathError("path", "not_file")});
    std::tie(url, entry, expiry, error) = link("/docs/readme.txt");
    EXPECT_FALSE(url);
    EXPECT_FALSE(expiry);
    EXPECT_NE(urlError(error), nullptr);
    std::tie(url, entry, expiry, error) = link("/docs");
    EXPECT_FALSE(url);
    ASSERT_NE(dropboxError(error), nullptr);
    EXPECT_EQ(dropboxError(error)->statusCode(), 409);
}

TEST_F(DropboxProviderTest, SavedURLsAndCopyReferences) {
    auto save = [&](const URL& from) {
        return awaitCompletion<std::optional<std::string>, FileObjectRef, ErrorRef>(
            [&](auto done) { provider_->copyItem(from, "/saved/page.html", done); });
    };
    auto r = save(*URL::parse("https://example.com/a%20b.html"));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<0>(*r), "job-7");
    EXPECT_EQ(std::get<2>(*r), nullptr);
    EXPECT_EQ(fake_.lastArguments("/2/files/save_url"),
              (json{{"path", "/saved/page.html"}, {"url", "https://example.com/a%20b.html"}}));

    fake_.api().script("POST", "/2/files/save_url", {DropboxFake::pathError("path", "conflict")});
    r = save(*URL::parse("https://example.com/x"));
    ASSERT_TRUE(r);
    EXPECT_FALSE(std::get<0>(*r));
    ASSERT_NE(dropboxError(std::get<2>(*r)), nullptr);
    EXPECT_EQ(dropboxError(std::get<2>(*r))->statusCode(), 409);
    EXPECT_EQ(dropboxError(std::get<2>(*r))->path(), "/saved/page.html");

    // A local file is refused at once, on the caller's thread, and nothing is sent.
    fake_.api().clearRequests();
    bool answered = false;
    ErrorRef refusal;
    provider_->copyItem(URL::fileURLWithPath("/etc/hostname"), "/x",
                        [&](std::optional<std::string>, FileObjectRef, ErrorRef e) {
                            answered = true;
                            refusal = e;
                        });
    EXPECT_TRUE(answered);
    ASSERT_NE(urlError(refusal), nullptr);
    EXPECT_EQ(urlError(refusal)->code(), platform::URLError::badURL);
    EXPECT_TRUE(fake_.api().requests().empty());

    auto reference = [&](const std::string& ref) {
        auto result = awaitCompletion<ErrorRef>([&](auto done) { provider_->copyItemReference(ref, "from ref.txt", done); });
        return result ? std::get<0>(*result) : platform::URLError::make(platform::URLError::timedOut);
    };
    EXPECT_EQ(reference("ref-good"), nullptr);
    EXPECT_EQ(fake_.read("/from ref.txt"), "from a reference");
    EXPECT_EQ(fake_.lastArguments("/2/files/copy_reference/save"),
              (json{{"path", "/from ref.txt"}, {"copy_reference", "ref-good"}}));
    ASSERT_NE(dropboxError(reference("ref-bad")), nullptr);
    // No handler: the call still goes out, and nothing breaks.
    provider_->copyItemReference("ref-good", "/quiet.txt", nullptr);
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return fake_.read("/quiet.txt").has_value(); }));
}

TEST_F(DropboxProviderTest, Thumbnails) {
    const auto jpeg = fixtures::image(AV_CODEC_ID_MJPEG, 320, 240, fixtures::solid(0, 200, 0));
    fake_.write("/pics/a.JPG", std::string(jpeg.begin(), jpeg.end()));
    fake_.write("/pics/noise.png", std::string(512, '\x5a'));
    fake_.write("/docs/r.docx", "doc");
    std::shared_ptr<platform::Image> image;
    auto thumbnail = [&](const std::string& path, std::optional<platform::Size> dimension) {
        ProgressRef progress = platform::Progress::make();
        auto r = awaitCompletion<std::shared_ptr<platform::Image>, ErrorRef>(
            [&](auto done) { progress = provider_->thumbnailOfFile(path, dimension, done); });
        EXPECT_EQ(progress, nullptr);
        image = r ? std::get<0>(*r) : nullptr;
        return r ? std::get<1>(*r) : platform::URLError::make(platform::URLError::timedOut);
    };
    // Scaled down to the dimension, never up; without one, the image's own size.
    ErrorRef error = thumbnail("pics/a.JPG", platform::Size{64, 64});
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{64, 48}));
    const auto green = image->pixel(32, 24);
    EXPECT_LT(green[0], 30);
    EXPECT_GT(green[1], 170);
    error = thumbnail("pics/a.JPG", std::nullopt);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{320, 240}));
    error = thumbnail("pics/a.JPG", platform::Size{10, 480});
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{320, 240}));
    EXPECT_EQ(fake_.lastArguments("/2/files/get_thumbnail"),
              (json{{"path", "/pics/a.JPG"}, {"format", "jpeg"}, {"size", "w640h480"}}));
    const auto calls = requestsTo("/2/files/get_thumbnail");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].method, "GET");

    // Bytes that are no image, and an image labelled as an HTML page, are no success.
    error = thumbnail("/pics/noise.png", std::nullopt);
    EXPECT_EQ(image, nullptr);
    ASSERT_NE(urlError(error), nullptr);
    EXPECT_EQ(urlError(error)->code(), platform::URLError::cannotDecodeContentData);
    fake_.content().script("GET", "/2/files/get_thumbnail",
                           {FakeHTTPServer::answer(200, std::string(jpeg.begin(), jpeg.end()), {}, "text/html")});
    error = thumbnail("/pics/a.JPG", std::nullopt);
    EXPECT_EQ(image, nullptr);
    ASSERT_NE(urlError(error), nullptr);
    EXPECT_EQ(urlError(error)->code(), platform::URLError::cannotDecodeContentData);

    error = thumbnail("/docs/r.docx", std::nullopt);
    EXPECT_NE(error, nullptr);
    EXPECT_EQ(fake_.lastArguments("/2/files/get_preview"), (json{{"path", "/docs/r.docx"}}));

    // A PDF preview gives its first page, also when labelled as HTML; its top left quarter is black.
    const std::string pdf = fixtures::pdf({}, 200, 100);
    fake_.write("/docs/p.docx", pdf);
    error = thumbnail("/docs/p.docx", std::nullopt);
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{200, 100}));
    fake_.content().script("GET", "/2/files/get_preview", {FakeHTTPServer::answer(200, pdf, {}, "text/html")});
    error = thumbnail("/docs/p.docx", platform::Size{50, 50});
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{50, 25}));
    EXPECT_EQ(image->pixel(5, 5), (std::array<uint8_t, 4>{0, 0, 0, 255}));
    EXPECT_EQ(image->pixel(45, 20), (std::array<uint8_t, 4>{255, 255, 255, 255}));
    fake_.content().script("GET", "/2/files/get_preview", {FakeHTTPServer::answer(200, pdf.substr(0, 60))});
    error = thumbnail("/docs/p.docx", std::nullopt);
    EXPECT_EQ(image, nullptr);
    ASSERT_NE(urlError(error), nullptr);
    EXPECT_EQ(urlError(error)->code(), platform::URLError::cannotDecodeContentData);

    // An error in "Dropbox-API-Result", and an error status.
    fake_.content().script("GET", "/2/files/get_thumbnail",
                           {FakeHTTPServer::answer(200, "x", {{"Dropbox-API-Result", R"({"error":{".tag":"path"}})"}}),
                            DropboxFake::pathError("path", "not_found")});
    error = thumbnail("/pics/a.JPG", std::nullopt);
    ASSERT_NE(urlError(error), nullptr);
    EXPECT_EQ(urlError(error)->code(), platform::URLError::cannotDecodeRawData);
    error = thumbnail("/pics/gone.png", std::nullopt);
    ASSERT_NE(dropboxError(error), nullptr);
    EXPECT_EQ(dropboxError(error)->statusCode(), 409);

    // An extension with no thumbnail makes no request, yet answers.
    fake_.content().clearRequests();
    error = thumbnail("/notes.TXT", std::nullopt);
    EXPECT_NE(error, nullptr);
    EXPECT_TRUE(fake_.content().requests().empty());
}

TEST_F(DropboxProviderTest, MediaPropertiesOfAPhoto) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    fake_.write("/pics/p.jpg", "jpeg");
    fake_.setMediaInfo("/pics/p.jpg", {{".tag", "metadata"},
                                       {"metadata",
                                        {{".tag", "photo"},
                                         {"dimensions", {{"height", 3024}, {"width", 4032}}},
                                         {"time_taken", "2019-05-04T12:01:02Z"}}}});
    auto properties = [&](const std::string& path) {
        return awaitCompletion<platform::ValueDictionary, std::vector<std::string>, ErrorRef>(
            [&](auto done) { provider_->propertiesOfFile(path, done); });
    };
    auto r = properties("pics/p.jpg");
    ASSERT_TRUE(r);
    EXPECT_EQ(std::get<2>(*r), nullptr);
    EXPECT_EQ(std::get<1>(*r), (std::vector<std::string>{"Dimensions", "Date taken"}));
    EXPECT_EQ(platform::find(std::get<0>(*r), "Dimensions")->stringValue(), "4032x3024");
    EXPECT_EQ(fake_.lastArguments("/2/files/get_metadata"), (json{{"path", "/pics/p.jpg"}, {"include_media_info", true}}));

    r = properties("/pics/none.jpg");
    ASSERT_TRUE(r);
    EXPECT_TRUE(std::get<0>(*r).empty());
    EXPECT_TRUE(std::get<1>(*r).empty());
    ASSERT_NE(dropboxError(std::get<2>(*r)), nullptr);
}

TEST_F(DropboxProviderTest, TheTokenGoesToTheEndpointsOnly) {
    // A refused token: the error names the status, never the token.
    auto stranger = make("sl.wrong-token-zzz");
    auto r = awaitCompletion<std::vector<FileObjectRef>, ErrorRef>(
        [&](auto done) { stranger->contentsOfDirectory("/docs", done); });
    ASSERT_TRUE(r);
    const auto* refused = dropboxError(std::get<1>(*r));
    ASSERT_NE(refused, nullptr) << (std::get<1>(*r) ? std::get<1>(*r)->localizedDescription() : "no error");
    EXPECT_EQ(refused->statusCode(), 401);
    EXPECT_EQ(refused->localizedDescription().find("wrong-token"), std::string::npos);
    EXPECT_EQ(refused->serverDescription().value_or("").find("wrong-token"), std::string::npos);

    // The API answers with a redirect to another server: the token must not follow it there.
    FakeHTTPServer elsewhere;
    elsewhere.route("POST", "*", [](const FakeHTTPServer::Request&) {
        return DropboxFake::json(200, {{"entries", json::array()}, {"has_more", false}});
    });
    // The route outlives this test's stack, so it holds its own copy of the address.
    fake_.api().route("POST", "/2/files/list_folder", [to = elsewhere.url("/2/files/list_folder")](const FakeHTTPServer::Request&) {
        return FakeHTTPServer::answer(307, "", {{"Location", to}});
    });
    list("/docs");
    ASSERT_FALSE(elsewhere.requests().empty());
    for (const auto& r : elsewhere.requests()) EXPECT_FALSE(r.header("Authorization")) << *r.header("Authorization");
}

TEST_F(DropboxProviderTest, NamesBeyondTheBasicPlaneTravelIntact) {
    const std::string name = "clip 🎬 \"☃\" 100% #1?.txt";
    const std::string path = "/docs/" + name;
    auto written = awaitCompletion<ErrorRef>([&](auto done) {
        provider_->writeContents(path, platform::Data(name.begin(), name.end()), false, false, done);
    });
    ASSERT_TRUE(written);
    ASSERT_EQ(std::get<0>(*written), nullptr);
    EXPECT_EQ(fake_.read(path), name);
    const auto arg = requestsTo("/2/files/upload").back().header("Dropbox-API-Arg");
    ASSERT_TRUE(arg);
    EXPECT_NE(arg->find("\\ud83c\\udfac"), std::string::npos);

    auto [files, error] = list("/docs");
    ASSERT_EQ(error, nullptr);
    const auto names = namesOf(files);
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());

    auto read = awaitCompletion<std::optional<platform::Data>, ErrorRef>(
        [&](auto done) { provider_->contents(path, 6, 4, done); });
    ASSERT_TRUE(read);
    ASSERT_TRUE(std::get<0>(*read));
    EXPECT_EQ(std::string(std::get<0>(*read)->begin(), std::get<0>(*read)->end()), name.substr(6, 4));
}

TEST_F(DropboxProviderTest, AnUploadAbove150MiBIsRefusedBeforeItIsSent) {
    const auto local = std::filesystem::temp_directory_path() / ("dropbox-big-" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(local, std::ios::binary);
    }
    std::filesystem::resize_file(local, 157286401);  // sparse: no disk is spent on it
    auto r = awaitCompletion<ErrorRef>([&](auto done) {
        provider_->copyItem(URL::fileURLWithPath(local.string()), "/big.bin", false, done);
    });
    std::filesystem::remove(local);
    ASSERT_TRUE(r);
    ASSERT_NE(dropboxError(std::get<0>(*r)), nullptr);
    EXPECT_EQ(dropboxError(std::get<0>(*r))->statusCode(), 413);
    EXPECT_TRUE(requestsTo("/2/files/upload").empty());
}

TEST_F(DropboxProviderTest, CompletionsRunOnTheOperationQueue) {
    fake_.write("/pics/a.png", "png");
    const auto queue = provider_->operation_queue();
    std::vector<std::pair<std::string, std::function<void(std::function<void()>)>>> calls = {
        {"listing", [&](auto done) { provider_->contentsOfDirectory("/many", [done](auto, auto) { done(); }); }},
        {"attributes", [&](auto done) { provider_->attributesOfItem("/docs/readme.txt", [done](auto, auto) { done(); }); }},
        {"storage", [&](auto done) { provider_->storageProperties([done](auto) { done(); }); }},
        {"link", [&](auto done) { provider_->publicLink("/docs/readme.txt", [done](auto, auto, auto, auto) { done(); }); }},
        {"save", [&](auto done) {
             provider_->copyItem(*URL::parse("https://example.com/a"), "/a",
                                 [done](std::optional<std::string>, FileObjectRef, ErrorRef) { done(); });
         }},
        {"reference", [&](auto done) { provider_->copyItemReference("ref-good", "/r.txt", [done](auto) { done(); }); }},
        {"thumbnail", [&](auto done) { provider_->thumbnailOfFile("/pics/a.png", std::nullopt, [done](auto, auto) { done(); }); }},
        {"properties", [&](auto done) { provider_->propertiesOfFile("/pics/a.png", [done](auto, auto, auto) { done(); }); }},
    };
    for (auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        auto r = awaitCompletion<bool>([&](auto report) { call([queue, report] { report(queue->isCurrent()); }); });
        ASSERT_TRUE(r);
        EXPECT_TRUE(std::get<0>(*r));
    }
}
