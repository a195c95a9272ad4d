// test-labels: unit
#include "fileprovider/core/FileObject.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace RiridOzizevud;
using platform::URL;
using platform::URLFileResourceType;
using platform::URLResourceKey;
using platform::Value;
using platform::ValueDictionary;

namespace {

URL u(const char* s) { return *URL::parse(s); }

class WebEntry : public FileObject {
public:
    using FileObject::FileObject;
};

TEST(FileObject, UrlViewFromPath) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"/dir/a b.txt", "dir/a%20b.txt"},   // space encoded, first "/" gone
        {"x:y", "x%3Ay"},                    // never read as a scheme
        {"/a?b#c", "a%3Fb%23c"},
        {"/Résumé", "R%C3%A9sum%C3%A9"},
        {"/bad\xff", "bad%FF"},             // not UTF-8: escaped byte by byte
        {"", "/"},                           // no URL to make: "/"
        {"/", "/"},
    };
    for (const auto& c : cases) {
        const FileObject f(std::nullopt, "n", c.path);
        EXPECT_EQ(f.url().relativeString(), c.expected) << c.path;
    }
    // A stored URL wins over the path.
    const FileObject stored(u("https://h/dav/x"), "x", "/other");
    EXPECT_EQ(stored.url(), u("https://h/dav/x"));
}

TEST(FileObject, TypedViewsReadDefaultsAndStoreUnderTheirKeys) {
    FileObject f(ValueDictionary{{URLResourceKey::nameKey, "a"}, {URLResourceKey::pathKey, "/a"}});
    EXPECT_EQ(f.size(), -1);
    EXPECT_FALSE(f.isReadOnly());
    EXPECT_FALSE(f.isHidden());
    EXPECT_EQ(f.type(), URLFileResourceType::unknown);
    EXPECT_FALSE(f.childrensCount());
    EXPECT_FALSE(f.modifiedDate());

    f.allValues()[URLResourceKey::fileSizeKey] = 12.0;  // not a 64-bit integer
    EXPECT_EQ(f.size(), -1);
    f.setSize(12);
    EXPECT_EQ(f.size(), 12);

    f.setIsReadOnly(true);
    EXPECT_EQ(f.allValues().at(URLResourceKey::isWritableKey), Value(false));
    EXPECT_TRUE(f.isReadOnly());
    f.allValues()[URLResourceKey::isWritableKey] = "no";
    EXPECT_FALSE(f.isReadOnly());

    f.setType(URLFileResourceType::directory);
    EXPECT_TRUE(f.isDirectory());
    EXPECT_FALSE(f.isRegularFile());
    f.setType(URLFileResourceType::symbolicLink);
    EXPECT_TRUE(f.isSymLink());

    f.setModifiedDate(platform::Date(5.0));
    EXPECT_EQ(f.modifiedDate(), platform::Date(5.0));
    f.setModifiedDate(std::nullopt);
    EXPECT_EQ(f.allValues().count(URLResourceKey::contentModificationDateKey), 0u);
    f.setChildrensCount(3);
    EXPECT_EQ(f.allValues().at(childrensCount), Value(3));
    f.setChildrensCount(std::nullopt);
    EXPECT_EQ(f.allValues().count(childrensCount), 0u);

    // Missing name and path read as empty strings.
    const FileObject bare(ValueDictionary{});
    EXPECT_EQ(bare.name(), "");
    EXPECT_EQ(bare.path(), "");
}

TEST(FileObject, EqualityAndHashAgree) {
    auto entry = [](std::optional<URL> url, const char* path, int64_t size, std::optional<double> date) {
        auto f = std::make_shared<FileObject>(url, "n", path);
        f->setSize(size);
        if (date)
            f->setModifiedDate(platform::Date(*date));
        return f;
    };
    struct Case {
        std::shared_ptr<FileObject> a, b;
        bool equal;
        const char* why;
    };
    const Case cases[] = {
        {entry(u("https://h/a"), "/a", 1, 1), entry(u("https://h/a"), "/b", 1, 2), true, "same URL and size, dates ignored"},
        {entry(u("https://h/a"), "/a", 1, 1), entry(u("https://h/a"), "/a", 2, 1), false, "sizes differ"},
        {entry(std::nullopt, "/a", 1, 1), entry(std::nullopt, "/a", 1, 2), false, "no URLs: dates compared"},
        {entry(std::nullopt, "/a", 1, std::nullopt), entry(std::nullopt, "/a", 1, std::nullopt), true, "both dates absent"},
        {entry(std::nullopt, "/a", 1, 1), entry(std::nullopt, "/a", 1, std::nullopt), false, "one date absent"},
        {entry(u("https://h/a"), "/a", 1, 1), entry(std::nullopt, "/a", 1, 1), true, "one URL: by path"},
        {entry(std::nullopt, "/a", 1, 1), entry(std::nullopt, "/b", 1, 1), false, "paths differ"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a->isEqual(*c.b), c.equal) << c.why;
        EXPECT_EQ(c.b->isEqual(*c.a), c.equal) << c.why;
        if (c.equal) {
            EXPECT_EQ(c.a->hash(), c.b->hash()) << c.why;
        }
    }
    // Same values in another entry class are unequal.
    auto web = std::make_shared<WebEntry>(u("https://h/a"), "n", "/a");
    auto plain = std::make_shared<FileObject>(u("https://h/a"), "n", "/a");
    EXPECT_FALSE(web->isEqual(*plain));
    EXPECT_TRUE(*plain == *plain);

    // Containers by value see the equal entries as one.
    std::unordered_set<std::shared_ptr<const FileObject>, FileObjectHash, FileObjectEqual> set;
    set.insert(cases[0].a);
    set.insert(cases[0].b);
    set.insert(cases[1].b);
    EXPECT_EQ(set.size(), 2u);
}

