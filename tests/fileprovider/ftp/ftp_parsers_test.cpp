// test-labels: unit
#include "fileprovider/ftp/FTPListParser.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"

#include <gtest/gtest.h>

#include <ctime>

using namespace RiridOzizevud;
using platform::URL;
using platform::URLFileResourceType;
using platform::URLResourceKey;

namespace {

const std::optional<URL> base = URL::parse("ftp://files.example.com/base/");

std::tm localFields(const platform::Date& d) {
    const std::time_t t = static_cast<std::time_t>(d.timeIntervalSince1970());
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

} // namespace

TEST(FTPError, ReplyCodeAndDescriptionComeFromTheLastLine) {
    struct Case {
        std::string reply;
        int64_t code;
        std::string description;
    } cases[] = {
        {"550 Permission denied", 550, "Permission denied"},
        {"550-Line one\r\n550 Line two", 550, "Line two"},
        {"550-Busy", 550, "-Busy"},
        // The "-" inside the text is found before the space.
        {"550 Can't open file-name", -1, "550 Can't open file-name"},
        {"Error", -1, "Error"},
        {"000 x", 0, "000 x"},
        {"", -1, ""},
        {"99999999999999999999 overflow", -1, "99999999999999999999 overflow"},
    };
    for (const auto& c : cases) {
        FileProviderFTPError e(c.reply, "/x");
        EXPECT_EQ(e.replyCode(), c.code) << c.reply;
        EXPECT_EQ(e.serverDescription(), c.description) << c.reply;
        EXPECT_EQ(e.errorDescription(), e.serverDescription());
        EXPECT_EQ(e.path(), "/x");
        EXPECT_EQ(e.localizedDescription(), c.description);
        // The reply code never becomes the error's own code.
        EXPECT_EQ(e.code(), 1);
    }
}

TEST(FTPListParser, FactLines) {
    auto e = parseMLSTLine("type=file;size=1234;modify=20240102143005;perm=rw;unique=abc;media-type=text/plain; notes.txt",
                           "/docs", base);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "notes.txt");
    EXPECT_EQ(e->path(), "/docs/notes.txt");
    EXPECT_EQ(e->url().absoluteString(), "ftp://files.example.com/base/docs/notes.txt");
    EXPECT_EQ(e->type(), URLFileResourceType::regular);
    EXPECT_EQ(e->size(), 1234);
    // RFC 3659 times are UTC.
    ASSERT_TRUE(e->modifiedDate());
    EXPECT_EQ(e->modifiedDate()->timeIntervalSince1970(), 1704205805);
    EXPECT_EQ(*e->allValues().at(URLResourceKey::isReadableKey).asBool(), true);
    EXPECT_EQ(*e->allValues().at(URLResourceKey::isWritableKey).asBool(), true);
    EXPECT_EQ(*e->allValues().at(fileResourceIdentifierKey).asString(), "abc");
    EXPECT_EQ(*e->allValues().at(mimeTypeKey).asString(), "text/plain");

    auto dir = parseMLSTLine("Type=DIR;Size=0;perm=R; x", "/", base);
    ASSERT_TRUE(dir);
    EXPECT_TRUE(dir->isDirectory());
    EXPECT_EQ(*dir->allValues().at(URLResourceKey::isReadableKey).asBool(), false);

    EXPECT_FALSE(parseMLSTLine("no facts here", "/", base));
    EXPECT_FALSE(parseMLSTLine("type=file;size=1;", "/", base));
    EXPECT_FALSE(parseMLSTLine("type=cdir;perm=el; .", "/", base));
    EXPECT_FALSE(parseMLSTLine("type=pdir;perm=el; ..", "/", base));

    // The name is all the text after the first "; ": ";" and runs of spaces stay in it.
    auto odd = parseMLSTLine("type=OS.unix=block;size=x;modify=20240102143005.123; a;b", "/", base);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->name(), "a;b");
    EXPECT_EQ(odd->path(), "/a;b");
    EXPECT_EQ(odd->type(), URLFileResourceType::blockSpecial);
    EXPECT_EQ(odd->size(), -1);
    EXPECT_FALSE(odd->modifiedDate());
    for (const std::string name : {"a; b", "a  b ", " lead", "x; y; z"}) {
        auto e = parseMLSTLine("type=file;size=1; " + name, "/d", base);
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(e->name(), name);
        EXPECT_EQ(e->path(), "/d/" + name);
    }

    // "MLST" names the full path; the base URL's path is taken off its front.
    auto full = parseMLSTLine("type=file;size=3; /base/dir/file", "/dir", base);
    ASSERT_TRUE(full);
    EXPECT_EQ(full->name(), "file");
    EXPECT_EQ(full->path(), "/dir/file");
}

