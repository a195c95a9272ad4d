#include "support/FakeHTTPServer.hpp"

#include "support/Wait.hpp"

#include <httplib.h>
#include <openssl/evp.h>

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
        for (const auto& [k, v] : hreq.headers) req.headers.emplace_back(k, v);
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
