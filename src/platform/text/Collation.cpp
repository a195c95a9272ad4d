#include "platform/text/Collation.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include <memory>

namespace platform {
namespace {

enum class Kind { standard, plain, caseInsensitive };

icu::Locale collationLocale() {
    icu::Locale loc = icu::Locale::getDefault();
    const std::string_view lang = loc.getLanguage();
    const std::string_view variant = loc.getVariant();
    if (lang.empty() || lang == "c" || variant == "POSIX" || loc.isBogus())
        return icu::Locale::getRoot();
    return loc;
}

std::unique_ptr<icu::Collator> makeCollator(Kind kind) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(collationLocale(), status));
    if (U_FAILURE(status) || !c) {
        status = U_ZERO_ERROR;
        c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status))
            c.reset();
    }
    if (!c)
        return c;
    status = U_ZERO_ERROR;
    switch (kind) {
    case Kind::standard:
        c->setStrength(icu::Collator::SECONDARY);
        c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
        break;
    case Kind::plain:
        c->setStrength(icu::Collator::TERTIARY);
        break;
    case Kind::caseInsensitive:
        c->setStrength(icu::Collator::SECONDARY);
        break;
    }
    return c;
}

// ICU collators are not safe to share between threads while comparing: one per thread and kind.
icu::Collator* collator(Kind kind) {
    thread_local std::unique_ptr<icu::Collator> cache[3];
    auto& slot = cache[static_cast<int>(kind)];
    if (!slot)
        slot = makeCollator(kind);
    return slot.get();
}

ComparisonResult fromOrder(int order) {
    return order < 0 ? ComparisonResult::orderedAscending
         : order > 0 ? ComparisonResult::orderedDescending
                     : ComparisonResult::orderedSame;
}

ComparisonResult compare(Kind kind, std::string_view a, std::string_view b) {
    icu::Collator* c = collator(kind);
    if (c) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult r = c->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                                  icu::StringPiece(b.data(), static_cast<int32_t>(b.size())),
                                                  status);
        if (U_SUCCESS(status))
            return fromOrder(static_cast<int>(r));
    }
    return fromOrder(a.compare(b));
}

} // namespace

ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b) {
    return compare(Kind::standard, a, b);
}

ComparisonResult localizedCompare(std::string_view a, std::string_view b) {
    return compare(Kind::plain, a, b);
}

ComparisonResult localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    return compare(Kind::caseInsensitive, a, b);
}

} // namespace platform
