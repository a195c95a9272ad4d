// RiridOzizevud::FileObjectSorting — the one ordering rule for listings: a key, a direction and
// an optional directories-first grouping. The sort is stable and never drops an entry.
#pragma once

#include "fileprovider/core/FileObject.hpp"

#include <algorithm>
#include <memory>
#include <type_traits>
#include <vector>

namespace RiridOzizevud {

struct FileObjectSorting {
    enum class SortType { name, nameCaseSensitive, nameCaseInsensitive, extension, modifiedDate, creationDate, size };

    SortType sortType;
    bool ascending;
    bool isDirectoriesFirst;

    constexpr FileObjectSorting(SortType type, bool ascending, bool isDirectoriesFirst)
        : sortType(type), ascending(ascending), isDirectoriesFirst(isDirectoriesFirst) {}

    static const FileObjectSorting nameAscending;
    static const FileObjectSorting nameDesceding;
    static const FileObjectSorting sizeAscending;
    static const FileObjectSorting sizeDesceding;
    static const FileObjectSorting extensionAscending;
    static const FileObjectSorting extensionDesceding;
    static const FileObjectSorting modifiedAscending;
    static const FileObjectSorting modifiedDesceding;
    static const FileObjectSorting createdAscending;
    static const FileObjectSorting createdDesceding;

    /// Whether `a` goes before `b`.
    bool isOrderedBefore(const FileObject& a, const FileObject& b) const;

    /// The same entries, ordered; the input is left as it was.
    template <class T>
    std::vector<std::shared_ptr<T>> sort(const std::vector<std::shared_ptr<T>>& files) const {
        static_assert(std::is_base_of_v<FileObject, T>);
        std::vector<std::shared_ptr<T>> out = files;
        std::stable_sort(out.begin(), out.end(), [this](const std::shared_ptr<T>& a, const std::shared_ptr<T>& b) {
            // Absent entries keep their place at the end rather than being dropped.
            if (!a || !b)
                return a && !b;
            return isOrderedBefore(*a, *b);
        });
        return out;
    }

    bool operator==(const FileObjectSorting&) const = default;
};

/// The array helpers, named as the file-provider module names them: `sort` returns a sorted copy,
/// `sorted` sorts in place.
template <class T>
std::vector<std::shared_ptr<T>> sort(const std::vector<std::shared_ptr<T>>& files, FileObjectSorting::SortType by,
                                     bool ascending, bool isDirectoriesFirst) {
    return FileObjectSorting(by, ascending, isDirectoriesFirst).sort(files);
}

template <class T>
void sorted(std::vector<std::shared_ptr<T>>& files, FileObjectSorting::SortType by, bool ascending,
            bool isDirectoriesFirst) {
    files = FileObjectSorting(by, ascending, isDirectoriesFirst).sort(files);
}

} // namespace RiridOzizevud
