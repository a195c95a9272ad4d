// test-labels: unit
#include "platform/data/Predicate.hpp"

#include <gtest/gtest.h>

using platform::ComparisonPredicate;
using platform::CompoundPredicate;
using platform::Predicate;
using platform::PredicateFormatError;
using platform::Value;
using platform::ValueDictionary;
using Op = ComparisonPredicate::Operator;

namespace {

ValueDictionary entry() {
    return ValueDictionary{
        {"name", "Résumé Final.TXT"},
        {"size", int64_t(2048)},
        {"ratio", 0.5},
        {"isHidden", false},
        {"modified", platform::Date(1000.0)},
        {"tags", Value::Array{"red", "Blue"}},
        {"meta", Value::Dictionary{{"owner", "ann"}}},
    };
}

struct EvalCase {
    const char* format;
    std::vector<Value> args;
    bool expected;
};

class PredicateEvaluation : public ::testing::TestWithParam<EvalCase> {};

TEST_P(PredicateEvaluation, EvaluatesOverDictionary) {
    const auto& c = GetParam();
    const auto p = Predicate::format(c.format, c.args);
    EXPECT_EQ(p->evaluate(entry()), c.expected) << c.format << " parsed as " << p->predicateFormat();
    // The format text reads back to a predicate that answers the same.
    const auto again = Predicate::format(p->predicateFormat());
    EXPECT_EQ(again->evaluate(entry()), c.expected) << p->predicateFormat();
    EXPECT_EQ(again->predicateFormat(), p->predicateFormat());
}

INSTANTIATE_TEST_SUITE_P(
    Operators, PredicateEvaluation,
    ::testing::Values(
        EvalCase{"TRUEPREDICATE", {}, true}, EvalCase{"FALSEPREDICATE", {}, false},
        // equality and order, with and without options
        EvalCase{"name == %@", {"Résumé Final.TXT"}, true}, EvalCase{"name == %@", {"résumé final.txt"}, false},
        EvalCase{"name ==[c] %@", {"résumé final.txt"}, true}, EvalCase{"name ==[c] %@", {"resume final.txt"}, false},
        EvalCase{"name ==[cd] %@", {"resume final.txt"}, true}, EvalCase{"name =[d] %@", {"Resume Final.TXT"}, true},
        EvalCase{"name != %@", {"x"}, true}, EvalCase{"name <> %@", {"Résumé Final.TXT"}, false},
        EvalCase{"size == 2048", {}, true}, EvalCase{"size == 2048.0", {}, true}, EvalCase{"size = %@", {int64_t(7)}, false},
        EvalCase{"size < 4096", {}, true}, EvalCase{"size <= 2048", {}, true}, EvalCase{"size =< 2047", {}, false},
        EvalCase{"size > 2047.5", {}, true}, EvalCase{"size >= 2049", {}, false}, EvalCase{"size => 2048", {}, true},
        EvalCase{"ratio < 1", {}, true}, EvalCase{"isHidden == NO", {}, true}, EvalCase{"isHidden == 0", {}, true},
        EvalCase{"modified > %@", {platform::Date(999.0)}, true},
        EvalCase{"modified == CAST(-978306200.0, \"NSDate\")", {}, true},
        // string operators
        EvalCase{"name BEGINSWITH %@", {"Rés"}, true}, EvalCase{"name BEGINSWITH %@", {"rés"}, false},
        EvalCase{"name BEGINSWITH[c] %@", {"rés"}, true}, EvalCase{"name BEGINSWITH[d] %@", {"Res"}, true},
        EvalCase{"name beginswith[CD] 'res'", {}, true}, EvalCase{"name ENDSWITH '.TXT'", {}, true},
        EvalCase{"name ENDSWITH '.txt'", {}, false}, EvalCase{"name ENDSWITH[c] '.txt'", {}, true},
        EvalCase{"name CONTAINS 'Final'", {}, true}, EvalCase{"name CONTAINS 'final'", {}, false},
        EvalCase{"name CONTAINS[c] 'final'", {}, true}, EvalCase{"name CONTAINS[cd] 'SUME F'", {}, true},
        EvalCase{"name LIKE 'R*.TXT'", {}, true}, EvalCase{"name LIKE 'r*.txt'", {}, false},
        EvalCase{"name LIKE[c] 'r?sum? *'", {}, true}, EvalCase{"name LIKE[cd] 'resume*'", {}, true},
        EvalCase{"name LIKE 'R*'", {}, true}, EvalCase{"name LIKE '*Final'", {}, false},
        // a string operator on a number, and a missing key
        EvalCase{"size BEGINSWITH '2'", {}, false}, EvalCase{"missing == nil", {}, true},
        EvalCase{"missing != nil", {}, false}, EvalCase{"missing < 3", {}, false},
        // key paths given as arguments, nested keys, aggregates
        EvalCase{"%K == %@", {"size", int64_t(2048)}, true}, EvalCase{"meta.owner == 'ann'", {}, true},
        EvalCase{"tags CONTAINS 'red'", {}, true}, EvalCase{"ANY tags ==[c] 'blue'", {}, true},
        EvalCase{"ALL tags ==[c] 'blue'", {}, false},
        // compounds and negation
        EvalCase{"name BEGINSWITH[c] 'r' AND size > 1000", {}, true},
        EvalCase{"name BEGINSWITH[c] 'x' && size > 1000", {}, false},
        EvalCase{"name BEGINSWITH[c] 'x' OR size > 1000", {}, true},
        EvalCase{"name BEGINSWITH[c] 'x' || size > 5000", {}, false}, EvalCase{"NOT size > 5000", {}, true},
        EvalCase{"!(size > 1000)", {}, false}, EvalCase{"NOT (size > 1 AND size < 3)", {}, true},
        EvalCase{"(size > 1 OR size < 0) AND NOT name == 'x'", {}, true},
        EvalCase{"size > 1 OR size < 0 AND name == 'x'", {}, true},
        EvalCase{"(%K BEGINSWITH[CD] %@) && (name CONTAINS 'Final')", {"name", "RÉS"}, true}));

TEST(Predicate, StringSearchFormatKeepsTheArgumentLiteral) {
    // Quotes, percent signs and operator words in an argument are data, never syntax.
    const auto p = Predicate::format("name BEGINSWITH[c] %@", {Value("a\" OR 1 == 1 %@")});
    EXPECT_FALSE(p->evaluate(ValueDictionary{{"name", "b"}}));
    EXPECT_TRUE(p->evaluate(ValueDictionary{{"name", "A\" or 1 == 1 %@ tail"}}));
    EXPECT_EQ(p->predicateFormat(), "name BEGINSWITH[c] \"a\\\" OR 1 == 1 %@\"");
    EXPECT_TRUE(Predicate::format(p->predicateFormat())->evaluate(ValueDictionary{{"name", "a\" OR 1 == 1 %@"}}));
}

TEST(Predicate, FormatTextOfCompounds) {
    EXPECT_EQ(Predicate::format("a == 1 AND (b == 2 OR c == 3)")->predicateFormat(), "a == 1 AND (b == 2 OR c == 3)");
    EXPECT_EQ(Predicate::format("NOT (a == 1)")->predicateFormat(), "NOT a == 1");
    EXPECT_EQ(Predicate::format("not (a == 1 or b == 2)")->predicateFormat(), "NOT (a == 1 OR b == 2)");
    EXPECT_EQ(Predicate::format("%K == YES", {"or"})->predicateFormat(), "#or == YES");
    EXPECT_EQ(Predicate::format("x ==[cd] 2.5")->predicateFormat(), "x ==[cd] 2.5");
    EXPECT_EQ(Predicate::format("TRUEPREDICATE")->predicateFormat(), "TRUEPREDICATE");
}

TEST(Predicate, RejectsWhatItCannotRead) {
    for (const char* bad : {"", "name", "name ==", "name == 'open", "(name == 1", "name == 1)", "name === 1",
                            "name BEGINSWITH[x] 'a'", "name MATCHES 'a'", "AND == 1", "name == 1 AND",
                            "name == CAST(1, \"NSString\")", "%K == 1"})
        EXPECT_THROW(Predicate::format(bad), PredicateFormatError) << bad;
    // %K needs a string.
    EXPECT_THROW(Predicate::format("%K == 1", {int64_t(3)}), PredicateFormatError);
}

TEST(Predicate, FlattenedComparisons) {
    using FC = Predicate::FlattenedComparison;
    // NOT flips the flag of what lies below it; AND and OR read alike.
    const auto p = Predicate::format("NOT size > 5 AND (name BEGINSWITH 'a' OR NOT NOT name == 'b')");
    EXPECT_EQ(p->flattenedComparisons(),
              (std::vector<FC>{{Value(int64_t(5)), Op::greaterThan, true},
                               {Value("a"), Op::beginsWith, false},
                               {Value("b"), Op::equalTo, false}}));
    EXPECT_EQ(p->flattenedComparisons(std::string("name")),
              (std::vector<FC>{{Value("a"), Op::beginsWith, false}, {Value("b"), Op::equalTo, false}}));
    // A constant on the left is reported with the operator as written.
    EXPECT_EQ(Predicate::format("5 < size")->flattenedComparisons(std::string("size")),
              (std::vector<FC>{{Value(int64_t(5)), Op::lessThan, false}}));
    EXPECT_TRUE(Predicate::format("5 < size")->flattenedComparisons(std::string("name")).empty());
    EXPECT_TRUE(Predicate::format("size == other")->flattenedComparisons(std::string("size")).empty());
    EXPECT_TRUE(Predicate::format("TRUEPREDICATE")->flattenedComparisons().empty());
}

TEST(Predicate, CompoundModel) {
    const auto p = Predicate::format("a == 1 AND b == 2 AND c == 3");
    const auto* c = dynamic_cast<const CompoundPredicate*>(p.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->compoundPredicateType(), CompoundPredicate::LogicalType::and_);
    EXPECT_EQ(c->subpredicates().size(), 3u);
    const auto* cmp = dynamic_cast<const ComparisonPredicate*>(c->subpredicates()[1].get());
    ASSERT_NE(cmp, nullptr);
    EXPECT_EQ(cmp->leftExpression().keyPath(), "b");
    EXPECT_EQ(cmp->rightExpression().constantValue(), Value(int64_t(2)));
    EXPECT_TRUE(CompoundPredicate::andPredicate({})->evaluate(ValueDictionary{}));
    EXPECT_FALSE(CompoundPredicate::orPredicate({})->evaluate(ValueDictionary{}));
}

} // namespace

