// platform::Date — stand-in for the platform's Date: a point in time stored as seconds since
// 1970-01-01 00:00:00 UTC (a double, like TimeInterval). Plain copyable value.
#pragma once

#include <chrono>
#include <compare>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

/// Seconds, as the platform's TimeInterval.
using TimeInterval = double;

class Date {
public:
    /// Seconds between 1970-01-01 and the platform's reference date 2001-01-01 (UTC).
    static constexpr TimeInterval timeIntervalBetween1970AndReferenceDate = 978307200.0;

    /// The current time (as the platform's `Date()`).
    Date();
    /// The point `secondsSince1970` after 1970-01-01 00:00:00 UTC.
    explicit constexpr Date(TimeInterval secondsSince1970) : seconds_(secondsSince1970) {}

    static Date now() { return Date(); }
    static constexpr Date since1970(TimeInterval t) { return Date(t); }
    static constexpr Date sinceReferenceDate(TimeInterval t) { return Date(t + timeIntervalBetween1970AndReferenceDate); }
    static Date sinceNow(TimeInterval t);
    /// Year 1 (0001-01-01 00:00:00 UTC) and year 4001, as the platform's constants.
    static constexpr Date distantPast() { return Date(-62135769600.0); }
    static constexpr Date distantFuture() { return Date(64092211200.0); }

    constexpr TimeInterval timeIntervalSince1970() const { return seconds_; }
    constexpr TimeInterval timeIntervalSinceReferenceDate() const { return seconds_ - timeIntervalBetween1970AndReferenceDate; }
    /// Seconds from `other` to this date (positive when this date is later).
    constexpr TimeInterval timeIntervalSince(const Date& other) const { return seconds_ - other.seconds_; }
    TimeInterval timeIntervalSinceNow() const;

    constexpr Date addingTimeInterval(TimeInterval t) const { return Date(seconds_ + t); }
    constexpr Date operator+(TimeInterval t) const { return Date(seconds_ + t); }
    constexpr Date operator-(TimeInterval t) const { return Date(seconds_ - t); }
    Date& operator+=(TimeInterval t) { seconds_ += t; return *this; }
    Date& operator-=(TimeInterval t) { seconds_ -= t; return *this; }

    constexpr bool operator==(const Date& o) const { return seconds_ == o.seconds_; }
    constexpr std::partial_ordering operator<=>(const Date& o) const { return seconds_ <=> o.seconds_; }

    std::chrono::system_clock::time_point timePoint() const;
    static Date fromTimePoint(std::chrono::system_clock::time_point tp);
    /// Unix time_t (rounded down).
    static Date fromTimeT(std::time_t t) { return Date(static_cast<TimeInterval>(t)); }
    /// The moment calendar fields name, in the local time zone or in UTC (a leap second 60 allowed);
    /// no value for fields that name no day or time (month 13, February 30, hour 24).
    static std::optional<Date> fromCalendar(int year, int month, int day, int hour, int minute, int second,
                                            bool local);

    /// ISO 8601 in UTC: "2024-05-01T12:00:00Z" (with ".mmm" when `fractionalSeconds`).
    std::string iso8601String(bool fractionalSeconds = false) const;
    /// "YYYY-MM-DD hh:mm:ss" in the local time zone; "" when the date is out of range.
    std::string localDateText() const;
    /// Reads "YYYY-MM-DDTHH:MM:SS[.fff](Z|±HH:MM|±HHMM)"; no value for anything else.
    static std::optional<Date> fromISO8601(std::string_view text);

private:
    TimeInterval seconds_;
};

} // namespace platform