TEST(FTPListParser, UnixLines) {
    auto f = parseUnixListLine("-rw-r--r--    1 owner group     4096 Mar 05  2021 Album  One.flac", "/music", base);
    ASSERT_TRUE(f);
    // The name is the raw text after the fixed fields: its runs of spaces stay.
    EXPECT_EQ(f->name(), "Album  One.flac");
    EXPECT_EQ(f->path(), "/music/Album  One.flac");
    EXPECT_EQ(f->size(), 4096);
    EXPECT_EQ(f->type(), URLFileResourceType::regular);
    EXPECT_EQ(*f->allValues().at(linkCountKey).asInt64(), 1);
    EXPECT_TRUE(*f->allValues().at(URLResourceKey::isWritableKey).asBool());
    ASSERT_TRUE(f->modifiedDate());
    const std::tm tm = localFields(*f->modifiedDate());
    EXPECT_EQ(tm.tm_year + 1900, 2021);
    EXPECT_EQ(tm.tm_mon, 2);
    EXPECT_EQ(tm.tm_mday, 5);
    EXPECT_EQ(tm.tm_hour, 0);

    auto d = parseUnixListLine("dr-xr-xr-x 3 o g 4096 Jan 1 12:00 Movies", "/", base);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->isDirectory());
    EXPECT_EQ(d->size(), -1);
    EXPECT_FALSE(*d->allValues().at(URLResourceKey::isWritableKey).asBool());
    // A time without a year never lies in the future.
    ASSERT_TRUE(d->modifiedDate());
    EXPECT_LE(d->modifiedDate()->timeIntervalSince1970(), platform::Date::now().timeIntervalSince1970());

    auto l = parseUnixListLine("lrwxrwxrwx 1 o g 7 Jan 1 2020 link -> target", "/", base);
    ASSERT_TRUE(l);
    EXPECT_TRUE(l->isSymLink());
    EXPECT_EQ(l->name(), "link");
    // Only a link's name loses its " -> target"; an arrow in a file's name stays.
    auto spaced = parseUnixListLine("lrwxrwxrwx 1 o g 7 Jan 1 2020 my  link -> a -> b", "/", base);
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->name(), "my  link");
    auto arrow = parseUnixListLine("-rw-r--r-- 1 o g 7 Jan 1 2020 a -> b ", "/", base);
    ASSERT_TRUE(arrow);
    EXPECT_EQ(arrow->name(), "a -> b ");

    EXPECT_FALSE(parseUnixListLine("total 12", "/", base));
    EXPECT_FALSE(parseUnixListLine("drwxr-xr-x 2 o g 4096 Jan 1 2020 .", "/", base));
    EXPECT_FALSE(parseUnixListLine("drwxr-xr-x 2 o g 4096 Jan 1 2020 ..", "/", base));
    auto bad = parseUnixListLine("-rw-r--r-- x o g big Foo 99 2020 odd", "/", base);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->size(), -1);
    EXPECT_EQ(*bad->allValues().at(linkCountKey).asInt64(), 0);
    EXPECT_FALSE(bad->modifiedDate());
}

TEST(FTPListParser, DOSLinesAndTheComposition) {
    auto d = parseDOSListLine("01-15-21  03:45PM       <DIR>          My Folder", "/", base);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->isDirectory());
    EXPECT_EQ(d->size(), -1);
    EXPECT_EQ(d->name(), "My Folder");
    auto spacedDOS = parseDOSListLine("01-15-21  03:45PM   12 a  b", "/", base);
    ASSERT_TRUE(spacedDOS);
    EXPECT_EQ(spacedDOS->name(), "a  b");
    ASSERT_TRUE(d->modifiedDate());
    const std::tm tm = localFields(*d->modifiedDate());
    EXPECT_EQ(tm.tm_year + 1900, 2021);
    EXPECT_EQ(tm.tm_hour, 15);
    auto f = parseDOSListLine("12-31-1999  12:05AM   1024 file.bin", "/", base);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->size(), 1024);
    EXPECT_EQ(localFields(*f->modifiedDate()).tm_hour, 0);

    const std::vector<std::string> lines = {"total 2", "-rw-r--r-- 1 o g 5 Jan 1 2020 a.txt",
                                            "01-15-21  03:45PM  7 b.txt", "", "garbage"};
    auto entries = parseFTPListLines(lines, false, "/d", base);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->name(), "a.txt");
    EXPECT_EQ(entries[1]->name(), "b.txt");
    EXPECT_EQ(parseFTPListLines({"type=file;size=1; x", lines[1]}, true, "/", base).size(), 1u);
}

TEST(FTPListParser, PassiveReplies) {
    struct Case {
        std::string reply;
        std::optional<std::string> host;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (192,168,1,2,19,137).", "192.168.1.2", 5001},
        {"227 =10,0,0,1,4,1", "10.0.0.1", 1025},
        {"227 Entering Passive Mode (127,555,555,555,4,1)", "", 1025},
        {"227 Entering Passive Mode (192,168,1,2,19)", std::nullopt, 0},
        {"227 Entering Passive Mode (300,168,1,2,19,137)", std::nullopt, 0},
        {"227 Entering Passive Mode (1,2,3,4,0,0)", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        auto a = parsePASVReply(c.reply);
        ASSERT_EQ(a.has_value(), c.host.has_value()) << c.reply;
        if (!a) continue;
        EXPECT_EQ(a->host, *c.host);
        EXPECT_EQ(a->port, c.port);
    }
    auto e = parseEPSVReply("229 Entering Extended Passive Mode (|||6446|)");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->host, "");
    EXPECT_EQ(e->port, 6446);
    EXPECT_FALSE(parseEPSVReply("229 Entering Extended Passive Mode (||)"));
    EXPECT_FALSE(parseEPSVReply("229 (|||99999|)"));
    EXPECT_FALSE(parseEPSVReply("229 (|||x|)"));
}
