// test-labels: unit
// The Dropbox provider's requests, paths, errors, entries and media properties, without a server.
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "platform/data/KeyedArchive.hpp"
#include "platform/net/URLResponse.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>
#include <string>
#include <vector>

using namespace RiridOzizevud;
using nlohmann::json;
using platform::URL;
using platform::URLCredential;
using platform::URLRequest;

namespace {

const std::string api = "http://api.test:8080/2/";
const std::string content = "http://content.test:8081/2/";

std::shared_ptr<DropboxFileProvider> provider(std::optional<URLCredential> credential = URLCredential("", "tok-1")) {
    auto p = DropboxFileProvider::make(std::move(credential), nullptr, *URL::parse(api), *URL::parse(content));
    EXPECT_NE(p, nullptr);
    return p;
}

json bodyOf(const URLRequest& r) {
    if (!r.httpBody) return json();
    return json::parse(std::string(r.httpBody->begin(), r.httpBody->end()));
}

json argOf(const URLRequest& r) {
    const auto arg = r.value("Dropbox-API-Arg");
    return arg ? json::parse(*arg) : json();
}

} // namespace

TEST(DropboxProvider, MadeForTheDropboxEndpointsOrForHTTPStandIns) {
    auto real = DropboxFileProvider::make(URLCredential("", "t"));
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real->apiURL().absoluteString(), "https://api.dropboxapi.com/2/");
    EXPECT_EQ(real->contentURL().absoluteString(), "https://content.dropboxapi.com/2/");
    EXPECT_EQ(real->type(), "Dropbox");
    EXPECT_FALSE(real->baseURL());
    EXPECT_EQ(real->maxUploadSimpleSupported(), 150 * 1024 * 1024);

    auto p = DropboxFileProvider::make(std::nullopt, nullptr, *URL::parse("http://127.0.0.1:9/x/2"),
                                       *URL::parse("https://c.test/2/"));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->apiURL().absoluteString(), "http://127.0.0.1:9/x/2/");
    for (const char* bad : {"ftp://h/2/", "file:///tmp/2/", "/2/"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(DropboxFileProvider::make(std::nullopt, nullptr, *URL::parse(bad), *URL::parse(content)), nullptr);
        EXPECT_EQ(DropboxFileProvider::make(std::nullopt, nullptr, *URL::parse(api), *URL::parse(bad)), nullptr);
    }
}

TEST(DropboxProvider, NormalizedPaths) {
    const std::vector<std::pair<std::string, std::string>> table = {
        {"/", ""},           {"", ""},
        {"a/b/", "/a/b"},    {"/a/b", "/a/b"},
        {"/a/b/", "/a/b"},   {"id:a4ayc_80_OEAAAAAAAAAXw", "id:a4ayc_80_OEAAAAAAAAAXw"},
        {"rev:a1c10ce0dd78", "rev:a1c10ce0dd78"}, {"ID:x", "/ID:x"},
    };
    for (const auto& [in, out] : table) EXPECT_EQ(DropboxFileProvider::normalizedPath(in), out) << in;
    EXPECT_EQ(DropboxFileProvider::normalizedPath(std::nullopt), std::nullopt);
}

