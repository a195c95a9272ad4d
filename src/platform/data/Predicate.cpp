#include "platform/data/Predicate.hpp"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>

namespace platform {
namespace {

using Op = ComparisonPredicate::Operator;

// --- String handling ----------------------------------------------------------------------------

// A string as code points after the comparison options: [c] folds case, [d] drops accents.
std::u32string comparable(std::string_view utf8, unsigned options) {
    icu::UnicodeString s = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    if (options & ComparisonPredicate::diacriticInsensitive) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_SUCCESS(status)) {
            icu::UnicodeString d = nfd->normalize(s, status);
            if (U_SUCCESS(status)) {
                icu::UnicodeString stripped;
                for (int32_t i = 0; i < d.length();) {
                    const UChar32 c = d.char32At(i);
                    if (u_charType(c) != U_NON_SPACING_MARK)
                        stripped.append(c);
                    i += U16_LENGTH(c);
                }
                s = stripped;
            }
        }
    }
    if (options & ComparisonPredicate::caseInsensitive)
        s.foldCase();
    if (options & (ComparisonPredicate::diacriticInsensitive | ComparisonPredicate::normalized)) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
        if (U_SUCCESS(status)) {
            icu::UnicodeString n = nfc->normalize(s, status);
            if (U_SUCCESS(status))
                s = n;
        }
    }
    std::u32string out;
    out.reserve(static_cast<size_t>(s.length()));
    for (int32_t i = 0; i < s.length();) {
        const UChar32 c = s.char32At(i);
        out.push_back(static_cast<char32_t>(c));
        i += U16_LENGTH(c);
    }
    return out;
}

// Strings and URLs take part in string comparisons (a URL by its absolute string).
std::optional<std::string> stringOf(const Value& v) {
    if (const auto* s = v.asString())
        return *s;
    if (const auto* u = v.asURL())
        return u->absoluteString();
    return std::nullopt;
}

std::optional<double> numberOf(const Value& v) {
    if (const auto* b = v.asBool())
        return *b ? 1.0 : 0.0;
    return v.asNumber();
}

bool isNumeric(const Value& v) { return v.asBool() || v.asInt64() || v.asDouble(); }

// LIKE: "*" any run, "?" one character, "\" escapes the next.
bool likeMatch(const std::u32string& text, const std::u32string& pattern) {
    size_t t = 0, p = 0;
    size_t starP = std::u32string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starT = t;
            continue;
        }
        if (p < pattern.size()) {
            char32_t pc = pattern[p];
            size_t step = 1;
            bool any = pc == U'?';
            if (pc == U'\\' && p + 1 < pattern.size()) {
                pc = pattern[p + 1];
                step = 2;
                any = false;
            }
            if (any || pc == text[t]) {
                p += step;
                ++t;
                continue;
            }
        }
        if (starP == std::u32string::npos)
            return false;
        p = starP + 1;
        t = ++starT;
    }
    while (p < pattern.size() && pattern[p] == U'*')
        ++p;
    return p == pattern.size();
}

// Three-way order of two values of comparable kinds; no value when they cannot be ordered.
std::optional<int> order(const Value& l, const Value& r, unsigned options) {
    if (isNumeric(l) && isNumeric(r)) {
        if (l.asInt64() && r.asInt64())
            return *l.asInt64() < *r.asInt64() ? -1 : *l.asInt64() > *r.asInt64() ? 1 : 0;
        const double a = *numberOf(l), b = *numberOf(r);
        if (std::isnan(a) || std::isnan(b))
            return std::nullopt;
        return a < b ? -1 : a > b ? 1 : 0;
    }
    if (l.asDate() && r.asDate()) {
        const double a = l.asDate()->timeIntervalSince1970(), b = r.asDate()->timeIntervalSince1970();
        return a < b ? -1 : a > b ? 1 : 0;
    }
    const auto ls = stringOf(l), rs = stringOf(r);
    if (ls && rs) {
        const auto a = comparable(*ls, options), b = comparable(*rs, options);
        return a < b ? -1 : a > b ? 1 : 0;
    }
    return std::nullopt;
}

bool equalValues(const Value& l, const Value& r, unsigned options) {
    if (l.isNull() || r.isNull())
        return l.isNull() && r.isNull();
    if (const auto o = order(l, r, options))
        return *o == 0;
    return l == r;
}

// --- Format text --------------------------------------------------------------------------------