namespace {

// Token soup: whatever the parser accepts must print as text that reads back the same, and
// whatever it refuses must be refused with its own error, never a crash.
TEST(Predicate, ArbitraryTextParsesBackOrIsRefused) {
    const std::vector<std::string> tokens = {
        "name", "size", "a.b", "#and", "%K", "%@", "==", "=", "!=", "<>", "<", "<=", ">", ">=", "=>", "=<",
        "BEGINSWITH", "endswith", "CONTAINS", "LIKE", "[c]", "[cd]", "[x", "AND", "&&", "OR", "||", "NOT", "!",
        "(", ")", "'q'", "\"s\\\"t\"", "\"", "12", "-3.5", "1e3", "YES", "nil", "TRUEPREDICATE", "FALSEPREDICATE",
        "ANY", "ALL", "CAST(1, \"NSDate\")", "CAST(", ",", "SELF", " ", "é", "%", "\\"};
    uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int n = 1 + static_cast<int>(next() % 8);
        for (int k = 0; k < n; ++k)
            text += tokens[next() % tokens.size()] + (next() % 2 ? " " : "");
        platform::PredicateRef p;
        try {
            p = Predicate::format(text, {Value("name"), Value("v"), Value(int64_t(2)), Value("size")});
        } catch (const PredicateFormatError&) {
            continue;
        }
        ++accepted;
        const std::string f = p->predicateFormat();
        platform::PredicateRef again;
        ASSERT_NO_THROW(again = Predicate::format(f)) << text << " printed as " << f;
        EXPECT_EQ(again->predicateFormat(), f) << text;
        const ValueDictionary object{{"name", "value"}, {"size", int64_t(3)}};
        EXPECT_EQ(again->evaluate(object), p->evaluate(object)) << text << " printed as " << f;
    }
    EXPECT_GT(accepted, 100);
}

} // namespace