TEST(DropboxProvider, RequestOfEachOperation) {
    auto p = provider();
    struct Case {
        const char* name;
        FileOperationType operation;
        bool overwrite;
        std::string url;
        std::string method;
        std::optional<std::string> contentType;
        json body;  // the JSON body, or the "Dropbox-API-Arg" of content calls
    };
    const std::vector<Case> cases = {
        {"create", FileOperationType::create("/New folder/"), false, api + "files/create_folder_v2", "POST",
         "application/json", {{"path", "/New folder"}}},
        {"create root", FileOperationType::create("/"), false, api + "files/create_folder_v2", "POST",
         "application/json", {{"path", ""}}},
        {"copy", FileOperationType::copy("a.txt", "/b/"), true, api + "files/copy_v2", "POST", "application/json",
         {{"allow_shared_folder", true}, {"from_path", "/a.txt"}, {"to_path", "/b"}}},
        {"move", FileOperationType::move("/a.txt", "/sub/a.txt"), false, api + "files/move_v2", "POST",
         "application/json", {{"allow_shared_folder", true}, {"from_path", "/a.txt"}, {"to_path", "/sub/a.txt"}}},
        {"remove", FileOperationType::remove("/old/"), false, api + "files/delete_v2", "POST", "application/json",
         {{"path", "/old"}}},
        {"fetch", FileOperationType::fetch("/Movies/a.mkv"), false, content + "files/download", "GET", std::nullopt,
         {{"path", "/Movies/a.mkv"}}},
        {"download", FileOperationType::copy("/a.mkv", "FILE:///tmp/a.mkv"), false, content + "files/download", "GET",
         std::nullopt, {{"path", "/a.mkv"}}},
        {"upload", FileOperationType::copy("file:///tmp/a%20b.txt", "up/a b.txt"), false, content + "files/upload",
         "POST", "application/octet-stream", {{"path", "/up/a b.txt"}, {"mode", "add"}}},
        {"upload over", FileOperationType::copy("File:///tmp/a.txt", "/a.txt"), true, content + "files/upload", "POST",
         "application/octet-stream", {{"path", "/a.txt"}, {"mode", "overwrite"}}},
        {"modify", FileOperationType::modify("/a.txt"), false, content + "files/upload", "POST",
         "application/octet-stream", {{"path", "/a.txt"}, {"mode", "add"}}},
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
        const bool contentCall = c.url.rfind(content, 0) == 0;
        EXPECT_EQ(contentCall ? argOf(r) : bodyOf(r), c.body);
        if (contentCall) EXPECT_FALSE(r.httpBody);
        else EXPECT_FALSE(r.value("Dropbox-API-Arg"));
    }
}

TEST(DropboxProvider, NoTokenNoAuthorizationHeader) {
    for (const auto& credential : {std::optional<URLCredential>(), std::optional<URLCredential>(URLCredential("u", ""))}) {
        auto p = provider(credential);
        const auto r = p->request(FileOperationType::remove("/a"), false, {});
        if (credential) EXPECT_EQ(r.value("Authorization"), "Bearer ");
        else EXPECT_FALSE(r.value("Authorization"));
    }
    // A later token reaches later requests.
    auto p = provider(std::nullopt);
    p->setCredential(URLCredential("", "tok-2"));
    EXPECT_EQ(p->request(FileOperationType::fetch("/a"), false, {}).value("Authorization"), "Bearer tok-2");
}

TEST(DropboxProvider, APIArgIsASCIIJSONThatReadsBackAsThePath) {
    auto p = provider();
    const std::vector<std::string> paths = {
        "/Fïlm ☃ 日本/clip 🎬.mkv",        // above U+FFFF: a surrogate pair
        "/quote \" back\\slash/a?b#c%41", // JSON escapes of its own
        "/odd\\/name",                    // a backslash before a slash stays a backslash
        "/tab\tnewline\n.txt",
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        const auto r = p->request(FileOperationType::fetch(path), false, {});
        const auto arg = r.value("Dropbox-API-Arg");
        ASSERT_TRUE(arg);
        for (unsigned char c : *arg) EXPECT_TRUE(c >= 0x20 && c < 0x80) << int(c);
        EXPECT_EQ(json::parse(*arg).at("path"), path);
        if (path.find('\\') == std::string::npos) {
            EXPECT_EQ(arg->find("\\/"), std::string::npos);
        }
    }
    const auto film = p->request(FileOperationType::fetch(paths[0]), false, {}).value("Dropbox-API-Arg");
    EXPECT_NE(film->find("F\\u00eflm"), std::string::npos);
    EXPECT_NE(film->find("\\ud83c\\udfac"), std::string::npos);

    // A path that is not UTF-8 cannot be written: the header stays out and the server refuses.
    const auto broken = p->request(FileOperationType::fetch("/a\xff.txt"), false, {});
    EXPECT_FALSE(broken.value("Dropbox-API-Arg"));
    const auto removal = p->request(FileOperationType::remove("/a\xff.txt"), false, {});
    EXPECT_FALSE(removal.httpBody);
}

