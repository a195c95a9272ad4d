// test-labels: unit
// The WebDAV provider against a loopback server that answers every request with a scripted reply:
// the statuses and bodies Apache never sends (501, quotas, HTML with 200, other host names,
// previews of the cloud service).
#include "fileprovider/webdav/WebDAVFileProvider.hpp"

#include "fileprovider/info/MediaFixtures.hpp"
#include "platform/media/Image.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace RiridOzizevud;

namespace {

/// Answers each connection's one request with the current reply, then closes it.
class ScriptedServer {
public:
    ScriptedServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0)
            throw std::runtime_error("cannot listen");
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::make_unique<ostrane_test::FixtureThread>("scripted WebDAV server", [this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_->join();
        ::close(listener_);
    }

    void reply(int status, const std::string& body, const std::string& type = "text/xml; charset=utf-8") {
        std::lock_guard lock(mutex_);
        reply_ = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Type: " + type +
                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            timeval limit{static_cast<time_t>(ostrane_test::hangLimit.count()), 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            std::string request;
            char buffer[4096];
            std::size_t need = std::string::npos;
            while (request.size() < (1 << 20)) {
                const auto end = request.find("\r\n\r\n");
                if (end != std::string::npos && need == std::string::npos) {
                    std::size_t length = 0;
                    const auto at = request.find("Content-Length: ");
                    if (at != std::string::npos && at < end)
                        length = std::stoul(request.substr(at + 16));
                    need = end + 4 + length;
                    if (request.find("Expect: 100-continue") < end) {
                        const std::string go = "HTTP/1.1 100 Continue\r\n\r\n";
                        ::send(fd, go.data(), go.size(), MSG_NOSIGNAL);
                    }
                }
                if (need != std::string::npos && request.size() >= need)
                    break;
                const auto n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            std::string reply;
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
                reply = reply_;
            }
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::unique_ptr<ostrane_test::FixtureThread> thread_;
    mutable std::mutex mutex_;
    std::string reply_;
    std::vector<std::string> requests_;
};

std::string multistatus(const std::string& responses) {
    return "<?xml version=\"1.0\"?><d:multistatus xmlns:d=\"DAV:\">" + responses + "</d:multistatus>";
}

std::string response(const std::string& href, const std::string& props) {
    return "<d:response><d:href>" + href + "</d:href><d:propstat><d:prop>" + props +
           "</d:prop><d:status>HTTP/1.1 200 OK</d:status></d:propstat></d:response>";
}

class Scripted : public ::testing::Test {
protected:
    void SetUp() override { provider_ = WebDAVFileProvider::make(*platform::URL::parse(server_.url("/dav/"))); }

    std::pair<std::vector<FileObjectRef>, ErrorRef> list(const std::string& path) {
        std::promise<std::pair<std::vector<FileObjectRef>, ErrorRef>> done;
        provider_->contentsOfDirectory(path, [&done](auto files, auto error) { done.set_value({std::move(files), error}); });
        auto f = done.get_future();
        EXPECT_TRUE(ostrane_test::becomesReady(f));
        return f.get();
    }
    std::pair<bool, ErrorRef> reachable() {
        std::promise<std::pair<bool, ErrorRef>> done;
        provider_->isReachable([&done](bool r, ErrorRef e) { done.set_value({r, e}); });
        auto f = done.get_future();
        EXPECT_TRUE(ostrane_test::becomesReady(f));
        return f.get();
    }
    VolumeObjectRef storage() {
        std::promise<VolumeObjectRef> done;
        provider_->storageProperties([&done](VolumeObjectRef v) { done.set_value(v); });
        auto f = done.get_future();
        EXPECT_TRUE(ostrane_test::becomesReady(f));
        return f.get();
    }

    ScriptedServer server_;
    std::shared_ptr<WebDAVFileProvider> provider_;
};

} // namespace

// An overwriting copy or move reads its destination first: onto a folder nothing is sent; onto a
// file the request names the file's entity tag for the destination, so that a folder taking the
// file's place meanwhile fails the request instead of being replaced.
TEST_F(Scripted, OverwritingCopiesAndMovesBindTheirDestination) {
    const std::string bound = "If: <" + server_.url("/dav/to%20it.txt") + "> ([\"e1\"])\r\n";
    for (const bool folder : {false, true}) {
        for (const std::string method : {"COPY", "MOVE"}) {
            SCOPED_TRACE(method + (folder ? " onto a folder" : " onto a file"));
            const std::string type = folder ? "<d:resourcetype><d:collection/></d:resourcetype>" : "<d:resourcetype/>";
            server_.reply(207, multistatus(response("/dav/to%20it.txt", "<d:getetag>\"e1\"</d:getetag>" + type)));
            const auto before = server_.requests().size();
            std::promise<ErrorRef> done;
            auto handler = [&done](ErrorRef error) { done.set_value(error); };
            if (method == "COPY")
                provider_->copyItem("/from.txt", "/to it.txt", true, handler);
            else
                provider_->moveItem("/from.txt", "/to it.txt", true, handler);
            auto f = done.get_future();
            ASSERT_TRUE(ostrane_test::becomesReady(f));
            const ErrorRef error = f.get();
            const auto sent = server_.requests();
            ASSERT_GE(sent.size(), before + 1);
            EXPECT_EQ(sent[before].rfind("PROPFIND /dav/to%20it.txt ", 0), 0u) << sent[before];
            if (folder) {
                EXPECT_NE(error, nullptr);
                EXPECT_EQ(sent.size(), before + 1) << "nothing but the look at the destination goes out";
                continue;
            }
            EXPECT_EQ(error, nullptr);
            ASSERT_EQ(sent.size(), before + 2);
            EXPECT_EQ(sent[before + 1].rfind(method + " /dav/from.txt ", 0), 0u) << sent[before + 1];
            EXPECT_NE(sent[before + 1].find(bound), std::string::npos) << sent[before + 1];
        }
    }
}

TEST_F(Scripted, RepliesThatAreNoListingAreErrors) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string type;
        int64_t code;
        const char* domain;
    };
    const std::vector<Case> cases = {
        {"not implemented", 501, "<html><body>no</body></html>", "text/html", 501, FileProviderWebDavError::domainName},
        {"not allowed", 405, "", "text/html", 405, FileProviderWebDavError::domainName},
        {"a page with 200", 200, "<html><body>index</body></html>", "text/html", platform::URLError::cannotParseResponse,
         platform::NSURLErrorDomain},
        {"207 without a body", 207, "", "text/xml", platform::URLError::cannotParseResponse, platform::NSURLErrorDomain},
        {"207 cut short", 207, "<d:multistatus xmlns:d=\"DAV:\"><d:response>", "text/xml",
         platform::URLError::cannotParseResponse, platform::NSURLErrorDomain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.reply(c.status, c.body, c.type);
        const auto [files, error] = list("/music");
        EXPECT_TRUE(files.empty());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), c.domain);
        EXPECT_EQ(error->code(), c.code);
    }
    const auto request = server_.requests().back();
    EXPECT_EQ(request.rfind("PROPFIND /dav/music HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Depth: 1\r\n"), std::string::npos);
    EXPECT_NE(request.find("<D:allprop/>"), std::string::npos);
}

