#include "fileprovider/core/RFCStandards.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace RiridOzizevud {

std::string_view rawValue(RFCStandards standard) {
    switch (standard) {
    case RFCStandards::rfc822: return "EEE',' dd' 'MMM' 'yy HH':'mm':'ss z";
    case RFCStandards::rfc850: return "EEEE',' dd'-'MMM'-'yy HH':'mm':'ss z";
    case RFCStandards::rfc1123: return "EEE',' dd' 'MMM' 'yyyy HH':'mm':'ss z";
    case RFCStandards::rfc3339: return "yyyy'-'MM'-'dd'T'HH':'mm':'ssZZZZZ";
    case RFCStandards::rfc3339Extended: return "yyyy'-'MM'-'dd'T'HH':'mm':'ss'.'SSSZZZZZ";
    case RFCStandards::asctime: return "EEE MMM d HH':'mm':'ss yyyy";
    }
    return {};
}

template <>
std::optional<RFCStandards> fromRawValue<RFCStandards>(std::string_view raw) {
    for (auto s : RFCStandardsAllCases)
        if (rawValue(s) == raw) return s;
    return std::nullopt;
}

namespace {

constexpr std::array<std::string_view, 7> dayNames{"Sunday", "Monday", "Tuesday", "Wednesday",
                                                   "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> monthNames{"January", "February", "March", "April", "May", "June",
                                                      "July", "August", "September", "October", "November",
                                                      "December"};

// A pattern piece: a run of one field letter, or literal text.
struct Token {
    char field = 0;  // 0: literal
    std::size_t count = 0;
    std::string literal;
};

std::vector<Token> tokenize(std::string_view pattern) {
    std::vector<Token> tokens;
    auto addLiteral = [&](char c) {
        if (tokens.empty() || tokens.back().field != 0) tokens.push_back({});
        tokens.back().literal += c;
    };
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i];
        if (c == '\'') {
            const std::size_t end = pattern.find('\'', i + 1);
            for (std::size_t k = i + 1; k < end && k < pattern.size(); ++k) addLiteral(pattern[k]);
            i = end == std::string_view::npos ? pattern.size() : end + 1;
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            std::size_t n = 1;
            while (i + n < pattern.size() && pattern[i + n] == c) ++n;
            tokens.push_back({c, n, {}});
            i += n;
        } else {
            addLiteral(c);
            ++i;
        }
    }
    return tokens;
}

const std::vector<Token>& tokensOf(RFCStandards s) {
    // Built once; function-local statics are safe against concurrent first use.
    static const std::array<std::vector<Token>, 6> all = [] {
        std::array<std::vector<Token>, 6> a;
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = tokenize(rawValue(RFCStandardsAllCases[i]));
        return a;
    }();
    return all[static_cast<std::size_t>(s)];
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(text[i]) != lower(prefix[i])) return false;
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
    int64_t y;
    unsigned m, d;
};

Civil civilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

unsigned daysInMonth(int64_t y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return days[m - 1];
}

int64_t currentYear() {
    const auto now = std::chrono::system_clock::now();
    const auto days = std::chrono::floor<std::chrono::days>(now).time_since_epoch().count();
    return civilFromDays(days).y;
}

class Reader {
public:
    explicit Reader(std::string_view t) : text_(t) {}

    bool atEnd() const { return pos_ == text_.size(); }

    // Up to `maxDigits` decimal digits, at least `minDigits`.
    std::optional<int64_t> number(std::size_t minDigits, std::size_t maxDigits, std::size_t* digits = nullptr) {
        std::size_t n = 0;
        int64_t v = 0;
        while (n < maxDigits && pos_ + n < text_.size() && isDigit(text_[pos_ + n])) {
            v = v * 10 + (text_[pos_ + n] - '0');
            ++n;
        }
        if (n < minDigits) return std::nullopt;
        pos_ += n;
        if (digits) *digits = n;
        return v;
    }

