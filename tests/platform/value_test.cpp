// test-labels: unit
#include "platform/data/Value.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace platform;

namespace {

TEST(ValueTest, TypedViewsReadOnlyTheirOwnKind) {
    Value i = 1;
    EXPECT_EQ(i.kind(), Value::Kind::integer);
    ASSERT_TRUE(i.asInt64());
    EXPECT_EQ(*i.asInt64(), 1);
    EXPECT_FALSE(i.asBool());
    EXPECT_FALSE(i.asDouble());
    EXPECT_EQ(i.asNumber(), 1.0);
    Value b = true;
    EXPECT_EQ(b.kind(), Value::Kind::boolean);
    EXPECT_FALSE(b.asInt64());
    EXPECT_EQ(b.boolValue(), true);
    Value s = "text";
    EXPECT_EQ(s.stringValue(), "text");
    EXPECT_FALSE(s.asNumber());
    Value d = 2.5;
    EXPECT_EQ(d.doubleValue(), 2.5);
    EXPECT_FALSE(d.asInt64());
    Value n;
    EXPECT_TRUE(n.isNull());
    Value date = Date(100.0);
    EXPECT_EQ(date.dateValue(), Date(100.0));
    Value url = *URL::parse("http://h/");
    EXPECT_EQ(url.urlValue()->host(), "h");
    Value data = Data{1, 2, 3};
    EXPECT_EQ(data.asData()->size(), 3u);
    Value u64 = uint64_t(7);
    EXPECT_EQ(u64.int64Value(), 7);
}

TEST(ValueTest, ContainersAndEquality) {
    Value::Dictionary dict{{"name", "a"}, {"size", 10}, {"list", Value::Array{1, "x", nullptr}}};
    Value v = dict;
    ASSERT_TRUE(v.find("size"));
    EXPECT_EQ(*v.find("size"), Value(10));
    EXPECT_EQ(v.find("missing"), nullptr);
    EXPECT_EQ(v.find("list")->at(1)->stringValue(), "x");
    EXPECT_EQ(v.find("list")->at(9), nullptr);
    EXPECT_EQ(Value(1), Value(1));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_NE(Value(1), Value(true));
    EXPECT_EQ(Value(dict), Value(dict));
    EXPECT_EQ(find(dict, "name")->stringValue(), "a");
    v.asDictionary()->emplace("extra", false);
    EXPECT_EQ(v.asDictionary()->size(), 4u);
}

TEST(ValueTest, JSONRoundTrip) {
    auto j = nlohmann::json::parse(R"({"a":1,"b":[true,null,2.5,"s"],"c":{"d":-3},"big":18446744073709551615})");
    Value v = Value::fromJSON(j);
    EXPECT_EQ(v.find("a")->int64Value(), 1);
    EXPECT_TRUE(v.find("b")->at(1)->isNull());
    EXPECT_EQ(v.find("b")->at(2)->doubleValue(), 2.5);
    EXPECT_EQ(v.find("c")->find("d")->int64Value(), -3);
    EXPECT_TRUE(v.find("big")->asDouble());
    nlohmann::json back = v;
    EXPECT_EQ(back["a"], 1);
    EXPECT_EQ(back["b"][3], "s");
    auto w = j.get<Value>();
    EXPECT_EQ(w, v);
    // Kinds JSON lacks.
    EXPECT_EQ(Value(Date(12.5)).toJSON(), nlohmann::json(12.5));
    EXPECT_EQ(Value(Data{'h', 'i'}).toJSON(), nlohmann::json("aGk="));
    EXPECT_EQ(Value(*URL::parse("b", *URL::parse("http://h/a/"))).toJSON(), nlohmann::json("http://h/a/b"));
    EXPECT_FALSE(Value(Date(0)).description().empty());
}

} // namespace
