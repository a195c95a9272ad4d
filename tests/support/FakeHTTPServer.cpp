#include "support/FakeHTTPServer.hpp"

#include "support/Wait.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <stdexcept>

namespace ostrane_test {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string base64(const std::string& text) {
    std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

// name="value" and name=value pairs of a Digest Authorization field.
std::map<std::string, std::string> digestParams(std::string_view v) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && (v[i] == ' ' || v[i] == ',')) ++i;
        const size_t eq = v.find('=', i);
        if (eq == std::string_view::npos) break;
        std::string name(v.substr(i, eq - i));
        i = eq + 1;
        std::string value;
        if (i < v.size() && v[i] == '"') {
            ++i;
            while (i < v.size() && v[i] != '"') {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                value += v[i++];
            }
            ++i;
        } else {
            while (i < v.size() && v[i] != ',') value += v[i++];
        }
        out[name] = value;
    }
    return out;
}

// The header that carries a method cpp-httplib would refuse, from the front to the handler.
constexpr const char* kMethodField = "X-Fake-Method";

bool knownToHttplib(const std::string& method) {
    static const char* const known[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"};
    return std::find(std::begin(known), std::end(known), method) != std::end(known);
}

// The request head as cpp-httplib will take it: another method becomes POST named in
// kMethodField, and the connection closes after the answer (the front reads no second head).
std::string rewrittenHead(const std::string& head) {
    const size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    std::string extra;
    const size_t space = line.find(' ');
    if (space != std::string::npos && !knownToHttplib(line.substr(0, space))) {
        extra = std::string(kMethodField) + ": " + line.substr(0, space) + "\r\n";
        line = "POST" + line.substr(space);
    }
    std::string out = line + "\r\n" + extra + "Connection: close\r\n";
    size_t pos = lineEnd + 2;
    while (pos < head.size()) {
        const size_t end = head.find("\r\n", pos);
        const std::string field = head.substr(pos, end - pos);
        pos = end + 2;
        if (field.empty()) break;
        if (equalsIgnoringCase(field.substr(0, std::min(field.find(':'), field.size())), "Connection")) continue;
        out += field + "\r\n";
    }
    return out + "\r\n";
}

bool sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::optional<std::string> FakeHTTPServer::Request::header(std::string_view name) const {
    for (const auto& [k, v] : headers)
        if (equalsIgnoringCase(k, name)) return v;
    return std::nullopt;
}

struct FakeHTTPServer::Impl {
    std::unique_ptr<httplib::Server> owned;
    httplib::Server& server;
    explicit Impl(std::unique_ptr<httplib::Server> s) : owned(std::move(s)), server(*owned) {}
    std::thread thread;

    // The front of an AnyMethod server.
    int frontListener = -1;
    int innerPort = 0;
    std::atomic<bool> frontStopping{false};
    std::thread frontThread;
    std::mutex relayMutex;
    std::vector<std::thread> relays;

    // One client connection: its first request head rewritten, then bytes both ways until the
    // inner server has answered and closed. Bounded by the stop flag and a minute of silence.
    void relay(int client) {
        const int inner = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(innerPort));
        if (inner < 0 || ::connect(inner, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (inner >= 0) ::close(inner);
            ::close(client);
            return;
        }
        std::string head;
        bool headSent = false;
        bool clientOpen = true;
        int idle = 0;
        char buffer[64 * 1024];
        while (!frontStopping && idle < 600) {
            pollfd fds[2] = {{client, static_cast<short>(clientOpen ? POLLIN : 0), 0}, {inner, POLLIN, 0}};
            const int ready = ::poll(fds, 2, 100);
            if (ready <= 0) {
                ++idle;
                continue;
            }
            idle = 0;
            if (clientOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    clientOpen = false;
                    ::shutdown(inner, SHUT_WR);
                } else if (headSent) {
                    if (!sendAll(inner, buffer, static_cast<size_t>(n))) break;
                } else {
                    head.append(buffer, static_cast<size_t>(n));
                    const size_t end = head.find("\r\n\r\n");
                    if (end != std::string::npos) {
                        const std::string out = rewrittenHead(head.substr(0, end + 4)) + head.substr(end + 4);
                        if (!sendAll(inner, out.data(), out.size())) break;
                        headSent = true;
                    } else if (head.size() > (1 << 20)) {
                        break;
                    }
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(inner, buffer, sizeof buffer, 0);
                if (n <= 0 || !sendAll(client, buffer, static_cast<size_t>(n))) break;
            }
        }
        ::close(inner);
        ::close(client);
    }

    mutable std::mutex mutex;
    struct Route {
        std::string method;
        std::string path;
        Handler handler;
    };
    std::vector<Route> routes;
    std::map<std::string, std::string> files;
    bool ignoreRange = false;
    enum class Auth { none, basic, digest } auth = Auth::none;
    std::string user, password, realm;
    std::string nonce = "0a4f113b1f6e4e33a9c0c1f8d2d5e7aa";
    std::vector<Request> log;
    FixtureFailures failures;

    // Delays and drips end early when the server stops, so that a reply held back for longer
    // than a test lives never holds up its teardown.
    std::mutex pauseMutex;
    std::condition_variable pauseChanged;
    bool stopping = false;
    void pause(double seconds) {
        if (seconds <= 0) return;
        std::unique_lock lock(pauseMutex);
        pauseChanged.wait_for(lock, std::chrono::duration<double>(std::min(seconds, 2.0 * hangLimitSeconds)),
                              [&] { return stopping; });
    }
};

FakeHTTPServer::FakeHTTPServer() : impl_(std::make_unique<Impl>(std::make_unique<httplib::Server>())) { startServing(); }

FakeHTTPServer::FakeHTTPServer(AnyMethod) : impl_(std::make_unique<Impl>(std::make_unique<httplib::Server>())) {
    startServing();
    startFront();
}

void FakeHTTPServer::startFront() {
    auto* impl = impl_.get();
    impl->innerPort = port_;
    impl->frontListener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (impl->frontListener < 0 || ::bind(impl->frontListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(impl->frontListener, 64) != 0 ||
        ::getsockname(impl->frontListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("FakeHTTPServer: cannot bind the front on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    impl->frontThread = std::thread([impl] {
        while (!impl->frontStopping) {
            pollfd p{impl->frontListener, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const int client = ::accept(impl->frontListener, nullptr, nullptr);
            if (client < 0) continue;
            std::lock_guard lock(impl->relayMutex);
            impl->relays.emplace_back([impl, client] { impl->relay(client); });
        }
    });
}

FakeHTTPServer::FakeHTTPServer(const std::string& certificateFile, const std::string& keyFile)
    : impl_(std::make_unique<Impl>(std::make_unique<httplib::SSLServer>(certificateFile.c_str(), keyFile.c_str()))), tls_(true) {
    if (!impl_->server.is_valid()) throw std::runtime_error("FakeHTTPServer: unusable certificate or key");
    startServing();
}

void FakeHTTPServer::startServing() {
    auto* impl = impl_.get();
    auto handler = [this, impl](const httplib::Request& hreq, httplib::Response& res) {
        // Ranges are this fake's business (honoured or ignored as the test says); the library
        // would cut an answer a second time.
        const_cast<httplib::Request&>(hreq).ranges.clear();
        Request req;
        req.method = hreq.method;
        req.path = hreq.path;
        req.target = hreq.target;
        for (const auto& [k, v] : hreq.headers) {
            if (equalsIgnoringCase(k, kMethodField)) req.method = v;
            else req.headers.emplace_back(k, v);
        }
        req.body = hreq.body;

        Handler route;
        bool ignoreRange = false;
        std::optional<std::string> stored;
        {
            std::lock_guard lock(impl->mutex);
            impl->log.push_back(req);
            for (auto it = impl->routes.rbegin(); it != impl->routes.rend(); ++it) {
                if ((it->method == req.method || (req.method == "HEAD" && it->method == "GET")) &&
                    (it->path == "*" || it->path == req.path)) {
                    route = it->handler;
                    break;
                }
            }
            ignoreRange = impl->ignoreRange;

            // Authentication comes first, as on a real server.
            if (impl->auth != Impl::Auth::none) {
                const auto given = req.header("Authorization");
                bool ok = false;
                if (impl->auth == Impl::Auth::basic) {
                    ok = given && *given == "Basic " + base64(impl->user + ":" + impl->password);
                } else if (given && given->rfind("Digest ", 0) == 0) {
                    auto p = digestParams(std::string_view(*given).substr(7));
                    const std::string ha1 = md5Hex(impl->user + ":" + impl->realm + ":" + impl->password);
                    const std::string ha2 = md5Hex(req.method + ":" + p["uri"]);
                    const std::string expected =
                        p.count("qop") ? md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2)
                                       : md5Hex(ha1 + ":" + p["nonce"] + ":" + ha2);
                    ok = p["username"] == impl->user && p["nonce"] == impl->nonce && p["response"] == expected;
                }
                if (!ok) {
                    challenges_++;
                    res.status = 401;
                    if (impl->auth == Impl::Auth::basic)
                        res.set_header("WWW-Authenticate", "Basic realm=\"" + impl->realm + "\"");
                    else
                        res.set_header("WWW-Authenticate", "Digest realm=\"" + impl->realm + "\", qop=\"auth\", nonce=\"" +
                                                               impl->nonce + "\", algorithm=MD5");
                    res.set_content("<html>401 Unauthorized</html>", "text/html");
                    return;
                }
            }
            if (!route) {
                if (auto it = impl->files.find(req.path); it != impl->files.end()) stored = it->second;
            }
        }

        Reply reply;
        if (route) {
            try {
                reply = route(req);
            } catch (...) {
                impl->failures.recordCurrentException("FakeHTTPServer route for " + req.method + " " + req.path);
                reply = answer(500, "the test's route failed");
            }
        } else if (req.method == "GET" || req.method == "HEAD") {
            if (!stored) {
                reply.status = 404;
                reply.body = "not found: " + req.path;
                reply.contentType = "text/plain";
            } else {
                reply.body = *stored;
                if (!ignoreRange) {
                    // Ranges are cut here rather than by the library, so the test decides.
                    if (const auto range = req.header("Range"); range && range->rfind("bytes=", 0) == 0) {
                        const std::string spec = range->substr(6);
                        const size_t dash = spec.find('-');
                        const size_t size = stored->size();
                        size_t first = dash == 0 ? 0 : std::stoull(spec.substr(0, dash));
                        size_t last = dash + 1 < spec.size() ? std::stoull(spec.substr(dash + 1)) : size - 1;
                        if (first >= size) {
                            reply.status = 416;
                            reply.body.clear();
                            reply.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
                        } else {
                            last = std::min(last, size - 1);
                            reply.status = 206;
                            reply.body = stored->substr(first, last - first + 1);
                            reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                                            std::to_string(last) + "/" + std::to_string(size));
                        }
                    }
                }
            }
        } else if (req.method == "PUT") {
            std::lock_guard lock(impl->mutex);
            const bool existed = impl->files.count(req.path) > 0;
            impl->files[req.path] = req.body;
            reply.status = existed ? 204 : 201;
        } else if (req.method == "DELETE") {
            std::lock_guard lock(impl->mutex);
            reply.status = impl->files.erase(req.path) ? 204 : 404;
        } else {
            reply.status = 405;
        }

        impl->pause(reply.delay);
        res.status = reply.status;
        for (const auto& [k, v] : reply.headers) res.set_header(k, v);
        if (reply.dripBytes == 0 && !reply.dropAfter) {
            if (!reply.body.empty() || req.method == "GET") res.set_content(reply.body, reply.contentType);
            return;
        }
        auto body = std::make_shared<std::string>(std::move(reply.body));
        const size_t piece = reply.dripBytes ? reply.dripBytes : body->size();
        const double interval = reply.dripInterval;
        const std::optional<size_t> dropAfter = reply.dropAfter;
        res.set_content_provider(body->size(), reply.contentType,
                                 [impl, body, piece, interval, dropAfter](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (dropAfter && offset >= *dropAfter) return false;
                                     size_t n = std::min(piece, length);
                                     if (dropAfter) n = std::min(n, *dropAfter - offset);
                                     if (offset > 0) impl->pause(interval);
                                     sink.write(body->data() + offset, n);
                                     return true;
                                 });
    };
    auto& s = impl_->server;
    s.Get(".*", handler);
    s.Post(".*", handler);
    s.Put(".*", handler);
    s.Delete(".*", handler);
    s.Patch(".*", handler);
    s.Options(".*", handler);
    // One request per connection: an idle connection the server closes after its keep-alive time
    // races the client's next request on a slow machine ("The network connection was lost"), and
    // stopping would wait for idle connections.
    s.set_keep_alive_max_count(1);
    // A client whose delegate is behind pauses its reading, and a busy machine stalls a sending one
    // for seconds; the library's 5 s would cut such a connection ("The network connection was lost").
    const auto limit = std::chrono::duration_cast<std::chrono::seconds>(hangLimit).count();
    s.set_read_timeout(limit, 0);
    s.set_write_timeout(limit, 0);
    port_ = s.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("FakeHTTPServer: cannot bind 127.0.0.1");
    impl_->thread = std::thread([impl] {
        try {
            impl->server.listen_after_bind();
        } catch (...) {
            impl->failures.recordCurrentException("FakeHTTPServer");
        }
    });
    if (!waitUntil([&] { return s.is_running(); })) throw std::runtime_error("FakeHTTPServer: never started listening");
}

FakeHTTPServer::~FakeHTTPServer() {
    {
        std::lock_guard lock(impl_->pauseMutex);
        impl_->stopping = true;
    }
    impl_->pauseChanged.notify_all();
    impl_->frontStopping = true;
    if (impl_->frontThread.joinable()) impl_->frontThread.join();
    for (auto& relay : impl_->relays) relay.join();
    if (impl_->frontListener >= 0) ::close(impl_->frontListener);
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->failures.report();
}

std::vector<std::string> FakeHTTPServer::failures() const { return impl_->failures.all(); }

bool FakeHTTPServer::waitForRequests(const std::string& method, std::size_t count) const {
    return waitUntil([&] { return this->count(method) >= count; });
}

std::string FakeHTTPServer::url(std::string_view path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void FakeHTTPServer::route(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->routes.push_back({method, path, std::move(handler)});
}

void FakeHTTPServer::script(const std::string& method, const std::string& path, std::vector<Reply> replies) {
    auto state = std::make_shared<std::pair<std::mutex, std::vector<Reply>>>();
    state->second = std::move(replies);
    auto next = std::make_shared<size_t>(0);
    route(method, path, [state, next](const Request&) {
        std::lock_guard lock(state->first);
        if (state->second.empty()) return Reply{};
        const size_t i = std::min(*next, state->second.size() - 1);
        ++*next;
        return state->second[i];
    });
}

void FakeHTTPServer::putFile(const std::string& path, std::string content) {
    std::lock_guard lock(impl_->mutex);
    impl_->files[path] = std::move(content);
}

std::optional<std::string> FakeHTTPServer::file(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    if (auto it = impl_->files.find(path); it != impl_->files.end()) return it->second;
    return std::nullopt;
}

void FakeHTTPServer::setIgnoreRange(bool ignore) {
    std::lock_guard lock(impl_->mutex);
    impl_->ignoreRange = ignore;
}

void FakeHTTPServer::requireBasic(const std::string& user, const std::string& password, const std::string& realm) {
    std::lock_guard lock(impl_->mutex);
    impl_->auth = Impl::Auth::basic;
    impl_->user = user;
    impl_->password = password;
    impl_->realm = realm;
}

void FakeHTTPServer::requireDigest(const std::string& user, const std::string& password, const std::string& realm) {
    std::lock_guard lock(impl_->mutex);
    impl_->auth = Impl::Auth::digest;
    impl_->user = user;
    impl_->password = password;
    impl_->realm = realm;
}

std::vector<FakeHTTPServer::Request> FakeHTTPServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

void FakeHTTPServer::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

std::size_t FakeHTTPServer::count(const std::string& method) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<size_t>(std::count_if(impl_->log.begin(), impl_->log.end(),
                                             [&](const Request& r) { return r.method == method; }));
}

}  // namespace ostrane_test
