// test-labels: unit tsan
#include "ostrane/curl/ftp_list_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t utc(int year, int month, int day, int hour = 0, int minute = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return int64_t(timegm(&t));
}

// Noon UTC on 9 December 2026: the clock of every table case.
const int64_t kNow = utc(2026, 12, 9, 12, 0);

std::string view(const char *p, int32_t n) { return p ? std::string(p, std::size_t(n)) : std::string(); }

// The first call in the process sets the process-wide base and year; several threads race for it.
TEST(FTPListParser, FirstUseFromManyThreadsAgrees) {
    const std::string line = "-rw-r--r-- 1 u g 5 Mar  3 14:05 clip.mkv";
    std::vector<int64_t> times(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < times.size(); ++i) {
        threads.emplace_back([&, i] {
            ftp_list_record r;
            times[i] = parse_ftp_list_line(&r, line.data(), int32_t(line.size())) ? r.mtime : -1;
        });
    }
    for (auto &t : threads) t.join();
    for (auto t : times) EXPECT_EQ(t, times[0]);
    std::tm parts{};
    const std::time_t when = std::time_t(times[0]);
    ASSERT_TRUE(gmtime_r(&when, &parts));
    EXPECT_EQ(parts.tm_mon, 2);
    EXPECT_EQ(parts.tm_hour, 14);
    EXPECT_EQ(parts.tm_min, 5);
}

struct Case {
    const char *what;
    std::string line;
    int ok;
    std::string name = {};
    int dir = 0, file = 0;
    int sizeKind = 0;
    int64_t size = 0;
    int timeKind = 0;
    std::optional<int64_t> mtime = {};  // absent: any value will do
    std::string id = {};
};

constexpr int64_t kHuge = std::numeric_limits<int64_t>::max();