const char* operatorText(Op op) {
    switch (op) {
    case Op::lessThan: return "<";
    case Op::lessThanOrEqualTo: return "<=";
    case Op::greaterThan: return ">";
    case Op::greaterThanOrEqualTo: return ">=";
    case Op::equalTo: return "==";
    case Op::notEqualTo: return "!=";
    case Op::matches: return "MATCHES";
    case Op::like: return "LIKE";
    case Op::beginsWith: return "BEGINSWITH";
    case Op::endsWith: return "ENDSWITH";
    case Op::in: return "IN";
    case Op::customSelector: return "CUSTOM";
    case Op::contains: return "CONTAINS";
    case Op::between: return "BETWEEN";
    }
    return "?";
}

const std::vector<std::string>& keywords() {
    static const std::vector<std::string> words = {
        "AND", "OR", "NOT", "TRUEPREDICATE", "FALSEPREDICATE", "BEGINSWITH", "ENDSWITH", "CONTAINS",
        "LIKE", "MATCHES", "IN", "ANY", "ALL", "SOME", "NONE", "TRUE", "YES", "FALSE", "NO", "NULL",
        "NIL", "CAST", "BETWEEN", "SELF"};
    return words;
}

std::string upper(std::string_view s) {
    std::string u(s);
    for (auto& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

bool isKeyword(std::string_view word) {
    const auto u = upper(word);
    return std::find(keywords().begin(), keywords().end(), u) != keywords().end();
}

bool identStart(unsigned char c) { return std::isalpha(c) || c == '_' || c == '$' || c >= 0x80; }
bool identChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

std::string numberText(double d) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string s(buf, ec == std::errc() ? end : buf);
    if (std::isfinite(d) && s.find_first_of(".e") == std::string::npos)
        s += ".0";
    return s;
}

std::string constantText(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::null: return "nil";
    case Value::Kind::boolean: return *v.asBool() ? "YES" : "NO";
    case Value::Kind::integer: return std::to_string(*v.asInt64());
    case Value::Kind::real: return numberText(*v.asDouble());
    case Value::Kind::string: return quoted(*v.asString());
    case Value::Kind::date: return "CAST(" + numberText(v.asDate()->timeIntervalSinceReferenceDate()) + ", \"NSDate\")";
    case Value::Kind::url: return quoted(v.asURL()->absoluteString());
    case Value::Kind::array: {
        std::string out = "{";
        bool first = true;
        for (const auto& e : *v.asArray()) {
            out += first ? "" : ", ";
            out += constantText(e);
            first = false;
        }
        return out + "}";
    }
    case Value::Kind::data:
    case Value::Kind::dictionary: return quoted(v.description());
    }
    return "nil";
}

// --- Parser -------------------------------------------------------------------------------------

class Parser {
public:
    Parser(std::string_view text, const std::vector<Value>& args) : s_(text), args_(args) {}

    PredicateRef parse() {
        auto p = parseOr();
        skipSpace();
        if (pos_ != s_.size())
            fail();
        return p;
    }

private:
    [[noreturn]] void fail() const {
        throw PredicateFormatError("Unable to parse the format string \"" + std::string(s_) + "\"");
    }

