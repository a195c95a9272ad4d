// test-labels: unit
#include "fileprovider/webdav/DavResponse.hpp"
#include "fileprovider/webdav/WebDAVPropfind.hpp"
#include "fileprovider/webdav/WebDavFileObject.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace RiridOzizevud;
using platform::URL;
using platform::URLResourceKey;

namespace {

URL base(const std::string& text = "http://dav.example:8080/dav/") { return *URL::parse(text); }

std::string text(const platform::Data& data) { return std::string(data.begin(), data.end()); }

std::string response(const std::string& prefix, const std::string& href, const std::string& props,
                     const std::string& status = "HTTP/1.1 200 OK") {
    return "<" + prefix + "response><" + prefix + "href>" + href + "</" + prefix + "href><" + prefix + "propstat><" +
           prefix + "prop>" + props + "</" + prefix + "prop><" + prefix + "status>" + status + "</" + prefix +
           "status></" + prefix + "propstat></" + prefix + "response>";
}

std::string multistatus(const std::string& prefix, const std::string& ns, const std::string& responses) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><" + prefix + "multistatus " + ns + ">" + responses + "</" +
           prefix + "multistatus>";
}

} // namespace

// Servers read the first prop element only, so every property goes into one.
TEST(PropfindBody, KnownKeysInOnePropThenResourceType) {
    EXPECT_EQ(text(propfindBody({URLResourceKey::fileSizeKey, URLResourceKey::creationDateKey})),
              "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
              "<D:propfind xmlns:D=\"DAV:\">\n"
              "<D:prop><D:getcontentlength/><D:creationdate/><D:resourcetype/></D:prop>\n"
              "</D:propfind>");
}

TEST(PropfindBody, NoKnownKeyAsksForEverything) {
    const std::string all = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<D:propfind xmlns:D=\"DAV:\">\n"
                            "<D:allprop/>\n</D:propfind>";
    EXPECT_EQ(text(propfindBody({})), all);
    EXPECT_EQ(text(propfindBody({URLResourceKey::nameKey, "no such key"})), all);
    EXPECT_EQ(text(propfindBody({})).size(), 68u + 12u + 14u);
}

TEST(PropfindBody, PropertyTable) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> table = {
        {URLResourceKey::fileSizeKey, "getcontentlength"},
        {URLResourceKey::creationDateKey, "creationdate"},
        {URLResourceKey::contentModificationDateKey, "getlastmodified"},
        {URLResourceKey::fileResourceTypeKey, "getcontenttype"},
        {mimeTypeKey, "getcontenttype"},
        {URLResourceKey::isHiddenKey, "ishidden"},
        {entryTagKey, "getetag"},
        {URLResourceKey::volumeTotalCapacityKey, "quota-used-bytes"},
        {URLResourceKey::volumeAvailableCapacityKey, "quota-available-bytes"},
        {URLResourceKey::nameKey, std::nullopt},
        {URLResourceKey::pathKey, std::nullopt},
    };
    for (const auto& [key, property] : table)
        EXPECT_EQ(davPropertyName(key), property) << key;
    EXPECT_EQ(propfindProperties({URLResourceKey::nameKey, URLResourceKey::isHiddenKey}),
              "<D:prop><D:ishidden/><D:resourcetype/></D:prop>");
}

TEST(StatusLine, ReadsTheSecondToken) {
    const std::vector<std::pair<std::string, std::optional<int>>> table = {
        {"HTTP/1.1 200 OK", 200},
        {"HTTP/1.1 404 Not Found", 404},
        {"HTTP/1.1 200", 200},
        {"  HTTP/1.1   423   Locked ", 423},
        {"HTTP/1.1", std::nullopt},
        {"", std::nullopt},
        {"HTTP/1.1 OK 200", std::nullopt},
        {"HTTP/1.1 99999999999999999999 Big", std::nullopt},
        {"HTTP/1.1 -20 Minus", std::nullopt},
    };
    for (const auto& [line, status] : table)
        EXPECT_EQ(davStatusCode(line), status) << line;
}

