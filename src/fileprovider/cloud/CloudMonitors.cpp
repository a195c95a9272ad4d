// Monitors of CloudFileProvider: one live metadata query and one observer per watched path.
#include "fileprovider/cloud/CloudFileProvider.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/text/Strings.hpp"

#include <optional>
#include <utility>

namespace RiridOzizevud {

namespace {

using platform::ComparisonPredicate;
using platform::CompoundPredicate;
using platform::Expression;
using platform::MetadataQuery;
using platform::PredicateRef;
using platform::URL;
using platform::Value;

using platform::trimSlashes;

} // namespace

// --- Monitoring ---------------------------------------------------------------------------------------

void CloudFileProvider::stopMonitor(const Monitor& monitor) {
    monitor.query->disableUpdates();
    monitor.query->stopQuery();
    platform::NotificationCenter::defaultCenter().removeObserver(monitor.observer);
}

void CloudFileProvider::registerNotifcation(const std::string& path, std::function<void()> eventHandler) {
    unregisterNotifcation(path);
    if (!eventHandler) return;
    const std::string itemPath = filePath(path);
    auto query = MetadataQuery::make();
    query->setPredicate(CompoundPredicate::orPredicate(
        {pathComparison(ComparisonPredicate::Operator::equalTo, itemPath),
         pathComparison(ComparisonPredicate::Operator::beginsWith, itemPath == "/" ? itemPath : itemPath + "/")}));
    query->setValueListAttributes(valueListAttributes());
    query->setSearchScopes({Value(URL::fileURLWithPath(itemPath))});

    // Holds neither the provider nor the query: both end with the provider.
    const auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        platform::NSMetadataQueryDidUpdateNotification, query.get(), nullptr,
        [itemPath, eventHandler = std::move(eventHandler)](const platform::Notification& notification) {
            // As a local monitor: the item's own changes, and children that come or go; what
            // happens inside a child is the child's.
            bool concerned = false;
            for (const char* key : {platform::NSMetadataQueryUpdateAddedItemsKey,
                                    platform::NSMetadataQueryUpdateChangedItemsKey,
                                    platform::NSMetadataQueryUpdateRemovedItemsKey}) {
                const bool changed = std::string_view(key) == platform::NSMetadataQueryUpdateChangedItemsKey;
                const Value* items = platform::find(notification.userInfo, key);
                if (!items || !items->asArray()) continue;
                for (const auto& item : *items->asArray()) {
                    const Value* p = item.find(platform::NSMetadataItemPathKey);
                    const std::string* text = p ? p->asString() : nullptr;
                    if (text && (*text == itemPath || (!changed && parentPath(*text) == itemPath))) concerned = true;
                }
            }
            if (concerned) eventHandler();
        });
    // Another thread may have registered the path since it was unregistered above: its monitor is
    // stopped here, or its observer would outlive the table.
    std::optional<Monitor> replaced;
    {
        std::lock_guard lock(monitorsMutex_);
        auto [it, inserted] = monitors_.try_emplace(trimSlashes(path), Monitor{query, observer});
        if (!inserted) replaced = std::exchange(it->second, Monitor{query, observer});
    }
    if (replaced) stopMonitor(*replaced);
    platform::DispatchQueue::main()->async([query] { (void)query->startQuery(); });
}

void CloudFileProvider::unregisterNotifcation(const std::string& path) {
    std::optional<Monitor> removed;
    {
        std::lock_guard lock(monitorsMutex_);
        auto it = monitors_.find(trimSlashes(path));
        if (it == monitors_.end()) return;
        removed = std::move(it->second);
        monitors_.erase(it);
    }
    stopMonitor(*removed);
}

bool CloudFileProvider::isRegisteredForNotification(const std::string& path) {
    std::lock_guard lock(monitorsMutex_);
    return monitors_.count(trimSlashes(path)) > 0;
}

} // namespace RiridOzizevud
