// test-labels: unit
#include "platform/base/Error.hpp"
#include "platform/data/KeyedArchive.hpp"

#include <gtest/gtest.h>

using platform::KeyedArchiver;
using platform::KeyedUnarchiver;
using platform::Value;

TEST(KeyedArchive, RoundTripsEveryKind) {
    KeyedArchiver a;
    const auto url = *platform::URL::parse("https://h.example/dav/");
    a.encode(Value(url), "baseURL");
    a.encode(Value(), "credential");
    a.encode(true, "useCache");
    a.encode(int64_t(-7), "count");
    a.encode(2.5, "ratio");
    a.encode(std::string("text"), "label");
    a.encode(Value(platform::Date(12.5)), "date");
    a.encode(Value(platform::Data{0, 1, 255}), "bytes");
    // A dictionary whose key looks like a tag stays a dictionary.
    a.encode(Value(Value::Dictionary{{"$date", "not a date"}, {"n", Value::Array{1, "x"}}}), "dict");
    KeyedArchiver nested;
    nested.encode(std::string("inner"), "name");
    a.encode(nested, "child");

    const KeyedUnarchiver u(a.encodedData());
    EXPECT_EQ(u.decodeURL("baseURL"), url);
    ASSERT_TRUE(u.decodeObject("credential"));
    EXPECT_TRUE(u.decodeObject("credential")->isNull());
    EXPECT_FALSE(u.decodeObject("absent"));
    EXPECT_TRUE(u.decodeBool("useCache"));
    EXPECT_EQ(u.decodeInt64("count"), -7);
    EXPECT_DOUBLE_EQ(u.decodeDouble("ratio"), 2.5);
    EXPECT_EQ(u.decodeString("label"), "text");
    EXPECT_EQ(u.decodeObject("date"), Value(platform::Date(12.5)));
    EXPECT_EQ(u.decodeObject("bytes"), Value(platform::Data{0, 1, 255}));
    EXPECT_EQ(u.decodeObject("dict"), Value(Value::Dictionary{{"$date", "not a date"}, {"n", Value::Array{1, "x"}}}));
    ASSERT_TRUE(u.decodeNested("child"));
    EXPECT_EQ(u.decodeNested("child")->decodeString("name"), "inner");
    // Mistyped reads give the plain defaults.
    EXPECT_FALSE(u.decodeBool("label"));
    EXPECT_EQ(u.decodeInt64("label"), 0);
    EXPECT_FALSE(u.decodeString("count"));
    EXPECT_FALSE(u.decodeNested("dict"));
    EXPECT_TRUE(u.containsValue("credential"));
}

TEST(KeyedArchive, RejectsWhatIsNoArchive) {
    for (const char* bad : {"", "not json", "[1,2]", "\"text\""}) {
        try {
            KeyedUnarchiver u{std::string(bad)};
            ADD_FAILURE() << bad;
        } catch (const platform::Exception& e) {
            EXPECT_TRUE(e.error()->is(platform::NSCocoaErrorDomain, platform::CocoaError::coderReadCorrupt));
        }
    }
    // An unknown tag reads as no value rather than as a dictionary.
    const KeyedUnarchiver u(std::string(R"({"x": {"$weird": 1}, "y": {"$url": "not a url"}})"));
    EXPECT_FALSE(u.decodeObject("x"));
    EXPECT_FALSE(u.decodeURL("y"));
}