    void skipSpace() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }

    bool peekSymbol(std::string_view sym) {
        skipSpace();
        return s_.substr(pos_, sym.size()) == sym;
    }

    bool eatSymbol(std::string_view sym) {
        if (!peekSymbol(sym))
            return false;
        pos_ += sym.size();
        return true;
    }

    // A bare word (letters, digits, "_", "$"), without consuming it.
    std::string peekWord() {
        skipSpace();
        size_t e = pos_;
        if (e < s_.size() && identStart(static_cast<unsigned char>(s_[e])))
            while (e < s_.size() && identChar(static_cast<unsigned char>(s_[e])))
                ++e;
        return std::string(s_.substr(pos_, e - pos_));
    }

    bool eatKeyword(std::string_view kw) {
        const auto w = peekWord();
        if (w.empty() || upper(w) != kw)
            return false;
        pos_ += w.size();
        return true;
    }

    PredicateRef parseOr() {
        std::vector<PredicateRef> parts{parseAnd()};
        while (eatSymbol("||") || eatKeyword("OR"))
            parts.push_back(parseAnd());
        return parts.size() == 1 ? parts.front() : CompoundPredicate::orPredicate(std::move(parts));
    }

    PredicateRef parseAnd() {
        std::vector<PredicateRef> parts{parseNot()};
        while (eatSymbol("&&") || eatKeyword("AND"))
            parts.push_back(parseNot());
        return parts.size() == 1 ? parts.front() : CompoundPredicate::andPredicate(std::move(parts));
    }

    PredicateRef parseNot() {
        if (eatKeyword("NOT") || (peekSymbol("!") && !peekSymbol("!=") && eatSymbol("!")))
            return CompoundPredicate::notPredicate(parseNot());
        return parsePrimary();
    }

    PredicateRef parsePrimary() {
        if (eatSymbol("(")) {
            auto p = parseOr();
            if (!eatSymbol(")"))
                fail();
            return p;
        }
        if (eatKeyword("TRUEPREDICATE"))
            return Predicate::value(true);
        if (eatKeyword("FALSEPREDICATE"))
            return Predicate::value(false);
        return parseComparison();
    }

    PredicateRef parseComparison() {
        auto modifier = ComparisonPredicate::Modifier::direct;
        if (eatKeyword("ANY") || eatKeyword("SOME"))
            modifier = ComparisonPredicate::Modifier::any;
        else if (eatKeyword("ALL"))
            modifier = ComparisonPredicate::Modifier::all;
        Expression left = parseExpression();
        const Op op = parseOperator();
        const unsigned options = parseOptions();
        Expression right = parseExpression();
        return std::make_shared<ComparisonPredicate>(std::move(left), std::move(right), modifier, op, options);
    }

    Op parseOperator() {
        struct Sym { std::string_view text; Op op; };
        static constexpr Sym symbols[] = {
            {"==", Op::equalTo}, {"!=", Op::notEqualTo}, {"<>", Op::notEqualTo}, {"<=", Op::lessThanOrEqualTo},
            {"=<", Op::lessThanOrEqualTo}, {">=", Op::greaterThanOrEqualTo}, {"=>", Op::greaterThanOrEqualTo},
            {"<", Op::lessThan}, {">", Op::greaterThan}, {"=", Op::equalTo}};
        for (const auto& s : symbols)
            if (eatSymbol(s.text))
                return s.op;
        if (eatKeyword("BEGINSWITH")) return Op::beginsWith;
        if (eatKeyword("ENDSWITH")) return Op::endsWith;
        if (eatKeyword("CONTAINS")) return Op::contains;
        if (eatKeyword("LIKE")) return Op::like;
        fail();
    }

    unsigned parseOptions() {
        skipSpace();
        if (pos_ >= s_.size() || s_[pos_] != '[')
            return ComparisonPredicate::none;
        ++pos_;
        unsigned options = 0;
        while (pos_ < s_.size() && s_[pos_] != ']') {
            switch (std::tolower(static_cast<unsigned char>(s_[pos_]))) {
            case 'c': options |= ComparisonPredicate::caseInsensitive; break;
            case 'd': options |= ComparisonPredicate::diacriticInsensitive; break;
            case 'n': options |= ComparisonPredicate::normalized; break;
            default: fail();
            }
            ++pos_;
        }
        if (pos_ >= s_.size())
            fail();
        ++pos_;
        return options;
    }

    const Value& nextArgument() {
        if (argIndex_ >= args_.size())
            throw PredicateFormatError("Too few arguments for the format string \"" + std::string(s_) + "\"");
        return args_[argIndex_++];
    }

    Expression parseExpression() {
        skipSpace();
        if (pos_ >= s_.size())
            fail();
        const char c = s_[pos_];
        if (c == '"' || c == '\'')
            return Expression::constantValue(Value(parseString()));
        if (c == '%')
            return parseArgument();
        if (c == '#') {
            ++pos_;
            return Expression::keyPath(parseKeyPath(true));
        }
        if (std::isdigit(static_cast<unsigned char>(c)) ||
            ((c == '-' || c == '+' || c == '.') && pos_ + 1 < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_ + 1]))))
            return Expression::constantValue(parseNumber());
        const auto w = upper(peekWord());
        if (w == "TRUE" || w == "YES" || w == "FALSE" || w == "NO") {
            pos_ += w.size();
            return Expression::constantValue(Value(w == "TRUE" || w == "YES"));
        }
        if (w == "NULL" || w == "NIL") {
            pos_ += w.size();
            return Expression::constantValue(Value());
        }
        if (w == "SELF") {
            pos_ += w.size();
            return Expression::evaluatedObject();
        }
        if (w == "CAST") {
            pos_ += w.size();
            return parseCast();
        }
        return Expression::keyPath(parseKeyPath(false));
    }

    Expression parseCast() {
        if (!eatSymbol("("))
            fail();
        Expression inner = parseExpression();
        if (!eatSymbol(","))
            fail();
        skipSpace();
        if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\''))
            fail();
        const std::string type = parseString();
        if (!eatSymbol(")"))
            fail();
        const auto seconds = inner.constantValue().asNumber();
        if (type != "NSDate" || inner.expressionType() != Expression::Type::constantValue || !seconds)
            fail();
        return Expression::constantValue(Value(Date::sinceReferenceDate(*seconds)));
    }

    Expression parseArgument() {
        ++pos_;  // '%'
        std::string spec;
        while (pos_ < s_.size() && (s_[pos_] == 'l' || s_[pos_] == 'h' || s_[pos_] == 'q'))
            spec += s_[pos_++];
        if (pos_ >= s_.size())
            fail();
        const char conv = s_[pos_++];
        if (conv == 'K') {
            const auto* key = nextArgument().asString();
            if (!key)
                throw PredicateFormatError("The %K argument of \"" + std::string(s_) + "\" is not a string");
            return Expression::keyPath(*key);
        }
        if (conv == '@' || conv == 'd' || conv == 'i' || conv == 'u' || conv == 'f' || conv == 'g' || conv == 'e')
            return Expression::constantValue(nextArgument());
        fail();
    }

    std::string parseKeyPath(bool escaped) {
        skipSpace();
        size_t start = pos_;
        bool expectIdent = true;
        while (pos_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[pos_]);
            if (expectIdent ? identStart(c) || c == '@' : identChar(c)) {
                ++pos_;
                expectIdent = false;
            } else if (c == '.' && !expectIdent) {
                ++pos_;
                expectIdent = true;
            } else {
                break;
            }
        }
        const std::string path(s_.substr(start, pos_ - start));
        if (path.empty() || expectIdent || (!escaped && isKeyword(path)))
            fail();
        return path;
    }

    std::string parseString() {
        const char q = s_[pos_++];
        std::string out;
        while (pos_ < s_.size() && s_[pos_] != q) {
            char c = s_[pos_++];
            if (c == '\\' && pos_ < s_.size()) {
                c = s_[pos_++];
                switch (c) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                default: break;
                }
            }
            out += c;
        }
        if (pos_ >= s_.size())
            fail();
        ++pos_;
        return out;
    }

    Value parseNumber() {
        const size_t start = pos_;
        if (s_[pos_] == '-' || s_[pos_] == '+')
            ++pos_;
        bool real = false;
        while (pos_ < s_.size()) {
            const char c = s_[pos_];
            if (std::isdigit(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (c == '.' || c == 'e' || c == 'E') {
                real = true;
                ++pos_;
                if ((c == 'e' || c == 'E') && pos_ < s_.size() && (s_[pos_] == '-' || s_[pos_] == '+'))
                    ++pos_;
            } else {
                break;
            }
        }
        std::string text(s_.substr(start, pos_ - start));
        if (!text.empty() && text.front() == '+')
            text.erase(0, 1);
        if (!real) {
            int64_t v = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (ec == std::errc() && end == text.data() + text.size())
                return Value(v);
        }
        double d = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
        if (ec != std::errc() || end != text.data() + text.size())
            fail();
        return Value(d);
    }

    std::string_view s_;
    const std::vector<Value>& args_;
    size_t pos_ = 0;
    size_t argIndex_ = 0;
};

void flatten(const Predicate& p, const std::optional<std::string>& key,
             std::vector<Predicate::FlattenedComparison>& out) {
    if (const auto* compound = dynamic_cast<const CompoundPredicate*>(&p)) {
        const bool negate = compound->compoundPredicateType() == CompoundPredicate::LogicalType::not_;
        for (const auto& sub : compound->subpredicates()) {
            if (!sub)
                continue;
            const size_t from = out.size();
            flatten(*sub, key, out);
            if (negate)
                for (size_t i = from; i < out.size(); ++i)
                    out[i].negated = !out[i].negated;
            if (negate)
                break;  // a NOT compound has one operand
        }
        return;
    }
    const auto* cmp = dynamic_cast<const ComparisonPredicate*>(&p);
    if (!cmp)
        return;
    const Expression& l = cmp->leftExpression();
    const Expression& r = cmp->rightExpression();
    using T = Expression::Type;
    if (l.expressionType() == T::keyPath && (!key || l.keyPath() == *key) && r.expressionType() == T::constantValue) {
        out.push_back({r.constantValue(), cmp->predicateOperatorType(), false});
    } else if (r.expressionType() == T::keyPath) {
        if (key && r.keyPath() != *key)
            return;
        if (l.expressionType() == T::constantValue)
            out.push_back({l.constantValue(), cmp->predicateOperatorType(), false});
    }
}

} // namespace

