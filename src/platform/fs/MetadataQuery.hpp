// platform::MetadataQuery and MetadataItem — the stand-in for the platform's metadata query over
// the ubiquity containers. Linux keeps no metadata index, so a query walks its search scopes (the
// two ubiquitous scopes, resolved to the folders of UbiquityContainer, or folder URLs), takes each
// item's metadata attributes from the file system, and keeps the items its predicate holds for.
//
// As on the platform, a query gathers first (a "did start gathering" notification, "gathering
// progress" after each batch of results, then "did finish gathering") and then stays live: every
// notificationBatchingInterval it walks again and posts "did update" when its results changed.
// Every notification is posted on the main queue, with the query as its object, and the results
// change only there, so an observer on the main queue sees them hold still. disableUpdates holds
// every change back (results and notifications) until the matching enableUpdates.
#pragma once

#include "platform/data/Predicate.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* NSMetadataItemContentTypeTreeKey = "kMDItemContentTypeTree";

// Search scopes.
inline constexpr const char* NSMetadataQueryUbiquitousDocumentsScope = "NSMetadataQueryUbiquitousDocumentsScope";
inline constexpr const char* NSMetadataQueryUbiquitousDataScope = "NSMetadataQueryUbiquitousDataScope";

// Notifications, and the user-info keys of "did update" (arrays of the items' attribute dictionaries).
inline constexpr const char* NSMetadataQueryDidStartGatheringNotification = "NSMetadataQueryDidStartGatheringNotification";
inline constexpr const char* NSMetadataQueryGatheringProgressNotification = "NSMetadataQueryGatheringProgressNotification";
inline constexpr const char* NSMetadataQueryDidFinishGatheringNotification = "NSMetadataQueryDidFinishGatheringNotification";
inline constexpr const char* NSMetadataQueryDidUpdateNotification = "NSMetadataQueryDidUpdateNotification";
inline constexpr const char* NSMetadataQueryUpdateAddedItemsKey = "kMDQueryUpdateAddedItems";
inline constexpr const char* NSMetadataQueryUpdateChangedItemsKey = "kMDQueryUpdateChangedItems";
inline constexpr const char* NSMetadataQueryUpdateRemovedItemsKey = "kMDQueryUpdateRemovedItems";

/// One found item: its metadata attributes (kMDItem… names).
class MetadataItem {
public:
    explicit MetadataItem(ValueDictionary attributes) : attributes_(std::move(attributes)) {}

    /// The item at a file URL (not following a final link): kMDItemURL, kMDItemPath, kMDItemFSName,
    /// kMDItemDisplayName, kMDItemFSSize (regular files), kMDItemFSCreationDate (when the file
    /// system keeps it), kMDItemFSContentChangeDate, kMDItemContentType ("public.folder",
    /// "public.symlink" or "public.data") and kMDItemContentTypeTree. nullptr when the item cannot
    /// be examined.
    static std::shared_ptr<MetadataItem> make(const URL& url);

    std::optional<Value> valueForAttribute(const std::string& attribute) const;
    /// The values the item has of `attributes`; none when it has none of them.
    std::optional<ValueDictionary> valuesForAttributes(const std::vector<std::string>& attributes) const;
    const ValueDictionary& attributes() const { return attributes_; }

private:
    ValueDictionary attributes_;
};

using MetadataItemRef = std::shared_ptr<const MetadataItem>;

class MetadataQuery : public std::enable_shared_from_this<MetadataQuery> {
    struct Token {};

public:
    static std::shared_ptr<MetadataQuery> make();
    explicit MetadataQuery(Token) {}
    ~MetadataQuery();
    MetadataQuery(const MetadataQuery&) = delete;
    MetadataQuery& operator=(const MetadataQuery&) = delete;

    PredicateRef predicate() const;
    void setPredicate(PredicateRef predicate);
    std::vector<std::string> valueListAttributes() const;
    void setValueListAttributes(std::vector<std::string> attributes);
    /// Scope constants (strings) or folder URLs; a folder itself is one of its results when the
    /// predicate holds for it.
    std::vector<Value> searchScopes() const;
    void setSearchScopes(std::vector<Value> scopes);
    /// When set, only these items are looked at (not what lies below them) and no scope is needed.
    std::vector<URL> searchItems() const;
    void setSearchItems(std::vector<URL> items);
    /// Seconds between the walks of the live phase (1 by default).
    double notificationBatchingInterval() const;
    void setNotificationBatchingInterval(double seconds);

    /// Starts gathering; false when the query has no predicate, nothing to search, or was started
    /// (or stopped) before.
    bool startQuery();
    /// Ends the query for good: no result changes or notifications after it (one already posted
    /// to the main queue is dropped). The results stay as they are.
    void stopQuery();
    void disableUpdates();
    void enableUpdates();

    bool isStarted() const;
    bool isGathering() const;
    bool isStopped() const;

    size_t resultCount() const;
    /// nullptr outside the results.
    MetadataItemRef result(size_t index) const;
    std::vector<MetadataItemRef> results() const;

private:
    struct Update {
        std::vector<MetadataItemRef> results;
        ValueArray added, changed, removed;
    };

    std::vector<URL> resolvedScopes() const;
    /// The matching items below the scopes, each path once.
    std::vector<MetadataItemRef> walk(const PredicateRef& predicate, const std::vector<URL>& scopes,
                                      const std::vector<URL>& items,
                                      const std::function<bool(std::vector<MetadataItemRef>&)>& batch) const;
    void gather();
    void deliver();
    void scheduleLiveWalk(double delay);
    void liveWalk();

    mutable std::mutex mutex_;
    PredicateRef predicate_;
    std::vector<std::string> valueListAttributes_;
    std::vector<Value> searchScopes_;
    std::vector<URL> searchItems_;
    double batchingInterval_ = 1.0;
    bool started_ = false;
    bool gathering_ = false;
    bool stopped_ = false;
    bool walkDone_ = false;
    bool finishPosted_ = false;
    int updatesDisabled_ = 0;
    std::vector<MetadataItemRef> results_;
    std::vector<MetadataItemRef> pendingBatches_;
    std::optional<Update> pendingUpdate_;
    // What the last walk found, by path with the attributes it compares.
    std::vector<MetadataItemRef> lastWalk_;
};

} // namespace platform
