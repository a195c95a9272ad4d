// test-labels: unit local
#include "local_fixture.hpp"

#include "platform/net/URLResourceKey.hpp"

#include <unistd.h>

using namespace localtest;
using platform::URL;

namespace {

class LocalFileObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = temp.path() / "base";
        fs::create_directories(base);
        baseURL = URL::fileURLWithPath(base.string(), true);
    }
    TempFolder temp;
    fs::path base;
    URL baseURL = URL::fileURLWithPath("/");
};

} // namespace

TEST_F(LocalFileObjectTest, MissingItemsGiveNoEntry) {
    EXPECT_FALSE(LocalFileObject::make(URL::fileURLWithPath((base / "nothing").string())));
    EXPECT_FALSE(LocalFileObject::make("nothing/here", baseURL));
}

TEST_F(LocalFileObjectTest, RegularFileFolderAndLinkEntries) {
    writeFile(base / "a" / "b.txt", "hello");
    fs::create_symlink("a/b.txt", base / "link");

    const auto file = LocalFileObject::make("a/b.txt", baseURL);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name(), "b.txt");
    EXPECT_EQ(file->path(), "/a/b.txt");
    EXPECT_EQ(file->size(), 5);
    EXPECT_TRUE(file->isRegularFile());
    EXPECT_FALSE(file->isHidden());
    EXPECT_TRUE(file->modifiedDate());
    EXPECT_EQ(file->url().absoluteURL().path(), (base / "a" / "b.txt").string());
    EXPECT_TRUE(file->id());
    EXPECT_EQ(file->rev()->size(), 32u);
    EXPECT_FALSE(file->childrensCount());

    const auto folder = LocalFileObject::make("a", baseURL);
    ASSERT_TRUE(folder);
    EXPECT_TRUE(folder->isDirectory());
    EXPECT_EQ(folder->size(), -1) << "a folder has no file size";
    EXPECT_EQ(folder->allocatedSize(), 0) << "an absent allocated size reads 0";
    EXPECT_FALSE(platform::find(folder->allValues(), platform::URLResourceKey::fileSizeKey));

    const auto link = LocalFileObject::make("link", baseURL);
    ASSERT_TRUE(link);
    EXPECT_TRUE(link->isSymLink()) << "the link itself, not what it points to";
}

TEST_F(LocalFileObjectTest, RelativeAndAbsolutePathsNameTheSameEntry) {
    writeFile(base / "a" / "b.txt", "x");
    const auto relative = LocalFileObject::make("a/b.txt", baseURL);
    const auto leading = LocalFileObject::make("/a/b.txt", baseURL);
    const auto absolute = LocalFileObject::make((base / "a" / "b.txt").string(), baseURL);
    ASSERT_TRUE(relative && leading && absolute);
    EXPECT_EQ(relative->path(), "/a/b.txt");
    EXPECT_EQ(leading->path(), "/a/b.txt");
    EXPECT_EQ(absolute->path(), "/a/b.txt");
    EXPECT_EQ(relative->url(), leading->url());
    EXPECT_EQ(relative->url(), absolute->url());

    const auto own = LocalFileObject::make(base.string(), baseURL);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->path(), "/");
    EXPECT_TRUE(own->isDirectory());
}

TEST_F(LocalFileObjectTest, BasePrefixCountsWholeComponentsOnly) {
    // "<base>ment/x" is not inside the base even though its text begins with the base's.
    const std::string basePathText = base.string().substr(1);
    writeFile(base / (basePathText + "ment") / "x", "inside");
    fs::create_directories(fs::path(base.string() + "ment"));
    writeFile(fs::path(base.string() + "ment") / "x", "outside");
    const auto entry = LocalFileObject::make(basePathText + "ment/x", baseURL);
    ASSERT_TRUE(entry);
    EXPECT_EQ(readFile(entry->url().absoluteURL().path()), "inside");
}

TEST_F(LocalFileObjectTest, DotSegmentsStayInsideTheBase) {
    writeFile(temp.path() / "secret.txt", "outside");
    writeFile(base / "secret.txt", "inside");
    for (const char* path : {"../secret.txt", "a/../../secret.txt", "/../secret.txt"}) {
        const auto entry = LocalFileObject::make(path, baseURL);
        ASSERT_TRUE(entry) << path;
        EXPECT_EQ(readFile(entry->url().absoluteURL().path()), "inside") << path;
        EXPECT_EQ(entry->path(), "/secret.txt") << path;
    }
}

TEST_F(LocalFileObjectTest, HostileNamesKeepTheirText) {
    for (std::string name : {"a b.txt", "it's \"q\".mp3", "what?#%.mkv", "ünïcödé ☃", ".hidden", "x:y"}) {
        writeFile(base / name, "1");
        const auto entry = LocalFileObject::make(name, baseURL);
        ASSERT_TRUE(entry) << name;
        EXPECT_EQ(entry->name(), name);
        EXPECT_EQ(entry->path(), "/" + name);
        EXPECT_EQ(entry->isHidden(), name[0] == '.') << name;
    }
}

TEST_F(LocalFileObjectTest, RevIsLowerCaseHex) {
    writeFile(base / "f", "1");
    auto entry = LocalFileObject::make("f", baseURL);
    ASSERT_TRUE(entry);
    entry->allValues()["NSURLGenerationIdentifierKey"] = Data{0x00, 0xAB, 0x10};
    EXPECT_EQ(entry->rev(), "00ab10");
    entry->allValues()["NSURLGenerationIdentifierKey"] = Data{};
    EXPECT_EQ(entry->rev(), "");
    entry->allValues()["NSURLGenerationIdentifierKey"] = std::string("text");
    EXPECT_FALSE(entry->rev());
    entry->allValues().erase("NSURLDocumentIdentifierKey");
    EXPECT_FALSE(entry->id());
}

TEST_F(LocalFileObjectTest, ChildrensCountIsLive) {
    fs::create_directories(base / "empty");
    writeFile(base / "two" / ".hidden", "");
    writeFile(base / "two" / "shown", "");
    auto empty = LocalFileObject::make("empty", baseURL);
    auto two = LocalFileObject::make("two", baseURL);
    ASSERT_TRUE(empty && two);
    EXPECT_EQ(empty->childrensCount(), 0);
    EXPECT_EQ(two->childrensCount(), 2);

    two->setChildrensCount(17);
    EXPECT_EQ(two->childrensCount(), 2);
    EXPECT_FALSE(platform::find(two->allValues(), childrensCount));
    writeFile(base / "two" / "third", "");
    EXPECT_EQ(two->childrensCount(), 3);
}

TEST_F(LocalFileObjectTest, UnreadableFolderStillHasAnEntry) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    fs::create_directories(base / "locked" / "inner");
    fs::permissions(base / "locked", fs::perms::none);
    EXPECT_FALSE(LocalFileObject::make("locked/inner", baseURL));
    const auto locked = LocalFileObject::make("locked", baseURL);
    ASSERT_TRUE(locked);
    EXPECT_FALSE(locked->childrensCount());
    fs::permissions(base / "locked", fs::perms::owner_all);
}
