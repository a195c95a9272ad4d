#include "platform/text/CharacterSet.hpp"

#include <unicode/uchar.h>

namespace platform {

namespace {

// Decodes one UTF-8 scalar at s[i] and advances i; false on invalid input (i unchanged).
bool nextScalar(std::string_view s, std::size_t& i, char32_t& out) {
    auto c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) { out = c; ++i; return true; }
    std::size_t n;
    char32_t v;
    if (c >= 0xC2 && c <= 0xDF) { n = 1; v = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; v = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; v = c & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
        auto cc = static_cast<uint8_t>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return false;
        v = (v << 6) | (cc & 0x3F);
    }
    if (n == 2 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) return false;
    if (n == 3 && (v < 0x10000 || v > 0x10FFFF)) return false;
    out = v;
    i += n + 1;
    return true;
}

template <class F> void forEachScalar(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t c;
        if (nextScalar(s, i, c)) f(c);
        else ++i;
    }
}

bool isCategory(char32_t c, uint32_t mask) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & mask) != 0; }

CharacterSet makeASCII(std::string_view chars) {
    CharacterSet s;
    s.insert(std::string_view("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
    s.insert(chars);
    return s;
}

} // namespace

CharacterSet CharacterSet::charactersIn(std::string_view utf8) {
    CharacterSet s;
    s.insert(utf8);
    return s;
}

CharacterSet CharacterSet::all() {
    CharacterSet s;
    s.invert();
    return s;
}

const CharacterSet& CharacterSet::urlUserAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,;=");
    return s;
}
const CharacterSet& CharacterSet::urlPasswordAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,;=");
    return s;
}
const CharacterSet& CharacterSet::urlHostAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,;=:[]");
    return s;
}
const CharacterSet& CharacterSet::urlPathAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,=:@/");
    return s;
}
const CharacterSet& CharacterSet::urlQueryAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,;=:@/?");
    return s;
}
const CharacterSet& CharacterSet::urlFragmentAllowed() {
    static const CharacterSet s = makeASCII("-._~!$&'()*+,;=:@/?");
    return s;
}

#define PLATFORM_CLASS_SET(fn, expr)                                                                \
    const CharacterSet& CharacterSet::fn() {                                                        \
        static const CharacterSet s = [] {                                                          \
            CharacterSet r;                                                                         \
            r.predicate_ = std::make_shared<const Predicate>([](char32_t c) { return (expr); });   \
            for (char32_t c = 0; c < 128; ++c)                                                      \
                if ((*r.predicate_)(c)) r.ascii_.set(c);                                            \
            return r;                                                                               \
        }();                                                                                        \
        return s;                                                                                   \
    }
PLATFORM_CLASS_SET(alphanumerics, isCategory(c, U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK))
PLATFORM_CLASS_SET(letters, isCategory(c, U_GC_L_MASK | U_GC_M_MASK))
PLATFORM_CLASS_SET(decimalDigits, isCategory(c, U_GC_ND_MASK))
PLATFORM_CLASS_SET(whitespaces, c == U'\t' || isCategory(c, U_GC_ZS_MASK))
PLATFORM_CLASS_SET(whitespacesAndNewlines, c == U'\t' || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 ||
                                               c == 0x2029 || isCategory(c, U_GC_ZS_MASK))
#undef PLATFORM_CLASS_SET

bool CharacterSet::nonASCIIContains(char32_t c) const {
    if (added_.count(c)) return true;
    if (removed_.count(c)) return false;
    return predicate_ && (*predicate_)(c);
}

bool CharacterSet::contains(char32_t c) const { return c < 128 ? ascii_.test(c) : nonASCIIContains(c); }

void CharacterSet::insert(char32_t c) {
    if (c < 128) { ascii_.set(c); return; }
    removed_.erase(c);
    if (!(predicate_ && (*predicate_)(c))) added_.insert(c);
}

void CharacterSet::remove(char32_t c) {
    if (c < 128) { ascii_.reset(c); return; }
    added_.erase(c);
    if (predicate_ && (*predicate_)(c)) removed_.insert(c);
}

void CharacterSet::insert(std::string_view chars) { forEachScalar(chars, [&](char32_t c) { insert(c); }); }
void CharacterSet::remove(std::string_view chars) { forEachScalar(chars, [&](char32_t c) { remove(c); }); }

void CharacterSet::invert() {
    ascii_.flip();
    auto old = predicate_;
    predicate_ = std::make_shared<const Predicate>([old](char32_t c) { return !(old && (*old)(c)); });
    std::swap(added_, removed_);
}

void CharacterSet::formUnion(const CharacterSet& o) {
    ascii_ |= o.ascii_;
    if (!o.predicate_) {
        for (char32_t c : o.added_) insert(c);
        return;
    }
    auto a = std::make_shared<const CharacterSet>(*this);
    auto b = std::make_shared<const CharacterSet>(o);
    predicate_ = std::make_shared<const Predicate>([a, b](char32_t c) { return a->nonASCIIContains(c) || b->nonASCIIContains(c); });
    added_.clear();
    removed_.clear();
}

void CharacterSet::subtract(const CharacterSet& o) {
    ascii_ &= ~o.ascii_;
    if (!o.predicate_) {
        for (char32_t c : o.added_) remove(c);
        return;
    }
    auto a = std::make_shared<const CharacterSet>(*this);
    auto b = std::make_shared<const CharacterSet>(o);
    predicate_ = std::make_shared<const Predicate>([a, b](char32_t c) { return a->nonASCIIContains(c) && !b->nonASCIIContains(c); });
    added_.clear();
    removed_.clear();
}

CharacterSet CharacterSet::adding(std::string_view chars) const { CharacterSet s = *this; s.insert(chars); return s; }
CharacterSet CharacterSet::removing(std::string_view chars) const { CharacterSet s = *this; s.remove(chars); return s; }
CharacterSet CharacterSet::union_(const CharacterSet& o) const { CharacterSet s = *this; s.formUnion(o); return s; }
CharacterSet CharacterSet::subtracting(const CharacterSet& o) const { CharacterSet s = *this; s.subtract(o); return s; }
CharacterSet CharacterSet::inverted() const { CharacterSet s = *this; s.invert(); return s; }

bool CharacterSet::operator==(const CharacterSet& o) const {
    if (ascii_ != o.ascii_) return false;
    if (predicate_ == o.predicate_) return added_ == o.added_ && removed_ == o.removed_;
    // Different predicates: compare scalar by scalar (slow; for tests and rare uses).
    for (char32_t c = 128; c <= 0x10FFFF; ++c) {
        if (c == 0xD800) c = 0xE000;
        if (nonASCIIContains(c) != o.nonASCIIContains(c)) return false;
    }
    return true;
}

// ---- Percent coding -----------------------------------------------------------------------------

bool isValidUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c;
        if (!nextScalar(text, i, c)) return false;
    }
    return true;
}

std::optional<std::string> addingPercentEncoding(std::string_view text, const CharacterSet& allowed) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t c;
        if (!nextScalar(text, i, c)) return std::nullopt;
        if (allowed.contains(c)) {
            out.append(text.substr(start, i - start));
        } else {
            for (std::size_t k = start; k < i; ++k) {
                auto b = static_cast<uint8_t>(text[k]);
                out += '%';
                out += hex[b >> 4];
                out += hex[b & 15];
            }
        }
    }
    return out;
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
    auto val = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = val(text[i + 1]), lo = val(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    if (!isValidUTF8(out)) return std::nullopt;
    return out;
}

} // namespace platform