// The same listing written by different servers reads the same.
TEST(Multistatus, PrefixesAndHrefSpellingsReadAlike) {
    struct Case {
        const char* name;
        std::string prefix;
        std::string ns;
        std::string fileHref;
    };
    const std::vector<Case> cases = {
        {"D: and escaped space", "D:", "xmlns:D=\"DAV:\"", "/dav/Music/My%20Song.mp3"},
        {"d: and full URL", "d:", "xmlns:d=\"DAV:\"", "http://dav.example:8080/dav/Music/My%20Song.mp3"},
        {"no prefix and raw space", "", "xmlns=\"DAV:\"", "/dav/Music/My Song.mp3"},
        {"www. host", "D:", "xmlns:D=\"DAV:\"", "http://www.dav.example:8080/dav/Music/My%20Song.mp3"},
        {"other host behind a proxy", "D:", "xmlns:D=\"DAV:\"", "https://internal:443/dav/Music/My%20Song.mp3"},
        {"lower-case escape", "D:", "xmlns:D=\"DAV:\"", "/dav/Music/My%20Song.mp3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = c.prefix;
        const std::string fileProps = "<" + p + "getcontentlength>12</" + p + "getcontentlength>";
        const auto body = multistatus(p, c.ns,
                                      response(p, "/dav/Music/", "<" + p + "resourcetype><" + p + "collection/></" + p +
                                                                     "resourcetype>") +
                                          response(p, c.fileHref, fileProps));
        const auto responses = DavResponse::parse(body, base());
        ASSERT_EQ(responses.size(), 2u);
        EXPECT_EQ(responses[0].path, "/Music");
        EXPECT_EQ(responses[0].prop.at("getcontenttype"), "httpd/unix-directory");
        EXPECT_EQ(responses[1].path, "/Music/My Song.mp3");
        EXPECT_EQ(responses[1].status, 200);
        EXPECT_EQ(responses[1].prop.at("getcontentlength"), "12");
        EXPECT_EQ(responses[1].hrefString, c.fileHref);
        EXPECT_EQ(responses[1].href.absoluteString(), "http://dav.example:8080/dav/Music/My%20Song.mp3");
        const WebDavFileObject entry(responses[1]);
        EXPECT_EQ(entry.name(), "My Song.mp3");
        EXPECT_EQ(entry.path(), "/Music/My Song.mp3");
        EXPECT_EQ(entry.size(), 12);
        EXPECT_TRUE(entry.isRegularFile());
    }
}

TEST(Multistatus, ApacheLiveProperties) {
    const std::string body = R"(<?xml version="1.0" encoding="utf-8"?>
<D:multistatus xmlns:D="DAV:" xmlns:ns0="DAV:">
<D:response xmlns:lp1="DAV:" xmlns:lp2="http://apache.org/dav/props/">
<D:href>/dav/Caf%c3%a9%20%23%3f%25/</D:href>
<D:propstat>
<D:prop>
<lp1:resourcetype><D:collection/></lp1:resourcetype>
<lp1:creationdate>2024-03-01T10:20:30Z</lp1:creationdate>
<lp1:getlastmodified>Fri, 01 Mar 2024 10:20:30 GMT</lp1:getlastmodified>
<lp1:getetag>"1000-5f2"</lp1:getetag>
<D:getcontenttype>httpd/unix-directory</D:getcontenttype>
</D:prop>
<D:status>HTTP/1.1 200 OK</D:status>
</D:propstat>
</D:response>
<D:response xmlns:lp1="DAV:" xmlns:lp2="http://apache.org/dav/props/">
<D:href>/dav/Caf%c3%a9%20%23%3f%25/a%27b%22.txt</D:href>
<D:propstat>
<D:prop>
<lp1:resourcetype/>
<lp1:getcontentlength>1234567890123</lp1:getcontentlength>
<lp1:getetag>"6-5f3"</lp1:getetag>
<lp2:executable>F</lp2:executable>
<D:getcontenttype>text/plain</D:getcontenttype>
</D:prop>
<D:status>HTTP/1.1 200 OK</D:status>
</D:propstat>
</D:response>
</D:multistatus>)";
    const auto responses = DavResponse::parse(body, base());
    ASSERT_EQ(responses.size(), 2u);
    const WebDavFileObject folder(responses[0]);
    EXPECT_EQ(folder.path(), "/Café #?%");
    EXPECT_EQ(folder.name(), "Café #?%");
    EXPECT_TRUE(folder.isDirectory());
    EXPECT_EQ(folder.size(), -1);
    EXPECT_EQ(folder.entryTag(), "\"1000-5f2\"");
    ASSERT_TRUE(folder.creationDate());
    ASSERT_TRUE(folder.modifiedDate());
    EXPECT_EQ(*folder.creationDate(), *folder.modifiedDate());

    const WebDavFileObject file(responses[1]);
    EXPECT_EQ(file.path(), "/Café #?%/a'b\".txt");
    EXPECT_EQ(file.name(), "a'b\".txt");
    EXPECT_EQ(file.size(), 1234567890123);
    EXPECT_EQ(file.contentType().rawValue, "text/plain");
    EXPECT_TRUE(file.isRegularFile());
    EXPECT_EQ(file.url().absoluteString(), "http://dav.example:8080/dav/Caf%C3%A9%20%23%3F%25/a'b%22.txt");
}

