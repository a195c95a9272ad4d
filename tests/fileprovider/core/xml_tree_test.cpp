// test-labels: unit
#include "fileprovider/core/XMLTree.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

using namespace RiridOzizevud;

namespace {

std::shared_ptr<XMLDocument> parse(std::string_view text, XMLOptions options = {}) {
    auto doc = XMLDocument::make(nullptr, options);
    doc->load(text);
    return doc;
}

platform::ErrorRef parseError(std::string_view text) {
    auto doc = XMLDocument::make();
    try {
        doc->load(text);
    } catch (const platform::Exception& e) {
        return e.error();
    }
    return nullptr;
}

std::string fixture(const std::string& name) {
    std::ifstream in(std::string(OSTRANE_SOURCE_DIR) + "/tests/fileprovider/core/fixtures/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(XMLTree, TextAndChildren) {
    struct Row {
        const char* xml;
        std::optional<std::string> rootValue;
        std::size_t children;
    };
    const Row rows[] = {
        {"<a> x <b>y</b> z </a>", "x", 1},                // text after a child is not kept
        {"<a>\n  </a>", std::nullopt, 0},                  // white space only: no value
        {"<a><![CDATA[x]]></a>", std::nullopt, 0},         // CDATA is not text to the tree
        {"<a>x&amp;y &lt;z&gt;</a>", "x&y <z>", 0},        // entities arrive resolved and joined
        {"<a>\xC2\xA0\xE2\x80\x83 v \xE3\x80\x80</a>", "v", 0},  // Unicode white space trimmed too
        {"<a><!-- c -->t<?pi x?></a>", "t", 0},
        {"<a/>", std::nullopt, 0},
    };
    for (const auto& r : rows) {
        auto doc = parse(r.xml);
        auto root = doc->rootElement();
        EXPECT_EQ(root->name, "a") << r.xml;
        EXPECT_FALSE(root->error) << r.xml;
        EXPECT_EQ(root->value, r.rootValue) << r.xml;
        EXPECT_EQ(root->children.size(), r.children) << r.xml;
    }
    auto doc = parse("<a> x <b>y</b> z </a>");
    auto b = doc->rootElement()->firstChild("b");
    EXPECT_EQ(b->value, "y");
    EXPECT_EQ(b->parent.lock()->name, "a");
}

TEST(XMLTree, TextSplitOverManyPiecesIsJoined) {
    // expat hands over a line break as a piece of its own; a long text arrives in many pieces.
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "ab\nc";
    auto doc = parse("<a>" + text + "</a>");
    EXPECT_EQ(doc->rootElement()->value, text);
}

TEST(XMLTree, LookupsNeverFail) {
    auto doc = parse("<D:multistatus xmlns:D=\"DAV:\"><D:response><D:href>/x</D:href></D:response></D:multistatus>");
    auto root = doc->rootElement();
    EXPECT_EQ(root->name, "D:multistatus");
    auto response = root->firstChild("D:response");
    EXPECT_FALSE(response->error);
    EXPECT_EQ(response->firstChild("D:href")->value, "/x");
    // The prefix is part of the name when namespaces are not processed.
    auto missing = response->firstChild("href");
    EXPECT_EQ(missing->error, XMLTreeError::elementNotFound);
    EXPECT_EQ(missing->name, "href");
    EXPECT_TRUE(missing->parent.expired());
    auto chained = missing->firstChild("x")->firstChild("y");
    EXPECT_EQ(chained->error, XMLTreeError::elementNotFound);
    EXPECT_FALSE(chained->value);

    auto empty = XMLDocument::make();
    auto noRoot = empty->rootElement();
    EXPECT_EQ(noRoot->name, "Error");
    EXPECT_EQ(noRoot->error, XMLTreeError::rootElementMissing);
    EXPECT_TRUE(empty->children.empty());
}

TEST(XMLTree, NamespaceProcessingGivesLocalNames) {
    XMLOptions options;
    options.parserSettings.shouldProcessNamespaces = true;
    auto doc = parse("<D:multistatus xmlns:D=\"DAV:\"><D:href D:a=\"1\">x</D:href></D:multistatus>", options);
    EXPECT_EQ(doc->rootElement()->name, "multistatus");
    auto href = doc->rootElement()->firstChild("href");
    EXPECT_EQ(href->value, "x");
    EXPECT_EQ(href->attributes.at("D:a"), "1");
}

TEST(XMLTree, MalformedInputThrowsAndKeepsWhatWasBuilt) {
    struct Row {
        const char* xml;
        const char* domain;
    };
    const Row rows[] = {
        {"", NSXMLParserErrorDomain},
        {"<a><b></a>", NSXMLParserErrorDomain},
        {"<a>", NSXMLParserErrorDomain},
        {"<a></a><b/>", NSXMLParserErrorDomain},
        {"not xml", NSXMLParserErrorDomain},
        {"<a>&undefined;</a>", NSXMLParserErrorDomain},
    };
    for (const auto& r : rows) {
        auto e = parseError(r.xml);
        ASSERT_TRUE(e) << r.xml;
        EXPECT_EQ(e->domain(), r.domain) << r.xml;
        EXPECT_NE(e->localizedDescription().find("line"), std::string::npos) << e->localizedDescription();
    }
    auto doc = XMLDocument::make();
    EXPECT_THROW(doc->load(std::string_view("<a><b>t</b><c>")), platform::Exception);
    ASSERT_EQ(doc->children.size(), 1u);
    EXPECT_EQ(doc->rootElement()->firstChild("b")->value, "t");
}

TEST(XMLTree, LoadReplacesEarlierChildren) {
    auto doc = parse("<a/>");
    doc->load(std::string_view("<b/>"));
    ASSERT_EQ(doc->children.size(), 1u);
    EXPECT_EQ(doc->rootElement()->name, "b");
    EXPECT_EQ(doc->rootElement()->parent.lock(), doc);
}

TEST(XMLTree, ExternalEntitiesAreNeverLoaded) {
    const char* path = "/tmp/ostrane-xml-secret.txt";
    {
        std::ofstream(path) << "TOP-SECRET";
    }
    const std::string xml = std::string("<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e SYSTEM \"file://") + path +
                            "\"><!ENTITY % p SYSTEM \"file://" + path + "\"> %p;]><a>v&e;</a>";
    for (bool resolve : {false, true}) {
        XMLOptions options;
        options.parserSettings.shouldResolveExternalEntities = resolve;
        auto doc = XMLDocument::make(nullptr, options);
        try {
            doc->load(xml);
        } catch (const platform::Exception&) {
        }
        EXPECT_EQ(doc->xml().find("TOP-SECRET"), std::string::npos);
    }
    std::remove(path);
}

TEST(XMLTree, EntityExpansionBombIsRefused) {
    std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY l0 \"lollollollollollollollollollol\">";
    for (int i = 1; i <= 9; ++i)
        xml += "<!ENTITY l" + std::to_string(i) + " \"" + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k) s += "&l" + std::to_string(i - 1) + ";";
            return s;
        }() + "\">";
    xml += "]><a>&l9;</a>";
    EXPECT_TRUE(parseError(xml));
}

