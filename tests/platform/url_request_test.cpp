// test-labels: unit
#include "platform/net/URLRequest.hpp"

#include <gtest/gtest.h>

using platform::URLRequest;

TEST(URLRequest, Defaults) {
    URLRequest r(platform::URL::parse("https://example.com/a"));
    EXPECT_EQ(r.httpMethod, "GET");
    EXPECT_EQ(r.timeoutInterval, 60);
    EXPECT_EQ(r.cachePolicy, URLRequest::CachePolicy::useProtocolCachePolicy);
    EXPECT_FALSE(r.httpBody);
    EXPECT_TRUE(r.allHTTPHeaderFields().empty());
    EXPECT_EQ(r.url->absoluteString(), "https://example.com/a");

    URLRequest t(std::nullopt, URLRequest::CachePolicy::reloadIgnoringLocalCacheData, 5);
    EXPECT_FALSE(t.url);
    EXPECT_EQ(t.timeoutInterval, 5);
}

TEST(URLRequest, HeadersAreCaseInsensitiveAndSetReplaces) {
    URLRequest r(std::nullopt);
    EXPECT_TRUE(r.setValue("1", "Depth"));
    EXPECT_TRUE(r.setValue("infinity", "DEPTH"));
    EXPECT_EQ(r.value("depth"), "infinity");
    ASSERT_EQ(r.allHTTPHeaderFields().size(), 1u);
    EXPECT_EQ(r.allHTTPHeaderFields()[0].first, "Depth");

    EXPECT_TRUE(r.addValue("a", "Accept"));
    EXPECT_TRUE(r.addValue("b", "accept"));
    EXPECT_EQ(r.value("Accept"), "a,b");

    EXPECT_TRUE(r.setValue(std::nullopt, "ACCEPT"));
    EXPECT_FALSE(r.value("Accept"));
    EXPECT_FALSE(r.value("Missing"));
    EXPECT_EQ(r.allHTTPHeaderFields().size(), 1u);
}

TEST(URLRequest, HeaderInjectionIsRefused) {
    URLRequest r(std::nullopt);
    r.setValue("keep", "Destination");
    const std::pair<std::optional<std::string>, std::string> rows[] = {
        {"x\r\nEvil: 1", "Destination"},
        {"x\nEvil: 1", "Destination"},
        {std::string("x\0y", 3), "Destination"},
        {"v", "Bad Name"},
        {"v", "Bad:Name"},
        {"v", ""},
        {"v", "X\r\nY"},
    };
    for (const auto& [value, field] : rows) EXPECT_FALSE(r.setValue(value, field)) << field;
    EXPECT_FALSE(r.addValue("a\rb", "Destination"));
    EXPECT_EQ(r.value("Destination"), "keep");
    EXPECT_EQ(r.allHTTPHeaderFields().size(), 1u);
    EXPECT_TRUE(r.setValue("tab\tand spaces are fine", "X-Note"));
}