TEST(Multistatus, NotFoundPropstatFirstStillGivesTheFoundProperties) {
    const std::string body = R"(<D:multistatus xmlns:D="DAV:"><D:response><D:href>/dav/a.txt</D:href>
<D:propstat><D:prop><D:quota-used-bytes/><D:ishidden/></D:prop><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat>
<D:propstat><D:prop><D:getcontentlength>5</D:getcontentlength><D:resourcetype/></D:prop><D:status>HTTP/1.1 200 OK</D:status></D:propstat>
<D:propstat><D:prop><D:displayname>Label</D:displayname></D:prop><D:status>HTTP/1.1 200</D:status></D:propstat>
</D:response></D:multistatus>)";
    const auto responses = DavResponse::parse(body, base());
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].status, 200);
    EXPECT_EQ(responses[0].prop.at("getcontentlength"), "5");
    EXPECT_EQ(responses[0].prop.at("displayname"), "Label");
    EXPECT_FALSE(responses[0].prop.count("ishidden"));
    const WebDavFileObject entry(responses[0]);
    EXPECT_EQ(entry.size(), 5);
    EXPECT_EQ(entry.name(), "Label");
    EXPECT_EQ(entry.resourceName(), "a.txt");
}

TEST(Multistatus, StatusOfResponseAndPropstat) {
    const std::string body = R"(<D:multistatus xmlns:D="DAV:">
<D:response><D:href>/dav/a</D:href><D:status>HTTP/1.1 200 OK</D:status>
<D:propstat><D:prop/><D:status>HTTP/1.1 404 Not Found</D:status></D:propstat></D:response>
<D:response><D:href>/dav/b</D:href><D:status>HTTP/1.1 423 Locked</D:status></D:response>
<D:response><D:href>/dav/c</D:href></D:response>
<D:response><D:status>HTTP/1.1 200 OK</D:status></D:response>
</D:multistatus>)";
    const auto responses = DavResponse::parse(body, base());
    ASSERT_EQ(responses.size(), 3u) << "a response without an href is left out";
    EXPECT_EQ(responses[0].status, 404);
    EXPECT_EQ(responses[1].status, 423);
    EXPECT_EQ(responses[2].status, std::nullopt);
}

TEST(Multistatus, BasePathIsStrippedOnlyAtASegmentBoundary) {
    const std::string body = R"(<D:multistatus xmlns:D="DAV:">
<D:response><D:href>/dav</D:href></D:response>
<D:response><D:href>/dav2/x.txt</D:href></D:response>
<D:response><D:href>/dav/%2E%2E/%2E%2E/etc/passwd</D:href></D:response>
<D:response><D:href>/dav/sub/../y.txt</D:href></D:response>
</D:multistatus>)";
    const auto responses = DavResponse::parse(body, base("http://h/dav/"));
    ASSERT_EQ(responses.size(), 4u);
    EXPECT_EQ(responses[0].path, "/");
    EXPECT_EQ(responses[1].path, "/dav2/x.txt");
    EXPECT_EQ(responses[2].path, "/etc/passwd") << "dot segments never climb above the base";
    EXPECT_EQ(responses[3].path, "/y.txt");
    for (const auto& r : responses)
        EXPECT_EQ(r.href.absoluteString().rfind("http://h/dav/", 0), 0u) << r.href.absoluteString();
}

