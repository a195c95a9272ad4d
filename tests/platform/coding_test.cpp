// test-labels: unit
#include "platform/data/Base64.hpp"
#include "platform/data/Date.hpp"
#include "platform/data/JSON.hpp"
#include "platform/data/UUID.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace platform;

namespace {

TEST(Base64Test, RFC4648Vectors) {
    const std::pair<const char*, const char*> v[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, enc] : v) {
        EXPECT_EQ(Base64::encode(std::string_view(plain)), enc);
        EXPECT_EQ(Base64::decodeToString(enc), plain);
    }
    std::vector<uint8_t> bin{0xFB, 0xFF, 0xBF};
    EXPECT_EQ(Base64::encode(bin), "+/+/");
    EXPECT_EQ(Base64::encodeURLSafe(bin), "-_-_");
    EXPECT_EQ(Base64::decodeURLSafe("-_-_"), bin);
    EXPECT_EQ(Base64::encodeURLSafe({'f'}), "Zg");
    EXPECT_EQ(Base64::decodeURLSafe("Zg"), (std::vector<uint8_t>{'f'}));
    EXPECT_EQ(Base64::encode(std::string_view("user:pa\xC3\xA9")), "dXNlcjpwYcOp");
}

TEST(Base64Test, RejectsBadInput) {
    const char* bad[] = {"Zg=", "Zg", "Z", "Zm9v\n", "Zm 9v", "Zg==Zg==", "Z===", "Zh==", "Zm9=", "*m9v", "Zm9v="};
    for (const char* b : bad) EXPECT_FALSE(Base64::decode(b).has_value()) << b;
    EXPECT_EQ(Base64::decodeToString("Zm9v\nYmFy", true), "foobar");
}

TEST(UUIDTest, UpperCaseVersion4) {
    std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto s = newUUIDString();
        EXPECT_TRUE(std::regex_match(s, form)) << s;
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 200u);
    auto parsed = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_FALSE(UUID::fromString("E621E1F8C36C495A93FC0C247A3E6E5F"));
    EXPECT_FALSE(UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5G"));
    EXPECT_FALSE(UUID::fromString("E621E1F8-C36C-495A-93FC_0C247A3E6E5F"));
    UUID a, b;
    EXPECT_NE(a, b);
}

TEST(DateTest, Basics) {
    Date a(1000.0);
    Date b = a + 60;
    EXPECT_EQ(b.timeIntervalSince(a), 60.0);
    EXPECT_LT(a, b);
    EXPECT_EQ(a.timeIntervalSinceReferenceDate(), 1000.0 - 978307200.0);
    EXPECT_EQ(Date::sinceReferenceDate(0).timeIntervalSince1970(), 978307200.0);
    EXPECT_LT(Date::distantPast(), Date(0));
    EXPECT_GT(Date::distantFuture(), Date::now());
    EXPECT_NEAR(Date().timeIntervalSince1970(), Date::fromTimePoint(std::chrono::system_clock::now()).timeIntervalSince1970(), 5);
    EXPECT_NEAR(Date::sinceNow(10).timeIntervalSinceNow(), 10, 1);
    EXPECT_EQ(Date::fromTimePoint(Date(1.5).timePoint()), Date(1.5));
}

TEST(DateTest, CalendarFieldsInUTC) {
    struct Case { int y, mo, d, h, mi, s; std::optional<double> since1970; };
    const Case cases[] = {
        {2024, 5, 1, 12, 0, 0, 1714564800},
        {1969, 12, 31, 23, 59, 59, -1},          // the one moment mktime answers -1 for
        {2016, 12, 31, 23, 59, 60, 1483228800},  // a leap second stays on its own day
        {2024, 2, 29, 0, 0, 0, 1709164800},
        {2023, 2, 29, 0, 0, 0, std::nullopt},    // no such day: not rolled into March
        {2024, 4, 31, 0, 0, 0, std::nullopt},
        {2024, 13, 1, 0, 0, 0, std::nullopt},
        {2024, 1, 1, 24, 0, 0, std::nullopt},
        {2024, 1, 1, 0, 60, 0, std::nullopt},
        {2024, 1, 1, 0, 0, -1, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.y << '-' << c.mo << '-' << c.d << ' ' << c.h << ':' << c.mi << ':' << c.s);
        const auto date = Date::fromCalendar(c.y, c.mo, c.d, c.h, c.mi, c.s, false);
        ASSERT_EQ(date.has_value(), c.since1970.has_value());
        if (date) {
            EXPECT_EQ(date->timeIntervalSince1970(), *c.since1970);
        }
    }
}

