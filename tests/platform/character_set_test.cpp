// test-labels: unit
#include "platform/text/CharacterSet.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using platform::CharacterSet;

namespace {

std::string asciiMembers(const CharacterSet& s) {
    std::string out;
    for (char32_t c = 0x20; c < 0x7F; ++c)
        if (s.contains(c)) out += static_cast<char>(c);
    return out;
}

TEST(CharacterSetTest, URLSets) {
    const std::string alnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    auto sorted = [](std::string s) { std::sort(s.begin(), s.end()); return s; };
    EXPECT_EQ(asciiMembers(CharacterSet::urlPathAllowed()), sorted(alnum + "-._~!$&'()*+,=:@/"));
    EXPECT_EQ(asciiMembers(CharacterSet::urlQueryAllowed()), sorted(alnum + "-._~!$&'()*+,;=:@/?"));
    EXPECT_EQ(asciiMembers(CharacterSet::urlFragmentAllowed()), sorted(alnum + "-._~!$&'()*+,;=:@/?"));
    EXPECT_EQ(asciiMembers(CharacterSet::urlHostAllowed()), sorted(alnum + "-._~!$&'()*+,;=:[]"));
    EXPECT_EQ(asciiMembers(CharacterSet::urlUserAllowed()), sorted(alnum + "-._~!$&'()*+,;="));
    EXPECT_EQ(asciiMembers(CharacterSet::urlPasswordAllowed()), sorted(alnum + "-._~!$&'()*+,;="));
    for (const auto* s : {&CharacterSet::urlPathAllowed(), &CharacterSet::urlQueryAllowed(), &CharacterSet::urlHostAllowed()}) {
        EXPECT_FALSE(s->contains(U'\u00E9'));
        EXPECT_FALSE(s->contains(U' '));
        EXPECT_FALSE(s->contains(U'%'));
    }
}

TEST(CharacterSetTest, BuildingSets) {
    auto noColon = CharacterSet::urlPathAllowed().removing(":");
    EXPECT_FALSE(noColon.contains(U':'));
    EXPECT_TRUE(noColon.contains(U'/'));
    EXPECT_TRUE(CharacterSet::urlPathAllowed().contains(U':'));  // the named set is untouched

    auto custom = CharacterSet::charactersIn("ab\xC3\xA9");
    EXPECT_TRUE(custom.contains(U'a'));
    EXPECT_TRUE(custom.contains(U'\u00E9'));
    EXPECT_FALSE(custom.contains(U'c'));
    custom.remove(std::string_view("\xC3\xA9"));
    EXPECT_FALSE(custom.contains(U'\u00E9'));

    auto allButSpace = CharacterSet::all().removing(" ");
    EXPECT_FALSE(allButSpace.contains(U' '));
    EXPECT_TRUE(allButSpace.contains(U'\u4E2D'));
    EXPECT_TRUE(allButSpace.contains(U'%'));
    auto inv = allButSpace.inverted();
    EXPECT_TRUE(inv.contains(U' '));
    EXPECT_FALSE(inv.contains(U'x'));
    EXPECT_FALSE(inv.contains(U'\u4E2D'));
    EXPECT_EQ(inv, CharacterSet::charactersIn(" "));

    auto u = CharacterSet::charactersIn("a").union_(CharacterSet::alphanumerics());
    EXPECT_TRUE(u.contains(U'\u00E9'));
    EXPECT_TRUE(u.contains(U'a'));
    auto s = CharacterSet::alphanumerics().subtracting(CharacterSet::decimalDigits());
    EXPECT_FALSE(s.contains(U'5'));
    EXPECT_FALSE(s.contains(U'\u0665'));  // ARABIC-INDIC DIGIT FIVE
    EXPECT_TRUE(s.contains(U'\u00E9'));
    EXPECT_TRUE(s.contains(U'\u00BD'));   // VULGAR FRACTION ONE HALF (No), not a decimal digit
}

TEST(CharacterSetTest, UnicodeClasses) {
    const auto& an = CharacterSet::alphanumerics();
    EXPECT_TRUE(an.contains(U'a'));
    EXPECT_TRUE(an.contains(U'7'));
    EXPECT_TRUE(an.contains(U'\u00E9'));
    EXPECT_TRUE(an.contains(U'\u0301'));  // combining acute (a mark)
    EXPECT_TRUE(an.contains(U'\u4E2D'));
    EXPECT_FALSE(an.contains(U'-'));
    EXPECT_FALSE(an.contains(U'\u2014'));  // em dash
    EXPECT_EQ(platform::addingPercentEncoding("caf\xC3\xA9 \xE2\x80\x94 ok", an), "caf\xC3\xA9%20%E2%80%94%20ok");
    EXPECT_TRUE(CharacterSet::whitespaces().contains(U'\u00A0'));
    EXPECT_FALSE(CharacterSet::whitespaces().contains(U'\n'));
    EXPECT_TRUE(CharacterSet::whitespacesAndNewlines().contains(U'\n'));
    EXPECT_TRUE(CharacterSet::whitespacesAndNewlines().contains(U'\u2028'));
    EXPECT_TRUE(CharacterSet::letters().contains(U'\u00E9'));
    EXPECT_FALSE(CharacterSet::letters().contains(U'1'));
}

TEST(CharacterSetTest, UTF8Validation) {
    EXPECT_TRUE(platform::isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(platform::isValidUTF8("\xC0\xAF"));           // overlong
    EXPECT_FALSE(platform::isValidUTF8("\xED\xA0\x80"));       // surrogate
    EXPECT_FALSE(platform::isValidUTF8("\xF4\x90\x80\x80"));   // above U+10FFFF
    EXPECT_FALSE(platform::isValidUTF8("\xE2\x82"));           // truncated
    EXPECT_EQ(platform::addingPercentEncoding("\xF0\x9F\x98\x80", CharacterSet::urlPathAllowed()), "%F0%9F%98%80");
}

} // namespace