TEST(DropboxProvider, LinkFailsThroughItsCompletion) {
    auto p = provider();
    EXPECT_THROW(p->apiRequest(FileOperationType::link("/l", "/t"), false), platform::Exception);
    std::promise<platform::ErrorRef> done;
    auto progress = p->doOperation(FileOperationType::link("/l", "/t"), false, nullptr,
                                   [&](platform::ErrorRef e) { done.set_value(e); });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(ostrane_test::hangLimit), std::future_status::ready);
    const auto error = future.get();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->localizedDescription(), "Unimplemented operation Link");
}

TEST(DropboxProvider, ServerErrorDescriptions) {
    auto p = provider();
    struct Case {
        const char* name;
        std::optional<std::string> body;
        std::optional<std::string> description;
    };
    const std::vector<Case> cases = {
        {"no body", std::nullopt, std::nullopt},
        {"user message first", R"({"user_message":"Try later","error":{"tag":"busy"}})", "Try later"},
        {"error tag", R"({"error_summary":"x","error":{"tag":"path_not_found"}})", "path_not_found"},
        {"error .tag is not read", R"({"error":{".tag":"path"}})", std::nullopt},
        {"error as text", R"({"error":"plain"})", std::nullopt},
        {"not json", "Error in call to API function", "Error in call to API function"},
        {"json array", R"(["a"])", R"(["a"])"},
        {"not utf-8", std::string("\xff\xfe"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<platform::Data> data;
        if (c.body) data = platform::Data(c.body->begin(), c.body->end());
        const auto error = p->serverError(FileProviderHTTPErrorCode::conflict, std::string("/a"), data);
        const auto* dropbox = dynamic_cast<const FileProviderDropboxError*>(error.get());
        ASSERT_NE(dropbox, nullptr);
        EXPECT_EQ(dropbox->serverDescription(), c.description);
        EXPECT_EQ(dropbox->path(), "/a");
        EXPECT_EQ(dropbox->statusCode(), 409);
        EXPECT_EQ(dropbox->description(), "Status 409: Conflict");
    }
    // A status without a case keeps its number; no path is "".
    const auto error = p->serverError(501, std::nullopt, std::nullopt);
    EXPECT_EQ(error->statusCode(), 501);
    EXPECT_EQ(error->path(), "");
    EXPECT_EQ(error->description(), "Status 501: Not Implemented");
}

TEST(DropboxFileObject, MadeFromMetadata) {
    const json file = {{".tag", "file"},
                       {"name", "clip.mkv"},
                       {"path_display", "/Movies/clip.mkv"},
                       {"id", "id:abc"},
                       {"rev", "015f"},
                       {"size", 7340032},
                       {"client_modified", "2020-03-01T10:00:00Z"},
                       {"server_modified", "2020-03-02T11:30:00Z"}};
    auto entry = DropboxFileObject::make(file);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name(), "clip.mkv");
    EXPECT_EQ(entry->path(), "/Movies/clip.mkv");
    EXPECT_EQ(entry->size(), 7340032);
    EXPECT_TRUE(entry->isRegularFile());
    EXPECT_FALSE(entry->isReadOnly());
    EXPECT_EQ(entry->id(), "id:abc");
    EXPECT_EQ(entry->rev(), "015f");
    ASSERT_TRUE(entry->modifiedDate());
    EXPECT_EQ(entry->modifiedDate()->timeIntervalSince1970(), 1583056800);
    ASSERT_TRUE(entry->serverTime());
    EXPECT_EQ(entry->serverTime()->timeIntervalSince1970(), 1583148600);
    EXPECT_EQ(entry->url().absoluteString(), "Movies/clip.mkv");

    // A search match wraps its entry; a folder has no size.
    auto folder = DropboxFileObject::make(
        {{"match_type", {{".tag", "filename"}}},
         {"metadata", {{".tag", "folder"}, {"name", "Shared"}, {"path_display", "/Shared"},
                       {"sharing_info", {{"read_only", true}}}, {"server_modified", "yesterday"}}}});
    ASSERT_NE(folder, nullptr);
    EXPECT_TRUE(folder->isDirectory());
    EXPECT_EQ(folder->size(), -1);
    EXPECT_TRUE(folder->isReadOnly());
    EXPECT_FALSE(folder->serverTime());
    EXPECT_FALSE(folder->id());

    const std::vector<json> refused = {
        {{"name", "a"}},                                                    // no path_display
        {{"name", "a"}, {"path_display", 5}},                               // not a string
        {{"metadata", {{"name", "a"}}}},                                    // the inner one lacks it too
        {{"metadata", "text"}},                                             // metadata is no object
        {{"error_summary", "path/not_found/"}, {"error", {{".tag", "path"}}}}, // an error body
        json::array(),
    };
    for (const auto& j : refused) EXPECT_EQ(DropboxFileObject::make(j), nullptr) << j.dump();
}

TEST(DropboxProvider, ThumbnailKindsAndSizes) {
    auto p = provider();
    const std::vector<std::pair<std::optional<double>, std::string>> sizes = {
        {std::nullopt, "w64h64"}, {0, "w32h32"},    {32, "w32h32"},      {32.5, "w1024h768"}, {33, "w64h64"},
        {64, "w64h64"},           {64.5, "w1024h768"}, {128, "w128h128"}, {480, "w640h480"},   {481, "w1024h768"},
        {-1, "w1024h768"},
    };
    for (const auto& [height, name] : sizes) {
        std::optional<platform::Size> dimension;
        if (height) dimension = platform::Size{999, *height};
        EXPECT_EQ(DropboxFileProvider::thumbnailSize(dimension), name) << (height ? *height : -99);
    }

    const auto image = p->thumbnailRequest("Pictures/A.JPG", platform::Size{100, 100});
    ASSERT_TRUE(image);
    EXPECT_EQ(image->url->absoluteString(), content + "files/get_thumbnail");
    EXPECT_EQ(image->httpMethod, "GET");
    EXPECT_EQ(argOf(*image), (json{{"path", "/Pictures/A.JPG"}, {"format", "jpeg"}, {"size", "w128h128"}}));
    EXPECT_EQ(image->value("Authorization"), "Bearer tok-1");

    const auto preview = p->thumbnailRequest("/Docs/report.docx", std::nullopt);
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->url->absoluteString(), content + "files/get_preview");
    EXPECT_EQ(argOf(*preview), (json{{"path", "/Docs/report.docx"}}));

    EXPECT_FALSE(p->thumbnailRequest("/notes.TXT", std::nullopt));
    EXPECT_FALSE(p->thumbnailRequest("/jpg", std::nullopt));
    EXPECT_TRUE(p->thumbnailOfFileSupported("/a.Tiff"));
    EXPECT_TRUE(p->thumbnailOfFileSupported("/a.pptm"));
    EXPECT_FALSE(p->thumbnailOfFileSupported("/a.mp4"));
    EXPECT_TRUE(p->propertiesOfFileSupported("/a.MOV"));
    EXPECT_TRUE(p->propertiesOfFileSupported("/a.gif"));
    EXPECT_FALSE(p->propertiesOfFileSupported("/a.docx"));
    EXPECT_FALSE(p->propertiesOfFileSupported("/folder.mp4/file"));
}

