// test-labels: ftp
// The curl request against real FTP servers: pyftpdlib (plain and demanding TLS) and vsftpd.
#include "FTPTestServer.hpp"
#include "ostrane/curl/CURLRequest.hpp"
#include "ostrane/curl/ftp_list_parser.h"

#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using ostrane_test::FTPTestServer;
using platform::CURLRequest;
using platform::CURLResponse;
using platform::HTTPResponseHeader;

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251 + 1) & 0xFF);
    return bytes;
}

FTPTestServer& server(FTPTestServer::Kind kind) {
    static std::map<FTPTestServer::Kind, std::unique_ptr<FTPTestServer>> servers;
    auto& s = servers[kind];
    if (!s) {
        s = std::make_unique<FTPTestServer>(kind);
        s->write("Movies/a b.mkv", "not a real movie\n");
        s->write("Movies/c.mkv", "c\n");
        s->write("empty.txt", "");
        s->write("pattern.bin", pattern(100000));
        s->start();
    }
    return *s;
}

class CURLRequestTest : public ::testing::TestWithParam<FTPTestServer::Kind> {
protected:
    static void SetUpTestSuite() {
        // The TLS server's own certificate is the one to trust.
        ::setenv("SSL_CERT_FILE", server(FTPTestServer::Kind::pyftpdlibTLS).certificate().c_str(), 1);
    }

    FTPTestServer& ftp() { return server(GetParam()); }
    std::string url(const std::string& path) { return "ftp://" + ftp().hostPort() + path; }
    std::vector<CURLRequest::Option> login(std::string password = FTPTestServer::password) {
        std::vector<CURLRequest::Option> options = {CURLRequest::userName(FTPTestServer::user),
                                                    CURLRequest::password(std::move(password)),
                                                    CURLRequest::timeout(ostrane_test::hangLimit)};
        if (ftp().tls()) options.push_back(CURLRequest::useTLS(CURLRequest::TLS::required));
        return options;
    }
};

TEST_P(CURLRequestTest, ListsADirectoryAndReusesTheRequest) {
    CURLRequest request(url("/Movies/"), login());
    auto response = request.perform();
    std::set<std::string> names;
    const auto body = response.bodyString();
    std::size_t start = 0;
    while (start < body.size()) {
        auto end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        std::string line = body.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ftp_list_record r;
        if (parse_ftp_list_line(&r, line.data(), int32_t(line.size()))) names.insert(std::string(r.name, r.name_length));
        start = end + 1;
    }
    EXPECT_EQ(names, (std::set<std::string>{"a b.mkv", "c.mkv"})) << body;

    // The same request, another URL: the other options stay.
    request.addOption(CURLRequest::url(url("/")));
    const auto top = request.perform().bodyString();
    EXPECT_NE(top.find("Movies"), std::string::npos) << top;
    EXPECT_NE(top.find("pattern.bin"), std::string::npos) << top;
}

TEST_P(CURLRequestTest, SizeQueryAndRanges) {
    auto options = login();
    options.push_back(CURLRequest::httpMethod(CURLRequest::HTTPMethod::head));
    CURLRequest request(url("/pattern.bin"), options);
    auto head = request.perform();
    EXPECT_TRUE(head.bodyBytes.empty()) << head.bodyString() << "|" << head.headerLines.size();
    EXPECT_EQ(head.get(HTTPResponseHeader::Name::contentLength), "100000");

    const auto bytes = pattern(100000);
    const struct {
        const char* range;
        std::size_t offset, count;
    } ranges[] = {{"0-9", 0, 10}, {"50000-65535", 50000, 15536}, {"99990-99999", 99990, 10}, {"99995-100099", 99995, 5}};
    for (const auto& r : ranges) {
        SCOPED_TRACE(r.range);
        request.addOptions({CURLRequest::httpMethod(CURLRequest::HTTPMethod::get), CURLRequest::range(r.range)});
        const auto body = request.perform().bodyString();
        EXPECT_EQ(body, bytes.substr(r.offset, r.count));
    }

    CURLRequest empty(url("/empty.txt"), options);
    auto emptyHead = empty.perform();
    EXPECT_EQ(emptyHead.get(HTTPResponseHeader::Name::contentLength), "0");
}

