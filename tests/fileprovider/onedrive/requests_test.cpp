// test-labels: unit
// The OneDrive provider without a server: drive routes, the provider's base URL and archive, item
// URLs and their inverse, entries from drive items, errors, the request of each operation, search
// terms, thumbnail sizes, media properties and the upload data sources.
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"

#include "platform/data/KeyedArchive.hpp"
#include "platform/net/URLResponse.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <unistd.h>
#include <vector>

using namespace RiridOzizevud;
using nlohmann::json;
using platform::URL;
using platform::URLCredential;
using platform::URLRequest;
using Route = OneDriveFileProvider::Route;

namespace {

const std::string server = "http://graph.test:8080";
const std::string base = server + "/v1.0/";
const std::string driveID = "0F3C8A62-1B2D-4E5F-8A9B-0C1D2E3F4A5B";

std::shared_ptr<OneDriveFileProvider> provider(Route route = Route::me(),
                                               std::optional<URLCredential> credential = URLCredential("u", "tok-1")) {
    return OneDriveFileProvider::make(std::move(credential), URL::parse(server), route);
}

Route driveRoute() { return Route::drive(*platform::UUID::fromString(driveID)); }

json bodyOf(const URLRequest& r) {
    if (!r.httpBody) return json();
    return json::parse(std::string(r.httpBody->begin(), r.httpBody->end()));
}

std::string text(const platform::Data& d) { return std::string(d.begin(), d.end()); }

} // namespace

TEST(OneDriveRoute, RawValuesAndDrivePaths) {
    const auto u = *platform::UUID::fromString(driveID);
    struct Case {
        Route route;
        std::string raw, drivePath;
    };
    const std::vector<Case> cases = {
        {Route::drive(u), "drive;" + driveID, "drives/" + driveID},
        {Route::group(u), "group;" + driveID, "groups/" + driveID + "/drive"},
        {Route::site(u), "site;" + driveID, "sites/" + driveID + "/drive"},
        {Route::user(u), "user;" + driveID, "users/" + driveID + "/drive"},
        {Route::me(), "me;", "me/drive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(c.route.rawValue(), c.raw);
        EXPECT_EQ(c.route.drivePath(), c.drivePath);
        EXPECT_EQ(Route::fromRawValue(c.raw), c.route);
    }
    EXPECT_EQ(Route::fromRawValue("me;anything"), Route::me());
    EXPECT_EQ(Route::fromRawValue("drive;" + std::string("0f3c8a62-1b2d-4e5f-8a9b-0c1d2e3f4a5b")), Route::drive(u));
    for (const std::string& bad : {"Drive;" + driveID, std::string("drive"), "drive;" + driveID + ";",
                                  std::string("drive;not-a-uuid"), "disk;" + driveID, std::string("")}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Route::fromRawValue(bad));
    }
}

TEST(OneDriveProvider, BaseURLsOfTheServiceAndOfStandIns) {
    auto real = OneDriveFileProvider::make(URLCredential("u", "t"));
    EXPECT_EQ(real->baseURL()->absoluteString(), "https://graph.microsoft.com/v1.0/");
    EXPECT_EQ(real->type(), "OneDrive");
    EXPECT_EQ(real->route(), Route::me());
    EXPECT_EQ(real->maxUploadSimpleSupported(), 4'194'304);
    EXPECT_EQ(OneDriveFileProvider::make(std::nullopt, URL::parse("http://127.0.0.1:9"))->baseURL()->absoluteString(),
              "http://127.0.0.1:9/v1.0/");
    EXPECT_EQ(OneDriveFileProvider::make(std::nullopt, URL::parse("http://h/graph/"))->baseURL()->absoluteString(),
              "http://h/graph/v1.0/");

    // The drive form takes a UUID and quietly falls back to the signed-in user's drive.
    EXPECT_EQ(OneDriveFileProvider::make(std::nullopt, std::nullopt, std::optional<std::string>(driveID))->route(), driveRoute());
    for (const std::optional<std::string>& drive : {std::optional<std::string>(), std::optional<std::string>(""),
                                                   std::optional<std::string>("b!abc")})
        EXPECT_EQ(OneDriveFileProvider::make(std::nullopt, std::nullopt, drive)->route(), Route::me());

    // The class settings reach providers made afterwards only.
    const URL before = OneDriveFileProvider::graphURL();
    OneDriveFileProvider::setGraphURL(*URL::parse("https://graph.example/"));
    OneDriveFileProvider::setGraphVersion("beta");
    auto later = OneDriveFileProvider::make(std::nullopt);
    OneDriveFileProvider::setGraphURL(before);
    OneDriveFileProvider::setGraphVersion("v1.0");
    EXPECT_EQ(later->baseURL()->absoluteString(), "https://graph.example/beta/");
    EXPECT_EQ(real->baseURL()->absoluteString(), "https://graph.microsoft.com/v1.0/");
}

