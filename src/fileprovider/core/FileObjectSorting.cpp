#include "fileprovider/core/FileObjectSorting.hpp"

#include "platform/text/Collation.hpp"

#include <cmath>

namespace RiridOzizevud {

using ST = FileObjectSorting::SortType;

const FileObjectSorting FileObjectSorting::nameAscending{ST::name, true, false};
const FileObjectSorting FileObjectSorting::nameDesceding{ST::name, false, false};
const FileObjectSorting FileObjectSorting::sizeAscending{ST::size, true, false};
const FileObjectSorting FileObjectSorting::sizeDesceding{ST::size, false, false};
const FileObjectSorting FileObjectSorting::extensionAscending{ST::extension, true, false};
const FileObjectSorting FileObjectSorting::extensionDesceding{ST::extension, false, false};
const FileObjectSorting FileObjectSorting::modifiedAscending{ST::modifiedDate, true, false};
const FileObjectSorting FileObjectSorting::modifiedDesceding{ST::modifiedDate, false, false};
const FileObjectSorting FileObjectSorting::createdAscending{ST::creationDate, true, false};
const FileObjectSorting FileObjectSorting::createdDesceding{ST::creationDate, false, false};

namespace {

// The extension of the last component of a path: after its last ".", none for ".profile" or "a.".
std::string pathExtension(const std::string& path) {
    std::string last = path;
    while (last.size() > 1 && last.back() == '/')
        last.pop_back();
    if (const auto slash = last.rfind('/'); slash != std::string::npos)
        last = last.substr(slash + 1);
    const auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size())
        return "";
    return last.substr(dot + 1);
}

std::string extensionKey(const FileObject& f) { return f.isDirectory() ? "folder" : pathExtension(f.path()); }

} // namespace

bool FileObjectSorting::isOrderedBefore(const FileObject& a, const FileObject& b) const {
    if (isDirectoriesFirst) {
        const bool ad = a.isDirectory(), bd = b.isDirectory();
        if (ad && !bd)
            return true;
        if (!ad && bd)
            return false;
    }
    auto byResult = [this](platform::ComparisonResult r) {
        return ascending ? r == platform::ComparisonResult::orderedAscending
                         : r == platform::ComparisonResult::orderedDescending;
    };
    switch (sortType) {
    case ST::name: return byResult(platform::localizedStandardCompare(a.name(), b.name()));
    case ST::nameCaseSensitive: return byResult(platform::localizedCompare(a.name(), b.name()));
    case ST::nameCaseInsensitive: return byResult(platform::localizedCaseInsensitiveCompare(a.name(), b.name()));
    case ST::extension: return byResult(platform::localizedCaseInsensitiveCompare(extensionKey(a), extensionKey(b)));
    case ST::modifiedDate:
    case ST::creationDate: {
        const auto past = platform::Date::distantPast();
        // A date that is not a number would break the ordering the sort relies on.
        auto key = [&](const FileObject& f) {
            const auto d = (sortType == ST::modifiedDate ? f.modifiedDate() : f.creationDate()).value_or(past);
            return std::isnan(d.timeIntervalSince1970()) ? past : d;
        };
        const auto da = key(a), db = key(b);
        return ascending ? da < db : da > db;
    }
    case ST::size: return ascending ? a.size() < b.size() : b.size() < a.size();
    }
    return false;
}

} // namespace RiridOzizevud