TEST_P(CURLRequestTest, StreamsTheBodyAndStopsWhenTheSinkHasEnough) {
    CURLRequest request(url("/pattern.bin"), login());
    std::string received;
    request.perform([&](const std::uint8_t* data, std::size_t count) {
        received.append(reinterpret_cast<const char*>(data), count);
        return true;
    });
    EXPECT_EQ(received, pattern(100000));

    std::size_t calls = 0;
    EXPECT_NO_THROW(request.perform([&](const std::uint8_t*, std::size_t) { return ++calls < 1; }));
    EXPECT_EQ(calls, 1u);

    EXPECT_THROW(request.perform([](const std::uint8_t*, std::size_t) -> bool { throw std::runtime_error("disk full"); }),
                 std::runtime_error);
    // The request still works after a transfer cut short.
    EXPECT_EQ(request.perform().bodyBytes.size(), 100000u);
}

TEST_P(CURLRequestTest, FailuresThrowWithoutTheSecret) {
    const struct {
        const char* what;
        std::string path;
        std::string password;
    } cases[] = {
        {"missing file", "/no such file.mkv", FTPTestServer::password},
        {"missing directory", "/no such folder/", FTPTestServer::password},
        {"wrong password", "/", "not-the-Password-42"},
        {"control characters in the path", "/a%0D%0ADELE%20pattern.bin", FTPTestServer::password},
        {"line break in the password", "/", std::string(FTPTestServer::password) + "\r\nDELE pattern.bin"},
        {"NUL in the password", "/", std::string(FTPTestServer::password) + std::string(1, '\0') + "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CURLRequest request(url(c.path), login(c.password));
        try {
            request.perform();
            ADD_FAILURE() << "no error";
        } catch (const CURLResponse::Error& e) {
            EXPECT_NE(e.code(), 0);
            EXPECT_FALSE(e.description().empty());
            EXPECT_EQ(e.description().find(c.password), std::string::npos) << e.description();
        }
    }
    EXPECT_TRUE(std::filesystem::exists(ftp().root() / "pattern.bin"));

    auto options = login();
    options.push_back(CURLRequest::userName(std::string(FTPTestServer::user) + "\nDELE pattern.bin"));
    CURLRequest smuggled(url("/"), options);
    EXPECT_THROW(smuggled.perform(), CURLResponse::Error);
    EXPECT_TRUE(std::filesystem::exists(ftp().root() / "pattern.bin"));
}

INSTANTIATE_TEST_SUITE_P(FTP, CURLRequestTest,
                         ::testing::Values(FTPTestServer::Kind::pyftpdlib, FTPTestServer::Kind::vsftpd,
                                           FTPTestServer::Kind::pyftpdlibTLS),
                         [](const auto& info) { return FTPTestServer::name(info.param); });

TEST(CURLRequestTLS, PlainOrUntrustedIsRefused) {
    auto& tls = server(FTPTestServer::Kind::pyftpdlibTLS);
    const std::string url = "ftp://" + tls.hostPort() + "/";
    const std::vector<CURLRequest::Option> plain = {CURLRequest::userName(FTPTestServer::user),
                                                    CURLRequest::password(FTPTestServer::password),
                                                    CURLRequest::timeout(ostrane_test::hangLimit)};
    CURLRequest withoutTLS(url, plain);
    EXPECT_THROW(withoutTLS.perform(), CURLResponse::Error);

    const char* trusted = std::getenv("SSL_CERT_FILE");
    const std::string saved = trusted ? trusted : "";
    ::unsetenv("SSL_CERT_FILE");
    auto options = plain;
    options.push_back(CURLRequest::useTLS(CURLRequest::TLS::required));
    CURLRequest untrusted(url, options);
    EXPECT_THROW(untrusted.perform(), CURLResponse::Error);
    ::setenv("SSL_CERT_FILE", tls.certificate().c_str(), 1);
    CURLRequest trustedRequest(url, options);
    EXPECT_NO_THROW(trustedRequest.perform());
    if (!saved.empty()) ::setenv("SSL_CERT_FILE", saved.c_str(), 1);
}

// A server that accepts and never says a word: the request gives up after its timeout.
TEST(CURLRequestTimeout, ASilentServerTimesOut) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "ftp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    CURLRequest request(url, {CURLRequest::userName("u"), CURLRequest::password("p"),
                              CURLRequest::timeout(std::chrono::seconds(1))});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(request.perform(), CURLResponse::Error);
    EXPECT_LT(std::chrono::steady_clock::now() - started, ostrane_test::hangLimit / 2);
    ::close(fd);
}

}  // namespace
