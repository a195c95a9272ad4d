// test-labels: unit
// LIST replies as the FTP client keeps them: which lines become entries, of what kind and name.
#include "ostrane/curl/FTPListing.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Ostrane;

std::vector<std::string> described(const OstranePathComponent::Contents& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) {
        const char* kind = e->type() == OstraneFileType::directory      ? "dir "
                           : e->type() == OstraneFileType::symbolicLink ? "link "
                                                                        : "file ";
        out.push_back(kind + e->description());
    }
    return out;
}

TEST(FTPListing, KeepsEntriesDropsTheRest) {
    const struct {
        const char* what;
        std::string body;
        std::vector<std::string> entries;
    } cases[] = {
        {"summary, a file and a folder, CR LF",
         "total 8\r\n-rw-r--r-- 1 u g 10 Jan  1  2020 a b.mkv\r\ndrwxr-xr-x 2 u g 4096 Jan  1  2020 Movies\r\n",
         {"file a b.mkv 10", "dir Movies"}},
        {"LF, CR and no final line end",
         "-rw-r--r-- 1 u g 1 Jan  1  2020 one\r-rw-r--r-- 1 u g 2 Jan  1  2020 two\n-rw-r--r-- 1 u g 3 Jan  1  2020 three",
         {"file one 1", "file two 2", "file three 3"}},
        {"hidden names, dot entries", "-rw-r--r-- 1 u g 10 Jan 1 2020 .hidden\ndrwxr-xr-x 2 u g 1 Jan 1 2020 .\n"
                                      "drwxr-xr-x 2 u g 1 Jan 1 2020 ..\n",
         {}},
        {"a link is named before the arrow", "lrwxrwxrwx 1 u g 6 Jan 1 2020 latest -> Movies\n",
         {"link latest"}},
        {"a link whose name holds an arrow's blanks", "lrwxrwxrwx 1 u g 6 Jan 1 2020 a  b -> c -> d\n",
         {"link a  b"}},
        {"runs of blanks in names are kept", "-rw-r--r-- 1 u g 10 Jan  1  2020   two  blanks  \n",
         {"file " "  two  blanks   10"}},
        {"names no folder can hold", "+/,\tsub/dir\n+r,\t\n+r,s1,\tfine\n", {"file fine 1"}},
        {"a name that is not UTF-8", "-rw-r--r-- 1 u g 1 Jan 1 2020 \xE9t\xE9.mkv\n-rw-r--r-- 1 u g 1 Jan 1 2020 été.mkv\n",
         {"file été.mkv 1"}},
        {"empty reply", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto parent = OstraneDirectory::make("/");
        const auto entries = ftpListingComponents(c.body, parent);
        EXPECT_EQ(described(entries), c.entries);
        for (const auto& e : entries) EXPECT_EQ(e->parent(), parent);
        for (const auto& e : ftpListingComponents(c.body, nullptr)) EXPECT_EQ(e->parent(), nullptr);
    }
}

TEST(FTPListing, WellFormedUTF8) {
    const struct {
        std::string text;
        bool ok;
    } cases[] = {
        {"plain", true},
        {"\xC3\xA9t\xC3\xA9", true},
        {"\xF0\x9F\x8E\xAC", true},          // U+1F3AC
        {"\xC3", false},                      // cut short
        {"\xC0\xAF", false},                  // overlong "/"
        {"\xE0\x80\xAF", false},              // overlong
        {"\xED\xA0\x80", false},              // surrogate
        {"\xF4\x90\x80\x80", false},          // past U+10FFFF
        {"\xFF", false},
        {"a\x80", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isWellFormedUTF8(c.text), c.ok) << c.text;
}

}  // namespace
