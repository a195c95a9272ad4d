#include "platform/fs/MetadataQuery.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/dispatch/NotificationCenter.hpp"
#include "platform/net/URLResourceKey.hpp"
#include "platform/fs/UbiquityContainer.hpp"

#include <map>
#include <set>

namespace platform {

namespace {

constexpr size_t batchSize = 64;

Value contentTypeTree(const std::string& resourceType) {
    if (resourceType == rawValue(URLFileResourceType::directory))
        return ValueArray{"public.folder", "public.directory", "public.item"};
    if (resourceType == rawValue(URLFileResourceType::symbolicLink)) return ValueArray{"public.symlink", "public.item"};
    return ValueArray{"public.data", "public.item"};
}

std::string pathOf(const MetadataItemRef& item) {
    const auto v = item->valueForAttribute(NSMetadataItemPathKey);
    return v && v->asString() ? *v->asString() : std::string();
}

} // namespace

// --- MetadataItem -------------------------------------------------------------------------------

std::shared_ptr<MetadataItem> MetadataItem::make(const URL& url) {
    using K = URLResourceKey;
    ValueDictionary values;
    try {
        values = FileManager::resourceValues(url, {K::nameKey, K::pathKey, K::fileSizeKey, K::creationDateKey,
                                                   K::contentModificationDateKey, K::fileResourceTypeKey});
    } catch (const Exception&) {
        return nullptr;
    }
    ValueDictionary attributes;
    const std::string path = values[K::pathKey].stringValue().value_or(url.path());
    const std::string type = values[K::fileResourceTypeKey].stringValue().value_or("");
    attributes[NSMetadataItemURLKey] = URL::fileURLWithPath(path, type == rawValue(URLFileResourceType::directory));
    attributes[NSMetadataItemPathKey] = path;
    attributes[NSMetadataItemFSNameKey] = values[K::nameKey];
    attributes[NSMetadataItemDisplayNameKey] = values[K::nameKey];
    if (const Value* size = find(values, K::fileSizeKey)) attributes[NSMetadataItemFSSizeKey] = *size;
    if (const Value* date = find(values, K::creationDateKey)) attributes[NSMetadataItemFSCreationDateKey] = *date;
    if (const Value* date = find(values, K::contentModificationDateKey))
        attributes[NSMetadataItemFSContentChangeDateKey] = *date;
    Value tree = contentTypeTree(type);
    attributes[NSMetadataItemContentTypeKey] = *tree.at(0);
    attributes[NSMetadataItemContentTypeTreeKey] = std::move(tree);
    return std::make_shared<MetadataItem>(std::move(attributes));
}

std::optional<Value> MetadataItem::valueForAttribute(const std::string& attribute) const {
    if (const Value* v = find(attributes_, attribute)) return *v;
    return std::nullopt;
}

std::optional<ValueDictionary> MetadataItem::valuesForAttributes(const std::vector<std::string>& attributes) const {
    ValueDictionary out;
    for (const auto& a : attributes)
        if (const Value* v = find(attributes_, a)) out[a] = *v;
    if (out.empty()) return std::nullopt;
    return out;
}

// --- MetadataQuery ------------------------------------------------------------------------------

std::shared_ptr<MetadataQuery> MetadataQuery::make() { return std::make_shared<MetadataQuery>(Token{}); }

MetadataQuery::~MetadataQuery() = default;

PredicateRef MetadataQuery::predicate() const {
    std::lock_guard lock(mutex_);
    return predicate_;
}

void MetadataQuery::setPredicate(PredicateRef predicate) {
    std::lock_guard lock(mutex_);
    predicate_ = std::move(predicate);
}

std::vector<std::string> MetadataQuery::valueListAttributes() const {
    std::lock_guard lock(mutex_);
    return valueListAttributes_;
}

void MetadataQuery::setValueListAttributes(std::vector<std::string> attributes) {
    std::lock_guard lock(mutex_);
    valueListAttributes_ = std::move(attributes);
}

std::vector<Value> MetadataQuery::searchScopes() const {
    std::lock_guard lock(mutex_);
    return searchScopes_;
}

void MetadataQuery::setSearchScopes(std::vector<Value> scopes) {
    std::lock_guard lock(mutex_);
    searchScopes_ = std::move(scopes);
}

std::vector<URL> MetadataQuery::searchItems() const {
    std::lock_guard lock(mutex_);
    return searchItems_;
}

void MetadataQuery::setSearchItems(std::vector<URL> items) {
    std::lock_guard lock(mutex_);
    searchItems_ = std::move(items);
}

double MetadataQuery::notificationBatchingInterval() const {
    std::lock_guard lock(mutex_);
    return batchingInterval_;
}

void MetadataQuery::setNotificationBatchingInterval(double seconds) {
    std::lock_guard lock(mutex_);
    if (seconds > 0) batchingInterval_ = seconds;
}

bool MetadataQuery::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool MetadataQuery::isGathering() const {
    std::lock_guard lock(mutex_);
    return gathering_;
}

bool MetadataQuery::isStopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

size_t MetadataQuery::resultCount() const {
    std::lock_guard lock(mutex_);
    return results_.size();
}

MetadataItemRef MetadataQuery::result(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < results_.size() ? results_[index] : nullptr;
}

std::vector<MetadataItemRef> MetadataQuery::results() const {
    std::lock_guard lock(mutex_);
    return results_;
}

std::vector<URL> MetadataQuery::resolvedScopes() const {
    std::vector<URL> roots;
    for (const auto& scope : searchScopes()) {
        if (const URL* url = scope.asURL()) {
            if (url->isFileURL()) roots.push_back(url->absoluteURL());
        } else if (const std::string* name = scope.asString()) {
            const bool documents = *name == NSMetadataQueryUbiquitousDocumentsScope;
            if (!documents && *name != NSMetadataQueryUbiquitousDataScope) continue;
            for (const auto& container : UbiquityContainer::containerURLs())
                roots.push_back(documents ? container.appendingPathComponent("Documents", true) : container);
        }
    }
    return roots;
}

bool MetadataQuery::startQuery() {
    std::vector<URL> scopes;
    {
        std::lock_guard lock(mutex_);
        if (started_ || stopped_ || !predicate_ || (searchScopes_.empty() && searchItems_.empty())) return false;
        started_ = true;
        gathering_ = true;
    }
    auto self = shared_from_this();
    DispatchQueue::main()->async([self] {
        if (!self->isStopped())
            NotificationCenter::defaultCenter().post(NSMetadataQueryDidStartGatheringNotification, self.get());
    });
    DispatchQueue::global()->async([self] { self->gather(); });
    return true;
}

void MetadataQuery::stopQuery() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    gathering_ = false;
    pendingBatches_.clear();
    pendingUpdate_.reset();
}

