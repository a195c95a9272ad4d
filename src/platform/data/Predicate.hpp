// platform::Predicate — the platform's predicate model, as wide as providers use it: parsing of
// format strings (TRUEPREDICATE, FALSEPREDICATE, comparisons ==, =, !=, <>, <, <=, =<, >, >=, =>,
// BEGINSWITH, ENDSWITH, CONTAINS, LIKE with the options [c] and [d], ANY/ALL, AND/&&, OR/||,
// NOT/!, parentheses, %K and %@ arguments, string, number, YES/NO, nil and CAST(n, "NSDate")
// constants), evaluation over Value dictionaries, `predicateFormat` text that parses back to the
// same predicate, and the flattened comparison walk. Predicates are immutable and shared.
#pragma once

#include "platform/data/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// Thrown by Predicate::format for text it cannot read; the message names the format string.
class PredicateFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class Expression {
public:
    enum class Type { constantValue = 0, evaluatedObject = 1, keyPath = 3 };

    static Expression keyPath(std::string keyPath);
    static Expression constantValue(Value value);
    static Expression evaluatedObject();

    Type expressionType() const { return type_; }
    /// The key path of a key-path expression ("" for the other kinds).
    const std::string& keyPath() const { return keyPath_; }
    /// The constant of a constant expression (null for the other kinds).
    const Value& constantValue() const { return constant_; }

    /// The value for `object`: the constant, the object itself, or the value at the key path
    /// (dotted paths descend into nested dictionaries; null when absent).
    Value expressionValue(const ValueDictionary& object) const;
    /// Format text that the parser reads back to this expression.
    std::string description() const;

    bool operator==(const Expression&) const = default;

private:
    Type type_ = Type::evaluatedObject;
    std::string keyPath_;
    Value constant_;
};

class Predicate {
public:
    virtual ~Predicate() = default;

    /// NSPredicate(format:argumentArray:): "%K" takes a string argument as a key path, "%@" (and
    /// "%d", "%i", "%ld", "%lld", "%f", "%lf") any argument as a constant. Throws
    /// PredicateFormatError for text it cannot read or too few arguments.
    static std::shared_ptr<const Predicate> format(std::string_view format, const std::vector<Value>& arguments = {});
    /// NSPredicate(value:): TRUEPREDICATE or FALSEPREDICATE.
    static std::shared_ptr<const Predicate> value(bool value);

    /// evaluate(with:) on a dictionary object.
    virtual bool evaluate(const ValueDictionary& object) const = 0;
    /// On any value: a dictionary is looked into; any other object has no keys (key paths read null).
    bool evaluate(const Value& object) const;
    virtual std::string predicateFormat() const = 0;

    /// One comparison between a key path and a constant, as the walk reports it.
    struct FlattenedComparison;
    /// NSPredicate.flattenedComparisons: the comparisons of this predicate in order as
    /// (constant, operator, negated), only those on `key` when one is given. NOT flips the negated
    /// flag of what lies below it; AND and OR are not told apart; a constant on the left is
    /// reported with the operator as written.
    std::vector<FlattenedComparison> flattenedComparisons(const std::optional<std::string>& key = std::nullopt) const;

protected:
    Predicate() = default;
};

using PredicateRef = std::shared_ptr<const Predicate>;

/// TRUEPREDICATE / FALSEPREDICATE.
class ConstantPredicate final : public Predicate {
public:
    explicit ConstantPredicate(bool value) : value_(value) {}
    bool value() const { return value_; }
    bool evaluate(const ValueDictionary&) const override { return value_; }
    std::string predicateFormat() const override { return value_ ? "TRUEPREDICATE" : "FALSEPREDICATE"; }

private:
    bool value_;
};

class ComparisonPredicate final : public Predicate {
public:
    enum class Operator : int {
        lessThan = 0, lessThanOrEqualTo = 1, greaterThan = 2, greaterThanOrEqualTo = 3, equalTo = 4,
        notEqualTo = 5, matches = 6, like = 7, beginsWith = 8, endsWith = 9, in = 10,
        customSelector = 11, contains = 99, between = 100
    };
    enum class Modifier : int { direct = 0, all = 1, any = 2 };
    /// Option bits.
    enum Options : unsigned { none = 0, caseInsensitive = 1, diacriticInsensitive = 2, normalized = 4 };

    ComparisonPredicate(Expression left, Expression right, Modifier modifier, Operator type, unsigned options);

    const Expression& leftExpression() const { return left_; }
    const Expression& rightExpression() const { return right_; }
    Modifier comparisonPredicateModifier() const { return modifier_; }
    Operator predicateOperatorType() const { return type_; }
    unsigned options() const { return options_; }

    bool evaluate(const ValueDictionary& object) const override;
    std::string predicateFormat() const override;

private:
    bool compare(const Value& left, const Value& right) const;

    Expression left_;
    Expression right_;
    Modifier modifier_;
    Operator type_;
    unsigned options_;
};

class CompoundPredicate final : public Predicate {
public:
    enum class LogicalType : int { not_ = 0, and_ = 1, or_ = 2 };

    /// A NOT compound uses its first subpredicate; an empty AND is true, an empty OR false.
    CompoundPredicate(LogicalType type, std::vector<PredicateRef> subpredicates);
    static std::shared_ptr<const CompoundPredicate> andPredicate(std::vector<PredicateRef> subpredicates);
    static std::shared_ptr<const CompoundPredicate> orPredicate(std::vector<PredicateRef> subpredicates);
    static std::shared_ptr<const CompoundPredicate> notPredicate(PredicateRef subpredicate);

    LogicalType compoundPredicateType() const { return type_; }
    const std::vector<PredicateRef>& subpredicates() const { return subpredicates_; }

    bool evaluate(const ValueDictionary& object) const override;
    std::string predicateFormat() const override;

private:
    LogicalType type_;
    std::vector<PredicateRef> subpredicates_;
};

struct Predicate::FlattenedComparison {
    Value value;
    ComparisonPredicate::Operator op;
    bool negated;
    bool operator==(const FlattenedComparison&) const = default;
};

} // namespace platform