TEST_F(Scripted, TheListedFolderIsSkippedHoweverItsHrefIsSpelled) {
    for (const std::string self : {"/dav/a%20b/", "/dav/a b", "http://proxy.internal/dav/a%20b", "/dav/a%20b/./"}) {
        SCOPED_TRACE(self);
        server_.reply(207, multistatus(response(self, "<d:resourcetype><d:collection/></d:resourcetype>") +
                                       response("/dav/a%20b/x.mkv", "<d:getcontentlength>3</d:getcontentlength>") +
                                       response("/dav/a%20b/Sub/", "<d:resourcetype><d:collection/></d:resourcetype>")));
        const auto [files, error] = list("/a b/");
        ASSERT_EQ(error, nullptr);
        ASSERT_EQ(files.size(), 2u);
        EXPECT_EQ(files[0]->path(), "/a b/x.mkv");
        EXPECT_EQ(files[0]->size(), 3);
        EXPECT_TRUE(files[1]->isDirectory());
    }
}

TEST_F(Scripted, StorageReadsQuotasAndLeavesMissingOnesUnknown) {
    using Key = platform::URLResourceKey;
    struct Case {
        std::string props;
        std::optional<int64_t> available, total;
    };
    const std::vector<Case> cases = {
        {"<d:quota-available-bytes>100</d:quota-available-bytes><d:quota-used-bytes>50</d:quota-used-bytes>", 100, 150},
        {"<d:quota-available-bytes>100</d:quota-available-bytes>", 100, std::nullopt},
        {"<d:quota-used-bytes>50</d:quota-used-bytes>", std::nullopt, std::nullopt},
        {"<d:quota-available-bytes>lots</d:quota-available-bytes>", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.props);
        server_.reply(207, multistatus(response("/dav/", c.props + "<d:creationdate>2024-03-01T10:20:30Z</d:creationdate>")));
        auto volume = storage();
        ASSERT_NE(volume, nullptr);
        const auto* available = platform::find(volume->allValues(), Key::volumeAvailableCapacityKey);
        const auto* total = platform::find(volume->allValues(), Key::volumeTotalCapacityKey);
        EXPECT_EQ(available ? available->int64Value() : std::nullopt, c.available);
        EXPECT_EQ(total ? total->int64Value() : std::nullopt, c.total);
        EXPECT_TRUE(volume->creationDate());
    }
    const auto request = server_.requests().back();
    EXPECT_NE(request.find("<D:prop><D:quota-used-bytes/><D:quota-available-bytes/><D:creationdate/><D:resourcetype/></D:prop>"),
              std::string::npos);

    server_.reply(500, "broken");
    EXPECT_EQ(storage(), nullptr);
    server_.reply(200, "<html/>", "text/html");
    EXPECT_EQ(storage(), nullptr);
}