// --- Expression ---------------------------------------------------------------------------------

Expression Expression::keyPath(std::string keyPath) {
    Expression e;
    e.type_ = Type::keyPath;
    e.keyPath_ = std::move(keyPath);
    return e;
}

Expression Expression::constantValue(Value value) {
    Expression e;
    e.type_ = Type::constantValue;
    e.constant_ = std::move(value);
    return e;
}

Expression Expression::evaluatedObject() { return Expression(); }

Value Expression::expressionValue(const ValueDictionary& object) const {
    switch (type_) {
    case Type::constantValue: return constant_;
    case Type::evaluatedObject: return Value(object);
    case Type::keyPath: {
        // A key stored whole (it may itself hold dots) wins over a dotted walk.
        if (const Value* v = find(object, keyPath_))
            return *v;
        const ValueDictionary* dict = &object;
        const Value* v = nullptr;
        size_t start = 0;
        while (true) {
            const size_t dot = keyPath_.find('.', start);
            const std::string part = keyPath_.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            if (!dict || !(v = find(*dict, part)))
                return Value();
            if (dot == std::string::npos)
                return *v;
            dict = v->asDictionary();
            start = dot + 1;
        }
    }
    }
    return Value();
}

std::string Expression::description() const {
    switch (type_) {
    case Type::constantValue: return constantText(constant_);
    case Type::evaluatedObject: return "SELF";
    case Type::keyPath: {
        bool plain = !keyPath_.empty();
        bool expectIdent = true;
        for (unsigned char c : keyPath_) {
            if (expectIdent ? identStart(c) || c == '@' : identChar(c)) {
                expectIdent = false;
            } else if (c == '.' && !expectIdent) {
                expectIdent = true;
            } else {
                plain = false;
                break;
            }
        }
        if (plain && !expectIdent)
            return isKeyword(keyPath_) ? "#" + keyPath_ : keyPath_;
        return keyPath_;
    }
    }
    return "";
}