TEST(OneDriveProvider, ArchivedDecodedAndCopied) {
    auto original = provider(Route::site(*platform::UUID::fromString(driveID)));
    original->setUseCache(true);
    original->setValidatingCache(false);
    platform::KeyedArchiver archiver;
    original->encode(archiver);
    EXPECT_EQ(archiver.json().at("route"), "site;" + driveID);
    EXPECT_FALSE(archiver.json().contains("drive"));

    auto decoded = OneDriveFileProvider::make(platform::KeyedUnarchiver(archiver.json()));
    EXPECT_EQ(decoded->baseURL()->absoluteString(), base);  // not extended again
    EXPECT_EQ(decoded->route(), original->route());
    EXPECT_TRUE(decoded->useCache());
    EXPECT_FALSE(decoded->validatingCache());
    EXPECT_EQ(decoded->credential()->password(), "tok-1");

    // "drive" wins over "route"; neither gives the user's drive; a missing flag reads false.
    auto both = OneDriveFileProvider::make(platform::KeyedUnarchiver(json{{"drive", driveID}, {"route", "me;"}}));
    EXPECT_EQ(both->route(), driveRoute());
    auto bare = OneDriveFileProvider::make(platform::KeyedUnarchiver(json::object()));
    EXPECT_EQ(bare->route(), Route::me());
    EXPECT_EQ(bare->baseURL()->absoluteString(), "https://graph.microsoft.com/v1.0/");
    EXPECT_FALSE(bare->validatingCache());

    auto copy = original->copy();
    EXPECT_NE(copy, original);
    EXPECT_EQ(copy->route(), original->route());
    EXPECT_TRUE(copy->useCache());
    const auto operation = FileOperationType::remove("/a b.txt");
    EXPECT_EQ(copy->request(operation, false, {}).url->absoluteString(),
              original->request(operation, false, {}).url->absoluteString());
}

