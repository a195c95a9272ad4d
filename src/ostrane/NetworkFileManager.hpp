#pragma once
// The registry the host talks to: the configured server records, the live clients, and internal
// URLs "calvora-internal://<record identifier>/<path on the server>". A path carries the exact bytes
// of the names, UTF-8 or not, each byte that a URL cannot hold percent-encoded; what a client is
// given is that path decoded exactly once (URL::pathBytes()).
//
// The two lists are guarded by one mutex; clients and completions are only called after it is
// released, so a completion may call back into the registry.
#include "ostrane/OstraneClient.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/OstranePathComponent.hpp"
#include "platform/net/URL.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Ostrane {

class NetworkFileManager {
public:
    static constexpr const char* scheme = "calvora-internal";

    using ContentsCompletion = std::function<void(std::optional<std::vector<platform::URL>>, OstraneErrorRef)>;
    using DownloadCompletion = std::function<void(OstraneErrorRef)>;

    /// The one registry, made on first use.
    static const std::shared_ptr<NetworkFileManager>& shared();

    NetworkFileManager(const NetworkFileManager&) = delete;
    NetworkFileManager& operator=(const NetworkFileManager&) = delete;

    std::vector<OstraneInfo> serverInfos() const;
    void setServerInfos(std::vector<OstraneInfo> infos);

    /// The client serving an internal URL, made and registered when its record has none yet.
    std::shared_ptr<OstraneClient> serverClient(const platform::URL& url);
    /// The live client of a record (by identifier), or a new registered one when `createIfNeed`.
    std::shared_ptr<OstraneClient> serverClient(const OstraneInfo& info, bool createIfNeed);
    /// Drops every live client of the record's identifier; nothing is called on them.
    void close(const OstraneInfo& info);

    /// The URL names a live client or a configured record.
    bool canHandle(const platform::URL& url) const;
    /// The URL names an SFTP or SMB server, whose files stream through NetworkFileHandle.
    bool isResponsibleForStreaming(const platform::URL& of) const;

    /// Lists a directory URL into file URLs (each name appended to `at`); logs in first when needed.
    void contentsOfDirectory(const platform::URL& at, ContentsCompletion completion);
    /// Downloads a file URL to a local URL; logs in first when needed. A URL without a file path
    /// (none, or "/") fails.
    void downloadFile(const platform::URL& url, const platform::URL& to, DownloadCompletion completion);

    /// The internal URL of a tree component on the client's server; a directory's URL ends with "/".
    /// No value when a name in the component's path contains "/", is empty, "." or "..", or when the
    /// identifier cannot form a URL host.
    std::optional<platform::URL> url(const std::shared_ptr<OstranePathComponent>& path,
                                     const std::shared_ptr<OstraneClient>& client) const;

private:
    NetworkFileManager() = default;

    std::optional<OstraneInfo> lookupRecord(const platform::URL& url) const;

    mutable std::mutex mutex_;
    std::vector<OstraneInfo> serverInfos_;
    std::vector<std::shared_ptr<OstraneClient>> serverClients_;
};

}  // namespace Ostrane