TEST_F(Scripted, ReachabilityChecksTheStatus) {
    const std::vector<std::tuple<int, bool, std::optional<int64_t>>> table = {
        {207, true, std::nullopt}, {301, false, 301}, {401, false, 401}, {501, false, 501}};
    for (const auto& [status, expected, code] : table) {
        SCOPED_TRACE(status);
        server_.reply(status, status == 207 ? multistatus(response("/dav/", "")) : "");
        const auto [answer, error] = reachable();
        EXPECT_EQ(answer, expected);
        EXPECT_EQ(error ? std::optional(error->code()) : std::nullopt, code);
    }

    const int port = [] {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t l = sizeof a;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
        ::close(s);
        return static_cast<int>(ntohs(a.sin_port));
    }();
    provider_ = WebDAVFileProvider::make(*platform::URL::parse("http://127.0.0.1:" + std::to_string(port) + "/"));
    const auto [answer, error] = reachable();
    EXPECT_FALSE(answer);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), platform::NSURLErrorDomain) << "the transport's own error, not a made-up 400";
}

TEST_F(Scripted, AttributesNeedAMultistatus) {
    server_.reply(200, "<html/>", "text/html");
    std::promise<std::pair<FileObjectRef, ErrorRef>> done;
    provider_->attributesOfItem("/a.mkv", [&done](auto file, auto error) { done.set_value({file, error}); });
    auto [file, error] = done.get_future().get();
    EXPECT_EQ(file, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), platform::URLError::cannotParseResponse);
}

TEST_F(Scripted, PreviewsOfTheCloudServiceAreDecoded) {
    // Names under "localhost" reach this loopback server.
    std::string base = server_.url("/dav/");
    base.replace(base.find("127.0.0.1"), 9, "webdav.yandex.localhost");
    provider_ = WebDAVFileProvider::make(*platform::URL::parse(base));
    ASSERT_TRUE(provider_->thumbnailOfFileSupported("/a.png"));
    auto thumbnail = [&](const std::optional<platform::Size>& dimension) {
        std::promise<std::pair<std::shared_ptr<platform::Image>, ErrorRef>> done;
        EXPECT_EQ(provider_->thumbnailOfFile("/a.png", dimension,
                                             [&done](auto image, auto error) { done.set_value({image, error}); }),
                  nullptr);
        auto f = done.get_future();
        EXPECT_TRUE(ostrane_test::becomesReady(f));
        return f.get();
    };

    // The service scales the preview; the image keeps the size it came in.
    const auto png = fixtures::image(AV_CODEC_ID_PNG, 48, 20, fixtures::solid(255, 0, 0));
    server_.reply(200, std::string(png.begin(), png.end()), "image/png");
    auto [image, error] = thumbnail(platform::Size{128, 96.5});
    EXPECT_EQ(error, nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (platform::Size{48, 20}));
    EXPECT_EQ(image->pixel(47, 19), (std::array<uint8_t, 4>{255, 0, 0, 255}));
    EXPECT_EQ(server_.requests().back().rfind("GET /dav/a.png?preview&size=128.0x96.5 HTTP/1.1\r\n", 0), 0u);

    for (const std::string& body : {std::string(300, '\x5a'), std::string(png.begin(), png.begin() + 40), std::string()}) {
        SCOPED_TRACE(body.size());
        server_.reply(200, body, "image/png");
        std::tie(image, error) = thumbnail(std::nullopt);
        EXPECT_EQ(image, nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_TRUE(error->is(platform::NSURLErrorDomain, platform::URLError::cannotDecodeContentData));
    }

    server_.reply(404, "no preview", "text/plain");
    std::tie(image, error) = thumbnail(std::nullopt);
    EXPECT_EQ(image, nullptr);
    ASSERT_NE(std::dynamic_pointer_cast<const FileProviderWebDavError>(error), nullptr);
    EXPECT_EQ(error->code(), 404);
}
