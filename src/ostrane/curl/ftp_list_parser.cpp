#include "ostrane/curl/ftp_list_parser.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

namespace {

using i64 = std::int64_t;

constexpr i64 kMax = std::numeric_limits<i64>::max();
constexpr i64 kMin = std::numeric_limits<i64>::min();

// Listing lines come from the server: every sum and product saturates instead of overflowing.
i64 satAdd(i64 a, i64 b) {
    i64 r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kMax : kMin;
    return r;
}

i64 satSub(i64 a, i64 b) {
    i64 r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kMax : kMin;
    return r;
}

i64 satMul(i64 a, i64 b) {
    i64 r;
    if (__builtin_mul_overflow(a, b, &r)) return (a < 0) != (b < 0) ? kMin : kMax;
    return r;
}

// Decimal without checks, as the listing styles are read: a non-digit byte still counts by its
// distance from "0".
i64 number(const char *p, i64 n) {
    i64 v = 0;
    for (i64 i = 0; i < n; ++i) v = satAdd(satMul(v, 10), i64(static_cast<unsigned char>(p[i])) - '0');
    return v;
}

i64 floorDiv(i64 a, i64 b) {
    i64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Far beyond any real date, and small enough that its days and seconds fit in 64 bits.
constexpr i64 kYearLimit = 100'000'000'000;

// Seconds from 1970-01-01 to 00:00 of the date (month 0 = January, day from 1), proleptic
// Gregorian; days past a month's end run on into the next month.
i64 date_time(i64 year, i64 month, i64 day) {
    i64 carry = month / 12;
    month %= 12;
    if (month < 0) {
        month += 12;
        --carry;
    }
    year = satAdd(year, carry);
    if (year > kYearLimit) year = kYearLimit;
    if (year < -kYearLimit) year = -kYearLimit;
    const i64 m = month + 1;
    const i64 y = year - (m <= 2 ? 1 : 0);
    const i64 era = floorDiv(y, 400);
    const i64 yoe = y - era * 400;
    const i64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
    const i64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const i64 days = era * 146097 + doe - 719468;
    return satMul(satAdd(days, satSub(day, 1)), 86400);
}

i64 clockSeconds(i64 date, i64 hour, i64 minute) {
    return satAdd(satAdd(date, satMul(hour, 3600)), satMul(minute, 60));
}

i64 base = 0;
std::once_flag baseOnce;

void init_base() {
    std::call_once(baseOnce, [] {
        std::time_t zero = 0;
        std::tm t{};
        if (!gmtime_r(&zero, &t)) return;
        base = -clockSeconds(date_time(i64(t.tm_year) + 1900, t.tm_mon, t.tm_mday), t.tm_hour, t.tm_min) - t.tm_sec;
    });
}

i64 yearOf(i64 now) {
    const std::time_t t = static_cast<std::time_t>(now);
    std::tm parts{};
    if (!gmtime_r(&t, &parts)) return 1970;
    return i64(parts.tm_year) + 1900;
}

i64 currentyear = 0;
std::once_flag yearOnce;

// The clock the year guess reads: the platform's, or one fixed by the caller.
struct Clock {
    bool fixed = false;
    i64 fixedNow = 0;

    i64 now() const { return fixed ? fixedNow : satSub(i64(std::time(nullptr)), base); }
    i64 year() const {
        if (fixed) return yearOf(fixedNow);
        std::call_once(yearOnce, [this] { currentyear = yearOf(now()); });
        return currentyear;
    }
};

const char months[12][4] = {"jan", "feb", "mar", "apr", "may", "jun",
                            "jul", "aug", "sep", "oct", "nov", "dec"};

int getmonth(const char *text, i64 length) {
    if (length != 3) return -1;
    for (int m = 0; m < 12; ++m) {
        bool same = true;
        for (int k = 0; k < 3 && same; ++k) same = text[k] == months[m][k] || text[k] == months[m][k] - 32;
        if (same) return m;
    }
    return -1;
}

// 00:00 of the date in the most recent year in which it lies less than 350 days back (or ahead).
i64 guess_date_time(i64 month, i64 day, const Clock &clock) {
    const i64 now = clock.now();
    const i64 year = clock.year();
    for (i64 y = year - 1; y < year + 100; ++y) {
        const i64 t = date_time(y, month, day);
        if (satSub(now, t) < 350LL * 86400) return t;
    }
    return 0;
}

int parseEPLF(ftp_list_record *r, const char *buf, i64 len) {
    i64 start = 1;
    for (i64 i = 1; i < len; ++i) {
        if (buf[i] == '\t') {
            r->name = buf + i + 1;
            r->name_length = int32_t(len - i - 1);
            return 1;
        }
        if (buf[i] != ',') continue;
        const char *fact = buf + start;
        const i64 factLength = i - start;
        start = i + 1;
        if (factLength == 0) continue;
        switch (fact[0]) {
        case '/': r->may_be_directory = 1; break;
        case 'r': r->may_be_file = 1; break;
        case 's':
            r->size_kind = 1;
            r->size = number(fact + 1, factLength - 1);
            break;
        case 'm':
            r->time_kind = 1;
            r->mtime = satAdd(base, number(fact + 1, factLength - 1));
            break;
        case 'i':
            r->id_kind = 1;
            r->id = fact + 1;
            r->id_length = int32_t(factLength - 1);
            break;
        default: break;
        }
    }
    return 0;
}

int parseLs(ftp_list_record *r, const char *buf, i64 len, const Clock &clk) {
    switch (buf[0]) {
    case 'd': r->may_be_directory = 1; break;
    case '-': r->may_be_file = 1; break;
    case 'l': r->may_be_directory = r->may_be_file = 1; break;
    default: break;
    }
    int state = 1;
    i64 size = 0, month = 0, day = 0;
    i64 fieldStart = 0;
    for (i64 i = 1; i < len && state != 8; ++i) {
        if (buf[i] != ' ' || buf[i - 1] == ' ') continue;
        const char *field = buf + fieldStart;
        const i64 fieldLength = i - fieldStart;
        switch (state) {
        case 1: state = 2; break;
        // Some servers print one six-byte column starting with "f" for link count and owner.
        case 2: state = (fieldLength == 6 && field[0] == 'f') ? 4 : 3; break;
        case 3: state = 4; break;
        case 4:
            size = number(field, fieldLength);
            state = 5;
            break;
        case 5: {
            // The last number before the month is the size, however many owner columns precede it.
            const int m = getmonth(field, fieldLength);
            if (m >= 0) {
                month = m;
                state = 6;
            } else {
                size = number(field, fieldLength);
            }
            break;
        }
        case 6:
            day = number(field, fieldLength);
            state = 7;
            break;
        case 7: {
            bool isClock = false;
            i64 hour = 0, minute = 0;
            if (fieldLength == 4 && field[1] == ':') {
                isClock = true;
                hour = number(field, 1);
                minute = number(field + 2, 2);
            } else if (fieldLength == 5 && field[2] == ':') {
                isClock = true;
                hour = number(field, 2);
                minute = number(field + 3, 2);
            }
            if (isClock) {
                r->time_kind = 2;
                r->mtime = satAdd(base, clockSeconds(guess_date_time(month, day, clk), hour, minute));
            } else if (fieldLength >= 4) {
                r->time_kind = 3;
                r->mtime = satAdd(base, date_time(number(field, fieldLength), month, day));
            } else {
                return 0;
            }
            // Further blanks belong to the name.
            r->name = buf + i + 1;
            r->name_length = int32_t(len - i - 1);
            state = 8;
            break;
        }
        default: break;
        }
        fieldStart = i + 1;
        while (fieldStart < len && buf[fieldStart] == ' ') ++fieldStart;
    }
    if (state != 8) return 0;
    r->size_kind = 1;
    r->size = size;
    if (buf[0] == 'l') {
        for (int32_t p = 0; p + 3 < r->name_length; ++p) {
            if (std::memcmp(r->name + p, " -> ", 4) == 0) {
                r->name_length = p;
                break;
            }
        }
    }
    // NetWare pads the name column with three blanks.
    if ((buf[1] == ' ' || buf[1] == '[') && r->name_length > 3 && std::memcmp(r->name, "   ", 3) == 0) {
        r->name += 3;
        r->name_length -= 3;
    }
    return 1;
}

// Scans over the line; each reports whether it stopped before the end.
struct Cursor {
    const char *buf;
    i64 len;
    i64 i = 0;

    bool atEnd() const { return i >= len; }
    bool upTo(char c) {
        while (i < len && buf[i] != c) ++i;
        return i < len;
    }
    bool upToEither(char a, char b) {
        while (i < len && buf[i] != a && buf[i] != b) ++i;
        return i < len;
    }
    bool skip(char c) {
        while (i < len && buf[i] == c) ++i;
        return i < len;
    }
};

int parseVMS(ftp_list_record *r, const char *buf, i64 len, i64 semicolon) {
    r->name = buf;
    r->name_length = int32_t(semicolon);
    if (semicolon > 4 && std::memcmp(buf + semicolon - 4, ".DIR", 4) == 0) {
        r->name_length -= 4;
        r->may_be_directory = 1;
    } else {
        r->may_be_file = 1;
    }
    Cursor c{buf, len, semicolon};
    if (!c.upTo(' ') || !c.skip(' ') || !c.upTo(' ') || !c.skip(' ')) return 0;
    i64 from = c.i;
    if (!c.upTo('-')) return 0;
    const i64 day = number(buf + from, c.i - from);
    if (!c.skip('-')) return 0;
    from = c.i;
    if (!c.upTo('-')) return 0;
    const int month = getmonth(buf + from, c.i - from);
    if (month < 0 || !c.skip('-')) return 0;
    from = c.i;
    if (!c.upTo(' ')) return 0;
    const i64 year = number(buf + from, c.i - from);
    if (!c.skip(' ')) return 0;
    from = c.i;
    if (!c.upTo(':')) return 0;
    const i64 hour = number(buf + from, c.i - from);
    if (!c.skip(':')) return 0;
    from = c.i;
    if (!c.upToEither(':', ' ')) return 0;
    const i64 minute = number(buf + from, c.i - from);
    r->time_kind = 2;
    r->mtime = satAdd(base, clockSeconds(date_time(year, month, day), hour, minute));
    return 1;
}

int parseDOS(ftp_list_record *r, const char *buf, i64 len) {
    Cursor c{buf, len};
    if (!c.upTo('-')) return 0;
    const i64 month = satSub(number(buf, c.i), 1);
    if (!c.skip('-')) return 0;
    i64 from = c.i;
    if (!c.upTo('-')) return 0;
    const i64 day = number(buf + from, c.i - from);
    if (!c.skip('-')) return 0;
    from = c.i;
    if (!c.upTo(' ')) return 0;
    i64 year = number(buf + from, c.i - from);
    if (year < 50) year += 2000;
    if (year < 1000) year += 1900;
    if (!c.skip(' ')) return 0;
    from = c.i;
    if (!c.upTo(':')) return 0;
    i64 hour = number(buf + from, c.i - from);
    if (!c.skip(':')) return 0;
    from = c.i;
    if (!c.upToEither('A', 'P')) return 0;
    const i64 minute = number(buf + from, c.i - from);
    if (hour == 12) hour = 0;
    if (buf[c.i] == 'P') hour = satAdd(hour, 12);
    ++c.i;
    if (c.atEnd()) return 0;
    if (buf[c.i] == 'M') ++c.i;
    if (!c.skip(' ')) return 0;
    if (buf[c.i] == '<') {
        r->may_be_directory = 1;
        if (!c.upTo(' ')) return 0;
    } else {
        from = c.i;
        if (!c.upTo(' ')) return 0;
        r->size_kind = 1;
        r->size = number(buf + from, c.i - from);
        r->may_be_file = 1;
    }
    if (!c.skip(' ')) return 0;
    r->name = buf + c.i;
    r->name_length = int32_t(len - c.i);
    r->time_kind = 2;
    r->mtime = satAdd(base, clockSeconds(date_time(year, month, day), hour, minute));
    return 1;
}

int parse(ftp_list_record *r, const char *buf, int32_t length, const Clock &clock) {
    if (!r) return 0;
    *r = ftp_list_record{};
    if (!buf || length < 2) return 0;
    init_base();
    const i64 len = length;
    switch (buf[0]) {
    case '+': return parseEPLF(r, buf, len);
    case 'b':
    case 'c':
    case 'd':
    case 'l':
    case 'p':
    case 's':
    case '-': return parseLs(r, buf, len, clock);
    default: break;
    }
    if (const void *semicolon = std::memchr(buf, ';', std::size_t(len))) {
        return parseVMS(r, buf, len, static_cast<const char *>(semicolon) - buf);
    }
    if (buf[0] >= '0' && buf[0] <= '9') return parseDOS(r, buf, len);
    return 0;
}

}  // namespace

extern "C" int parse_ftp_list_line(ftp_list_record *record, const char *line, int32_t length) {
    return parse(record, line, length, Clock{});
}

namespace Ostrane::ftplist {
int parseAt(ftp_list_record *record, const char *line, int32_t length, int64_t now) {
    return parse(record, line, length, Clock{true, now});
}
}  // namespace Ostrane::ftplist