TEST(FileObject, PredicateAttributes) {
    FileObject f(u("https://h/dav/a.txt"), "a.txt", "/a.txt");
    f.setSize(10);
    f.allValues()[entryTagKey] = "\"etag1\"";
    f.allValues()[mimeTypeKey] = "text/plain";
    f.allValues()["NSURLSomethingElseKey"] = 1;
    f.setType(URLFileResourceType::regular);
    const ValueDictionary a = f.predicateAttributes();
    EXPECT_EQ(a.at("url"), Value(u("https://h/dav/a.txt")));
    EXPECT_EQ(a.at("name"), Value("a.txt"));
    EXPECT_EQ(a.at("path"), Value("/a.txt"));
    EXPECT_EQ(a.at("fileSize"), Value(10));
    EXPECT_EQ(a.at("filesize"), Value(10));
    EXPECT_EQ(a.at("entryTag"), Value("\"etag1\""));
    EXPECT_EQ(a.at("eTag"), Value("\"etag1\""));
    EXPECT_EQ(a.at("mimeType"), Value("text/plain"));
    EXPECT_EQ(a.at("type"), Value("regular"));
    EXPECT_EQ(a.at("isRegularFile"), Value(true));
    EXPECT_EQ(a.at("isReadOnly"), Value(false));
    EXPECT_EQ(a.count("modifiedDate"), 0u);
    EXPECT_EQ(a.count("NSURLSomethingElseKey"), 0u);

    FileObject bare(std::nullopt, "d", "/d");
    const auto b = bare.predicateAttributes();
    EXPECT_EQ(b.at("type"), Value("unknown"));
    EXPECT_EQ(b.count("eTag"), 0u);
    EXPECT_EQ(b.count("filesize"), 0u);
    bare.setType(URLFileResourceType::socket);
    EXPECT_EQ(bare.predicateAttributes().at("type"), Value("unknown"));

    // The default string search matches through this view.
    const auto search = platform::Predicate::format("name BEGINSWITH[c] %@", {Value("A.")});
    EXPECT_TRUE(search->evaluate(a));
}

TEST(FileObject, ConvertPredicateFromSpotlight) {
    const auto p = platform::Predicate::format("%K BEGINSWITH[c] 'x' AND NOT (%K > 5 OR other == 1)",
                                               {Value("kMDItemFSName"), Value("kMDItemFSSize")});
    const auto converted = FileObject::convertPredicate(p);
    EXPECT_EQ(converted->predicateFormat(),
              "NSURLNameKey BEGINSWITH[c] \"x\" AND (NOT (NSURLFileSizeKey > 5 OR other == 1))");
    const auto truth = platform::Predicate::value(true);
    EXPECT_EQ(FileObject::convertPredicate(truth), truth);
    // Either side of a comparison is rewritten.
    EXPECT_EQ(FileObject::convertPredicate(platform::Predicate::format("'t' == kMDItemKind"))->predicateFormat(),
              "\"t\" == NSURLMIMETypeIdentifierKey");
}

TEST(VolumeObject, ViewsAndUsage) {
    VolumeObject v(ValueDictionary{});
    EXPECT_EQ(v.totalCapacity(), -1);
    EXPECT_EQ(v.availableCapacity(), 0);
    EXPECT_EQ(v.usage(), 0);
    EXPECT_FALSE(v.name());

    v.setUsage(100);  // total unknown
    EXPECT_EQ(v.availableCapacity(), -100);
    EXPECT_EQ(v.usage(), 100);
    v.setTotalCapacity(1000);
    v.setUsage(300);
    EXPECT_EQ(v.availableCapacity(), 700);
    EXPECT_EQ(v.usage(), 300);

    // Extreme figures saturate instead of overflowing.
    v.setTotalCapacity(INT64_MAX);
    v.setAvailableCapacity(-5);
    EXPECT_EQ(v.usage(), INT64_MAX);

    v.setIsEncrypted(true);
    EXPECT_EQ(v.allValues().at(URLResourceKey::volumeIsEncryptedKey), Value(true));
    v.setName(std::string("Disk"));
    EXPECT_EQ(v.name(), "Disk");
    v.setName(std::nullopt);
    EXPECT_EQ(v.allValues().count(URLResourceKey::volumeNameKey), 0u);
}

} // namespace