TEST(DropboxProvider, MediaProperties) {
    struct Case {
        const char* name;
        json metadata;
        std::vector<std::pair<std::string, std::string>> expected;
    };
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::vector<Case> cases = {
        {"photo",
         {{".tag", "photo"},
          {"dimensions", {{"height", 3024}, {"width", 4032}}},
          {"location", {{"latitude", 51.5073509}, {"longitude", -0.12775}}},
          {"time_taken", "2019-05-04T12:01:02Z"}},
         {{"Dimensions", "4032x3024"}, {"Location", "51.50735, -0.12775"}, {"Date taken", "2019-05-04 12:01:02"}}},
        {"video of 95.4 s", {{".tag", "video"}, {"duration", 95400}}, {{"Duration", "1:35"}}},
        {"long video", {{"duration", 3723000}}, {{"Duration", "1:02:03"}}},
        {"dimensions only", {{"dimensions", {{"height", 1}, {"width", 2}}}}, {{"Dimensions", "2x1"}}},
        {"no longitude", {{"location", {{"latitude", 1.5}}}}, {}},
        {"whole-number location", {{"location", {{"latitude", 0}, {"longitude", 10}}}}, {{"Location", "0, 10"}}},
        // A coordinate too large to write out: no label rather than half a location.
        {"unwritable latitude", {{"location", {{"latitude", 1e300}, {"longitude", -0.12775}}}}, {}},
        {"unwritable longitude", {{"location", {{"latitude", 1.5}, {"longitude", -1e300}}}}, {}},
        {"negative width", {{"dimensions", {{"height", 1}, {"width", -2}}}}, {}},
        {"unreadable date", {{"time_taken", "soon"}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [properties, keys] = DropboxFileProvider::mediaProperties(c.metadata);
        ASSERT_EQ(keys.size(), c.expected.size());
        for (size_t i = 0; i < keys.size(); ++i) {
            EXPECT_EQ(keys[i], c.expected[i].first);
            const auto* value = platform::find(properties, keys[i]);
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(value->stringValue(), c.expected[i].second);
        }
        EXPECT_EQ(properties.size(), keys.size());
    }
}

TEST(DropboxProvider, ArchivedAndCopied) {
    platform::KeyedArchiver archive;
    archive.encode(platform::Value(*URL::parse("https://elsewhere.test/base/")), "baseURL");
    platform::KeyedArchiver credential;
    credential.encode("anna", "user");
    credential.encode("tok-9", "password");
    credential.encode(int64_t{1}, "persistence");
    archive.encode(credential, "credential");
    archive.encode(true, "useCache");
    archive.encode(false, "validatingCache");

    auto decoded = DropboxFileProvider::make(platform::KeyedUnarchiver(archive.json()));
    ASSERT_NE(decoded, nullptr);
    EXPECT_FALSE(decoded->baseURL());
    EXPECT_EQ(decoded->credential()->password(), "tok-9");
    EXPECT_TRUE(decoded->useCache());
    EXPECT_FALSE(decoded->validatingCache());
    EXPECT_EQ(decoded->apiURL().absoluteString(), DropboxFileProvider::defaultAPIURL);

    // What it writes reads back the same.
    platform::KeyedArchiver again;
    decoded->encode(again);
    auto back = DropboxFileProvider::make(platform::KeyedUnarchiver(again.json()));
    EXPECT_EQ(back->credential(), decoded->credential());
    EXPECT_TRUE(back->useCache());

    auto p = provider();
    p->setUseCache(true);
    auto copy = p->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, p);
    EXPECT_EQ(copy->apiURL(), p->apiURL());
    EXPECT_EQ(copy->contentURL(), p->contentURL());
    EXPECT_EQ(copy->credential(), p->credential());
    EXPECT_TRUE(copy->useCache());
    EXPECT_NE(copy->operation_queue(), p->operation_queue());
}