TEST(OneDriveFileObject, ItemURLsAndTheirInverse) {
    const URL b = *URL::parse(base);
    struct Case {
        std::string path;
        std::optional<std::string> modifier;
        std::string tail;
        std::string back;  // relativePathOf the URL
    };
    const std::vector<Case> cases = {
        {"", "children", "me/drive/root/children", ""},
        {"", std::nullopt, "me/drive/root", ""},
        {"/Docs/a.txt", "content", "me/drive/root:/Docs/a.txt:/content", "/Docs/a.txt"},
        {"Docs/a.txt/", std::nullopt, "me/drive/root:/Docs/a.txt", "/Docs/a.txt"},
        {" /Docs/ ", "children", "me/drive/root:/Docs:/children", "/Docs"},
        {"id:0123ABC", "thumbnails", "me/drive/items/0123ABC/thumbnails", "id:0123ABC"},
        {"id:0123ABC", std::nullopt, "me/drive/items/0123ABC", "id:0123ABC"},
        {"id:", "children", "me/drive/root/children", ""},
        // The root by any spelling is the root, never an item called "children".
        {"/", "children", "me/drive/root/children", ""},
        {"a id:b", "content", "me/drive/root:/a%20id:b:/content", "/a id"},  // ":" is no name character there
        {"/q?#%.txt", "content", "me/drive/root:/q%3F%23%25.txt:/content", "/q?#%.txt"},
        {"/Ünï ☃", std::nullopt, "me/drive/root:/%C3%9Cn%C3%AF%20%E2%98%83", "/Ünï ☃"},
        // Dot segments stay inside the drive.
        {"/a/../../../../x", "content", "me/drive/root:/x:/content", "/x"},
        {"id:../../secret", std::nullopt, "me/drive/items/secret", "id:secret"},
        {"/a/./b/..", std::nullopt, "me/drive/root:/a", "/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const URL u = OneDriveFileObject::url(c.path, c.modifier, b, Route::me());
        EXPECT_EQ(u.absoluteString(), base + c.tail);
        EXPECT_EQ(OneDriveFileObject::relativePathOf(u, b, Route::me()), c.back);
    }
    EXPECT_EQ(OneDriveFileObject::url("/x", "content", b, driveRoute()).absoluteString(),
              base + "drives/" + driveID + "/root:/x:/content");
    // A URL that addresses no item of the drive, an upload session's for one, maps to "".
    EXPECT_EQ(OneDriveFileObject::relativePathOf(*URL::parse("https://up.example/rup/abc"), b, Route::me()), "");
    EXPECT_EQ(OneDriveFileObject::relativePathOf(*URL::parse(base + "me/drive/items"), b, Route::me()), "");
    EXPECT_EQ(OneDriveFileObject::relativePathOf(*URL::parse(base + "me/drive/root:/a/b"), std::nullopt, Route::me()), "");
}

TEST(OneDriveFileObject, EntriesFromDriveItems) {
    const URL b = *URL::parse(base);
    const json file = json::parse(R"({
        "id": "01ABC", "name": "a.txt", "size": 5, "eTag": "\"{E1},1\"",
        "lastModifiedDateTime": "2023-03-04T05:06:07Z", "createdDateTime": "2020-01-02T03:04:05.123Z",
        "parentReference": {"path": "/drive/root:/Docs"},
        "file": {"mimeType": "text/plain", "hashes": {"quickXorHash": "qx", "sha1Hash": "SHA"}}})");
    auto entry = OneDriveFileObject::make(b, Route::me(), file);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name(), "a.txt");
    EXPECT_EQ(entry->path(), "/Docs/a.txt");
    EXPECT_EQ(entry->url().absoluteString(), base + "me/drive/root:/Docs/a.txt");
    EXPECT_EQ(entry->id(), "01ABC");
    EXPECT_EQ(entry->size(), 5);
    EXPECT_TRUE(entry->isRegularFile());
    EXPECT_EQ(entry->contentType().rawValue, "text/plain");
    EXPECT_EQ(entry->entryTag(), "\"{E1},1\"");
    EXPECT_EQ(entry->fileHash(), "SHA");
    ASSERT_TRUE(entry->modifiedDate());
    EXPECT_EQ(entry->modifiedDate()->timeIntervalSince1970(), 1677906367);
    ASSERT_TRUE(entry->creationDate());
    EXPECT_NEAR(entry->creationDate()->timeIntervalSince1970(), 1577934245.123, 1e-3);
    EXPECT_FALSE(entry->childrensCount());

    struct Case {
        const char* name;
        const char* item;
        std::string path;
        bool directory;
        std::optional<int64_t> children;
        int64_t size;
        std::optional<std::string> hash;
    };
    const std::vector<Case> cases = {
        {"root folder", R"({"id":"R","name":"root","folder":{"childCount":3}})", "id:R", true, 3, -1, std::nullopt},
        {"at the root", R"({"id":"1","name":"a.txt","parentReference":{"path":"/drive/root:"},"size":"5"})", "/a.txt",
         false, std::nullopt, -1, std::nullopt},
        {"folder of any value", R"({"id":"2","name":"f","folder":true,"size":0})", "id:2", true, std::nullopt, 0,
         std::nullopt},
        {"count not an integer", R"({"id":"3","name":"f","folder":{"childCount":"3"}})", "id:3", true, std::nullopt, -1,
         std::nullopt},
        {"quickXor alone", R"({"id":"4","name":"q","file":{"hashes":{"sha1Hash":7,"quickXorHash":"qx"}}})", "id:4",
         false, std::nullopt, -1, "qx"},
        {"path without a colon", R"({"id":"5","name":"n","parentReference":{"path":"/x/y"}})", "/x/y/n", false,
         std::nullopt, -1, std::nullopt},
        {"parent path not text", R"({"id":"6","name":"n","parentReference":{"path":1}})", "id:6", false, std::nullopt,
         -1, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto e = OneDriveFileObject::make(b, Route::me(), json::parse(c.item));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->path(), c.path);
        EXPECT_EQ(e->isDirectory(), c.directory);
        EXPECT_EQ(e->childrensCount(), c.children);
        EXPECT_EQ(e->size(), c.size);
        EXPECT_EQ(e->fileHash(), c.hash);
        EXPECT_EQ(e->contentType().rawValue, "application/octet-stream");
        EXPECT_FALSE(e->entryTag());
    }
    // An id-form path gives an "items" URL; no base, no URL of its own.
    EXPECT_EQ(OneDriveFileObject::make(b, Route::me(), json::parse(cases[0].item))->url().absoluteString(),
              base + "me/drive/items/R");
    EXPECT_FALSE(platform::find(OneDriveFileObject::make(std::nullopt, Route::me(), file)->allValues(),
                                platform::URLResourceKey::pathKey) == nullptr);
    for (const char* bad : {R"({"name":"a"})", R"({"id":"a"})", R"({"id":1,"name":"a"})", R"([1])", R"("x")"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(OneDriveFileObject::make(b, Route::me(), json::parse(bad)));
    }
    entry->setId(std::nullopt);
    entry->setFileHash(std::nullopt);
    EXPECT_FALSE(entry->id());
    EXPECT_FALSE(entry->fileHash());
}