    // The index of the name that the text starts with, full names tried before abbreviations.
    template <std::size_t N>
    std::optional<unsigned> name(const std::array<std::string_view, N>& names) {
        for (unsigned i = 0; i < N; ++i)
            if (startsWithIgnoringCase(text_.substr(pos_), names[i])) {
                pos_ += names[i].size();
                return i;
            }
        for (unsigned i = 0; i < N; ++i)
            if (startsWithIgnoringCase(text_.substr(pos_), names[i].substr(0, 3))) {
                pos_ += 3;
                return i;
            }
        return std::nullopt;
    }

    bool literal(std::string_view lit) {
        for (char c : lit) {
            if (c == ' ') {
                // A space of the pattern stands for any run of spaces ("Nov  6" in asctime).
                std::size_t n = 0;
                while (pos_ + n < text_.size() && (text_[pos_ + n] == ' ' || text_[pos_ + n] == '\t')) ++n;
                if (n == 0) return false;
                pos_ += n;
            } else {
                if (pos_ >= text_.size() || lower(text_[pos_]) != lower(c)) return false;
                ++pos_;
            }
        }
        return true;
    }

    bool consume(std::string_view word) {
        if (!startsWithIgnoringCase(text_.substr(pos_), word)) return false;
        pos_ += word.size();
        return true;
    }

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
    void advance() { ++pos_; }

    // "+hh", "+hhmm" or "+hh:mm" (sign already seen); seconds east of GMT.
    std::optional<int64_t> offset(bool negative) {
        std::size_t digits = 0;
        auto hh = number(1, 2, &digits);
        if (!hh) return std::nullopt;
        int64_t mm = 0;
        if (peek() == ':') {
            advance();
            auto m = number(2, 2);
            if (!m) return std::nullopt;
            mm = *m;
        } else if (digits == 2 && isDigit(peek())) {
            auto m = number(2, 2);
            if (!m) return std::nullopt;
            mm = *m;
        }
        if (*hh > 23 || mm > 59) return std::nullopt;
        const int64_t s = *hh * 3600 + mm * 60;
        return negative ? -s : s;
    }

    // The zone of an RFC 822 / 850 / 1123 date: a name, or a numeric offset.
    std::optional<int64_t> zoneName() {
        struct Named {
            std::string_view name;
            int hours;
        };
        static constexpr Named names[] = {{"GMT", 0}, {"UTC", 0}, {"UT", 0},  {"EST", -5}, {"EDT", -4},
                                          {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8},
                                          {"PDT", -7}, {"Z", 0}};
        for (const auto& n : names) {
            if (!consume(n.name)) continue;
            int64_t base = int64_t{n.hours} * 3600;
            if (n.hours == 0 && n.name != "Z" && (peek() == '+' || peek() == '-')) {
                const bool neg = peek() == '-';
                advance();
                auto o = offset(neg);
                if (!o) return std::nullopt;
                base = *o;
            }
            return base;
        }
        if (peek() == '+' || peek() == '-') {
            const bool neg = peek() == '-';
            advance();
            return offset(neg);
        }
        return std::nullopt;
    }