const std::vector<Case> &cases() {
    static const std::vector<Case> table = {
        {"summary line", "total 24", 0},
        {"one byte", "d", 0},
        {"empty", "", 0},
        {"blank line", "   ", 0},
        {"ls file, time this year", "-rw-r--r--   1 anna  staff  1048576 Mar  3 14:05 holiday clip.mkv", 1,
         "holiday clip.mkv", 0, 1, 1, 1048576, 2, utc(2026, 3, 3, 14, 5)},
        {"ls directory with year", "drwxr-xr-x   5 anna  staff      160 Oct 12  2019 Movies", 1, "Movies", 1, 0, 1,
         160, 3, utc(2019, 10, 12)},
        {"ls without group column", "drwxr-xr-x   5 anna      160 Oct 12  2019 Movies", 1, "Movies", 1, 0, 1, 160, 3,
         utc(2019, 10, 12)},
        {"ls link", "lrwxr-xr-x   1 anna  staff       11 Jan  2 09:30 latest -> 2024/final", 1, "latest", 1, 1, 1,
         11, 2, utc(2026, 1, 2, 9, 30)},
        {"ls link without target", "lrwxrwxrwx 1 u g 3 Jan  1  2020 a ->", 1, "a ->", 1, 1, 1, 3, 3,
         utc(2020, 1, 1)},
        {"one-digit hour", "-rw-r--r-- 1 u g 7 Jun  1 9:07 a", 1, "a", 0, 1, 1, 7, 2, utc(2026, 6, 1, 9, 7)},
        {"two-digit hour", "-rw-r--r-- 1 u g 7 Jun  1 09:07 a", 1, "a", 0, 1, 1, 7, 2, utc(2026, 6, 1, 9, 7)},
        {"time field too short", "-rw-r--r-- 1 u g 7 Jun  1 123 a", 0},
        {"line ends in the date", "-rw-r--r-- 1 u g 7 Jun  1 2020", 0},
        {"blanks belong to the name", "-rw-r--r-- 1 u g 10 Jan  1  2020   spaced  name ", 1, "  spaced  name ", 0, 1,
         1, 10, 3, utc(2020, 1, 1)},
        {"upper-case month", "-rw-r--r-- 1 u g 10 JAN  1  2020 x", 1, "x", 0, 1, 1, 10, 3, utc(2020, 1, 1)},
        {"unknown month", "-rw-r--r-- 1 u g 10 Jnu  1  2020 x", 0},
        {"day past the month's end runs on", "-rw-r--r-- 1 u g 10 Apr 31  2020 x", 1, "x", 0, 1, 1, 10, 3,
         utc(2020, 5, 1)},
        {"block device", "brw-rw----  1 root disk 8, 0 Jan  1  2020 sda", 1, "sda", 0, 0, 1, 0, 3, utc(2020, 1, 1)},
        {"folder column in place of link count", "drwxrwxrwx               folder        2 May 10  1996 network", 1,
         "network", 1, 0, 1, 2, 3, utc(1996, 5, 10)},
        {"NetWare", "d [RWCEAFMS] admin        512       Jan 16 18:53    shared", 1, "shared", 1, 0, 1, 512, 2,
         utc(2026, 1, 16, 18, 53)},
        {"NetWare file", "- [RWCEAFMS] admin     2048       Feb  1  2024    a b", 1, "a b", 0, 1, 1, 2048, 3,
         utc(2024, 2, 1)},
        {"size past 64 bits saturates", "-rw-r--r-- 1 u g 99999999999999999999999 Jan  1  2020 big", 1, "big", 0, 1,
         1, kHuge, 3, utc(2020, 1, 1)},
        {"year past 64 bits", "-rw-r--r-- 1 u g 1 Jan  1 99999999999999999999999 x", 1, "x", 0, 1, 1, 1, 3},
        {"negative-looking day", "-rw-r--r-- 1 u g 1 Jan --99999999999999999999 2020 x", 1, "x", 0, 1, 1, 1, 3},
        {"DOS directory", "03-14-21  07:45PM       <DIR>          Shows", 1, "Shows", 1, 0, 0, 0, 2,
         utc(2021, 3, 14, 19, 45)},
        {"DOS file after midnight", "03-14-21  12:05AM            4096 a.txt", 1, "a.txt", 0, 1, 1, 4096, 2,
         utc(2021, 3, 14, 0, 5)},
        {"DOS file at noon", "03-14-21  12:05PM            4096 a.txt", 1, "a.txt", 0, 1, 1, 4096, 2,
         utc(2021, 3, 14, 12, 5)},
        {"DOS 1990s year", "12-31-99  11:59PM  1 old name.txt", 1, "old name.txt", 0, 1, 1, 1, 2,
         utc(1999, 12, 31, 23, 59)},
        {"DOS four-digit year", "01-02-2023  01:00AM  5 n", 1, "n", 0, 1, 1, 5, 2, utc(2023, 1, 2, 1, 0)},
        {"DOS without name", "03-14-21  07:45PM       <DIR>   ", 0},
        {"DOS without AM/PM", "03-14-21  07:45       <DIR> x", 0},
        {"DOS huge numbers", "99999999999999999999-99999999999999999999-99999999999999999999  "
                             "99999999999999999999:99999999999999999999PM 99999999999999999999 x",
         1, "x", 0, 1, 1, kHuge, 2},
        {"VMS directory", "MOVIES.DIR;1   3  8-SEP-2020 16:09 [MEDIA] (RWE,RWE,RE,RE)", 1, "MOVIES", 1, 0, 0, 0, 2,
         utc(2020, 9, 8, 16, 9)},
        {"VMS file", "NOTES.TXT;3  2 30-DEC-2019 17:44 [X]", 1, "NOTES.TXT", 0, 1, 0, 0, 2, utc(2019, 12, 30, 17, 44)},
        {"VMS minute at line end", "NOTES.TXT;3  2 30-DEC-2019 17:44", 0},
        {"VMS bad month", "NOTES.TXT;3  2 30-DEX-2019 17:44 [X]", 0},
        {"EPLF directory", "+i7721.3301,m1600000000,/,\tfilms", 1, "films", 1, 0, 0, 0, 1, 1600000000, "7721.3301"},
        {"EPLF without TAB", "+i7721.3301,m1600000000,/,films", 0},
        {"EPLF file", "+r,s1234,\tclip one.mkv", 1, "clip one.mkv", 0, 1, 1, 1234, 0, 0},
        {"EPLF empty facts", "+,,r,\tx", 1, "x", 0, 1},
        {"EPLF huge size", "+s999999999999999999999999,\tx", 1, "x", 0, 0, 1, kHuge},
        // Lines as pyftpdlib and vsftpd write them.
        {"pyftpdlib file", "-rw-r--r--   1 root     root            2 Dec 10 13:57 a b.mkv", 1, "a b.mkv", 0, 1,
         1, 2, 2, utc(2026, 12, 10, 13, 57)},
        {"pyftpdlib directory", "drwxr-xr-x   2 root     root         4096 Jan 02  2020 Movies", 1, "Movies", 1, 0,
         1, 4096, 3, utc(2020, 1, 2)},
        {"pyftpdlib link", "lrwxrwxrwx   1 root     root            6 Jan 02  2020 latest -> Movies", 1, "latest",
         1, 1, 1, 6, 3, utc(2020, 1, 2)},
        {"vsftpd file", "-rw-r--r--    1 0        0               2 Dec 10 13:57 a b.mkv", 1, "a b.mkv", 0, 1, 1, 2,
         2, utc(2026, 12, 10, 13, 57)},
        {"vsftpd directory", "drwxr-xr-x    2 0        0            4096 Jan 02  2020 Movies", 1, "Movies", 1, 0, 1,
         4096, 3, utc(2020, 1, 2)},
        {"vsftpd link", "lrwxrwxrwx    1 0        0               6 Jan 02  2020 latest -> Movies", 1, "latest", 1, 1,
         1, 6, 3, utc(2020, 1, 2)},
        {"vsftpd summary", "total 8", 0},
    };
    return table;
}

