// platform::URLCache — the platform's response cache: answers kept in memory and on disk, each
// part within its capacity, the least recently used let go first.
//
// What holds:
// - An answer is found again only by a request of the same method and URL (user, password and
//   fragment aside), the same "Depth" and body (so PROPFINDs asking for different properties never
//   answer each other), and the same credential: a credential given with the call, else the
//   request's "Authorization", else the URL's user and password. The credential enters the key as
//   a salted, slow hash; no secret is ever written.
// - URL sessions store what their data tasks receive when storagePolicy allows it (never an answer
//   or request marked "no-store", never a ranged or partial answer, only GET 200/203 and
//   PROPFIND 207), and forget every answer for a resource that another method changed.
// - The disk part is one SQLite file in a private folder (0700, the file 0600) under
//   defaultDirectory(): several caches, threads and processes may share it.
// - Nothing here decides whether a kept answer is still good enough: callers ask isStale and
//   revalidate as their own settings say. Sessions load every request from the network.
#pragma once

#include "platform/data/Date.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class CachedURLResponse {
public:
    enum class StoragePolicy { allowed, allowedInMemoryOnly, notAllowed };

    CachedURLResponse(std::shared_ptr<const URLResponse> response, Data data,
                      StoragePolicy storagePolicy = StoragePolicy::allowed, Date date = Date::now());

    const std::shared_ptr<const URLResponse>& response() const { return response_; }
    const Data& data() const { return data_; }
    StoragePolicy storagePolicy() const { return storagePolicy_; }
    /// When the answer was received.
    Date date() const { return date_; }

    /// True when the answer may not be used again without asking the server: it says "no-cache"
    /// (or "Pragma: no-cache"), or it is older than its "max-age", or past its "Expires" (an
    /// unreadable date counts as past). An answer that states no lifetime is not stale.
    bool isStale(Date now = Date::now()) const;

private:
    std::shared_ptr<const URLResponse> response_;
    Data data_;
    StoragePolicy storagePolicy_;
    Date date_;
};

class URLCache {
public:
    /// URLCache(memoryCapacity:diskCapacity:diskPath:). `diskPath` is a folder: a relative one lies
    /// under defaultDirectory() ("URLCache" when none is given); an absolute one is taken as it is.
    /// A folder that cannot be made private (or a path that climbs out with "..") leaves the cache
    /// in memory only.
    static std::shared_ptr<URLCache> make(int64_t memoryCapacity = 0, int64_t diskCapacity = 0,
                                          std::optional<std::string> diskPath = std::nullopt);
    /// The cache of the default session configuration: 512 KiB, in memory only (a session made
    /// without thought writes nothing to the user's disk).
    static std::shared_ptr<URLCache> shared();
    /// $XDG_CACHE_HOME/ostrane when XDG_CACHE_HOME is absolute, else ~/.cache/ostrane.
    static std::string defaultDirectory();

    ~URLCache();
    URLCache(const URLCache&) = delete;
    URLCache& operator=(const URLCache&) = delete;

    int64_t memoryCapacity() const;
    int64_t diskCapacity() const;
    /// Shrinking lets go of the least recently used answers at once.
    void setMemoryCapacity(int64_t capacity);
    void setDiskCapacity(int64_t capacity);
    /// Bytes held: bodies, header fields and keys (plus a fixed cost per answer in memory).
    int64_t currentMemoryUsage() const;
    int64_t currentDiskUsage() const;
    /// The folder of the disk part; none when the cache lives in memory only.
    std::optional<std::string> diskDirectory() const;

    /// cachedResponse(for:): the kept answer to this request, from memory or else from disk (then
    /// kept in memory again). `credential`: the one the session would answer a challenge with,
    /// when the request carries no "Authorization" of its own.
    std::optional<CachedURLResponse> cachedResponse(const URLRequest& request,
                                                    const std::optional<URLCredential>& credential = std::nullopt);
    /// storeCachedResponse(_:for:): keeps the answer as its storage policy allows, where it fits:
    /// an answer larger than a tenth of a part's capacity is not kept in that part.
    void storeCachedResponse(const CachedURLResponse& cachedResponse, const URLRequest& request,
                             const std::optional<URLCredential>& credential = std::nullopt);
    void removeCachedResponse(const URLRequest& request, const std::optional<URLCredential>& credential = std::nullopt);
    /// Every answer about this resource, whatever its method, body or credential.
    void removeCachedResponses(const URL& url);
    void removeAllCachedResponses();

    /// How a session may keep the answer to a request: notAllowed unless the request is a GET
    /// answered 200 or 203, or a PROPFIND answered 207, without a "Range", without "no-store" on
    /// either side and varying on nothing but the encoding.
    static CachedURLResponse::StoragePolicy storagePolicy(const URLRequest& request, const URLResponse& response);
    /// Whether an answer of `status` to `request` changed the resource (a method other than GET,
    /// HEAD, OPTIONS, TRACE or PROPFIND that did not fail): its answers, its folder's, and those of
    /// a "Destination" and its folder are then forgotten.
    void forgetChangedBy(const URLRequest& request, int status);
    /// The largest answer either part would keep.
    int64_t maximumEntrySize() const;

private:
    struct Impl;
    explicit URLCache(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