void MetadataQuery::disableUpdates() {
    std::lock_guard lock(mutex_);
    ++updatesDisabled_;
}

void MetadataQuery::enableUpdates() {
    {
        std::lock_guard lock(mutex_);
        if (updatesDisabled_ == 0 || --updatesDisabled_ > 0 || stopped_) return;
        if (pendingBatches_.empty() && !pendingUpdate_ && !(walkDone_ && !finishPosted_)) return;
    }
    // Later, not from inside the caller (often an observer of this query).
    auto self = shared_from_this();
    DispatchQueue::main()->async([self] { self->deliver(); });
}

std::vector<MetadataItemRef> MetadataQuery::walk(const PredicateRef& predicate, const std::vector<URL>& scopes,
                                                 const std::vector<URL>& items,
                                                 const std::function<bool(std::vector<MetadataItemRef>&)>& batch) const {
    std::vector<MetadataItemRef> all;
    std::vector<MetadataItemRef> pending;
    std::set<std::string> seen;
    bool goOn = true;
    const auto consider = [&](const URL& url) {
        auto item = MetadataItem::make(url);
        if (!item) return;
        if (!seen.insert(pathOf(item)).second) return;
        if (!predicate->evaluate(item->attributes())) return;
        all.push_back(item);
        pending.push_back(item);
        if (batch && pending.size() >= batchSize) {
            goOn = batch(pending);
            pending.clear();
        }
    };
    if (!items.empty()) {
        for (const auto& item : items) {
            if (!goOn) break;
            if (item.isFileURL()) consider(URL::fileURLWithPath(item.absoluteURL().path()));
        }
        if (batch && goOn && !pending.empty()) batch(pending);
        return all;
    }
    auto fileManager = FileManager::make();
    for (const auto& scope : scopes) {
        if (!goOn) break;
        const URL root = URL::fileURLWithPath(scope.path());
        if (!FileManager::itemExists(root.path())) continue;
        consider(root);
        // Unreadable folders are passed over, as an index would not know them either.
        auto enumerator = fileManager->enumerator(root, {}, [](const URL&, const ErrorRef&) { return true; });
        while (enumerator && goOn) {
            const auto next = enumerator->nextObject();
            if (!next) break;
            consider(*next);
        }
    }
    if (batch && goOn && !pending.empty()) batch(pending);
    return all;
}

