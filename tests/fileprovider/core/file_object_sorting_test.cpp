// test-labels: unit
#include "fileprovider/core/FileObjectSorting.hpp"

#include <gtest/gtest.h>

using namespace RiridOzizevud;
using ST = FileObjectSorting::SortType;

namespace {

struct Spec {
    const char* name;
    bool dir = false;
    int64_t size = 0;
    std::optional<double> modified = std::nullopt;
};

std::vector<FileObjectRef> make(std::initializer_list<Spec> specs) {
    std::vector<FileObjectRef> out;
    for (const auto& s : specs) {
        auto f = std::make_shared<FileObject>(std::nullopt, s.name, std::string("/d/") + s.name);
        f->setType(s.dir ? platform::URLFileResourceType::directory : platform::URLFileResourceType::regular);
        f->setSize(s.size);
        if (s.modified)
            f->setModifiedDate(platform::Date(*s.modified));
        out.push_back(f);
    }
    return out;
}

std::vector<std::string> names(const std::vector<FileObjectRef>& files) {
    std::vector<std::string> out;
    for (const auto& f : files)
        out.push_back(f ? f->name() : "<null>");
    return out;
}

using Names = std::vector<std::string>;

TEST(FileObjectSorting, Orders) {
    struct Case {
        const char* why;
        FileObjectSorting sorting;
        std::vector<FileObjectRef> input;
        Names expected;
    };
    const Case cases[] = {
        {"numbers by value", FileObjectSorting::nameAscending, make({{"file10"}, {"file2"}, {"File1"}}),
         Names{"File1", "file2", "file10"}},
        {"plain comparison digit by digit", {ST::nameCaseSensitive, true, false}, make({{"file10"}, {"file2"}}),
         Names{"file10", "file2"}},
        {"descending names", FileObjectSorting::nameDesceding, make({{"a"}, {"c"}, {"b"}}), Names{"c", "b", "a"}},
        {"case-insensitive names keep equal names in input order", {ST::nameCaseInsensitive, true, false},
         make({{"b"}, {"B"}, {"a"}}), Names{"a", "b", "B"}},
        {"directories first, descending within groups", {ST::name, false, true},
         make({{"a"}, {"z", true}, {"m"}, {"b", true}}), Names{"z", "b", "m", "a"}},
        {"extension: folder key for directories, empty key first", FileObjectSorting::extensionAscending,
         make({{"x.txt", true}, {"b.txt"}, {"noext"}, {"a.DOC"}}), Names{"noext", "a.DOC", "x.txt", "b.txt"}},
        {"missing dates first ascending", FileObjectSorting::modifiedAscending,
         make({{"new", false, 0, 20}, {"none"}, {"old", false, 0, 10}}), Names{"none", "old", "new"}},
        {"missing dates last descending", FileObjectSorting::modifiedDesceding,
         make({{"none"}, {"new", false, 0, 20}, {"old", false, 0, 10}}), Names{"new", "old", "none"}},
        {"equal sizes keep input order ascending", FileObjectSorting::sizeAscending,
         make({{"c", false, 5}, {"a", false, 1}, {"b", false, 5}, {"d", false, 5}}), Names{"a", "c", "b", "d"}},
        {"equal sizes keep input order descending", FileObjectSorting::sizeDesceding,
         make({{"c", false, 5}, {"a", false, 1}, {"b", false, 5}, {"d", false, 5}}), Names{"c", "b", "d", "a"}},
        {"empty", FileObjectSorting::nameAscending, {}, Names{}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(names(c.sorting.sort(c.input)), c.expected) << c.why;
}

TEST(FileObjectSorting, ArrayHelpersCopyAndReplaceWithoutLosingEntries) {
    auto files = make({{"b"}, {"a"}, {"c"}});
    files.insert(files.begin() + 1, nullptr);  // an absent entry is kept, at the end
    const auto copy = sort(files, ST::name, true, false);
    EXPECT_EQ(names(copy), (Names{"a", "b", "c", "<null>"}));
    EXPECT_EQ(names(files), (Names{"b", "<null>", "a", "c"}));  // `sort` leaves the input alone
    sorted(files, ST::name, false, false);
    EXPECT_EQ(names(files), (Names{"c", "b", "a", "<null>"}));

    // Subclass element types come back as themselves.
    struct Entry : FileObject {
        using FileObject::FileObject;
    };
    std::vector<std::shared_ptr<Entry>> entries{std::make_shared<Entry>(std::nullopt, "z", "/z"),
                                                std::make_shared<Entry>(std::nullopt, "y", "/y")};
    std::vector<std::shared_ptr<Entry>> back = sort(entries, ST::name, true, false);
    EXPECT_EQ(back.front()->name(), "y");
}

TEST(FileObjectSorting, Presets) {
    EXPECT_EQ(FileObjectSorting::sizeDesceding, (FileObjectSorting{ST::size, false, false}));
    EXPECT_EQ(FileObjectSorting::createdAscending, (FileObjectSorting{ST::creationDate, true, false}));
    EXPECT_FALSE(FileObjectSorting::extensionDesceding.isDirectoriesFirst);
}

} // namespace