// --- Predicate ----------------------------------------------------------------------------------

PredicateRef Predicate::format(std::string_view format, const std::vector<Value>& arguments) {
    return Parser(format, arguments).parse();
}

PredicateRef Predicate::value(bool value) { return std::make_shared<ConstantPredicate>(value); }

bool Predicate::evaluate(const Value& object) const {
    if (const auto* d = object.asDictionary())
        return evaluate(*d);
    return evaluate(ValueDictionary{});
}

std::vector<Predicate::FlattenedComparison> Predicate::flattenedComparisons(const std::optional<std::string>& key) const {
    std::vector<FlattenedComparison> out;
    flatten(*this, key, out);
    return out;
}

// --- ComparisonPredicate ------------------------------------------------------------------------

ComparisonPredicate::ComparisonPredicate(Expression left, Expression right, Modifier modifier, Operator type,
                                         unsigned options)
    : left_(std::move(left)), right_(std::move(right)), modifier_(modifier), type_(type), options_(options) {}

bool ComparisonPredicate::compare(const Value& l, const Value& r) const {
    switch (type_) {
    case Op::equalTo: return equalValues(l, r, options_);
    case Op::notEqualTo: return !equalValues(l, r, options_);
    case Op::lessThan:
    case Op::lessThanOrEqualTo:
    case Op::greaterThan:
    case Op::greaterThanOrEqualTo: {
        const auto o = order(l, r, options_);
        if (!o)
            return false;
        return type_ == Op::lessThan ? *o < 0 : type_ == Op::lessThanOrEqualTo ? *o <= 0
             : type_ == Op::greaterThan ? *o > 0 : *o >= 0;
    }
    case Op::contains:
        if (const auto* arr = l.asArray())
            return std::any_of(arr->begin(), arr->end(), [&](const Value& e) { return equalValues(e, r, options_); });
        [[fallthrough]];
    case Op::beginsWith:
    case Op::endsWith:
    case Op::like: {
        const auto ls = stringOf(l), rs = stringOf(r);
        if (!ls || !rs)
            return false;
        const auto a = comparable(*ls, options_), b = comparable(*rs, options_);
        switch (type_) {
        case Op::beginsWith: return a.size() >= b.size() && a.compare(0, b.size(), b) == 0;
        case Op::endsWith: return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
        case Op::contains: return a.find(b) != std::u32string::npos;
        default: return likeMatch(a, b);
        }
    }
    default:
        return false;
    }
}