TEST(XMLTree, DeepNestingIsRefusedNotOverflowingTheStack) {
    std::string ok, deep;
    for (std::size_t i = 0; i < XMLTreeParser::maximumDepth; ++i) ok += "<e>";
    for (std::size_t i = 0; i < XMLTreeParser::maximumDepth; ++i) ok += "</e>";
    EXPECT_NO_THROW(parse(ok));
    for (int i = 0; i < 200000; ++i) deep += "<e>";
    auto doc = XMLDocument::make();
    try {
        doc->load(deep);
        FAIL() << "accepted";
    } catch (const platform::Exception& e) {
        auto tree = std::dynamic_pointer_cast<const XMLTreeError>(e.error());
        ASSERT_TRUE(tree);
        EXPECT_EQ(tree->errorCode(), XMLTreeError::parsingFailed);
    }
}

TEST(XMLTree, DeepHandBuiltTreeIsFreedWithoutRecursion) {
    auto root = XMLElement::make("r");
    auto e = root;
    for (int i = 0; i < 200000; ++i) e = e->addChild("e");
    e.reset();
    root.reset();  // would overflow the stack if children were released recursively
    SUCCEED();
}

TEST(XMLTree, Writing) {
    auto r = XMLElement::make("r", std::nullopt, {{"k", "a<b"}});
    auto doc = XMLDocument::make(r);
    r->addChild("c", "x&y");
    EXPECT_EQ(doc->xml(),
              "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\"?>\n<r k=\"a&lt;b\">\n\t<c>x&amp;y</c>\n</r>");
    EXPECT_EQ(XMLElement::make("e")->xml(), "<e />");
    // A value is not written once there are children; levels below add one tab each.
    auto p = r->firstChild("c");
    p->addChild("d")->addChild("f", "1");
    EXPECT_EQ(r->xml(), "<r k=\"a&lt;b\">\n\t<c>\n\t\t<d>\n\t\t\t<f>1</f>\n\t\t</d>\n\t</c>\n</r>");

    XMLOptions::DocumentHeader header;
    header.version = 1.1;
    header.encoding = "UTF-16";
    header.standalone = "yes";
    EXPECT_EQ(header.xmlString(), "<?xml version=\"1.1\" encoding=\"UTF-16\" standalone=\"yes\"?>");
}

