// The caller's predicate over entry key paths rewritten to a metadata-query prefilter that never drops
// an item the caller's predicate would keep.
#include "fileprovider/cloud/CloudFileProvider.hpp"

#include "platform/fs/MetadataQuery.hpp"

namespace RiridOzizevud {

namespace {

using platform::ComparisonPredicate;
using platform::CompoundPredicate;
using platform::Expression;
using platform::PredicateRef;

std::optional<std::string> metadataAttribute(const std::string& keyPath) {
    static const std::pair<const char*, const char*> table[] = {
        {"name", platform::NSMetadataItemFSNameKey},
        {"filesize", platform::NSMetadataItemFSSizeKey},
        {"modifiedDate", platform::NSMetadataItemFSContentChangeDateKey},
        {"creationDate", platform::NSMetadataItemFSCreationDateKey},
        {"contentType", platform::NSMetadataItemContentTypeKey},
    };
    for (const auto& [key, attribute] : table)
        if (keyPath == key) return attribute;
    return std::nullopt;
}

// A comparison on "type" == or != a constant, as one on the item's content-type tree. The
// folder's own content type is "public.folder"; its tree holds "public.directory".
PredicateRef typeComparison(const ComparisonPredicate& cmp) {
    const auto op = cmp.predicateOperatorType();
    if (op != ComparisonPredicate::Operator::equalTo && op != ComparisonPredicate::Operator::notEqualTo) return nullptr;
    const Expression* constant = nullptr;
    if (cmp.leftExpression().expressionType() == Expression::Type::keyPath && cmp.leftExpression().keyPath() == "type")
        constant = &cmp.rightExpression();
    else if (cmp.rightExpression().expressionType() == Expression::Type::keyPath && cmp.rightExpression().keyPath() == "type")
        constant = &cmp.leftExpression();
    if (!constant || constant->expressionType() != Expression::Type::constantValue) return nullptr;
    const std::string* text = constant->constantValue().asString();
    if (!text) return nullptr;
    const char* contentType = *text == "directory" ? "public.directory"
                              : *text == "symbolicLink" ? "public.symlink"
                                                        : "public.data";
    PredicateRef inTree = std::make_shared<ComparisonPredicate>(
        Expression::keyPath(platform::NSMetadataItemContentTypeTreeKey), Expression::constantValue(contentType),
        ComparisonPredicate::Modifier::any, ComparisonPredicate::Operator::equalTo, ComparisonPredicate::none);
    return op == ComparisonPredicate::Operator::equalTo ? inTree : CompoundPredicate::notPredicate(inTree);
}

// `positive`: whether the part stands under an even number of NOTs. A comparison the metadata
// cannot judge becomes true there and false under a NOT, so the result never drops an item that
// the caller's predicate would keep; that predicate is checked on each entry afterwards.
PredicateRef rewrite(const PredicateRef& predicate, bool positive) {
    if (const auto* compound = dynamic_cast<const CompoundPredicate*>(predicate.get())) {
        const bool negating = compound->compoundPredicateType() == CompoundPredicate::LogicalType::not_;
        std::vector<PredicateRef> parts;
        for (const auto& sub : compound->subpredicates()) parts.push_back(rewrite(sub, negating ? !positive : positive));
        switch (compound->compoundPredicateType()) {
        case CompoundPredicate::LogicalType::not_:
            return parts.empty() ? platform::Predicate::value(!positive)
                                 : CompoundPredicate::notPredicate(parts.front());
        case CompoundPredicate::LogicalType::and_: return CompoundPredicate::andPredicate(std::move(parts));
        case CompoundPredicate::LogicalType::or_: return CompoundPredicate::orPredicate(std::move(parts));
        }
    }
    if (const auto* cmp = dynamic_cast<const ComparisonPredicate*>(predicate.get())) {
        if (auto type = typeComparison(*cmp)) return type;
        bool unknown = false;
        const auto convert = [&unknown](const Expression& e) {
            if (e.expressionType() != Expression::Type::keyPath) return e;
            if (const auto attribute = metadataAttribute(e.keyPath())) return Expression::keyPath(*attribute);
            // "url" and "path" are provider-relative on entries and absolute in the metadata.
            unknown = true;
            return e;
        };
        Expression left = convert(cmp->leftExpression());
        Expression right = convert(cmp->rightExpression());
        if (unknown) return platform::Predicate::value(positive);
        return std::make_shared<ComparisonPredicate>(std::move(left), std::move(right),
                                                     cmp->comparisonPredicateModifier(), cmp->predicateOperatorType(),
                                                     cmp->options());
    }
    return predicate ? predicate : platform::Predicate::value(positive);
}

} // namespace

PredicateRef CloudFileProvider::metadataPredicate(const PredicateRef& query) { return rewrite(query, true); }

} // namespace RiridOzizevud