void MetadataQuery::gather() {
    auto self = shared_from_this();
    const auto predicate = this->predicate();
    const auto found = walk(predicate, resolvedScopes(), searchItems(), [self](std::vector<MetadataItemRef>& batch) {
        {
            std::lock_guard lock(self->mutex_);
            if (self->stopped_) return false;
            self->pendingBatches_.insert(self->pendingBatches_.end(), batch.begin(), batch.end());
        }
        DispatchQueue::main()->async([self] { self->deliver(); });
        return true;
    });
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        lastWalk_ = found;
        walkDone_ = true;
    }
    DispatchQueue::main()->async([self] { self->deliver(); });
}

void MetadataQuery::deliver() {
    bool progressed = false;
    bool finished = false;
    std::optional<Update> update;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || updatesDisabled_ > 0) return;
        if (!pendingBatches_.empty()) {
            results_.insert(results_.end(), pendingBatches_.begin(), pendingBatches_.end());
            pendingBatches_.clear();
            progressed = true;
        }
        if (walkDone_ && !finishPosted_) {
            finishPosted_ = true;
            gathering_ = false;
            finished = true;
        } else if (finishPosted_ && pendingUpdate_) {
            update = std::move(pendingUpdate_);
            pendingUpdate_.reset();
            results_ = update->results;
        }
    }
    auto& center = NotificationCenter::defaultCenter();
    if (progressed) center.post(NSMetadataQueryGatheringProgressNotification, this);
    if (finished) {
        center.post(NSMetadataQueryDidFinishGatheringNotification, this);
        scheduleLiveWalk(notificationBatchingInterval());
    }
    if (update) {
        center.post(NSMetadataQueryDidUpdateNotification, this,
                    {{NSMetadataQueryUpdateAddedItemsKey, std::move(update->added)},
                     {NSMetadataQueryUpdateChangedItemsKey, std::move(update->changed)},
                     {NSMetadataQueryUpdateRemovedItemsKey, std::move(update->removed)}});
    }
}

void MetadataQuery::scheduleLiveWalk(double delay) {
    std::weak_ptr<MetadataQuery> weak = weak_from_this();
    // Held weakly: a query its owner let go ends its live phase at the next tick.
    DispatchQueue::global()->asyncAfter(delay, [weak] {
        if (auto self = weak.lock()) self->liveWalk();
    });
}

void MetadataQuery::liveWalk() {
    if (isStopped()) return;
    const auto found = walk(predicate(), resolvedScopes(), searchItems(), nullptr);
    std::vector<MetadataItemRef> before;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        before = lastWalk_;
        lastWalk_ = found;
    }
    std::map<std::string, MetadataItemRef> old;
    for (const auto& item : before) old.emplace(pathOf(item), item);
    Update update;
    update.results = found;
    for (const auto& item : found) {
        auto it = old.find(pathOf(item));
        if (it == old.end()) {
            update.added.emplace_back(item->attributes());
        } else {
            if (it->second->attributes() != item->attributes()) update.changed.emplace_back(item->attributes());
            old.erase(it);
        }
    }
    for (const auto& [path, item] : old) update.removed.emplace_back(item->attributes());
    if (!update.added.empty() || !update.changed.empty() || !update.removed.empty()) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
            if (pendingUpdate_) {
                // Changes held back meanwhile are reported together.
                for (auto& v : update.added) pendingUpdate_->added.push_back(std::move(v));
                for (auto& v : update.changed) pendingUpdate_->changed.push_back(std::move(v));
                for (auto& v : update.removed) pendingUpdate_->removed.push_back(std::move(v));
                pendingUpdate_->results = std::move(update.results);
            } else {
                pendingUpdate_ = std::move(update);
            }
        }
        auto self = shared_from_this();
        DispatchQueue::main()->async([self] { self->deliver(); });
    }
    scheduleLiveWalk(notificationBatchingInterval());
}

} // namespace platform