TEST(XMLTree, WrittenTreeReadsBack) {
    auto doc = XMLDocument::make(XMLElement::make("D:propfind", std::nullopt, {{"xmlns:D", "DAV:"}}));
    auto prop = doc->rootElement()->addChild("D:prop");
    prop->addChild("D:displayname", "a \"quoted\" & 'odd' <name>");
    auto back = XMLDocument::make();
    back->load(doc->xml());
    EXPECT_EQ(back->rootElement()->firstChild("D:prop")->firstChild("D:displayname")->value,
              "a \"quoted\" & 'odd' <name>");
    EXPECT_EQ(back->rootElement()->attributes.at("xmlns:D"), "DAV:");
}

TEST(XMLTree, Escaping) {
    const std::pair<const char*, const char*> rows[] = {
        {"&lt;", "&amp;lt;"},
        {"\"'", "&quot;&apos;"},
        {"a<b>c&d", "a&lt;b&gt;c&amp;d"},
        {"", ""},
        {"plain", "plain"},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(xmlEscaped(in), out) << in;
}

TEST(XMLTree, ApacheMultistatusFixtures) {
    // Replies of Apache mod_dav to PROPFIND, captured as sent (Apache's "lp1:" and "lp2:" prefixes).
    for (const char* name : {"apache_propfind_depth1.xml", "apache_propfind_depth0.xml"}) {
        const std::string body = fixture(name);
        ASSERT_FALSE(body.empty()) << name;
        auto doc = parse(body);
        auto root = doc->rootElement();
        EXPECT_EQ(root->name, "D:multistatus") << name;
        ASSERT_FALSE(root->children.empty()) << name;
        for (const auto& response : root->children) {
            EXPECT_EQ(response->name, "D:response");
            EXPECT_TRUE(response->firstChild("D:href")->value) << name;
            auto propstat = response->firstChild("D:propstat");
            EXPECT_FALSE(propstat->error);
            EXPECT_EQ(propstat->firstChild("D:status")->value, "HTTP/1.1 200 OK");
            auto prop = propstat->firstChild("D:prop");
            EXPECT_TRUE(prop->firstChild("lp1:getlastmodified")->value) << name;
            EXPECT_FALSE(prop->firstChild("lp1:resourcetype")->error) << name;
        }
    }
    auto listing = parse(fixture("apache_propfind_depth1.xml"))->rootElement();
    ASSERT_EQ(listing->children.size(), 4u);
    std::map<std::string, std::shared_ptr<XMLElement>> byHref;
    for (const auto& r : listing->children) byHref[*r->firstChild("D:href")->value] = r;
    auto propOf = [&](const std::string& href) {
        return byHref.at(href)->firstChild("D:propstat")->firstChild("D:prop");
    };
    EXPECT_FALSE(propOf("/Movies/")->firstChild("lp1:resourcetype")->firstChild("D:collection")->error);
    EXPECT_EQ(propOf("/readme.txt")->firstChild("lp1:resourcetype")->firstChild("D:collection")->error,
              XMLTreeError::elementNotFound);
    EXPECT_EQ(propOf("/readme.txt")->firstChild("lp1:getcontentlength")->value, "5");
    EXPECT_EQ(propOf("/readme.txt")->firstChild("lp1:getetag")->value, "\"5-66247e6a93b67\"");
    EXPECT_EQ(propOf("/caf%c3%a9%20&%20co.txt")->firstChild("lp1:getcontentlength")->value, "0");

    auto single = parse(fixture("apache_propfind_depth0.xml"))->rootElement();
    ASSERT_EQ(single->children.size(), 1u);
    EXPECT_EQ(single->children[0]->firstChild("D:href")->value, "/Movies/a%20film%20(2019).mkv");
    EXPECT_EQ(single->children[0]->firstChild("D:propstat")->firstChild("D:prop")->firstChild("D:getcontenttype")->value,
              "video/x-matroska");
}
