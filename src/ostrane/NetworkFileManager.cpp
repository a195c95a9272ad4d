#include "ostrane/NetworkFileManager.hpp"

#include "ostrane/ClientFactory.hpp"

#include <algorithm>
#include <cstring>

namespace Ostrane {
namespace {

// Percent-encodes one path segment or host byte by byte, so that names that are not UTF-8 still
// get a URL (and decode back to the same bytes).
std::string encode(std::string_view text, const char* allowedPunctuation) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    (c != 0 && c < 0x80 && std::strchr(allowedPunctuation, c) != nullptr);
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Unreserved and sub-delims: no ":", "@", "[" or "]", which would change how a host parses.
std::string encodeHost(std::string_view host) { return encode(host, "-._~!$&'()*+,;="); }
std::string encodeSegment(std::string_view name) { return encode(name, "-._~!$&'()*+,=:@"); }

// A listed name that can stand as one path segment without moving to another directory.
bool isSafeName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::optional<std::string> hostOf(const platform::URL& url) {
    auto scheme = url.scheme();
    if (!scheme || *scheme != NetworkFileManager::scheme) return std::nullopt;
    auto host = url.host();
    if (!host || host->empty()) return std::nullopt;
    return host;
}

}  // namespace

const std::shared_ptr<NetworkFileManager>& NetworkFileManager::shared() {
    // Never destroyed: clients ending during static destruction could meet queues already gone.
    static const auto* instance = new std::shared_ptr<NetworkFileManager>(new NetworkFileManager());
    return *instance;
}

std::vector<OstraneInfo> NetworkFileManager::serverInfos() const {
    std::lock_guard lock(mutex_);
    return serverInfos_;
}

void NetworkFileManager::setServerInfos(std::vector<OstraneInfo> infos) {
    std::lock_guard lock(mutex_);
    serverInfos_.swap(infos);
}

std::optional<OstraneInfo> NetworkFileManager::lookupRecord(const platform::URL& url) const {
    auto host = hostOf(url);
    if (!host) return std::nullopt;
    std::lock_guard lock(mutex_);
    // Live clients first: while one lives, its own copy of the record is the one in force.
    for (auto& client : serverClients_)
        if (client->info().identifier == *host) return client->info();
    for (auto& info : serverInfos_)
        if (info.identifier == *host) return info;
    return std::nullopt;
}

std::shared_ptr<OstraneClient> NetworkFileManager::serverClient(const platform::URL& url) {
    auto host = hostOf(url);
    if (!host) return nullptr;
    std::optional<OstraneInfo> record;
    {
        std::lock_guard lock(mutex_);
        for (auto& client : serverClients_)
            if (client->info().identifier == *host) return client;
        for (auto& info : serverInfos_)
            if (info.identifier == *host) {
                record = info;
                break;
            }
    }
    if (!record) return nullptr;
    return serverClient(*record, true);
}

std::shared_ptr<OstraneClient> NetworkFileManager::serverClient(const OstraneInfo& info, bool createIfNeed) {
    auto find = [&]() -> std::shared_ptr<OstraneClient> {
        for (auto& client : serverClients_)
            if (client->info().identifier == info.identifier) return client;
        return nullptr;
    };
    {
        std::lock_guard lock(mutex_);
        if (auto client = find()) return client;
        if (!createIfNeed) return nullptr;
    }
    // Made outside the lock; when another thread registered a client meanwhile, that one wins and
    // ours, which never logged in, is dropped.
    auto made = makeClient(info);
    if (!made) return nullptr;
    std::shared_ptr<OstraneClient> result;
    {
        std::lock_guard lock(mutex_);
        result = find();
        if (!result) {
            serverClients_.push_back(made);
            result = made;
        }
    }
    return result;
}

void NetworkFileManager::close(const OstraneInfo& info) {
    std::vector<std::shared_ptr<OstraneClient>> removed;
    {
        std::lock_guard lock(mutex_);
        auto split = std::stable_partition(serverClients_.begin(), serverClients_.end(), [&](const auto& client) {
            return client->info().identifier != info.identifier;
        });
        removed.assign(std::make_move_iterator(split), std::make_move_iterator(serverClients_.end()));
        serverClients_.erase(split, serverClients_.end());
    }
    // The removed clients may end here, outside the lock.
}

bool NetworkFileManager::canHandle(const platform::URL& url) const { return lookupRecord(url).has_value(); }

bool NetworkFileManager::isResponsibleForStreaming(const platform::URL& of) const {
    auto record = lookupRecord(of);
    return record && (record->type == OstraneType::sftp || record->type == OstraneType::smb);
}

void NetworkFileManager::contentsOfDirectory(const platform::URL& at, ContentsCompletion completion) {
    if (!completion) completion = [](auto, auto) {};
    auto client = serverClient(at);
    if (!client) {
        completion(std::nullopt, OstraneError::make("server not found"));
        return;
    }
    auto list = [client, at, completion]() {
        client->contents(at.pathBytes(), [at, completion](std::optional<std::vector<std::string>> names,
                                                     OstraneErrorRef error) {
            if (error || !names) {
                completion(std::nullopt, error ? error : OstraneError::make("listing failed"));
                return;
            }
            auto base = platform::URLComponents::fromURL(at);
            std::string dir = base.percentEncodedPath;
            if (dir.empty() || dir.back() != '/') dir += '/';
            std::vector<platform::URL> urls;
            urls.reserve(names->size());
            for (auto& name : *names) {
                if (!isSafeName(name)) continue;
                auto item = base;
                item.percentEncodedPath = dir + encodeSegment(name);
                if (auto url = item.url()) urls.push_back(*url);
            }
            completion(std::move(urls), nullptr);
        });
    };
    if (client->isConnected()) {
        list();
        return;
    }
    client->login([list, completion](OstraneErrorRef error) {
        if (error) {
            completion(std::nullopt, error);
            return;
        }
        list();
    });
}

void NetworkFileManager::downloadFile(const platform::URL& url, const platform::URL& to,
                                      DownloadCompletion completion) {
    if (!completion) completion = [](auto) {};
    auto client = serverClient(url);
    if (!client) {
        completion(OstraneError::make("server not found"));
        return;
    }
    // A URL without a file path names the server's root, not a file.
    const std::string path = url.pathBytes();
    if (path.empty() || path == "/") {
        completion(OstraneError::make("The URL names no file"));
        return;
    }
    if (client->isConnected()) {
        client->download(path, to, completion);
        return;
    }
    client->login([client, path, to, completion](OstraneErrorRef error) {
        if (error) {
            completion(error);
            return;
        }
        client->download(path, to, completion);
    });
}

std::optional<platform::URL> NetworkFileManager::url(const std::shared_ptr<OstranePathComponent>& path,
                                                     const std::shared_ptr<OstraneClient>& client) const {
    if (!path || !client) return std::nullopt;
    const std::string& identifier = client->info().identifier;
    if (identifier.empty()) return std::nullopt;

    // Every listed name must be one plain segment; the root's name is a base path and may hold "/".
    std::shared_ptr<OstranePathComponent> node = path;
    while (auto parent = node->parent()) {
        if (!isSafeName(node->name())) return std::nullopt;
        node = std::move(parent);
    }
    std::vector<std::string> segments;
    const std::string& full = path->path();
    for (std::size_t start = 0; start <= full.size();) {
        auto end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        std::string segment = full.substr(start, end - start);
        if (segment == "." || segment == ".." || segment.find('\0') != std::string::npos) return std::nullopt;
        if (!segment.empty()) segments.push_back(std::move(segment));
        start = end + 1;
    }

    std::string text = std::string(scheme) + "://" + encodeHost(identifier);
    for (auto& segment : segments) text += "/" + encodeSegment(segment);
    if (segments.empty() || path->isDirectory()) text += "/";
    auto url = platform::URL::parse(text);
    if (!url || url->host() != identifier) return std::nullopt;
    return url;
}

}  // namespace Ostrane
