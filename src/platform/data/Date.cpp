#include "platform/data/Date.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace platform {

namespace {
double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Days from 1970-01-01 to y-m-d (proleptic Gregorian), Howard Hinnant's algorithm.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}
} // namespace

Date::Date() : seconds_(nowSeconds()) {}

Date Date::sinceNow(TimeInterval t) { return Date(nowSeconds() + t); }

TimeInterval Date::timeIntervalSinceNow() const { return seconds_ - nowSeconds(); }

std::chrono::system_clock::time_point Date::timePoint() const {
    using namespace std::chrono;
    return system_clock::time_point(duration_cast<system_clock::duration>(duration<double>(seconds_)));
}

Date Date::fromTimePoint(std::chrono::system_clock::time_point tp) {
    using namespace std::chrono;
    return Date(duration<double>(tp.time_since_epoch()).count());
}

std::optional<Date> Date::fromCalendar(int year, int month, int day, int hour, int minute, int second, bool local) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    // A leap second is counted from the second before it, so 23:59:60 stays on its own day.
    tm.tm_sec = second == 60 ? 59 : second;
    tm.tm_isdst = -1;
    const std::time_t t = local ? std::mktime(&tm) : ::timegm(&tm);
    // -1 is also the moment one second before 1970 began.
    if (t == static_cast<std::time_t>(-1) && !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31)) return std::nullopt;
    // The conversion rolls 30 February over into March; such a day does not exist.
    if (tm.tm_mday != day || tm.tm_mon != month - 1) return std::nullopt;
    return fromTimeT(second == 60 ? t + 1 : t);
}

std::string Date::localDateText() const {
    const auto seconds = static_cast<std::time_t>(std::floor(timeIntervalSince1970()));
    std::tm parts{};
    if (!::localtime_r(&seconds, &parts)) return "";
    char buffer[32];
    return std::string(buffer, std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts));
}

std::string Date::iso8601String(bool fractionalSeconds) const {
    double whole = std::floor(seconds_);
    int millis = static_cast<int>(std::llround((seconds_ - whole) * 1000.0));
    if (millis >= 1000) { whole += 1; millis -= 1000; }
    int64_t secs = static_cast<int64_t>(whole);
    int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
    int64_t rem = secs - days * 86400;
    int64_t y; unsigned m, d;
    civilFromDays(days, y, m, d);
    char buf[64];
    if (fractionalSeconds)
        std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<long long>(y), m, d,
                      static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60), millis);
    else
        std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02dZ", static_cast<long long>(y), m, d,
                      static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
    return buf;
}

std::optional<Date> Date::fromISO8601(std::string_view s) {
    int Y, M, D, h, mi, se;
    if (!digits(s, 0, 4, Y) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, M) || s[7] != '-' ||
        !digits(s, 8, 2, D) || (s[10] != 'T' && s[10] != 't') || !digits(s, 11, 2, h) || s[13] != ':' ||
        !digits(s, 14, 2, mi) || s[16] != ':' || !digits(s, 17, 2, se))
        return std::nullopt;
    if (M < 1 || M > 12 || D < 1 || D > 31 || h > 23 || mi > 59 || se > 60) return std::nullopt;
    std::size_t pos = 19;
    double frac = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        double scale = 0.1;
        std::size_t start = pos;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            frac += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    int offset = 0;
    if (pos < s.size() && (s[pos] == 'Z' || s[pos] == 'z')) {
        ++pos;
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        int sign = s[pos] == '-' ? -1 : 1;
        int oh, om;
        ++pos;
        if (!digits(s, pos, 2, oh)) return std::nullopt;
        pos += 2;
        if (pos < s.size() && s[pos] == ':') ++pos;
        if (!digits(s, pos, 2, om)) return std::nullopt;
        pos += 2;
        if (oh > 23 || om > 59) return std::nullopt;
        offset = sign * (oh * 3600 + om * 60);
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    int64_t days = daysFromCivil(Y, static_cast<unsigned>(M), static_cast<unsigned>(D));
    double t = static_cast<double>(days * 86400 + h * 3600 + mi * 60 + se - offset) + frac;
    return Date(t);
}

} // namespace platform
