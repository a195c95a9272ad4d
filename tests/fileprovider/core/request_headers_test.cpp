// test-labels: unit
#include "fileprovider/core/RequestHeaders.hpp"

#include "platform/data/Base64.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace RiridOzizevud;
using platform::URLCredential;
using platform::URLRequest;

namespace {

constexpr int64_t maxInt = std::numeric_limits<int64_t>::max();
constexpr int64_t minInt = std::numeric_limits<int64_t>::min();

URLRequest request() { return URLRequest(platform::URL::parse("https://example.com/dav/")); }

} // namespace

TEST(RequestHeaders, Authorization) {
    struct Row {
        std::optional<URLCredential> credential;
        URLRequestAuthenticationType type;
        std::optional<std::string> value;
    };
    const Row rows[] = {
        {URLCredential("user", "pass"), URLRequestAuthenticationType::basic,
         "Basic " + platform::Base64::encode(std::string_view("user:pass"))},
        // A ":" in the user name would move the split point: it is dropped.
        {URLCredential("do:main:user", "p:w"), URLRequestAuthenticationType::basic,
         "Basic " + platform::Base64::encode(std::string_view("domainuser:p:w"))},
        {URLCredential("", ""), URLRequestAuthenticationType::basic, "Basic Og=="},
        {URLCredential("j\xC3\xBCrgen", "\xE2\x82\xAC"), URLRequestAuthenticationType::basic,
         "Basic " + platform::Base64::encode(std::string_view("j\xC3\xBCrgen:\xE2\x82\xAC"))},
        {URLCredential("u", "tok/+en=="), URLRequestAuthenticationType::oAuth2, "Bearer tok/+en=="},
        {URLCredential("u", "tok"), URLRequestAuthenticationType::oAuth1, "OAuth tok"},
        {URLCredential("u", "p"), URLRequestAuthenticationType::digest, std::nullopt},
        {std::nullopt, URLRequestAuthenticationType::basic, std::nullopt},
        {std::nullopt, URLRequestAuthenticationType::oAuth2, std::nullopt},
    };
    for (const auto& r : rows) {
        auto req = request();
        setAuthorizationHeader(req, r.credential, r.type);
        EXPECT_EQ(req.value("Authorization"), r.value) << static_cast<int>(r.type);
    }
    EXPECT_EQ(platform::Base64::decodeToString("ZG9tYWludXNlcjpwOnc="), "domainuser:p:w");

    // Setting again replaces; no credential leaves an earlier value alone.
    auto req = request();
    setAuthorizationHeader(req, URLCredential("u", "one"), URLRequestAuthenticationType::oAuth2);
    setAuthorizationHeader(req, URLCredential("u", "two"), URLRequestAuthenticationType::oAuth2);
    setAuthorizationHeader(req, std::nullopt, URLRequestAuthenticationType::oAuth2);
    EXPECT_EQ(req.value("authorization"), "Bearer two");
    EXPECT_EQ(req.allHTTPHeaderFields().size(), 1u);
}

TEST(RequestHeaders, ContentType) {
    struct Row {
        ContentMIMEType type;
        std::optional<StringEncoding> charset;
        const char* value;
    };
    const Row rows[] = {
        {ContentMIMEType::xml, StringEncoding::utf8, "text/xml;charset=utf-8"},
        {ContentMIMEType::xml, std::nullopt, "text/xml"},
        {ContentMIMEType::json, StringEncoding::isoLatin1, "application/json;charset=iso-8859-1"},
        {ContentMIMEType::plainText, StringEncoding::nonLossyASCII, "text/plain"},
        {ContentMIMEType("application/x-custom"), std::nullopt, "application/x-custom"},
    };
    for (const auto& r : rows) {
        auto req = request();
        setContentTypeHeader(req, r.type, r.charset);
        EXPECT_EQ(req.value("Content-Type"), r.value);
    }
}

TEST(RequestHeaders, Range) {
    struct Row {
        int64_t offset, length;
        std::optional<std::string> value;
    };
    const Row rows[] = {
        {0, 0, std::nullopt},
        {0, 1, "bytes=0-0"},
        {0, 100, "bytes=0-99"},
        {10, 5, "bytes=10-14"},
        {10, -1, "bytes=10-"},
        {0, -1, std::nullopt},
        {1, -1, "bytes=1-"},
        {-5, -1, std::nullopt},
        {-5, 10, std::nullopt},
        {10, 0, std::nullopt},
        {0, maxInt, "bytes=0-9223372036854775806"},
        {1, maxInt, "bytes=1-9223372036854775807"},
        // Would pass the largest offset: open-ended instead of overflowing.
        {2, maxInt, "bytes=2-"},
        {maxInt, maxInt, "bytes=9223372036854775807-"},
        {maxInt, 1, "bytes=9223372036854775807-9223372036854775807"},
        {maxInt, -1, "bytes=9223372036854775807-"},
        {5, minInt, "bytes=5-"},
    };
    for (const auto& r : rows) {
        auto req = request();
        setRangeHeader(req, r.offset, r.length);
        EXPECT_EQ(req.value("Range"), r.value) << r.offset << " " << r.length;
    }
}

TEST(RequestHeaders, ContentRange) {
    struct Row {
        int64_t lower, upper, total;
        std::optional<std::string> value;
    };
    const Row rows[] = {
        {0, 10, 100, "bytes 0-9/100"},
        {5, 5, 7, "bytes 5-/7"},
        {0, 0, 0, "bytes 0-/0"},
        {0, maxInt, 42, "bytes 0-/42"},
        {-1, 10, 100, "bytes 0-9/100"},
        {-1, -1, 100, std::nullopt},
        {minInt, maxInt, 5, "bytes 0-/5"},
        {minInt, 3, 5, "bytes 0-2/5"},
        {3, maxInt, maxInt, "bytes 3-/9223372036854775807"},
        {maxInt - 1, maxInt, maxInt, "bytes 9223372036854775806-/9223372036854775807"},
        {1000, 2000, 4000, "bytes 1000-1999/4000"},
        // Inverted: nothing.
        {10, 5, 100, std::nullopt},
        {maxInt, 0, 1, std::nullopt},
    };
    for (const auto& r : rows) {
        auto req = request();
        setContentRangeHeader(req, r.lower, r.upper, r.total);
        EXPECT_EQ(req.value("Content-Range"), r.value) << r.lower << ".." << r.upper << "/" << r.total;
    }
}

TEST(ContentMIMEType, ValuesAndEquality) {
    EXPECT_EQ(ContentMIMEType("text/xml"), ContentMIMEType::xml);
    EXPECT_EQ(ContentMIMEType::flv, ContentMIMEType::flashVideo);
    EXPECT_NE(ContentMIMEType::mpeg, ContentMIMEType::mpeg4);
    EXPECT_EQ(std::hash<ContentMIMEType>()(ContentMIMEType("video/x-flv")), std::hash<ContentMIMEType>()(ContentMIMEType::flv));
    const std::pair<const ContentMIMEType*, const char*> rows[] = {
        {&ContentMIMEType::directory, "httpd/unix-directory"},
        {&ContentMIMEType::lzma, "application/x-7z-compressed"},
        {&ContentMIMEType::powerpoint, "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
        {&ContentMIMEType::googleVideo, "application/vnd.google-apps.video"},
        {&ContentMIMEType::stream, "application/octet-stream"},
    };
    for (const auto& [type, raw] : rows) EXPECT_EQ(type->rawValue, raw);
}
