#pragma once
// A loopback stand-in for the Dropbox HTTP API, version 2: an API server (remote-procedure calls
// with JSON bodies) and a content server (uploads, downloads, thumbnails with "Dropbox-API-Arg"),
// each on a 127.0.0.1 port of its own, over a local folder that is the account's root. It answers
// as the service does: metadata objects with ".tag", 409 with an "error_summary" and an "error"
// object for path errors, paged listings with cursors, paged searches with "more" and "start".
// Every request must carry the account's bearer token (401 otherwise), and "Dropbox-API-Arg" must
// be ASCII JSON (400 otherwise).
#include "support/FakeHTTPServer.hpp"

#include <atomic>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace ostrane_test {

class DropboxFake {
public:
    using Json = nlohmann::json;
    using Reply = FakeHTTPServer::Reply;
    using Request = FakeHTTPServer::Request;

    static constexpr const char* token = "sl.fake-token-0123456789";

    DropboxFake() : root_(freshRoot()) {
        routeAPI();
        routeContent();
    }
    ~DropboxFake() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    DropboxFake(const DropboxFake&) = delete;
    DropboxFake& operator=(const DropboxFake&) = delete;

    FakeHTTPServer& api() { return api_; }
    FakeHTTPServer& content() { return content_; }
    std::string apiURL() const { return api_.url("/2/"); }
    std::string contentURL() const { return content_.url("/2/"); }
    const std::filesystem::path& root() const { return root_; }

    /// Entries per listing or search page.
    void setPageSize(size_t size) {
        std::lock_guard lock(mutex_);
        pageSize_ = size;
    }

    /// The JSON body of the last request to `endpoint` ("/2/files/list_folder"), or its
    /// "Dropbox-API-Arg" for content calls.
    std::optional<Json> lastArguments(const std::string& endpoint) const {
        for (const auto* server : {&api_, &content_}) {
            const auto log = server->requests();
            for (auto it = log.rbegin(); it != log.rend(); ++it) {
                if (it->path != endpoint) continue;
                if (const auto arg = it->header("Dropbox-API-Arg")) return Json::parse(*arg, nullptr, false);
                return Json::parse(it->body, nullptr, false);
            }
        }
        return std::nullopt;
    }

