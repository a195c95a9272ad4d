// test-labels: unit
#include "platform/text/Collation.hpp"

#include <gtest/gtest.h>

using platform::ComparisonResult;

TEST(Collation, ThreeComparisons) {
    struct Case {
        const char* a;
        const char* b;
        ComparisonResult standard, plain, caseInsensitive;
    };
    constexpr auto A = ComparisonResult::orderedAscending;
    constexpr auto S = ComparisonResult::orderedSame;
    constexpr auto D = ComparisonResult::orderedDescending;
    const Case cases[] = {
        {"file2", "file10", A, D, D},       // numbers by value only in the standard comparison
        {"File", "file", S, D, S},          // letter case: a tie broken only by the plain one
        {"apple", "Banana", A, A, A},       // not by code point ("B" < "a")
        {"résumé", "resume", D, D, D},      // accents count in all three
        {"x", "x", S, S, S},
        {"", "a", A, A, A},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::localizedStandardCompare(c.a, c.b), c.standard) << c.a << " " << c.b;
        EXPECT_EQ(platform::localizedCompare(c.a, c.b), c.plain) << c.a << " " << c.b;
        EXPECT_EQ(platform::localizedCaseInsensitiveCompare(c.a, c.b), c.caseInsensitive) << c.a << " " << c.b;
    }
}
