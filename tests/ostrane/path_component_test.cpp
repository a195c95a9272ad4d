// test-labels: unit tsan
#include "ostrane/OstranePathComponent.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace Ostrane;
using Flag = OstranePathComponent::Flag;

namespace {

std::vector<std::string> names(const std::optional<OstranePathComponent::Contents>& contents) {
    std::vector<std::string> out;
    if (contents)
        for (auto& c : *contents) out.push_back(c->description());
    return out;
}

TEST(FlagTest, SetAlgebra) {
    Flag both{Flag::sorted, Flag::foldersOnTop};
    EXPECT_EQ(both.rawValue(), 5);
    EXPECT_TRUE(Flag().isEmpty());
    EXPECT_TRUE(both.contains(Flag::sorted));
    EXPECT_FALSE(both.contains(Flag::showHidden));
    EXPECT_EQ(both - Flag::sorted, Flag::foldersOnTop);
    EXPECT_EQ(both ^ (Flag{Flag::sorted, Flag::showHidden}), Flag(6));
    EXPECT_TRUE(Flag::sorted.isSubset(both));
    EXPECT_TRUE(both.isSuperset(Flag::foldersOnTop));
    EXPECT_TRUE(both.isDisjoint(Flag::showHidden));

    Flag f;
    EXPECT_EQ(f.insert(Flag::showHidden), std::make_pair(true, Flag::showHidden));
    EXPECT_EQ(f.insert(Flag::showHidden), std::make_pair(false, Flag::showHidden));
    EXPECT_EQ(f.update(Flag{Flag::showHidden, Flag::sorted}), Flag::showHidden);
    EXPECT_EQ(f.remove(Flag::foldersOnTop), std::nullopt);
    EXPECT_EQ(f.remove(Flag::sorted), Flag::sorted);
    EXPECT_EQ(f, Flag::showHidden);
}

TEST(PathComponentTest, Paths) {
    auto root = OstraneDirectory::make("/");
    auto movies = OstraneDirectory::make("Movies", root);
    auto file = OstraneFile::make("a.mkv", movies, 1024);
    auto bare = OstraneDirectory::make("");
    auto based = OstraneDirectory::make("/srv/media/");
    struct Case { std::shared_ptr<OstranePathComponent> c; std::string path; } cases[] = {
        {root, "/"},
        {movies, "/Movies"},
        {file, "/Movies/a.mkv"},
        {OstraneFile::make("x", bare, 0), "x"},
        {OstraneFile::make("x", based, 0), "/srv/media/x"},
    };
    for (auto& c : cases) EXPECT_EQ(c.c->path(), c.path);
    EXPECT_EQ(file->description(), "a.mkv 1024");
    EXPECT_EQ(OstraneFile::make("x", root, 0)->description(), "x 0");
    EXPECT_EQ(file->type(), OstraneFileType::file);
    EXPECT_EQ(file->parent(), movies);
    EXPECT_EQ(root->parent(), nullptr);
}

TEST(PathComponentTest, LinksAndDirectories) {
    auto root = OstraneDirectory::make("/");
    auto dir = OstraneDirectory::make("d", root);
    auto file = OstraneFile::make("f", root, 1);
    auto link = OstraneSymbolicLink::make("l", root);
    EXPECT_FALSE(link->isDirectory());
    EXPECT_EQ(link->contents(), std::nullopt);
    link->setTarget(file);
    EXPECT_FALSE(link->isDirectory());
    EXPECT_EQ(link->contents(), std::nullopt);
    link->setTarget(dir);
    EXPECT_TRUE(link->isDirectory());
    EXPECT_EQ(link->contents(), std::nullopt);  // target not listed yet
    dir->setContents(OstranePathComponent::Contents{});
    ASSERT_TRUE(link->contents().has_value());
    EXPECT_TRUE(link->contents()->empty());
    EXPECT_TRUE(dir->isDirectory());
    EXPECT_FALSE(file->isDirectory());
    EXPECT_EQ(file->contents(), std::nullopt);
    EXPECT_EQ(link->type(), OstraneFileType::symbolicLink);
}

TEST(PathComponentTest, OrderingByCanonicalName) {
    auto root = OstraneDirectory::make("/");
    auto composed = OstraneFile::make("caf\xC3\xA9", root, 0);      // é precomposed
    auto decomposed = OstraneFile::make("cafe\xCC\x81", root, 0);   // e + combining acute
    EXPECT_TRUE(*composed == *decomposed);
    EXPECT_FALSE(*composed < *decomposed);
    EXPECT_FALSE(*decomposed < *composed);
    EXPECT_TRUE(*OstraneFile::make("B", root, 0) < *OstraneFile::make("a", root, 0));
    EXPECT_TRUE(*OstraneFile::make("a10", root, 0) < *OstraneFile::make("a9", root, 0));
    EXPECT_TRUE(*composed < *OstraneFile::make("z", root, 0));
    // Undecodable names keep their bytes and stay distinct.
    EXPECT_FALSE(*OstraneFile::make("\xFF", root, 0) == *OstraneFile::make("\xFE", root, 0));
    // Equality is by name only.
    EXPECT_TRUE(*OstraneFile::make("x", root, 1) == *OstraneDirectory::make("x", root));
}

class FlagsReorderTest : public ::testing::Test {
protected:
    std::shared_ptr<OstraneDirectory> root = OstraneDirectory::make("/");
    void fill(std::initializer_list<std::pair<char, const char*>> entries) {
        OstranePathComponent::Contents list;
        for (auto [kind, name] : entries) {
            if (kind == 'd') list.push_back(OstraneDirectory::make(name, root));
            else if (kind == 'l') list.push_back(OstraneSymbolicLink::make(name, root));
            else list.push_back(OstraneFile::make(name, root, 0));
        }
        root->setContents(list);
    }
};

TEST_F(FlagsReorderTest, FoldersOnTopThenCleared) {
    fill({{'f', "b"}, {'d', "z"}, {'f', "a"}, {'d', "c"}});
    root->setFlags(Flag::foldersOnTop);
    EXPECT_EQ(names(root->contents()), (std::vector<std::string>{"c", "z", "a 0", "b 0"}));
    root->setFlags(Flag());
    EXPECT_EQ(names(root->contents()), (std::vector<std::string>{"a 0", "b 0", "c", "z"}));
}

TEST_F(FlagsReorderTest, SameValueLeavesContentsAlone) {
    root->setFlags(Flag::sorted);
    fill({{'f', "b"}, {'f', "a"}});
    root->setFlags(Flag::sorted);
    EXPECT_EQ(names(root->contents()), (std::vector<std::string>{"b 0", "a 0"}));
    root->setFlags(Flag{Flag::sorted, Flag::showHidden});
    EXPECT_EQ(names(root->contents()), (std::vector<std::string>{"a 0", "b 0"}));
}

TEST_F(FlagsReorderTest, FileSharingADirectoryNameIsKept) {
    fill({{'f', "x"}, {'d', "x"}, {'l', "a"}, {'f', "b"}});
    root->setFlags(Flag::foldersOnTop);
    auto contents = *root->contents();
    ASSERT_EQ(contents.size(), 4u);
    EXPECT_EQ(contents[0]->type(), OstraneFileType::directory);
    EXPECT_EQ(contents[0]->name(), "x");
    // A link to a directory is not a folder here; it sorts with the files.
    EXPECT_EQ(names(contents), (std::vector<std::string>{"x", "a", "b 0", "x 0"}));
}

TEST_F(FlagsReorderTest, EmptyAndAbsentContents) {
    root->setFlags(Flag::foldersOnTop);
    EXPECT_EQ(root->contents(), std::nullopt);
    root->setContents(OstranePathComponent::Contents{});
    root->setFlags(Flag());
    ASSERT_TRUE(root->contents().has_value());
    EXPECT_TRUE(root->contents()->empty());
}

TEST(PathComponentTest, PathOutlivesTheParent) {
    std::shared_ptr<OstraneFile> orphan;
    {
        auto root = OstraneDirectory::make("/");
        orphan = OstraneFile::make("a.mkv", OstraneDirectory::make("Movies", root), 1);
    }
    EXPECT_EQ(orphan->parent(), nullptr);
    EXPECT_EQ(orphan->path(), "/Movies/a.mkv");
}

TEST(PathComponentTest, DiscardedTreeIsFreed) {
    std::weak_ptr<OstraneDirectory> weakRoot;
    std::weak_ptr<OstranePathComponent> weakChild;
    {
        auto root = OstraneDirectory::make("/");
        auto child = OstraneDirectory::make("c", root);
        child->setContents(OstranePathComponent::Contents{OstraneFile::make("f", child, 1)});
        root->setContents(OstranePathComponent::Contents{child});
        weakRoot = root;
        weakChild = child;
        EXPECT_EQ((*child->contents())[0]->path(), "/c/f");
    }
    EXPECT_TRUE(weakRoot.expired());
    EXPECT_TRUE(weakChild.expired());
}

TEST(PathComponentTest, ConcurrentFlagsAndContents) {
    auto root = OstraneDirectory::make("/");
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            OstranePathComponent::Contents list;
            for (int j = 0; j < 5; ++j) list.push_back(OstraneFile::make(std::to_string((i * 7 + j) % 10), root, j));
            root->setContents(list);
        }
    });
    std::thread flipper([&] {
        for (int i = 0; i < 200; ++i) root->setFlags(i % 2 ? Flag::foldersOnTop : Flag());
    });
    for (int i = 0; i < 200; ++i) {
        auto c = root->contents();
        if (c) {
            EXPECT_EQ(c->size(), 5u);
        }
    }
    writer.join();
    flipper.join();
}

}  // namespace
