// test-labels: unit
#include "fileprovider/core/RFCStandards.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>

using namespace RiridOzizevud;

namespace {

// 1994-11-06 08:49:37 UTC
constexpr double rfcExample = 784111777.0;

// Runs the body with TZ set to a zone far from GMT, then restores it.
struct ScopedTZ {
    explicit ScopedTZ(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (saved) setenv("TZ", saved->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> saved;
};

} // namespace

TEST(RFCStandards, RawValuesAndLookup) {
    EXPECT_EQ(rawValue(RFCStandards::rfc1123), "EEE',' dd' 'MMM' 'yyyy HH':'mm':'ss z");
    EXPECT_EQ(fromRawValue<RFCStandards>("EEE',' dd' 'MMM' 'yyyy HH':'mm':'ss z"), RFCStandards::rfc1123);
    EXPECT_EQ(fromRawValue<RFCStandards>(rawValue(RFCStandards::rfc1123)), RFCStandardsAlias::http);
    EXPECT_EQ(RFCStandardsAlias::usenet, RFCStandards::rfc850);
    for (auto s : RFCStandardsAllCases) EXPECT_EQ(fromRawValue<RFCStandards>(rawValue(s)), s);
    EXPECT_FALSE(fromRawValue<RFCStandards>(""));
    EXPECT_FALSE(fromRawValue<RFCStandards>("yyyy-MM-dd"));
}

TEST(RFCStandards, ReadsEveryFormAndZoneSpelling) {
    ScopedTZ tz("America/Los_Angeles");
    struct Row {
        const char* text;
        std::optional<double> seconds;
    };
    const Row rows[] = {
        // RFC 1123 (read by the rfc822 pattern, whose year also takes four digits) and zone names.
        {"Sun, 06 Nov 1994 08:49:37 GMT", rfcExample},
        {"Sun, 06 Nov 1994 08:49:37 UTC", rfcExample},
        {"Sun, 06 Nov 1994 08:49:37 UT", rfcExample},
        {"sun, 06 nov 1994 08:49:37 gmt", rfcExample},
        {"Sun, 06 Nov 1994 03:49:37 EST", rfcExample},
        {"Sun, 06 Nov 1994 00:49:37 PST", rfcExample},
        {"Sun, 06 Nov 1994 01:49:37 PDT", rfcExample},
        {"Sun, 06 Nov 1994 09:49:37 +0100", rfcExample},
        {"Sun, 06 Nov 1994 09:49:37 GMT+01:00", rfcExample},
        {"Sun, 06 Nov 1994 08:19:37 -00:30", rfcExample},
        {"Sun, 6 Nov 1994 08:49:37 GMT", rfcExample},
        // RFC 822 / 850 with two-digit years.
        {"Sun, 06 Nov 94 08:49:37 GMT", rfcExample},
        {"Sunday, 06-Nov-94 08:49:37 GMT", rfcExample},
        {"Sun, 06-Nov-94 08:49:37 GMT", rfcExample},
        // asctime: no zone, read as GMT whatever TZ says; a single-digit day is space-padded.
        {"Sun Nov  6 08:49:37 1994", rfcExample},
        {"Sun Nov 6 08:49:37 1994", rfcExample},
        // ISO 8601.
        {"1994-11-06T08:49:37Z", rfcExample},
        {"1994-11-06T10:49:37+02:00", rfcExample},
        {"1994-11-06T08:49:37.250Z", rfcExample + 0.25},
        {"1994-11-06T08:49:37.1234567Z", rfcExample + 0.1234567},
        {"2024-02-29T00:00:00Z", 1709164800.0},
        {"1969-12-31T23:59:59Z", -1.0},
        // Not dates.
        {"", std::nullopt},
        {"yesterday", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 GMT trailing", std::nullopt},
        {" Sun, 06 Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 32 Nov 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 29 Feb 2023 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 24:00:00 GMT", std::nullopt},
        {"Sun, 06 Foo 1994 08:49:37 GMT", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 XYZ", std::nullopt},
        {"Sun, 06 Nov 1994 08:49:37 +2500", std::nullopt},
        {"1994-13-06T08:49:37Z", std::nullopt},
        {"1994-11-06T08:49:37", std::nullopt},
        {"1994-11-06 08:49:37Z", std::nullopt},
        {"99999999999999999999-11-06T08:49:37Z", std::nullopt},
    };
    for (const auto& r : rows) {
        const auto d = dateFromRFCString(r.text);
        ASSERT_EQ(d.has_value(), r.seconds.has_value()) << "\"" << r.text << "\"";
        if (d) {
            EXPECT_NEAR(d->timeIntervalSince1970(), *r.seconds, 1e-6) << r.text;
        }
    }
}

TEST(RFCStandards, TwoDigitYearsFallWithinEightyYearsBackAndTwentyAhead) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    const int year = utc.tm_year + 1900;
    for (int back : {0, 1, 79}) {
        const int y = year - back;
        const std::string yy = (y % 100 < 10 ? "0" : "") + std::to_string(y % 100);
        const auto d = rfcDate("Sun, 01 Jul " + yy + " 00:00:00 GMT", RFCStandards::rfc822);
        ASSERT_TRUE(d) << yy;
        const std::time_t t = static_cast<std::time_t>(d->timeIntervalSince1970());
        std::tm got{};
        gmtime_r(&t, &got);
        EXPECT_EQ(got.tm_year + 1900, y);
    }
}

TEST(RFCStandards, WritesEveryForm) {
    const platform::Date date(rfcExample + 0.25);
    const std::pair<RFCStandards, const char*> rows[] = {
        {RFCStandards::rfc822, "Sun, 06 Nov 94 08:49:37 GMT"},
        {RFCStandards::rfc850, "Sunday, 06-Nov-94 08:49:37 GMT"},
        {RFCStandards::rfc1123, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {RFCStandards::rfc3339, "1994-11-06T08:49:37Z"},
        {RFCStandards::rfc3339Extended, "1994-11-06T08:49:37.250Z"},
        {RFCStandards::asctime, "Sun Nov 6 08:49:37 1994"},
    };
    ScopedTZ tz("Asia/Tokyo");
    for (const auto& [standard, text] : rows) {
        EXPECT_EQ(rfcString(date, standard), text);
        // What is written reads back with the same format (to the second, or the millisecond).
        const auto back = rfcDate(text, standard);
        ASSERT_TRUE(back) << text;
        EXPECT_NEAR(back->timeIntervalSince1970(), standard == RFCStandards::rfc3339Extended ? rfcExample + 0.25 : rfcExample, 1e-6);
    }
    EXPECT_EQ(rfcString(platform::Date(-1.0), RFCStandards::rfc3339), "1969-12-31T23:59:59Z");
    EXPECT_EQ(rfcString(platform::Date(0), RFCStandards::rfc1123), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_FALSE(rfcString(platform::Date(1e300), RFCStandards::rfc1123));
    EXPECT_FALSE(rfcString(platform::Date(std::nan("")), RFCStandards::rfc1123));
    EXPECT_FALSE(rfcString(platform::Date::distantPast() - 86400 * 400, RFCStandards::rfc1123));
}