TEST(FTPListParser, ListingStyles) {
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.what);
        ftp_list_record r;
        ASSERT_EQ(Ostrane::ftplist::parseAt(&r, c.line.data(), int32_t(c.line.size()), kNow), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(view(r.name, r.name_length), c.name);
        EXPECT_EQ(r.may_be_directory, c.dir);
        EXPECT_EQ(r.may_be_file, c.file);
        EXPECT_EQ(r.size_kind, c.sizeKind);
        EXPECT_EQ(r.size, c.size);
        EXPECT_EQ(r.time_kind, c.timeKind);
        if (c.mtime) {
            EXPECT_EQ(r.mtime, *c.mtime);
        }
        EXPECT_EQ(r.id_kind, c.id.empty() ? 0 : 1);
        EXPECT_EQ(view(r.id, r.id_length), c.id);
    }
}

TEST(FTPListParser, YearOfDatesWithoutYear) {
    struct Guess {
        int64_t now;
        const char *date;
        int month, day;
        int year;
    };
    const int64_t january = utc(2026, 1, 5, 12, 0);
    const Guess guesses[] = {
        {kNow, "Dec 20", 12, 20, 2026},  // 11 days ahead; a year back would be 354 days
        {kNow, "Dec 28", 12, 28, 2025},  // 346 days back
        {kNow, "Jun  1", 6, 1, 2026},
        {kNow, "Dec  9", 12, 9, 2026},
        {january, "Feb  1", 2, 1, 2025},
        {january, "Jan 20", 1, 20, 2026},
        {january, "Dec 31", 12, 31, 2025},
    };
    for (const Guess &g : guesses) {
        const std::string line = std::string("-rw-r--r-- 1 u g 1 ") + g.date + " 10:00 f";
        SCOPED_TRACE(line);
        ftp_list_record r;
        ASSERT_EQ(Ostrane::ftplist::parseAt(&r, line.data(), int32_t(line.size()), g.now), 1);
        EXPECT_EQ(r.mtime, utc(g.year, g.month, g.day, 10, 0));
    }
}

// Every prefix of every line, in a buffer of exactly that size: the sanitizer reports any read
// past it, and whatever the parser points at lies inside it.
TEST(FTPListParser, TruncatedLinesStayInside) {
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.what);
        for (std::size_t n = 0; n <= c.line.size(); ++n) {
            std::vector<char> buffer(c.line.begin(), c.line.begin() + std::ptrdiff_t(n));
            const char *begin = buffer.data();
            ftp_list_record r;
            if (!Ostrane::ftplist::parseAt(&r, begin, int32_t(n), kNow)) continue;
            ASSERT_NE(r.name, nullptr) << n;
            ASSERT_GE(r.name, begin) << n;
            ASSERT_GE(r.name_length, 0) << n;
            ASSERT_LE(r.name + r.name_length, begin + n) << n;
            if (r.id) {
                ASSERT_GE(r.id, begin) << n;
                ASSERT_GE(r.id_length, 0) << n;
                ASSERT_LE(r.id + r.id_length, begin + n) << n;
            }
        }
    }
}

TEST(FTPListParser, BadArguments) {
    ftp_list_record r;
    EXPECT_EQ(parse_ftp_list_line(nullptr, "total 1", 7), 0);
    EXPECT_EQ(parse_ftp_list_line(&r, nullptr, 7), 0);
    EXPECT_EQ(parse_ftp_list_line(&r, "-rw-r--r-- 1 u g 1 Jan 1 2020 x", -5), 0);
    EXPECT_EQ(r.name, nullptr);
}

TEST(FTPListParser, ClockEntryPointMatchesForDatedLines) {
    const std::string line = "drwxr-xr-x   5 anna  staff      160 Oct 12  2019 Movies";
    ftp_list_record a, b;
    ASSERT_EQ(parse_ftp_list_line(&a, line.data(), int32_t(line.size())), 1);
    ASSERT_EQ(Ostrane::ftplist::parseAt(&b, line.data(), int32_t(line.size()), kNow), 1);
    EXPECT_EQ(a.mtime, b.mtime);
    EXPECT_EQ(a.size, b.size);
    EXPECT_EQ(view(a.name, a.name_length), "Movies");
}

}  // namespace