bool ComparisonPredicate::evaluate(const ValueDictionary& object) const {
    const Value l = left_.expressionValue(object);
    const Value r = right_.expressionValue(object);
    if (modifier_ != Modifier::direct) {
        if (const auto* arr = l.asArray()) {
            if (modifier_ == Modifier::any)
                return std::any_of(arr->begin(), arr->end(), [&](const Value& e) { return compare(e, r); });
            return std::all_of(arr->begin(), arr->end(), [&](const Value& e) { return compare(e, r); });
        }
    }
    return compare(l, r);
}

std::string ComparisonPredicate::predicateFormat() const {
    std::string out;
    if (modifier_ == Modifier::any)
        out += "ANY ";
    else if (modifier_ == Modifier::all)
        out += "ALL ";
    out += left_.description();
    out += ' ';
    out += operatorText(type_);
    if (options_ & (caseInsensitive | diacriticInsensitive | normalized)) {
        out += '[';
        if (options_ & caseInsensitive) out += 'c';
        if (options_ & diacriticInsensitive) out += 'd';
        if (options_ & normalized) out += 'n';
        out += ']';
    }
    out += ' ';
    out += right_.description();
    return out;
}

// --- CompoundPredicate --------------------------------------------------------------------------

CompoundPredicate::CompoundPredicate(LogicalType type, std::vector<PredicateRef> subpredicates)
    : type_(type), subpredicates_(std::move(subpredicates)) {
    subpredicates_.erase(std::remove(subpredicates_.begin(), subpredicates_.end(), nullptr), subpredicates_.end());
}

std::shared_ptr<const CompoundPredicate> CompoundPredicate::andPredicate(std::vector<PredicateRef> subpredicates) {
    return std::make_shared<CompoundPredicate>(LogicalType::and_, std::move(subpredicates));
}

std::shared_ptr<const CompoundPredicate> CompoundPredicate::orPredicate(std::vector<PredicateRef> subpredicates) {
    return std::make_shared<CompoundPredicate>(LogicalType::or_, std::move(subpredicates));
}

std::shared_ptr<const CompoundPredicate> CompoundPredicate::notPredicate(PredicateRef subpredicate) {
    return std::make_shared<CompoundPredicate>(LogicalType::not_, std::vector<PredicateRef>{std::move(subpredicate)});
}

bool CompoundPredicate::evaluate(const ValueDictionary& object) const {
    switch (type_) {
    case LogicalType::not_:
        return subpredicates_.empty() ? false : !subpredicates_.front()->evaluate(object);
    case LogicalType::and_:
        return std::all_of(subpredicates_.begin(), subpredicates_.end(),
                           [&](const PredicateRef& p) { return p->evaluate(object); });
    case LogicalType::or_:
        return std::any_of(subpredicates_.begin(), subpredicates_.end(),
                           [&](const PredicateRef& p) { return p->evaluate(object); });
    }
    return false;
}

std::string CompoundPredicate::predicateFormat() const {
    auto operand = [](const PredicateRef& p) {
        const std::string f = p->predicateFormat();
        return dynamic_cast<const CompoundPredicate*>(p.get()) ? "(" + f + ")" : f;
    };
    switch (type_) {
    case LogicalType::not_:
        return subpredicates_.empty() ? "NOT TRUEPREDICATE" : "NOT " + operand(subpredicates_.front());
    case LogicalType::and_:
    case LogicalType::or_: {
        if (subpredicates_.empty())
            return type_ == LogicalType::and_ ? "TRUEPREDICATE" : "FALSEPREDICATE";
        std::string out;
        for (size_t i = 0; i < subpredicates_.size(); ++i) {
            if (i)
                out += type_ == LogicalType::and_ ? " AND " : " OR ";
            out += operand(subpredicates_[i]);
        }
        return out;
    }
    }
    return "";
}

} // namespace platform