namespace {

// Operands around each operator, so that many random texts are predicates.
TEST(Predicate, GeneratedComparisonsParseBack) {
    const std::vector<std::string> operands = {"name", "size", "#or", "%K", "%@", "'q'", "\"s\\\\t\"", "12", "-3.5",
                                               "1e3", "YES", "nil", "CAST(1, \"NSDate\")", "SELF", "tags"};
    const std::vector<std::string> operators = {"==", "=", "!=", "<>", "<", "<=", ">", ">=", "=>", "=<", "BEGINSWITH",
                                                "endswith", "CONTAINS", "LIKE"};
    const std::vector<std::string> options = {"", "[c]", "[d]", "[cd]", "[CD]", "[n]"};
    const std::vector<std::string> joins = {" AND ", " && ", " OR ", " || "};
    uint32_t seed = 777;
    auto pick = [&](const std::vector<std::string>& from) {
        seed = seed * 1664525u + 1013904223u;
        return from[(seed >> 8) % from.size()];
    };
    const ValueDictionary object{{"name", "value"}, {"size", int64_t(3)}, {"tags", Value::Array{"q"}}};
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int parts = 1 + i % 3;
        for (int k = 0; k < parts; ++k) {
            if (k)
                text += pick(joins);
            const std::string cmp = pick(operands) + " " + pick(operators) + pick(options) + " " + pick(operands);
            text += (i + k) % 4 == 0 ? "NOT (" + cmp + ")" : cmp;
        }
        const auto p = Predicate::format(text, {Value("name"), Value("size"), Value("name"), Value("size"),
                                                 Value("name"), Value("size"), Value("name"), Value("size")});
        const auto again = Predicate::format(p->predicateFormat());
        EXPECT_EQ(again->predicateFormat(), p->predicateFormat()) << text;
        EXPECT_EQ(again->evaluate(object), p->evaluate(object)) << text << " printed as " << p->predicateFormat();
    }
}

} // namespace
