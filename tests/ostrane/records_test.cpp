// test-labels: unit
#include "ostrane/OstraneError.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/OstraneURL.hpp"
#include "ostrane/OstraneVersion.hpp"
#include "platform/data/JSON.hpp"

#include <gtest/gtest.h>

#include <regex>

using namespace Ostrane;
using nlohmann::json;

namespace {

TEST(OstraneTypeTest, RawValues) {
    struct Case { OstraneType type; const char* raw; } cases[] = {
        {OstraneType::ftp, "FTP"}, {OstraneType::sftp, "SFTP"}, {OstraneType::smb, "SMB"}, {OstraneType::webdav, "WebDAV"}};
    std::size_t i = 0;
    for (auto& c : cases) {
        EXPECT_EQ(rawValue(c.type), c.raw);
        EXPECT_EQ(fromRawValue<OstraneType>(c.raw), c.type);
        EXPECT_EQ(OstraneTypeAllCases[i++], c.type);
        EXPECT_EQ(json(c.type), json(c.raw));
        EXPECT_EQ(json(c.raw).get<OstraneType>(), c.type);
    }
    for (auto bad : {"ftp", "Smb", "WEBDAV", "", " SMB"}) EXPECT_EQ(fromRawValue<OstraneType>(bad), std::nullopt) << bad;
    EXPECT_THROW(json("smb").get<OstraneType>(), json::exception);
    EXPECT_THROW(json(3).get<OstraneType>(), json::exception);
}

TEST(OstraneInfoTest, NewRecords) {
    OstraneInfo a(OstraneType::smb), b(OstraneType::smb);
    EXPECT_TRUE(std::regex_match(a.identifier, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << a.identifier;
    EXPECT_NE(a.identifier, b.identifier);
    EXPECT_FALSE(a == b);
    EXPECT_EQ(a.host, "");
    EXPECT_EQ(a.username, "");
    EXPECT_FALSE(a.title || a.baseDir || a.port || a.keyFile);

    OstraneInfo c = a;
    EXPECT_TRUE(c == a);
    c.title = "Living room";
    EXPECT_FALSE(c == a);
    c = a;
    c.keyFile = platform::URL::fileURLWithPath("/home/u/.ssh/id");
    EXPECT_FALSE(c == a);
}

TEST(OstraneInfoTest, IsValid) {
    struct Case { OstraneType type; const char* host; std::optional<std::string> baseDir; bool valid; } cases[] = {
        {OstraneType::smb, "nas", "Media", true},
        {OstraneType::smb, "nas", std::nullopt, false},
        {OstraneType::smb, "nas", "", false},
        {OstraneType::smb, "", "Media", false},
        {OstraneType::smb, " ", " ", true},
        {OstraneType::ftp, "h", std::nullopt, true},
        {OstraneType::sftp, "h", "", true},
        {OstraneType::webdav, " ", std::nullopt, true},
        {OstraneType::webdav, "", "/dav", false},
    };
    for (auto& c : cases) {
        OstraneInfo info(c.type);
        info.host = c.host;
        info.baseDir = c.baseDir;
        EXPECT_EQ(info.isValid(), c.valid) << rawValue(c.type) << " host '" << c.host << "'";
    }
}

TEST(OstraneInfoTest, EncodesPresentKeysInOrder) {
    OstraneInfo info(OstraneType::sftp);
    info.identifier = "ID";
    EXPECT_EQ(info.toJSON().dump(), R"({"identifier":"ID","type":"SFTP","host":"","username":""})");

    info.title = "T";
    info.host = "h";
    info.baseDir = "/b";
    info.port = 70000;  // out of range, still kept
    info.username = "u";
    info.keyFile = platform::URL::fileURLWithPath("/k/id rsa");
    EXPECT_EQ(info.toJSON().dump(),
              R"({"identifier":"ID","title":"T","type":"SFTP","host":"h","baseDir":"/b","port":70000,)"
              R"("username":"u","keyFile":"file:///k/id%20rsa"})");
    auto back = OstraneInfo::fromJSON(json::parse(info.toJSON().dump()));
    EXPECT_TRUE(back == info);
    EXPECT_EQ(back.port, 70000);
    EXPECT_FALSE(OstraneInfo::isUsablePort(*back.port));
    EXPECT_TRUE(OstraneInfo::isUsablePort(445));
    EXPECT_FALSE(OstraneInfo::isUsablePort(0));

    // Through nlohmann's own conversions too.
    json plain = info;
    EXPECT_TRUE(plain.get<OstraneInfo>() == info);
    // A host's list of records, kept in insertion order of keys.
    nlohmann::ordered_json list = std::vector<OstraneInfo>{info, info};
    EXPECT_EQ(list[1].dump(), info.toJSON().dump());
    EXPECT_EQ(json::parse(list.dump()).get<std::vector<OstraneInfo>>().size(), 2u);
}

TEST(OstraneInfoTest, DecodesNullAsAbsent) {
    auto info = OstraneInfo::fromJSON(json::parse(
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","title":null,"baseDir":null,"port":null,"keyFile":null})"));
    EXPECT_EQ(info.identifier, "X");
    EXPECT_EQ(info.type, OstraneType::smb);
    EXPECT_FALSE(info.title || info.baseDir || info.port || info.keyFile);
}

TEST(OstraneInfoTest, RefusesBadInput) {
    const char* cases[] = {
        R"({"type":"SMB","host":"h","username":"u"})",                         // no identifier
        R"({"identifier":"X","host":"h","username":"u"})",                     // no type
        R"({"identifier":"X","type":"SMB","username":"u"})",                   // no host
        R"({"identifier":"X","type":"SMB","host":"h"})",                       // no username
        R"({"identifier":null,"type":"SMB","host":"h","username":"u"})",       // null required
        R"({"identifier":"X","type":"smb","host":"h","username":"u"})",        // wrong raw value
        R"({"identifier":"X","type":"SMB","host":1,"username":"u"})",          // wrong kind
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","port":"445"})",
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","port":44.5})",
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","port":18446744073709551615})",
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","title":7})",
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","keyFile":"not a url"})",
        R"({"identifier":"X","type":"SMB","host":"h","username":"u","keyFile":{"relative":"file:///k"}})",
        R"(["X"])",
    };
    for (auto text : cases) {
        try {
            OstraneInfo::fromJSON(json::parse(text));
            ADD_FAILURE() << "decoded: " << text;
        } catch (const platform::Exception& e) {
            EXPECT_NE(dynamic_cast<const platform::DecodingError*>(e.error().get()), nullptr) << text;
        }
    }
}

TEST(OstraneURLTest, Coding) {
    OstraneInfo info(OstraneType::smb);
    info.identifier = "ID";
    info.host = "nas";
    OstraneURL url(info, "/Movies/a.mkv");
    EXPECT_EQ(url.toJSON().dump(),
              R"({"info":{"identifier":"ID","type":"SMB","host":"nas","username":""},"path":"/Movies/a.mkv"})");
    auto back = OstraneURL::fromJSON(json::parse(url.toJSON().dump()));
    EXPECT_TRUE(back.server() == info);
    EXPECT_EQ(back.path(), "/Movies/a.mkv");
    EXPECT_EQ(back.client(), nullptr);
    EXPECT_THROW(OstraneURL::fromJSON(json::parse(R"({"path":"/"})")), platform::Exception);
    EXPECT_THROW(OstraneURL::fromJSON(json::parse(R"({"info":{"identifier":"ID","type":"SMB","host":"","username":""}})")),
                 platform::Exception);
}

TEST(OstraneErrorTest, CarriesOneText) {
    auto error = OstraneError::make("server not found");
    EXPECT_EQ(error->description(), "server not found");
    EXPECT_EQ(error->localizedDescription(), "server not found");
    platform::ErrorRef base = error;
    EXPECT_EQ(base->localizedDescription(), "server not found");
    EXPECT_NE(dynamic_cast<const OstraneError*>(base.get()), nullptr);
}

TEST(VersionTest, Globals) {
    EXPECT_GT(OstraneVersionNumber, 0.0);
    EXPECT_NE(std::string(reinterpret_cast<const char*>(OstraneVersionString)).find("Ostrane"), std::string::npos);
}

}  // namespace