    void write(const std::string& dropboxPath, const std::string& content) {
        const auto p = local(dropboxPath);
        std::filesystem::create_directories(p->parent_path());
        std::ofstream(*p, std::ios::binary) << content;
    }
    /// Under the routes' lock: a file is seen only once the route that made it has answered it.
    std::optional<std::string> read(const std::string& dropboxPath) const {
        std::lock_guard lock(mutex_);
        const auto p = local(dropboxPath);
        if (!p || !std::filesystem::is_regular_file(*p)) return std::nullopt;
        std::ifstream in(*p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    /// The metadata object of an existing path.
    Json metadata(const std::string& dropboxPath) const {
        const auto p = *local(dropboxPath);
        Json m;
        const std::string display = dropboxPath;
        m["name"] = display.substr(display.rfind('/') + 1);
        m["path_display"] = display;
        m["path_lower"] = lower(display);
        m["id"] = "id:" + std::to_string(std::hash<std::string>{}(display) % 1000000007);
        if (std::filesystem::is_directory(p)) {
            m[".tag"] = "folder";
        } else {
            m[".tag"] = "file";
            m["size"] = std::filesystem::file_size(p);
            const auto when = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(p));
            const std::time_t t = std::chrono::system_clock::to_time_t(when);
            char text[32];
            std::tm parts{};
            ::gmtime_r(&t, &parts);
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
            m["client_modified"] = text;
            m["server_modified"] = text;
            m["rev"] = "a1c10ce0dd78";
        }
        return m;
    }

    /// The next download's answer ends, connection closed, after `bytes` bytes of its body.
    void dropNextDownloadAfter(std::size_t bytes) { dropNext_ = static_cast<long long>(bytes); }

    static Reply json(int status, const Json& body) {
        return FakeHTTPServer::answer(status, body.dump(), {}, "application/json");
    }
    /// A 409 path error as the service writes it ("path/not_found/..").
    static Reply pathError(const std::string& place, const std::string& tag) {
        Json error = {{".tag", place}, {place, {{".tag", tag}}}};
        return json(409, {{"error_summary", place + "/" + tag + "/.."}, {"error", error}});
    }

private:
    static std::filesystem::path freshRoot() {
        static int serial = 0;
        auto p = std::filesystem::temp_directory_path() /
                 ("dropbox-fake-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(p);
        std::filesystem::create_directories(p);
        return p;
    }

    static std::string lower(std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    /// The local file of a Dropbox path ("" is the root); none for a malformed path.
    std::optional<std::filesystem::path> local(const std::string& dropboxPath) const {
        if (dropboxPath.empty()) return root_;
        if (dropboxPath.front() != '/' || dropboxPath.back() == '/') return std::nullopt;
        std::filesystem::path p = root_;
        size_t start = 1;
        while (start <= dropboxPath.size()) {
            size_t end = dropboxPath.find('/', start);
            if (end == std::string::npos) end = dropboxPath.size();
            const std::string part = dropboxPath.substr(start, end - start);
            if (part.empty() || part == "." || part == "..") return std::nullopt;
            p /= part;
            start = end + 1;
        }
        return p;
    }

    bool authorized(const Request& r) const { return r.header("Authorization") == std::string("Bearer ") + token; }

    static Reply unauthorized() {
        return json(401, {{"error_summary", "invalid_access_token/.."}, {"error", {{".tag", "invalid_access_token"}}}});
    }

    /// Parses the RPC body; a reply when it cannot.
    static std::optional<Reply> parseBody(const Request& r, Json& body) {
        if (r.header("Content-Type") != std::string("application/json"))
            return FakeHTTPServer::answer(400, "Error in call to API function: Bad HTTP \"Content-Type\" header");
        body = Json::parse(r.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return FakeHTTPServer::answer(400, "Error in call to API function: request body: could not decode input as JSON");
        return std::nullopt;
    }

    static std::optional<Reply> parseArg(const Request& r, Json& arg) {
        const auto text = r.header("Dropbox-API-Arg");
        if (!text) return FakeHTTPServer::answer(400, "Error in call to API function: Missing Dropbox-API-Arg header");
        for (unsigned char c : *text)
            if (c >= 0x80 || c < 0x20)
                return FakeHTTPServer::answer(400, "Error in call to API function: Dropbox-API-Arg must be ASCII");
        arg = Json::parse(*text, nullptr, false);
        if (arg.is_discarded() || !arg.is_object())
            return FakeHTTPServer::answer(400, "Error in call to API function: could not decode Dropbox-API-Arg");
        return std::nullopt;
    }

    /// An RPC route: checks the token and body, then runs `f` under the fake's lock.
    void rpc(const std::string& endpoint, std::function<Reply(const Json&)> f) {
        api_.route("POST", "/2/" + endpoint, [this, f](const Request& r) {
            if (!authorized(r)) return unauthorized();
            Json body;
            if (auto bad = parseBody(r, body)) return *bad;
            std::lock_guard lock(mutex_);
            return f(body);
        });
    }

    static std::string pathOf(const Json& body, const char* key = "path") {
        const auto it = body.find(key);
        return it != body.end() && it->is_string() ? it->get<std::string>() : std::string("\x01");
    }

    /// A page of `all` from `offset`.
    Json page(const std::vector<Json>& all, size_t offset) const {
        Json entries = Json::array();
        for (size_t i = offset; i < all.size() && i < offset + pageSize_; ++i) entries.push_back(all[i]);
        return entries;
    }

    std::vector<Json> walk(const std::filesystem::path& folder, const std::string& prefix, bool recursive) const {
        std::vector<Json> out;
        std::vector<std::filesystem::directory_entry> items(std::filesystem::directory_iterator(folder), {});
        std::sort(items.begin(), items.end());
        for (const auto& item : items) {
            const std::string path = prefix + "/" + item.path().filename().string();
            out.push_back(metadata(path));
            if (recursive && item.is_directory()) {
                auto deeper = walk(item.path(), path, true);
                out.insert(out.end(), deeper.begin(), deeper.end());
            }
        }
        return out;
    }

    Reply listingPage(const std::string& cursorKey) {
        auto& [entries, offset] = cursors_[cursorKey];
        Json answer = {{"entries", page(entries, offset)}};
        offset += pageSize_;
        const bool more = offset < entries.size();
        answer["has_more"] = more;
        answer["cursor"] = more ? cursorKey + "-" + std::to_string(offset) : cursorKey + "-end";
        if (more) cursors_[cursorKey + "-" + std::to_string(offset)] = cursors_[cursorKey];
        return json(200, answer);
    }

    void routeAPI() {
        rpc("files/list_folder", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p) return pathError("path", "malformed_path");
            if (!std::filesystem::is_directory(*p))
                return pathError("path", std::filesystem::exists(*p) ? "not_folder" : "not_found");
            const bool recursive = body.value("recursive", false);
            const std::string key = "cursor" + std::to_string(++cursorSerial_);
            cursors_[key] = {walk(*p, path, recursive), 0};
            return listingPage(key);
        });
        rpc("files/list_folder/continue", [this](const Json& body) {
            const std::string cursor = pathOf(body, "cursor");
            if (!cursors_.count(cursor)) return json(409, {{"error_summary", "reset/.."}, {"error", {{".tag", "reset"}}}});
            return listingPage(cursor);
        });
        rpc("files/get_metadata", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p) return pathError("path", "malformed_path");
            if (path.empty() || !std::filesystem::exists(*p)) return pathError("path", "not_found");
            Json m = metadata(path);
            if (body.value("include_media_info", false) && mediaInfo_.count(path)) m["media_info"] = mediaInfo_[path];
            return json(200, m);
        });
        rpc("files/create_folder_v2", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p || path.empty()) return pathError("path", "malformed_path");
            if (std::filesystem::exists(*p)) return pathError("path", "conflict");
            std::filesystem::create_directories(*p);
            return json(200, {{"metadata", metadata(path)}});
        });
        rpc("files/delete_v2", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p || path.empty()) return pathError("path_lookup", "malformed_path");
            if (!std::filesystem::exists(*p)) return pathError("path_lookup", "not_found");
            Json m = metadata(path);
            std::filesystem::remove_all(*p);
            return json(200, {{"metadata", m}});
        });
        for (const bool moving : {false, true}) {
            rpc(moving ? "files/move_v2" : "files/copy_v2", [this, moving](const Json& body) {
                const std::string from = pathOf(body, "from_path"), to = pathOf(body, "to_path");
                const auto f = local(from), t = local(to);
                if (!f || from.empty()) return pathError("from_lookup", "malformed_path");
                if (!t || to.empty()) return pathError("to", "malformed_path");
                if (!std::filesystem::exists(*f)) return pathError("from_lookup", "not_found");
                // The service never replaces: an existing destination is a conflict.
                if (std::filesystem::exists(*t)) return pathError("to", "conflict");
                if (!std::filesystem::is_directory(t->parent_path())) return pathError("to", "no_parent");
                if (moving) std::filesystem::rename(*f, *t);
                else std::filesystem::copy(*f, *t, std::filesystem::copy_options::recursive);
                return json(200, {{"metadata", metadata(to)}});
            });
        }
        rpc("files/search", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p || !std::filesystem::is_directory(*p)) return pathError("path", "not_found");
            const std::string query = lower(body.value("query", std::string()));
            const size_t start = body.value("start", size_t{0});
            std::vector<Json> matches;
            for (const auto& m : walk(*p, path, true))
                if (lower(m["name"].get<std::string>()).find(query) != std::string::npos)
                    matches.push_back({{"match_type", {{".tag", "filename"}}}, {"metadata", m}});
            const bool more = start + pageSize_ < matches.size();
            return json(200, {{"matches", page(matches, start)}, {"more", more}, {"start", start + pageSize_}});
        });
        rpc("files/get_temporary_link", [this](const Json& body) {
            const std::string path = pathOf(body);
            const auto p = local(path);
            if (!p || !std::filesystem::is_regular_file(*p)) return pathError("path", "not_found");
            return json(200, {{"metadata", metadata(path)}, {"link", content_.url("/temporary/abc123")}});
        });
        rpc("files/save_url", [](const Json& body) {
            if (pathOf(body, "url").rfind("http", 0) != 0) return pathError("path", "malformed_path");
            return json(200, {{".tag", "async_job_id"}, {"async_job_id", "job-7"}});
        });
        rpc("files/copy_reference/save", [this](const Json& body) {
            const std::string path = pathOf(body);
            if (pathOf(body, "copy_reference") != "ref-good") return pathError("path", "not_found");
            write(path, "from a reference");
            return json(200, {{"metadata", metadata(path)}});
        });
        api_.route("POST", "/2/users/get_space_usage", [this](const Request& r) {
            if (!authorized(r)) return unauthorized();
            return json(200, {{"used", 314159}, {"allocation", {{".tag", "individual"}, {"allocated", 2000000000}}}});
        });
    }

    void routeContent() {
        content_.route("POST", "/2/files/upload", [this](const Request& r) {
            if (!authorized(r)) return unauthorized();
            Json arg;
            if (auto bad = parseArg(r, arg)) return *bad;
            std::lock_guard lock(mutex_);
            const std::string path = pathOf(arg);
            const auto p = local(path);
            if (!p || path.empty()) return pathError("path", "malformed_path");
            if (std::filesystem::exists(*p) && (arg.value("mode", "add") != "overwrite" || std::filesystem::is_directory(*p)))
                return pathError("path", "conflict");
            if (!std::filesystem::is_directory(p->parent_path())) std::filesystem::create_directories(p->parent_path());
            std::ofstream(*p, std::ios::binary | std::ios::trunc) << r.body;
            return json(200, metadata(path));
        });
        content_.route("GET", "/2/files/download", [this](const Request& r) {
            if (!authorized(r)) return unauthorized();
            Json arg;
            if (auto bad = parseArg(r, arg)) return *bad;
            std::lock_guard lock(mutex_);
            const std::string path = pathOf(arg);
            const auto p = local(path);
            if (!p || !std::filesystem::is_regular_file(*p)) return pathError("path", "not_found");
            Reply reply;
            reply.body = *read(path);
            reply.headers.emplace_back("Dropbox-API-Result", metadata(path).dump(-1, ' ', true));
            if (const auto range = r.header("Range"); range && range->rfind("bytes=", 0) == 0) {
                const std::string spec = range->substr(6);
                const size_t dash = spec.find('-');
                const size_t size = reply.body.size();
                const size_t first = std::stoull(spec.substr(0, dash));
                size_t last = dash + 1 < spec.size() ? std::stoull(spec.substr(dash + 1)) : size - 1;
                if (first >= size) return FakeHTTPServer::answer(416, "");
                last = std::min(last, size - 1);
                reply.status = 206;
                reply.body = reply.body.substr(first, last - first + 1);
                reply.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                                "/" + std::to_string(size));
            }
            if (const long long drop = dropNext_.exchange(-1); drop >= 0) reply.dropAfter = static_cast<std::size_t>(drop);
            return reply;
        });
        for (const char* endpoint : {"/2/files/get_thumbnail", "/2/files/get_preview"}) {
            content_.route("GET", endpoint, [this](const Request& r) {
                if (!authorized(r)) return unauthorized();
                Json arg;
                if (auto bad = parseArg(r, arg)) return *bad;
                std::lock_guard lock(mutex_);
                const auto p = local(pathOf(arg));
                if (!p || !std::filesystem::is_regular_file(*p)) return pathError("path", "not_found");
                // The stored bytes stand in for the rendering the service would make of them.
                std::ifstream in(*p, std::ios::binary);
                Reply reply = FakeHTTPServer::answer(200, std::string(std::istreambuf_iterator<char>(in), {}), {}, "image/jpeg");
                reply.headers.emplace_back("Dropbox-API-Result", metadata(pathOf(arg)).dump(-1, ' ', true));
                return reply;
            });
        }
    }

public:
    /// The "media_info" a metadata call with "include_media_info" answers for `path`.
    void setMediaInfo(const std::string& path, Json info) {
        std::lock_guard lock(mutex_);
        mediaInfo_[path] = std::move(info);
    }

private:
    const std::filesystem::path root_;
    mutable std::recursive_mutex mutex_;
    size_t pageSize_ = 3;
    int cursorSerial_ = 0;
    std::atomic<long long> dropNext_{-1};
    std::map<std::string, std::pair<std::vector<Json>, size_t>> cursors_;
    std::map<std::string, Json> mediaInfo_;
    // Last, so they stop before the state their routes use goes.
    FakeHTTPServer api_;
    FakeHTTPServer content_;
};

}  // namespace ostrane_test