TEST(OneDriveProvider, ServerErrors) {
    auto p = provider();
    struct Case {
        const char* name;
        std::optional<std::string> body;
        std::optional<std::string> description;
    };
    const std::vector<Case> cases = {
        {"no body", std::nullopt, std::nullopt},
        {"graph error", R"({"error":{"code":"itemNotFound","message":"Item does not exist"}})", "Item does not exist"},
        {"error as text", R"({"error":"plain"})", std::nullopt},
        {"message not text", R"({"error":{"message":5}})", std::nullopt},
        {"no error member", R"({"x":1})", std::nullopt},
        {"plain text", "Bad gateway", "Bad gateway"},
        {"json array", R"([1])", "[1]"},
        {"not utf-8", std::string("\xff\xfe"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<platform::Data> data;
        if (c.body) data = platform::Data(c.body->begin(), c.body->end());
        auto e = std::dynamic_pointer_cast<const FileProviderOneDriveError>(
            p->serverError(FileProviderHTTPErrorCode::notFound, std::string("/a"), data));
        ASSERT_TRUE(e);
        EXPECT_EQ(e->serverDescription(), c.description);
        EXPECT_EQ(e->path(), "/a");
        EXPECT_EQ(e->description(), "Status 404: Not Found");
        EXPECT_EQ(e->domain(), FileProviderOneDriveError::domainName);
    }
    // A status without a case keeps its number; no path reads as "".
    const auto uncased = p->serverError(501, std::nullopt, std::nullopt);
    EXPECT_EQ(uncased->statusCode(), 501);
    EXPECT_EQ(uncased->path(), "");
    EXPECT_EQ(uncased->description(), "Status 501: Not Implemented");
}

TEST(OneDriveProvider, RequestOfEachOperation) {
    auto p = provider();
    struct Case {
        const char* name;
        FileOperationType operation;
        bool overwrite;
        std::string url;
        std::string method;
        std::optional<std::string> contentType;
        json body;
    };
    const std::string me = base + "me/drive/";
    const std::vector<Case> cases = {
        {"create", FileOperationType::create("docs/new/"), false, me + "root:/docs:/children", "POST",
         "application/json",
         {{"name", "new"}, {"folder", json::object()}, {"@microsoft.graph.conflictBehavior", "fail"}}},
        {"create at the root", FileOperationType::create("/work a/"), false, me + "root/children", "POST",
         "application/json",
         {{"name", "work a"}, {"folder", json::object()}, {"@microsoft.graph.conflictBehavior", "fail"}}},
        {"upload", FileOperationType::copy("file:///tmp/x", "a/x"), false,
         me + "root:/a/x:/content?@name.conflictBehavior=fail", "PUT", std::nullopt, json()},
        {"download", FileOperationType::copy("a/x", "file:///tmp/x"), false, me + "root:/a/x:/content", "GET",
         std::nullopt, json()},
        {"copy", FileOperationType::copy("a/x", "b/c/y/"), false, me + "root:/a/x:/copy", "POST",
         "application/json;charset=utf-8", {{"parentReference", {{"path", "/drive/root:/b/c"}}}, {"name", "y"}}},
        {"copy over", FileOperationType::copy("a/x", "/y"), true,
         me + "root:/a/x:/copy?@microsoft.graph.conflictBehavior=replace", "POST", "application/json;charset=utf-8",
         {{"parentReference", {{"path", "/drive/root:"}}}, {"name", "y"}}},
        {"move by id", FileOperationType::move("a/x", "id:0123/new"), false, me + "root:/a/x", "PATCH",
         "application/json;charset=utf-8", {{"parentReference", {{"id", "0123"}}}, {"name", "new"}}},
        {"move over", FileOperationType::move("/a/x", "/b/x"), true,
         me + "root:/a/x?@microsoft.graph.conflictBehavior=replace", "PATCH", "application/json;charset=utf-8",
         {{"parentReference", {{"path", "/drive/root:/b"}}}, {"name", "x"}}},
        {"modify", FileOperationType::modify("a.txt"), false, me + "root:/a.txt:/content?@name.conflictBehavior=fail",
         "PUT", std::nullopt, json()},
        {"modify over", FileOperationType::modify("a.txt"), true, me + "root:/a.txt:/content", "PUT", std::nullopt,
         json()},
        {"remove", FileOperationType::remove("a/x"), false, me + "root:/a/x", "DELETE", std::nullopt, json()},
        {"fetch", FileOperationType::fetch("id:0123"), false, me + "items/0123/content", "GET", std::nullopt, json()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const URLRequest r = p->request(c.operation, c.overwrite, {});
        ASSERT_TRUE(r.url);
        EXPECT_EQ(r.url->absoluteString(), c.url);
        EXPECT_EQ(r.httpMethod, c.method);
        EXPECT_EQ(r.value("Content-Type"), c.contentType);
        EXPECT_EQ(r.value("Authorization"), "Bearer tok-1");
        EXPECT_EQ(r.timeoutInterval, 60);
        EXPECT_EQ(r.cachePolicy, URLRequest::CachePolicy::useProtocolCachePolicy);
        EXPECT_EQ(bodyOf(r), c.body);
        // Only GET asks for plain or deflated bodies.
        EXPECT_EQ(r.value("Accept-Encoding"), c.method == "GET" ? std::optional<std::string>("deflate,identity") : std::nullopt);
    }
    // A drive route names its drive in references.
    const auto onDrive = provider(driveRoute())->request(FileOperationType::copy("a/x", "b/y"), false, {});
    EXPECT_EQ(bodyOf(onDrive)["parentReference"], (json{{"path", "/drive/root:/b"}, {"driveId", driveID}}));
    // No token, no header.
    EXPECT_FALSE(provider(Route::me(), std::nullopt)->request(FileOperationType::remove("a"), false, {}).value("Authorization"));
}

TEST(OneDriveProvider, OperationsWithoutARequestFailThroughTheCompletion) {
    auto p = provider();
    for (const auto& operation : {FileOperationType::create("no-slash"), FileOperationType::link("/l", "/t")}) {
        SCOPED_TRACE(operation.description());
        EXPECT_THROW(p->request(operation, false, {}), platform::Exception);
        std::promise<platform::ErrorRef> done;
        EXPECT_TRUE(p->doOperation(operation, false, nullptr, [&](platform::ErrorRef e) { done.set_value(e); }));
        auto future = done.get_future();
        ASSERT_EQ(future.wait_for(ostrane_test::hangLimit), std::future_status::ready);
        const auto error = future.get();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->localizedDescription(), "Unimplemented operation " + operation.description());
    }
}

TEST(OneDriveProvider, SearchTermsAndRequests) {
    struct Case {
        const char* format;
        std::vector<platform::Value> arguments;
        std::optional<std::string> term;
    };
    const std::vector<Case> cases = {
        {"name BEGINSWITH[c] %@", {"abc"}, "abc"},
        {"TRUEPREDICATE", {}, std::nullopt},
        {"NOT (name == %@) AND name CONTAINS %@", {"x", "y"}, "y"},
        {"name == 5 OR path BEGINSWITH %@", {"/p"}, "/p"},
        {"NOT name == %@", {"only"}, "only"},
        {"size > 5", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(OneDriveFileProvider::searchTerm(platform::Predicate::format(c.format, c.arguments)), c.term);
    }
    auto p = provider();
    EXPECT_EQ(p->searchRequest(std::string("abc"), false).url->absoluteString(), base + "me/drive/root/search?q=abc");
    EXPECT_EQ(p->searchRequest(std::nullopt, true).url->absoluteString(), base + "me/drive/root/search?q=*&expand=children");
    const auto odd = p->searchRequest(std::string("a&b=c d"), false);
    EXPECT_EQ(odd.url->absoluteString(), base + "me/drive/root/search?q=a%26b%3Dc%20d");
    EXPECT_EQ(odd.value("Authorization"), "Bearer tok-1");
}

TEST(OneDriveProvider, ThumbnailSizesAndKinds) {
    struct Case {
        std::optional<platform::Size> dimension;
        std::string size;
    };
    const std::vector<Case> cases = {
        {platform::Size{64, 48}, "small"},  {platform::Size{120, 300}, "large"}, {platform::Size{150, 100}, "medium"},
        {platform::Size{96.5, 10}, "large"}, {platform::Size{96, 96}, "small"},   {platform::Size{97, 1}, "medium"},
        {platform::Size{176, 0}, "medium"}, {platform::Size{-5, -1}, "large"},   {std::nullopt, "small"},
    };
    auto p = provider();
    for (const auto& c : cases) {
        EXPECT_EQ(OneDriveFileProvider::thumbnailSizeName(c.dimension), c.size);
        EXPECT_EQ(p->thumbnailURL("/p/a.jpg", c.dimension).absoluteString(),
                  base + "me/drive/root:/p/a.jpg:/thumbnails/0/" + c.size + "/content");
    }
    for (const char* yes : {"/a.JPG", "b.pdf", "/x/y.Mp4", "c.pptx"}) EXPECT_TRUE(p->thumbnailOfFileSupported(yes)) << yes;
    for (const char* no : {"/a.txt", "/noextension", ".jpg", "a."}) EXPECT_FALSE(p->thumbnailOfFileSupported(no)) << no;
    EXPECT_TRUE(p->propertiesOfFileSupported("/anything"));
}

TEST(OneDriveProvider, MediaProperties) {
    EXPECT_EQ(OneDriveFileProvider::mediaPropertyLabel("albumArtist"), "Album Artist");
    EXPECT_EQ(OneDriveFileProvider::mediaPropertyLabel("duration"), "Duration");
    EXPECT_EQ(OneDriveFileProvider::mediaPropertyLabel("Track"), " Track");
    EXPECT_EQ(OneDriveFileProvider::mediaPropertyLabel("hasDRM"), "Has D R M");

    const json photo = json::parse(R"({
        "image": {"width": 4000, "height": 3000},
        "video": {"width": 1, "height": 1, "bitrate": 5000, "duration": 61000},
        "location": {"latitude": 47.606209, "longitude": -122.3320708},
        "takenDateTime": "2021-06-01T12:00:00Z",
        "photo": {"cameraMake": "", "cameraModel": "X100", "focalLength": 23.0, "fNumber": 2,
                  "exposureNumerator": 1, "exposureDenominator": 250.9, "iso": 200}})");
    auto [properties, keys] = OneDriveFileProvider::mapMediaInfo(photo);
    EXPECT_EQ(keys, (std::vector<std::string>{"Dimensions", "Location", "Date taken", "Device model", "focalLength",
                                              "fNumber", "Exposure time", "ISO speed", "Bitrate"}));
    EXPECT_EQ(properties["Dimensions"], platform::Value("4000x3000"));
    EXPECT_EQ(properties["Location"], platform::Value("47.60621, -122.33207"));
    EXPECT_EQ(properties["Device model"], platform::Value("X100"));
    EXPECT_EQ(properties["focalLength"], platform::Value(23.0));
    EXPECT_EQ(properties["fNumber"], platform::Value(2.0));
    EXPECT_EQ(properties["Exposure time"], platform::Value("1/250"));
    EXPECT_EQ(properties["ISO speed"], platform::Value(int64_t{200}));
    EXPECT_EQ(properties["Bitrate"], platform::Value(int64_t{5000}));
    ASSERT_TRUE(properties["Date taken"].asString());
    EXPECT_EQ(properties["Date taken"].asString()->size(), 19u);

    // The video facet is read only without an image facet; audio durations are clock text too,
    // and a label can come twice with the later value kept.
    const json clip = json::parse(R"({
        "image": {"height": 3}, "video": {"width": 640, "height": 480, "duration": 61000},
        "audio": {"duration": 3723000, "bitrate": 320, "isVariableBitrate": true, "albumArtist": "A", "year": 2001}})");
    auto [clipProperties, clipKeys] = OneDriveFileProvider::mapMediaInfo(clip);
    EXPECT_EQ(clipKeys, (std::vector<std::string>{"Album Artist", "Duration", "Year"}));
    const json video = json::parse(R"({"video": {"width": 640, "height": 480, "duration": 61000},
                                       "audio": {"duration": 61000}})");
    auto [videoProperties, videoKeys] = OneDriveFileProvider::mapMediaInfo(video);
    EXPECT_EQ(videoKeys, (std::vector<std::string>{"Dimensions", "Duration", "Duration"}));
    EXPECT_EQ(videoProperties["Duration"], platform::Value("1:01"));
    EXPECT_EQ(clipProperties["Duration"], platform::Value("1:02:03"));
    EXPECT_EQ(clipProperties["Year"], platform::Value(int64_t{2001}));

    // Members of other types, and exposures that are no finite integers, add nothing.
    const json odd = json::parse(R"({"image": {"width": -1, "height": 2}, "location": {"latitude": "47"},
        "takenDateTime": "yesterday", "photo": {"iso": 1.5, "exposureNumerator": 1e300, "exposureDenominator": 1e300}})");
    EXPECT_TRUE(OneDriveFileProvider::mapMediaInfo(odd).second.empty());
    EXPECT_TRUE(OneDriveFileProvider::mapMediaInfo(json::parse(R"({"name":"a"})")).second.empty());
}

TEST(OneDriveProvider, UploadDataSources) {
    const platform::Data data = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(text(OneDriveFileProvider::sliceData(data, 1, 3)), "bc");
    EXPECT_EQ(text(OneDriveFileProvider::sliceData(data, -4, 2)), "ab");
    EXPECT_EQ(text(OneDriveFileProvider::sliceData(data, 3, 99)), "de");
    EXPECT_EQ(text(OneDriveFileProvider::sliceData(data, 4, 2)), "");

    const auto file = std::filesystem::temp_directory_path() / ("onedrive-range-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << "0123456789";
    const URL url = URL::fileURLWithPath(file.string());
    EXPECT_EQ(text(OneDriveFileProvider::readLocalFileRange(url, 2, 5, "/t")), "234");
    EXPECT_EQ(text(OneDriveFileProvider::readLocalFileRange(url, 8, 20, "/t")), "89");
    std::filesystem::remove(file);
    try {
        OneDriveFileProvider::readLocalFileRange(url, 0, 1, "/target");
        FAIL() << "read a missing file";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.error()->code(), platform::CocoaError::fileNoSuchFile);
        EXPECT_EQ(e.error()->filePath(), "/target");
    }
}