    // The ISO 8601 zone: "Z" or a numeric offset.
    std::optional<int64_t> zoneISO() {
        if (peek() == 'Z' || peek() == 'z') {
            advance();
            return 0;
        }
        if (peek() == '+' || peek() == '-') {
            const bool neg = peek() == '-';
            advance();
            return offset(neg);
        }
        return std::nullopt;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<platform::Date> rfcDate(std::string_view text, RFCStandards standard) {
    Reader r(text);
    std::optional<int64_t> year;
    bool pivotYear = false;
    unsigned month = 0, day = 0;
    int64_t hour = 0, minute = 0, second = 0, zone = 0;
    double fraction = 0;
    for (const Token& t : tokensOf(standard)) {
        switch (t.field) {
        case 0:
            if (!r.literal(t.literal)) return std::nullopt;
            break;
        case 'E':
            if (!r.name(dayNames)) return std::nullopt;
            break;
        case 'M':
            if (t.count >= 3) {
                auto m = r.name(monthNames);
                if (!m) return std::nullopt;
                month = *m + 1;
            } else {
                auto m = r.number(1, 2);
                if (!m) return std::nullopt;
                month = static_cast<unsigned>(*m);
            }
            break;
        case 'd': {
            auto d = r.number(1, 2);
            if (!d) return std::nullopt;
            day = static_cast<unsigned>(*d);
            break;
        }
        case 'y': {
            std::size_t digits = 0;
            year = r.number(1, 4, &digits);
            if (!year) return std::nullopt;
            pivotYear = t.count == 2 && digits == 2;
            break;
        }
        case 'H':
        case 'm':
        case 's': {
            auto v = r.number(1, 2);
            if (!v) return std::nullopt;
            (t.field == 'H' ? hour : t.field == 'm' ? minute : second) = *v;
            break;
        }
        case 'S': {
            std::size_t digits = 0;
            auto v = r.number(1, 9, &digits);
            if (!v) return std::nullopt;
            fraction = static_cast<double>(*v) / std::pow(10.0, static_cast<double>(digits));
            break;
        }
        case 'z': {
            auto z = r.zoneName();
            if (!z) return std::nullopt;
            zone = *z;
            break;
        }
        case 'Z': {
            auto z = r.zoneISO();
            if (!z) return std::nullopt;
            zone = *z;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    if (!r.atEnd() || !year) return std::nullopt;
    if (pivotYear) {
        // The century that puts the year within [now - 80, now + 20).
        const int64_t start = currentYear() - 80;
        int64_t y = start - start % 100 + *year;
        if (y < start) y += 100;
        year = y;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(*year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
    const int64_t seconds = daysFromCivil(*year, month, day) * 86400 + hour * 3600 + minute * 60 + second - zone;
    return platform::Date(static_cast<double>(seconds) + fraction);
}

std::optional<platform::Date> dateFromRFCString(std::string_view rfcString) {
    for (auto s : {RFCStandards::rfc822, RFCStandards::rfc850, RFCStandards::asctime, RFCStandards::rfc3339,
                   RFCStandards::rfc3339Extended})
        if (auto d = rfcDate(rfcString, s)) return d;
    return std::nullopt;
}

std::optional<std::string> rfcString(const platform::Date& date, RFCStandards standard) {
    const double t = date.timeIntervalSince1970();
    // Years 1 to 9999.
    if (!std::isfinite(t) || t < -62135596800.0 || t >= 253402300800.0) return std::nullopt;
    const double whole = std::floor(t);
    const auto secs = static_cast<int64_t>(whole);
    auto millis = static_cast<int64_t>((t - whole) * 1000.0);
    if (millis > 999) millis = 999;
    int64_t days = secs / 86400;
    int64_t rem = secs % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    const Civil c = civilFromDays(days);
    const int64_t weekday = ((days % 7) + 11) % 7;  // 1970-01-01 was a Thursday (4)

    std::string out;
    char buf[32];
    auto number = [&](int64_t v, std::size_t width) {
        std::snprintf(buf, sizeof buf, "%0*lld", static_cast<int>(width), static_cast<long long>(v));
        out += buf;
    };
    for (const Token& tok : tokensOf(standard)) {
        switch (tok.field) {
        case 0: out += tok.literal; break;
        case 'E': {
            const auto name = dayNames[static_cast<std::size_t>(weekday)];
            out += tok.count >= 4 ? name : name.substr(0, 3);
            break;
        }
        case 'M':
            if (tok.count >= 4) out += monthNames[c.m - 1];
            else if (tok.count == 3) out += monthNames[c.m - 1].substr(0, 3);
            else number(c.m, tok.count);
            break;
        case 'd': number(c.d, tok.count); break;
        case 'y': tok.count == 2 ? number(c.y % 100, 2) : number(c.y, tok.count); break;
        case 'H': number(rem / 3600, tok.count); break;
        case 'm': number(rem % 3600 / 60, tok.count); break;
        case 's': number(rem % 60, tok.count); break;
        case 'S': number(millis, 3); break;
        case 'z': out += "GMT"; break;
        case 'Z': out += "Z"; break;
        default: break;
        }
    }
    return out;
}

} // namespace RiridOzizevud
