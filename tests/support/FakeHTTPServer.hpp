#pragma once
// A loopback HTTP server for the tests of the URL session and the HTTP providers: scripted
// statuses and bodies, files that GET serves (Range honoured or ignored) and PUT stores, Basic and
// Digest challenges, slow drips, dropped connections and a log of the requests it saw. A route
// that throws is answered 500, and the test fails with the route's message when the server goes.
//
// It is built on cpp-httplib, which accepts only GET, HEAD, POST, PUT, DELETE, OPTIONS and PATCH
// (it answers 400 to any other method, WebDAV's among them): test providers that talk to it map
// their operations onto those methods, or the server is made with AnyMethod, whose front hands
// other methods (PROPFIND...) on under their own name, one request per connection.
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ostrane_test {

class FakeHTTPServer {
public:
    using Fields = std::vector<std::pair<std::string, std::string>>;

    struct Request {
        std::string method;
        std::string path;    // decoded, without the query
        std::string target;  // as sent
        Fields headers;
        std::string body;
        /// Case-insensitive; the first value.
        std::optional<std::string> header(std::string_view name) const;
    };

    struct Reply {
        int status = 200;
        std::string body;
        Fields headers;
        std::string contentType = "application/octet-stream";
        /// Wait this long (seconds) before answering; a stopping server waits no longer.
        double delay = 0;
        /// Send the body in pieces of `dripBytes`, one every `dripInterval` seconds.
        std::size_t dripBytes = 0;
        double dripInterval = 0;
        /// Close the connection after this many body bytes, the whole length announced.
        std::optional<std::size_t> dropAfter;
    };
    using Handler = std::function<Reply(const Request&)>;

    static Reply answer(int status, std::string body = {}, Fields headers = {}, std::string contentType = "text/plain") {
        Reply r;
        r.status = status;
        r.body = std::move(body);
        r.headers = std::move(headers);
        r.contentType = std::move(contentType);
        return r;
    }

    /// Listens on 127.0.0.1, on a port of its own; stopped by the destructor.
    FakeHTTPServer();
    /// Also serves the methods cpp-httplib refuses: routes and the request log see them by name.
    struct AnyMethod {};
    explicit FakeHTTPServer(AnyMethod);
    /// The same over TLS with this certificate and key (PEM files).
    FakeHTTPServer(const std::string& certificateFile, const std::string& keyFile);
    ~FakeHTTPServer();
    FakeHTTPServer(const FakeHTTPServer&) = delete;
    FakeHTTPServer& operator=(const FakeHTTPServer&) = delete;

    int port() const { return port_; }
    /// "http://127.0.0.1:<port>" (https for TLS) followed by `path` (which should begin with "/").
    std::string url(std::string_view path = "/") const;

    /// Answers `method` on `path` (decoded; "*" for any path) with the handler. Later routes win.
    void route(const std::string& method, const std::string& path, Handler handler);
    /// Answers with these replies in order; the last one repeats.
    void script(const std::string& method, const std::string& path, std::vector<Reply> replies);

    /// Files: GET and HEAD serve them (206 for a Range unless ranges are ignored), PUT stores them,
    /// DELETE removes them. Routes are asked first.
    void putFile(const std::string& path, std::string content);
    std::optional<std::string> file(const std::string& path) const;
    void setIgnoreRange(bool ignore);

    /// Every request must carry this login; a missing or wrong one gets 401 with a challenge.
    void requireBasic(const std::string& user, const std::string& password, const std::string& realm = "fake");
    /// As requireBasic, with RFC 2617 Digest (MD5, qop auth); the nonce stays valid for the server's life.
    void requireDigest(const std::string& user, const std::string& password, const std::string& realm = "fake");
    /// How many 401 answers were sent.
    int challengesSent() const { return challenges_.load(); }

    std::vector<Request> requests() const;
    void clearRequests();
    /// Requests of `method`.
    std::size_t count(const std::string& method) const;
    /// Waits, within the hang limit, until `count` requests of `method` came; false when they did not.
    bool waitForRequests(const std::string& method, std::size_t count = 1) const;
    /// What went wrong in the test's routes so far (reported as test failures by the destructor).
    std::vector<std::string> failures() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    void startServing();
    void startFront();

    int port_ = 0;
    bool tls_ = false;
    std::atomic<int> challenges_{0};
};

}  // namespace ostrane_test
