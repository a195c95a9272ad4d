// test-labels: unit
#include "fileprovider/core/FileOperationType.hpp"

#include <gtest/gtest.h>

using RiridOzizevud::FileOperationType;
using nlohmann::json;

TEST(FileOperationType, TextsAndPaths) {
    struct Case {
        FileOperationType op;
        const char* description;
        const char* action;
        const char* source;
        std::optional<std::string> destination;
    };
    const Case cases[] = {
        {FileOperationType::create("/n"), "Create", "Creating", "/n", std::nullopt},
        {FileOperationType::copy("/a", "/b"), "Copy", "Copying", "/a", "/b"},
        {FileOperationType::move("/a", "/b"), "Move", "Moving", "/a", "/b"},
        {FileOperationType::modify("/m"), "Modify", "Modifying", "/m", std::nullopt},
        {FileOperationType::remove("/r"), "Remove", "Removing", "/r", std::nullopt},
        {FileOperationType::link("/l", "/t"), "Link", "Linking", "/l", "/t"},
        {FileOperationType::fetch("/f"), "Fetch", "Fetching", "/f", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.op.description(), c.description);
        EXPECT_EQ(c.op.actionDescription(), c.action);
        EXPECT_EQ(c.op.source(), c.source);
        EXPECT_EQ(c.op.path(), c.source);
        EXPECT_EQ(c.op.destination(), c.destination);
        // The JSON text reads back to the same operation.
        const auto text = c.op.jsonString();
        ASSERT_TRUE(text);
        const json j = json::parse(*text);
        EXPECT_EQ(j.size(), c.destination ? 3u : 2u) << *text;
        EXPECT_EQ(j.at("type"), c.description);
        EXPECT_EQ(FileOperationType::fromJSONString(*text), c.op);
    }
    EXPECT_EQ(*FileOperationType::copy("a", "b").jsonString(), R"({"dest":"b","source":"a","type":"Copy"})");
}

TEST(FileOperationType, ReadingJSON) {
    struct Case {
        const char* text;
        std::optional<FileOperationType> expected;
    };
    const Case cases[] = {
        {R"({"type":"Remove","source":"a","dest":"b"})", FileOperationType::remove("a")},
        {R"({"type":"Copy","source":"a"})", std::nullopt},
        {R"({"type":"copy","source":"a","dest":"b"})", std::nullopt},
        {R"({"type":"Link","source":"l","dest":"t","uploadedBytes":5})", FileOperationType::link("l", "t")},
        {R"({"type":"Move","source":"a","dest":7})", std::nullopt},
        {R"({"type":"Fetch"})", std::nullopt},
        {R"({"type":1,"source":"a"})", std::nullopt},
        {R"({"type":"Rename","source":"a","dest":"b"})", std::nullopt},
        {R"(["Copy","a","b"])", std::nullopt},
        {"not json", std::nullopt},
        {R"({"type":"Create","source":"d/"})", FileOperationType::create("d/")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileOperationType::fromJSONString(c.text), c.expected) << c.text;
}

TEST(FileOperationType, PathsThatAreNotUTF8GiveNoJSON) {
    EXPECT_FALSE(FileOperationType::remove(std::string("bad\xff", 4)).jsonString());
    // Anything else survives, quotes and control characters included.
    const auto op = FileOperationType::move("a \"q\"\n", "b\\c");
    EXPECT_EQ(FileOperationType::fromJSONString(*op.jsonString()), op);
}