TEST(DateTest, ISO8601) {
    EXPECT_EQ(Date(0).iso8601String(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(Date(1714564800.25).iso8601String(true), "2024-05-01T12:00:00.250Z");
    EXPECT_EQ(Date(-1).iso8601String(), "1969-12-31T23:59:59Z");
    EXPECT_EQ(Date::fromISO8601("2024-05-01T12:00:00Z"), Date(1714564800));
    EXPECT_EQ(Date::fromISO8601("2024-05-01T14:00:00+02:00"), Date(1714564800));
    EXPECT_EQ(Date::fromISO8601("2024-05-01T12:00:00.5Z"), Date(1714564800.5));
    EXPECT_FALSE(Date::fromISO8601("2024-05-01 12:00:00Z"));
    EXPECT_FALSE(Date::fromISO8601("2024-13-01T12:00:00Z"));
    EXPECT_FALSE(Date::fromISO8601("2024-05-01T12:00:00"));
}

TEST(JSONTest, RequiredAndOptional) {
    auto j = JSON::parseOrThrow(R"({"name":"n","port":22,"nothing":null,"flag":true,"ratio":1.5,
        "whole":3.0,"url":"http://h/","list":[1,2],"map":{"a":"b"},"kind":"smb","neg":-1,"big":300,"spaced":"a b"})");
    EXPECT_EQ(JSON::required<std::string>(j, "name"), "n");
    EXPECT_EQ(JSON::required<int>(j, "port"), 22);
    EXPECT_EQ(JSON::required<int>(j, "whole"), 3);
    EXPECT_EQ(JSON::required<double>(j, "port"), 22.0);
    EXPECT_EQ(JSON::required<bool>(j, "flag"), true);
    EXPECT_EQ(JSON::required<URL>(j, "url").host(), "h");
    EXPECT_EQ(JSON::required<std::vector<int>>(j, "list"), (std::vector<int>{1, 2}));
    EXPECT_EQ((JSON::required<std::map<std::string, std::string>>(j, "map")).at("a"), "b");
    EXPECT_EQ(JSON::optional<int>(j, "nothing"), std::nullopt);
    EXPECT_EQ(JSON::optional<int>(j, "absent"), std::nullopt);
    EXPECT_EQ(JSON::optional<int>(j, "port"), 22);
    EXPECT_EQ(JSON::lenient<int>(j, "name"), std::nullopt);

    auto expectError = [&](auto f, DecodingError::Kind kind, int64_t code, const std::string& key) {
        try {
            f();
            ADD_FAILURE() << "no error for " << key;
        } catch (const Exception& ex) {
            auto de = std::dynamic_pointer_cast<const DecodingError>(ex.error());
            ASSERT_TRUE(de);
            EXPECT_EQ(de->kind(), kind) << key;
            EXPECT_EQ(de->code(), code) << key;
            EXPECT_EQ(de->domain(), NSCocoaErrorDomain);
            EXPECT_EQ(de->codingPath(), key);
            EXPECT_NE(de->localizedDescription().find(key), std::string::npos);
        }
    };
    using K = DecodingError::Kind;
    expectError([&] { JSON::required<std::string>(j, "absent"); }, K::keyNotFound, 4865, "absent");
    expectError([&] { JSON::required<std::string>(j, "nothing"); }, K::valueNotFound, 4865, "nothing");
    expectError([&] { JSON::required<std::string>(j, "port"); }, K::typeMismatch, 4864, "port");
    expectError([&] { JSON::required<int>(j, "ratio"); }, K::typeMismatch, 4864, "ratio");
    expectError([&] { JSON::required<bool>(j, "port"); }, K::typeMismatch, 4864, "port");
    expectError([&] { JSON::required<unsigned>(j, "neg"); }, K::typeMismatch, 4864, "neg");
    expectError([&] { JSON::required<uint8_t>(j, "big"); }, K::typeMismatch, 4864, "big");
    expectError([&] { JSON::optional<std::string>(j, "flag"); }, K::typeMismatch, 4864, "flag");
    expectError([&] { JSON::required<URL>(j, "spaced"); }, K::dataCorrupted, 4864, "spaced");

    enum class Kind { smb, ftp };
    auto fromRaw = [](const std::string& s) -> std::optional<Kind> {
        if (s == "smb") return Kind::smb;
        if (s == "ftp") return Kind::ftp;
        return std::nullopt;
    };
    EXPECT_EQ((JSON::requiredRawValue<Kind, std::string>(j, "kind", fromRaw)), Kind::smb);
    EXPECT_EQ((JSON::optionalRawValue<Kind, std::string>(j, "nothing", fromRaw)), std::nullopt);
    expectError([&] { JSON::requiredRawValue<Kind, std::string>(j, "name", fromRaw); }, K::dataCorrupted, 4864, "name");

    JSON::Json out = JSON::Json::object();
    JSON::encodeIfPresent(out, "a", std::optional<int>(1));
    JSON::encodeIfPresent(out, "b", std::optional<int>());
    JSON::encodeIfPresent(out, "u", std::optional<URL>(URL::parse("x", *URL::parse("http://h/"))));
    EXPECT_EQ(out.dump(), R"({"a":1,"u":"http://h/x"})");
}

TEST(JSONTest, Parsing) {
    EXPECT_FALSE(JSON::parse("{bad").has_value());
    EXPECT_TRUE(JSON::parse("[1]").has_value());
    EXPECT_THROW(JSON::parseOrThrow("nope"), Exception);
    EXPECT_EQ(JSON::dump(JSON::Json("a\xFF")), "\"a\xEF\xBF\xBD\"");
    EXPECT_THROW(JSON::required<int>(JSON::Json::array(), "x"), Exception);
}

} // namespace