TEST(Multistatus, EntryDefaultsAndFlags) {
    const std::vector<std::tuple<std::string, std::string, bool, bool, bool, int64_t>> table = {
        // props, name, hidden, read-only, directory, size
        {"<D:resourcetype><D:collection/></D:resourcetype>", "x", false, false, true, -1},
        {"<D:ishidden>1</D:ishidden>", "x", true, false, false, -1},
        {"<D:ishidden>true</D:ishidden><D:isreadonly>true</D:isreadonly>", "x", false, false, false, -1},
        {"<D:isreadonly>1</D:isreadonly><D:getcontentlength>abc</D:getcontentlength>", "x", false, true, false, -1},
        {"<D:getcontentlength></D:getcontentlength><D:displayname>Shown</D:displayname>", "Shown", false, false,
         false, -1},
        {"<D:getcontenttype>httpd/unix-directory</D:getcontenttype>", "x", false, false, true, -1},
    };
    for (const auto& [props, name, hidden, readOnly, directory, size] : table) {
        SCOPED_TRACE(props);
        const auto responses = DavResponse::parse(
            multistatus("D:", "xmlns:D=\"DAV:\"", response("D:", "/dav/x", props)), base());
        ASSERT_EQ(responses.size(), 1u);
        const WebDavFileObject entry(responses[0]);
        EXPECT_EQ(entry.name(), name);
        EXPECT_EQ(entry.isHidden(), hidden);
        EXPECT_EQ(entry.isReadOnly(), readOnly);
        EXPECT_EQ(entry.isDirectory(), directory);
        EXPECT_EQ(entry.size(), size);
        if (!directory) {
            EXPECT_EQ(entry.contentType().rawValue, "application/octet-stream");
        }
    }
}

TEST(Multistatus, MalformedRepliesGiveNothing) {
    for (const std::string body : {"", "not xml", "<D:multistatus xmlns:D=\"DAV:\">", "<a/>",
                                   "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><x>&e;</x>"}) {
        EXPECT_TRUE(DavResponse::parse(body, base()).empty()) << body;
    }
}

TEST(Multistatus, HrefBytesAreEncodedWhereNeeded) {
    EXPECT_EQ(encodeHrefText("/a b/é/%zz/%41/[x]"), "/a%20b/%C3%A9/%25zz/%41/[x]");
    EXPECT_EQ(encodeHrefText(std::string("/\x01\x7f")), "/%01%7F");
}

// A listing is read as it arrives: any split of the reply reads like the whole.
TEST(Multistatus, PiecesReadLikeTheWhole) {
    std::string body = "<?xml version=\"1.0\"?><D:multistatus xmlns:D=\"DAV:\">";
    for (int i = 0; i < 50; ++i)
        body += response("D:", "/dav/f%C3%A9 " + std::to_string(i) + ".txt",
                         "<D:getcontentlength>" + std::to_string(i) + "</D:getcontentlength><D:displayname><![CDATA[x]]>"
                         "</D:displayname><D:resourcetype><D:nested><D:collection/></D:nested></D:resourcetype>");
    body += "</D:multistatus>";
    const auto whole = DavResponse::parse(body, base());
    ASSERT_EQ(whole.size(), 50u);
    EXPECT_EQ(whole[7].prop.at("getcontenttype"), "httpd/unix-directory") << "a collection at any depth";
    EXPECT_FALSE(whole[7].prop.count("displayname")) << "CDATA is no text, as in the XML tree";
    for (std::size_t piece : {1u, 7u, 4096u}) {
        std::vector<DavResponse> read;
        MultistatusParser parser(base(), [&read](DavResponse&& r) { read.push_back(std::move(r)); });
        for (std::size_t at = 0; at < body.size(); at += piece) {
            const std::string_view part = std::string_view(body).substr(at, piece);
            ASSERT_TRUE(parser.feed(std::span(reinterpret_cast<const uint8_t*>(part.data()), part.size()), false));
        }
        ASSERT_TRUE(parser.feed({}, true));
        ASSERT_EQ(read.size(), whole.size()) << piece;
        for (std::size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].path, whole[i].path);
            EXPECT_EQ(read[i].prop, whole[i].prop);
            EXPECT_EQ(read[i].status, whole[i].status);
        }
    }

    MultistatusParser broken(base(), nullptr);
    const std::string bad = "<D:multistatus xmlns:D=\"DAV:\"><D:response></D:href>";
    EXPECT_FALSE(broken.feed(std::span(reinterpret_cast<const uint8_t*>(bad.data()), bad.size()), false));
    EXPECT_TRUE(broken.failed());
    MultistatusParser truncated(base(), nullptr);
    const std::string cut = "<D:multistatus xmlns:D=\"DAV:\"><D:response>";
    EXPECT_TRUE(truncated.feed(std::span(reinterpret_cast<const uint8_t*>(cut.data()), cut.size()), false));
    EXPECT_FALSE(truncated.feed({}, true)) << "a reply cut short is no multistatus";
}

TEST(Multistatus, DeepNestingIsRefused) {
    std::string body = "<D:multistatus xmlns:D=\"DAV:\">";
    for (int i = 0; i < 300; ++i)
        body += "<a>";
    for (int i = 0; i < 300; ++i)
        body += "</a>";
    body += "</D:multistatus>";
    EXPECT_TRUE(DavResponse::parse(body, base()).empty());
}
