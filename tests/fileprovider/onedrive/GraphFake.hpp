#pragma once
// A loopback stand-in for the Microsoft Graph drive of the signed-in user ("/v1.0/me/drive/"),
// backed by a local folder: items by path and by id (the id is the item's path in hexadecimal),
// paged children, search, folders, server-side copy and move with conflict rules, removal, upload
// sessions, view links, and downloads that redirect to a second server as the service does. The
// upload sessions and downloads live on that second server (another port), which counts every
// request that carries an "Authorization" header: the token must never reach it.
#include "support/FakeHTTPServer.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ostrane_test {

class GraphFake {
public:
    using Json = nlohmann::json;
    using Request = FakeHTTPServer::Request;
    using Reply = FakeHTTPServer::Reply;

    static constexpr const char* token = "graph-token";
    static constexpr const char* prefix = "/v1.0/me/drive/";

    explicit GraphFake(std::filesystem::path root) : root_(std::move(root)) {
        std::filesystem::create_directories(root_);
        for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"})
            graph_.route(method, "*", [this](const Request& r) { return graph(r); });
        for (const char* method : {"GET", "PUT", "DELETE"})
            files_.route(method, "*", [this](const Request& r) { return transfer(r); });
    }

    /// "http://127.0.0.1:<port>": the service root a provider is made with.
    std::string serviceURL() const { return graph_.url(""); }
    FakeHTTPServer& graphServer() { return graph_; }
    FakeHTTPServer& transferServer() { return files_; }
    /// Requests to the transfer server that carried a token.
    int tokensLeaked() const { return leaked_.load(); }
    /// The next download's answer ends, connection closed, after `bytes` bytes of its body.
    void dropNextDownloadAfter(std::size_t bytes) { dropNext_ = static_cast<long long>(bytes); }
    /// Children per listing page.
    std::atomic<size_t> pageSize{3};

private:
    // --- helpers ---
    static std::string hex(const std::string& text) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (unsigned char c : text) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    }
    static std::optional<std::string> unhex(const std::string& text) {
        if (text.size() % 2) return std::nullopt;
        std::string out;
        for (size_t i = 0; i < text.size(); i += 2) {
            const auto v = [](char c) -> int {
                if (c >= '0' && c <= '9') return c - '0';
                if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                return -1;
            };
            const int hi = v(text[i]), lo = v(text[i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
        }
        return out;
    }
    static std::string decode(const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    }
    static std::map<std::string, std::string> query(const std::string& target) {
        std::map<std::string, std::string> out;
        const size_t q = target.find('?');
        if (q == std::string::npos) return out;
        const std::string text = target.substr(q + 1);
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('&', start);
            if (end == std::string::npos) end = text.size();
            const std::string item = text.substr(start, end - start);
            const size_t eq = item.find('=');
            if (!item.empty()) out[decode(item.substr(0, eq))] = eq == std::string::npos ? "" : decode(item.substr(eq + 1));
            start = end + 1;
        }
        return out;
    }
    static Reply json(int status, const Json& body) {
        return FakeHTTPServer::answer(status, body.dump(), {}, "application/json");
    }
    static Reply error(int status, const std::string& code, const std::string& message) {
        return json(status, {{"error", {{"code", code}, {"message", message}}}});
    }
    // A relative path ("" for the root) inside the drive; none when it climbs out.
    static std::optional<std::string> clean(const std::string& path) {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            const std::string part = path.substr(start, end - start);
            if (part == "..") return std::nullopt;
            if (!part.empty() && part != ".") parts.push_back(part);
            start = end + 1;
        }
        std::string out;
        for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
        return out;
    }
    std::filesystem::path local(const std::string& rel) const { return rel.empty() ? root_ : root_ / rel; }
    static std::string parentOf(const std::string& rel) {
        const size_t slash = rel.rfind('/');
        return slash == std::string::npos ? "" : rel.substr(0, slash);
    }
    static std::string nameOf(const std::string& rel) {
        const size_t slash = rel.rfind('/');
        return slash == std::string::npos ? rel : rel.substr(slash + 1);
    }

    Json item(const std::string& rel) const {
        const auto p = local(rel);
        Json j = {{"id", rel.empty() ? std::string("root") : hex(rel)},
                  {"name", rel.empty() ? std::string("root") : nameOf(rel)},
                  {"createdDateTime", "2024-01-02T03:04:05Z"},
                  {"lastModifiedDateTime", "2024-01-02T03:04:05.5Z"},
                  {"eTag", "\"" + hex(rel) + "\""}};
        if (!rel.empty()) j["parentReference"] = {{"path", parentOf(rel).empty() ? std::string("/drive/root:") : "/drive/root:/" + parentOf(rel)}};
        if (std::filesystem::is_directory(p)) {
            const auto n = std::distance(std::filesystem::directory_iterator(p), std::filesystem::directory_iterator());
            j["folder"] = {{"childCount", n}};
            j["size"] = 0;
        } else {
            j["file"] = {{"mimeType", "application/octet-stream"}};
            j["size"] = std::filesystem::file_size(p);
        }
        return j;
    }

    // Splits "<item address>[/<modifier>]" after the drive prefix.
    struct Address {
        std::optional<std::string> rel;  // none: no such address
        std::string modifier;
    };
    Address address(const std::string& rest) const {
        Address a;
        if (rest == "root" || rest.rfind("root/", 0) == 0) {
            a.rel = "";
            a.modifier = rest.size() > 4 ? rest.substr(5) : "";
        } else if (rest.rfind("root:", 0) == 0) {
            std::string s = rest.substr(5);
            const size_t colon = s.find(':');
            if (colon != std::string::npos) {
                a.modifier = s.size() > colon + 2 ? s.substr(colon + 2) : "";
                s = s.substr(0, colon);
            }
            a.rel = clean(s);
        } else if (rest.rfind("items/", 0) == 0) {
            std::string s = rest.substr(6);
            const size_t slash = s.find('/');
            if (slash != std::string::npos) {
                a.modifier = s.substr(slash + 1);
                s = s.substr(0, slash);
            }
            if (s == "root") a.rel = "";
            else if (const auto path = unhex(s)) a.rel = clean(*path);
        }
        return a;
    }

    // A destination from a reference body; none when it names no folder of the drive.
    std::optional<std::string> destination(const Json& body, const std::string& fallbackName) const {
        const Json parent = body.value("parentReference", Json::object());
        std::optional<std::string> folder;
        if (parent.contains("path")) {
            std::string p = parent["path"].get<std::string>();
            if (p.rfind("/drive/root:", 0) != 0) return std::nullopt;
            folder = clean(p.substr(12));
        } else if (parent.contains("id")) {
            const std::string id = parent["id"].get<std::string>();
            folder = id == "root" ? std::optional<std::string>("") : unhex(id);
        } else {
            return std::nullopt;
        }
        if (!folder || !std::filesystem::is_directory(local(*folder))) return std::nullopt;
        const std::string name = body.value("name", fallbackName);
        return folder->empty() ? name : *folder + "/" + name;
    }

    Reply graph(const Request& r) {
        if (r.header("Authorization") != std::optional<std::string>(std::string("Bearer ") + token))
            return error(401, "InvalidAuthenticationToken", "Access token is empty.");
        std::lock_guard lock(mutex_);
        if (r.path == "/v1.0/me/drive" && r.method == "GET")
            return json(200, {{"id", "drive-1"}, {"name", "OneDrive"}, {"quota", {{"total", 1000000}, {"remaining", 250000}}}});
        if (r.path.rfind(prefix, 0) != 0) return error(400, "invalidRequest", "Unknown drive.");
        const std::string rest = r.path.substr(std::string(prefix).size());
        if (rest == "root/search") return search(r);
        const Address a = address(rest);
        if (!a.rel) return error(400, "invalidRequest", "Bad address.");
        const std::string rel = *a.rel;
        const bool exists = std::filesystem::exists(local(rel));
        const auto q = query(r.target);

        if (a.modifier.empty()) {
            if (r.method == "GET") return exists ? json(200, item(rel)) : error(404, "itemNotFound", "The resource could not be found.");
            if (r.method == "DELETE") {
                if (!exists || rel.empty()) return error(404, "itemNotFound", "The resource could not be found.");
                std::filesystem::remove_all(local(rel));
                return FakeHTTPServer::answer(204);
            }
            if (r.method == "PATCH") return relocate(r, rel, exists, q, true);
        }
        if (a.modifier == "children" && r.method == "GET") {
            if (!exists || !std::filesystem::is_directory(local(rel))) return error(404, "itemNotFound", "The resource could not be found.");
            std::vector<std::string> names;
            for (const auto& e : std::filesystem::directory_iterator(local(rel))) names.push_back(e.path().filename().string());
            std::sort(names.begin(), names.end());
            const size_t skip = q.count("$skiptoken") ? std::stoul(q.at("$skiptoken")) : 0;
            const size_t size = std::max<size_t>(1, pageSize.load());
            Json page = {{"value", Json::array()}};
            for (size_t i = skip; i < names.size() && i < skip + size; ++i)
                page["value"].push_back(item(rel.empty() ? names[i] : rel + "/" + names[i]));
            if (skip + size < names.size())
                page["@odata.nextLink"] = graph_.url(std::string(prefix) + "items/" + (rel.empty() ? std::string("root") : hex(rel)) +
                                                     "/children?$skiptoken=" + std::to_string(skip + size));
            return json(200, page);
        }
        if (a.modifier == "children" && r.method == "POST") {
            const Json body = Json::parse(r.body);
            if (!exists) return error(404, "itemNotFound", "The parent could not be found.");
            const std::string target = rel.empty() ? body["name"].get<std::string>() : rel + "/" + body["name"].get<std::string>();
            if (std::filesystem::exists(local(target))) return error(409, "nameAlreadyExists", "The name is already in use.");
            std::filesystem::create_directory(local(target));
            return json(201, item(target));
        }
        if (a.modifier == "content" && r.method == "GET") {
            if (!exists || std::filesystem::is_directory(local(rel))) return error(404, "itemNotFound", "The resource could not be found.");
            return FakeHTTPServer::answer(302, "", {{"Location", files_.url("/download/" + hex(rel))}});
        }
        if (a.modifier == "copy" && r.method == "POST") return relocate(r, rel, exists, q, false);
        if (a.modifier == "createUploadSession" && r.method == "POST") {
            const Json body = Json::parse(r.body);
            const std::string behaviour = body["item"].value("@microsoft.graph.conflictBehavior", "fail");
            if (!std::filesystem::is_directory(local(parentOf(rel)))) return error(404, "itemNotFound", "The parent could not be found.");
            if (exists && behaviour == "fail") return error(409, "nameAlreadyExists", "The name is already in use.");
            const std::string id = std::to_string(++sessions_);
            uploads_[id] = Upload{rel, behaviour == "replace", {}};
            return json(200, {{"uploadUrl", files_.url("/upload/" + id)}, {"expirationDateTime", "2030-01-01T00:00:00Z"}});
        }
        if (a.modifier == "createLink" && r.method == "POST") {
            if (!exists) return error(404, "itemNotFound", "The resource could not be found.");
            return json(201, {{"link", {{"type", "view"}, {"webUrl", "https://1drv.ms/u/s!" + hex(rel)}}}});
        }
        return error(400, "invalidRequest", "Unsupported request.");
    }

    Reply relocate(const Request& r, const std::string& rel, bool exists, const std::map<std::string, std::string>& q, bool move) {
        if (!exists || rel.empty()) return error(404, "itemNotFound", "The resource could not be found.");
        const auto target = destination(Json::parse(r.body), nameOf(rel));
        if (!target) return error(400, "invalidRequest", "Bad parent reference.");
        const bool replace = q.count("@microsoft.graph.conflictBehavior") && q.at("@microsoft.graph.conflictBehavior") == "replace";
        if (*target == rel) return json(200, item(rel));
        if (std::filesystem::exists(local(*target))) {
            if (!replace) return error(409, "nameAlreadyExists", "The name is already in use.");
            std::filesystem::remove_all(local(*target));
        }
        if (move) {
            std::filesystem::rename(local(rel), local(*target));
            return json(200, item(*target));
        }
        std::filesystem::copy(local(rel), local(*target), std::filesystem::copy_options::recursive);
        return FakeHTTPServer::answer(202, "", {{"Location", files_.url("/monitor/1")}});
    }

    Reply search(const Request& r) {
        const auto q = query(r.target);
        std::string term = q.count("q") ? q.at("q") : "*";
        const auto lower = [](std::string s) {
            for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s;
        };
        Json page = {{"value", Json::array()}};
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
            const std::string name = e.path().filename().string();
            if (term == "*" || lower(name).find(lower(term)) != std::string::npos)
                page["value"].push_back(item(std::filesystem::relative(e.path(), root_).generic_string()));
        }
        return json(200, page);
    }

    // The second server: upload sessions and downloads.
    Reply transfer(const Request& r) {
        if (r.header("Authorization")) leaked_++;
        std::lock_guard lock(mutex_);
        if (r.path.rfind("/download/", 0) == 0 && r.method == "GET") {
            const auto rel = unhex(r.path.substr(10));
            if (!rel || !std::filesystem::is_regular_file(local(*rel))) return FakeHTTPServer::answer(404);
            std::ifstream in(local(*rel), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            if (const auto range = r.header("Range"); range && range->rfind("bytes=", 0) == 0) {
                const std::string spec = range->substr(6);
                const size_t dash = spec.find('-');
                const size_t first = std::stoull(spec.substr(0, dash));
                size_t last = dash + 1 < spec.size() ? std::stoull(spec.substr(dash + 1)) : content.size() - 1;
                if (first >= content.size()) return FakeHTTPServer::answer(416);
                last = std::min(last, content.size() - 1);
                return FakeHTTPServer::answer(206, content.substr(first, last - first + 1),
                                              {{"Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                                     "/" + std::to_string(content.size())}},
                                              "application/octet-stream");
            }
            auto reply = FakeHTTPServer::answer(200, content, {}, "application/octet-stream");
            if (const long long drop = dropNext_.exchange(-1); drop >= 0) reply.dropAfter = static_cast<std::size_t>(drop);
            return reply;
        }
        if (r.path.rfind("/upload/", 0) != 0) return FakeHTTPServer::answer(404);
        const std::string id = r.path.substr(8);
        auto it = uploads_.find(id);
        if (it == uploads_.end()) return error(404, "itemNotFound", "The upload session does not exist.");
        if (r.method == "DELETE") {
            uploads_.erase(it);
            return FakeHTTPServer::answer(204);
        }
        Upload& upload = it->second;
        const auto range = r.header("Content-Range");
        unsigned long long first = 0, last = 0, total = 0;
        if (!range || std::sscanf(range->c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) != 3 ||
            first != upload.received.size() || last - first + 1 != r.body.size() || last >= total)
            return error(416, "invalidRange", "The range is not the one expected.");
        upload.received += r.body;
        if (upload.received.size() < total)
            return json(202, {{"nextExpectedRanges", {std::to_string(upload.received.size()) + "-"}}});
        if (std::filesystem::exists(local(upload.target)) && !upload.replace) {
            uploads_.erase(it);
            return error(409, "nameAlreadyExists", "The name is already in use.");
        }
        std::ofstream(local(upload.target), std::ios::binary | std::ios::trunc) << upload.received;
        const std::string target = upload.target;
        uploads_.erase(it);
        return json(201, item(target));
    }

    struct Upload {
        std::string target;
        bool replace;
        std::string received;
    };

    std::filesystem::path root_;
    std::mutex mutex_;
    std::atomic<long long> dropNext_{-1};
    std::map<std::string, Upload> uploads_;
    int sessions_ = 0;
    std::atomic<int> leaked_{0};
    // Last, so they stop before the state their handlers use goes away.
    FakeHTTPServer files_;
    FakeHTTPServer graph_;
};

}  // namespace ostrane_test
