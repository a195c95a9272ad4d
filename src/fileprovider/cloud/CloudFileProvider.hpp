// RiridOzizevud::CloudFileProvider — the provider over an iCloud ubiquity container. On Linux the
// container is a folder of platform::UbiquityContainer; everything in it is always downloaded.
//
// It is a LocalFileProvider whose file coordination is always on: changes, uploads, downloads,
// removal, reads and writes run through the local runner and readers unchanged. Listing,
// attributes and search run as metadata queries instead: the query starts on the main queue, its
// found-item calls come on the main queue, and completions on dispatch_queue. A monitored path
// is one live metadata query; its handler runs on the main queue.
#pragma once

#include "fileprovider/local/LocalFileProvider.hpp"
#include "platform/dispatch/NotificationCenter.hpp"

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class MetadataQuery;
class MetadataItem;
} // namespace platform

namespace RiridOzizevud {

/// Which part of a container a provider serves: the whole container, or its "Documents" folder.
enum class UbiquitousScope { data, documents };
/// NSMetadataQueryUbiquitousDataScope / NSMetadataQueryUbiquitousDocumentsScope.
std::string rawValue(UbiquitousScope scope);
/// No value for any text but the two scope constants.
std::optional<UbiquitousScope> ubiquitousScopeFromRawValue(std::string_view rawValue);

class CloudFileProvider : public LocalFileProvider, public FileProviderSharing {
public:
    static std::string staticType() { return "iCloudDrive"; }
    /// Read by nothing; kept for hosts that set it.
    static inline std::atomic<bool> asserting{true};

    /// init?(containerId:scope:): the container (no identifier: the application's default one),
    /// its "Documents" folder for the documents scope. The base folder is made when missing.
    /// nullptr when no account is signed in or the container cannot be had.
    static std::shared_ptr<CloudFileProvider> make(const std::optional<std::string>& containerId,
                                                   UbiquitousScope scope);
    /// init(baseURL:): an explicit folder, no container identifier, the data scope. A URL that
    /// is not a file URL throws as for LocalFileProvider.
    static std::shared_ptr<CloudFileProvider> make(const platform::URL& baseURL);
    /// init?(coder:): by "containerId" and "scope" when both are there and the scope is known
    /// (nullptr when that container cannot be had), else by "baseURL" (throws as for
    /// LocalFileProvider when it is missing).
    static std::shared_ptr<CloudFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// "baseURL", "isCoorinating", then "containerId" (null when none) and "scope".
    void encode(platform::KeyedArchiver& coder) const override;
    /// A provider of the same container and scope (of the same base, when made from a base URL)
    /// with the same delegates; no monitors, undo manager or credential. nullptr when the
    /// container cannot be had.
    std::shared_ptr<LocalFileProvider> copy() const override;
    ~CloudFileProvider() override;

    std::string type() const override { return staticType(); }
    std::optional<std::string> containerId() const { return containerId_; }
    UbiquitousScope scope() const { return scope_; }
    /// Always true; setting it does nothing.
    bool isCoorinating() const override { return true; }
    void setIsCoorinating(bool) override {}

    // --- Listing, attributes, search, reachability ---
    /// The direct children of the folder; a folder that cannot be listed gives its error.
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    /// The entry of the item at `path`; none, with a file error, when there is none.
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    /// The entries below the folder (direct children unless recursive) for which `query`, read
    /// over their predicateAttributes(), holds. Cancelling the progress stops the query; the
    /// completion then gets what matched so far and a userCancelled error.
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    /// True while an account is signed in; never an error.
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    // --- Monitoring ---
    /// Watches the item: its own changes and, for a folder, children that come or go; the
    /// handler runs on the main queue after a change is seen (at most a second later). A path
    /// where nothing is yet is watched for its arrival.
    void registerNotifcation(const std::string& path, std::function<void()> eventHandler) override;
    /// Paths compare with "/" trimmed from both ends.
    void unregisterNotifcation(const std::string& path) override;
    bool isRegisteredForNotification(const std::string& path) override;

    // --- Sharing and eviction ---
    /// Linux has no sharing service: always CocoaError featureUnsupported.
    void publicLink(const std::string& to,
                    std::function<void(std::optional<platform::URL> link, FileObjectRef attribute,
                                       std::optional<platform::Date> expiration, ErrorRef error)>
                        completionHandler) override;
    /// The local copy is the only one here, so it is never evicted: featureUnsupported for an
    /// item that is there, the file error for one that is not.
    void evictItem(const std::string& path, SimpleCompletionHandler completionHandler);

    /// The metadata-query attributes asked of every item, in order.
    static const std::vector<std::string>& valueListAttributes();
    /// The caller's predicate over entry key paths, rewritten to one over metadata attributes that
    /// holds at least wherever the caller's does (exposed for tests).
    static platform::PredicateRef metadataPredicate(const platform::PredicateRef& query);

protected:
    CloudFileProvider(const platform::URL& baseURL, std::optional<std::string> containerId, UbiquitousScope scope,
                      bool madeFromContainer);

private:
    struct Search;
    struct Monitor {
        std::shared_ptr<platform::MetadataQuery> query;
        platform::NotificationCenter::ObserverToken observer;
    };

    std::shared_ptr<CloudFileProvider> cloudSelf() const;
    /// The file-system path of a provider path.
    std::string filePath(const std::string& path) const;
    /// The folder a file-system path is in ("/" at the top, "" for a bare name).
    static std::string parentPath(const std::string& path);
    /// A comparison of an item's path attribute with `path`.
    static platform::PredicateRef pathComparison(platform::ComparisonPredicate::Operator op, const std::string& path);
    /// The entry of a result, when it has the values an entry needs.
    FileObjectRef entry(const std::shared_ptr<const platform::MetadataItem>& item) const;
    ProgressRef runSearch(const std::shared_ptr<Search>& search);
    static void gatheringStep(const std::shared_ptr<Search>& search);
    static void finishStep(const std::shared_ptr<Search>& search, ErrorRef error);
    static std::vector<FileObjectRef> matches(const std::shared_ptr<Search>& search, size_t from, size_t to);
    static void stopMonitor(const Monitor& monitor);

    const std::optional<std::string> containerId_;
    const UbiquitousScope scope_;
    const bool madeFromContainer_;
    mutable std::mutex monitorsMutex_;
    std::map<std::string, Monitor> monitors_;
};

} // namespace RiridOzizevud
