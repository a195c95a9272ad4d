// Listing, attributes and search of CloudFileProvider: one metadata query per call, its state shared
// by the query's observers until the search ends.
#include "fileprovider/cloud/CloudFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/text/Strings.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace RiridOzizevud {

namespace {

using platform::ComparisonPredicate;
using platform::CompoundPredicate;
using platform::Expression;
using platform::MetadataItem;
using platform::MetadataQuery;
using platform::PredicateRef;
using platform::URL;
using platform::Value;

bool isBelow(const std::string& path, const std::string& folder) {
    if (path == folder) return false;
    const std::string prefix = folder == "/" ? "/" : folder + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

// --- Searches ---------------------------------------------------------------------------------------

struct CloudFileProvider::Search {
    std::shared_ptr<CloudFileProvider> provider;  // held until the search ends, which it always does
    std::shared_ptr<MetadataQuery> query;
    ProgressRef progress;
    std::string path;
    std::optional<URL> searchURL;
    /// Whether the searched folder must be listable (not for one item's attributes).
    bool needsFolder = true;
    bool recursive = false;
    std::function<bool(const std::string& itemPath)> filter;
    PredicateRef callerQuery;  // nullptr: every entry the filter lets through
    FoundItemHandler foundItemHandler;
    FilesCompletionHandler completionHandler;

    std::mutex mutex;
    size_t counter = 0;
    std::optional<platform::NotificationCenter::ObserverToken> gatheringToken;
    std::optional<platform::NotificationCenter::ObserverToken> finishToken;
    bool finished = false;
};

FileObjectRef CloudFileProvider::entry(const std::shared_ptr<const MetadataItem>& item) const {
    const auto values = item ? item->valuesForAttributes(valueListAttributes()) : std::nullopt;
    if (!values) return nullptr;
    const Value* urlValue = platform::find(*values, platform::NSMetadataItemURLKey);
    const Value* nameValue = platform::find(*values, platform::NSMetadataItemFSNameKey);
    if (!urlValue || !urlValue->asURL() || !nameValue || !nameValue->asString()) return nullptr;
    // A folder's URL ends in "/"; its path does not.
    const std::string path = platform::trimSlashes(relativePathOf(*urlValue->asURL()));
    const auto base = baseURL();
    auto entryURL = base ? URL::parse(percentEncodedPath(path), base->absoluteURL()) : std::nullopt;
    auto file = std::make_shared<FileObject>(entryURL ? entryURL : urlValue->urlValue(), *nameValue->asString(), path);
    if (const Value* size = platform::find(*values, platform::NSMetadataItemFSSizeKey); size && size->asInt64())
        file->setSize(*size->asInt64());
    if (const Value* date = platform::find(*values, platform::NSMetadataItemFSCreationDateKey))
        file->setCreationDate(date->dateValue());
    if (const Value* date = platform::find(*values, platform::NSMetadataItemFSContentChangeDateKey))
        file->setModifiedDate(date->dateValue());
    URLFileResourceType type = URLFileResourceType::regular;
    if (const Value* tree = platform::find(*values, platform::NSMetadataItemContentTypeTreeKey); tree && tree->asArray()) {
        for (const auto& t : *tree->asArray()) {
            if (t == Value("public.folder")) type = URLFileResourceType::directory;
            else if (t == Value("public.symlink") && type != URLFileResourceType::directory)
                type = URLFileResourceType::symbolicLink;
        }
    }
    file->setType(type);
    return file;
}

std::vector<FileObjectRef> CloudFileProvider::matches(const std::shared_ptr<Search>& search, size_t from, size_t to) {
    std::vector<FileObjectRef> found;
    for (size_t i = from; i < to; ++i) {
        const auto item = search->query->result(i);
        if (!item) continue;
        const auto url = item->valueForAttribute(platform::NSMetadataItemURLKey);
        if (!url || !url->asURL()) continue;
        if (!search->filter(url->asURL()->standardizedFileURL().path())) continue;
        auto file = search->provider->entry(item);
        if (!file) continue;
        if (search->callerQuery && !search->callerQuery->evaluate(file->predicateAttributes())) continue;
        found.push_back(std::move(file));
    }
    return found;
}

void CloudFileProvider::gatheringStep(const std::shared_ptr<Search>& search) {
    auto& query = *search->query;
    query.disableUpdates();
    size_t from = 0;
    {
        std::lock_guard lock(search->mutex);
        if (search->finished) {
            query.enableUpdates();
            return;
        }
        from = search->counter;
    }
    const size_t count = query.resultCount();
    for (const auto& file : matches(search, from, count)) search->foundItemHandler(file);
    {
        std::lock_guard lock(search->mutex);
        search->counter = count;
    }
    search->progress->setTotalUnitCount(static_cast<int64_t>(count));
    query.enableUpdates();
}

void CloudFileProvider::finishStep(const std::shared_ptr<Search>& search, ErrorRef error) {
    std::optional<platform::NotificationCenter::ObserverToken> gathering, finish;
    {
        std::lock_guard lock(search->mutex);
        if (search->finished) return;
        search->finished = true;
        gathering = search->gatheringToken;
        finish = search->finishToken;
    }
    auto& query = *search->query;
    query.disableUpdates();
    query.stopQuery();
    auto& center = platform::NotificationCenter::defaultCenter();
    if (gathering) center.removeObserver(*gathering);
    if (finish) center.removeObserver(*finish);

    const bool cancelled = error && error->domain() == platform::NSCocoaErrorDomain &&
                           error->code() == platform::CocoaError::userCancelled;
    std::vector<FileObjectRef> found;
    if (!error || cancelled) {
        const size_t count = query.resultCount();
        found = matches(search, 0, count);
        if (!error) {
            search->progress->setTotalUnitCount(static_cast<int64_t>(count));
            search->progress->setCompletedUnitCount(static_cast<int64_t>(count));
        }
    }
    search->provider->dispatch_queue()->async(
        [completionHandler = std::move(search->completionHandler), found = std::move(found), error]() mutable {
            completionHandler(std::move(found), error);
        });
}

ProgressRef CloudFileProvider::runSearch(const std::shared_ptr<Search>& search) {
    auto& progress = search->progress;
    progress = platform::Progress::make(-1);
    progress->setUserInfoObject(Value(*search->searchURL), platform::Progress::fileURLKey);

    const std::weak_ptr<MetadataQuery> weakQuery = search->query;
    const std::weak_ptr<Search> weakSearch = search;
    progress->setCancellationHandler([weakQuery, weakSearch] {
        if (auto query = weakQuery.lock()) query->stopQuery();
        // The search still ends, once, with what it found until now.
        if (auto search = weakSearch.lock())
            platform::DispatchQueue::main()->async([search] {
                finishStep(search, platform::CocoaError::make(platform::CocoaError::userCancelled, search->path));
            });
    });

    auto& center = platform::NotificationCenter::defaultCenter();
    const void* object = search->query.get();
    {
        std::lock_guard lock(search->mutex);
        if (search->foundItemHandler)
            search->gatheringToken = center.addObserver(platform::NSMetadataQueryGatheringProgressNotification, object,
                                                        nullptr, [search](const platform::Notification&) {
                                                            gatheringStep(search);
                                                        });
        search->finishToken = center.addObserver(platform::NSMetadataQueryDidFinishGatheringNotification, object, nullptr,
                                                 [search](const platform::Notification&) {
                                                     // Items of the last batch are handed out before the end.
                                                     if (search->foundItemHandler) gatheringStep(search);
                                                     finishStep(search, nullptr);
                                                 });
    }

    platform::DispatchQueue::main()->async([search] {
        search->progress->setUserInfoObject(Value(platform::Date::now()), startingTimeKey);
        if (search->progress->isCancelled()) {
            finishStep(search, platform::CocoaError::make(platform::CocoaError::userCancelled, search->path));
            return;
        }
        if (search->needsFolder) {
            std::vector<URL> children;
            try {
                // A folder that is not there, or no folder, is an error, not an empty result.
                children = search->provider->fileManager()->contentsOfDirectory(*search->searchURL);
            } catch (...) {
                finishStep(search, platform::errorFromException(std::current_exception()));
                return;
            }
            // One level needs no walk of the whole tree below.
            if (!search->recursive && !children.empty()) search->query->setSearchItems(std::move(children));
        }
        if (!search->query->startQuery())
            // A cancellation may have stopped the query just now.
            finishStep(search, platform::CocoaError::make(search->progress->isCancelled()
                                                              ? platform::CocoaError::userCancelled
                                                              : platform::CocoaError::fileReadNoPermission,
                                                          search->path));
    });
    return progress;
}

ProgressRef CloudFileProvider::searchFiles(const std::string& path, bool recursive, const PredicateRef& query,
                                           FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    auto search = std::make_shared<Search>();
    search->provider = cloudSelf();
    search->path = path;
    search->searchURL = url(path);
    search->foundItemHandler = std::move(foundItemHandler);
    search->completionHandler = orNothing(std::move(completionHandler));
    search->query = MetadataQuery::make();
    if (!query) {
        auto progress = platform::Progress::make(-1);
        dispatch_queue()->async([completionHandler = search->completionHandler] {
            completionHandler({}, platform::POSIXError::make(EINVAL));
        });
        return progress;
    }
    search->callerQuery = query;
    search->recursive = recursive;
    const std::string folder = filePath(path);
    // Exact and case-sensitive, as Linux names are: "a" is not "A", nor "a " nor "a2".
    if (recursive)
        search->filter = [folder](const std::string& itemPath) { return isBelow(itemPath, folder); };
    else
        search->filter = [folder](const std::string& itemPath) {
            return itemPath != folder && parentPath(itemPath) == folder;
        };

    auto& q = *search->query;
    q.setPredicate(CompoundPredicate::andPredicate(
        {std::make_shared<ComparisonPredicate>(
             Expression::keyPath(platform::NSMetadataItemPathKey), Expression::constantValue(folder),
             ComparisonPredicate::Modifier::direct, ComparisonPredicate::Operator::beginsWith,
             ComparisonPredicate::caseInsensitive | ComparisonPredicate::diacriticInsensitive),
         metadataPredicate(query)}));
    q.setValueListAttributes(valueListAttributes());
    // The searched folder rather than the whole container: the same results, walking only there.
    q.setSearchScopes({Value(search->searchURL->absoluteURL())});
    return runSearch(search);
}

void CloudFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    (void)searchFiles(path, false, platform::Predicate::value(true), nullptr, std::move(completionHandler));
}

void CloudFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    auto search = std::make_shared<Search>();
    search->provider = cloudSelf();
    search->path = path;
    search->searchURL = url(path);
    search->needsFolder = false;
    const std::string itemPath = filePath(path);
    search->filter = [itemPath](const std::string& p) { return p == itemPath; };
    search->completionHandler = [path, itemPath, completionHandler = orNothing(std::move(completionHandler))](
                                    std::vector<FileObjectRef> files, ErrorRef error) {
        if (!files.empty()) {
            completionHandler(files.front(), nullptr);
            return;
        }
        if (!error) {
            // No entry is no answer: say why, as the local provider does.
            struct stat st {};
            error = platform::cocoaFileError(::lstat(itemPath.c_str(), &st) != 0 ? errno : EIO, path, false);
        }
        completionHandler(nullptr, error);
    };
    search->query = MetadataQuery::make();
    auto& q = *search->query;
    q.setPredicate(pathComparison(ComparisonPredicate::Operator::equalTo, itemPath));
    q.setValueListAttributes(valueListAttributes());
    q.setSearchItems({URL::fileURLWithPath(itemPath)});
    (void)runSearch(search);
}

} // namespace RiridOzizevud
