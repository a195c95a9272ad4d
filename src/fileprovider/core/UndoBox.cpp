// The undo rule every provider shares: an undo removes only what its operation made, and only
// while it is as the operation left it. Both states are read through the provider's own
// attributes and listings, so the rule needs nothing of a provider beyond its interface.
#include "fileprovider/core/UndoBox.hpp"

#include "fileprovider/core/FileProvider.hpp"

#include <atomic>
#include <map>
#include <mutex>
#include <set>

namespace RiridOzizevud {

namespace {

// A record larger than this is not kept: its undo refuses rather than walk without end.
constexpr std::size_t kRecordLimit = 100000;

std::atomic<int> recordsBeingRead{0};

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string childPath(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool isBelow(const std::string& path, const std::string& folder) {
    const std::string prefix = childPath(folder, "");
    return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

UndoItem itemOf(const std::string& path, const FileObject& file) {
    UndoItem item{path, file.isDirectory(), file.isDirectory() ? -1 : file.size(), std::nullopt};
    if (!item.directory)
        if (const auto date = file.modifiedDate()) item.modified = date->timeIntervalSince1970();
    return item;
}

// Walks a folder one listing at a time, collecting every item below it.
struct Walk : std::enable_shared_from_this<Walk> {
    std::weak_ptr<FileProvideUndoable> provider;
    std::vector<UndoItem> items;
    std::vector<std::string> folders;
    UndoRecord::Handler done;

    void next() {
        const auto p = provider.lock();
        if (!p) return done(std::nullopt, platform::URLError::make(platform::URLError::cancelled));
        if (folders.empty()) return done(std::move(items), nullptr);
        const std::string folder = folders.back();
        folders.pop_back();
        auto self = shared_from_this();
        p->contentsOfDirectory(folder, [self, folder](std::vector<FileObjectRef> files, ErrorRef error) {
            if (error) return self->done(std::nullopt, error);
            for (const auto& file : files) {
                if (!file) continue;
                const std::string name = file->name();
                if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) continue;
                auto item = itemOf(childPath(folder, name), *file);
                if (item.directory) self->folders.push_back(item.path);
                self->items.push_back(std::move(item));
            }
            if (self->items.size() > kRecordLimit)
                return self->done(std::nullopt, platform::CocoaError::make(platform::CocoaError::fileReadTooLarge, folder));
            self->next();
        });
    }
};

ErrorRef notUndone(const std::string& path, const std::string& why) {
    return platform::CocoaError::withDescription(platform::CocoaError::fileWriteNoPermission,
                                                 "“" + path + "” was not undone: " + why + ".");
}

// Removes what `made` recorded of what is there `now`; see UndoBox::doSimpleOperation.
void removeWhatWasMade(const std::shared_ptr<FileProvideUndoable>& provider, const FileOperationType& undoOperation,
                       const UndoRecord::Items& made, const UndoRecord::Items& now) {
    std::map<std::string, const UndoItem*> present;
    for (const auto& item : now) present[item.path] = &item;
    std::set<std::string> madePaths;
    for (const auto& item : made) {
        madePaths.insert(item.path);
        const auto it = present.find(item.path);
        if (it != present.end() && !it->second->sameAs(item)) {
            notifyOperationResult(provider, undoOperation, notUndone(item.path, "it changed since the operation"));
            return;
        }
    }
    std::vector<std::string> extras;
    for (const auto& item : now)
        if (!madePaths.count(item.path)) extras.push_back(item.path);
    const std::string& top = made.front().path;
    if (extras.empty() && now.size() == made.size()) {
        provider->removeItem(top, nullptr);
        return;
    }
    // A made item goes unless it is a folder that now holds something the operation did not make.
    std::set<std::string> removable;
    for (const auto& item : made) {
        if (!present.count(item.path)) continue;
        bool holdsOthers = false;
        if (item.directory)
            for (const auto& extra : extras) holdsOthers = holdsOthers || isBelow(extra, item.path);
        if (!holdsOthers) removable.insert(item.path);
    }
    // Removing a folder takes what is below it: only the highest removable items are asked for.
    for (const auto& path : removable) {
        const auto slash = path.find_last_of('/');
        const std::string parent = slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
        if (path != top && removable.count(parent)) continue;
        provider->removeItem(path, nullptr);
    }
    if (!removable.count(top))
        notifyOperationResult(provider, undoOperation, notUndone(top, "it holds items the operation did not make"));
}

} // namespace

// --- UndoRecord ---------------------------------------------------------------------------------

struct UndoRecord::State {
    std::mutex mutex;
    bool read = false;
    std::optional<Items> items;
    ErrorRef error;
    std::vector<Handler> waiting;
};

void UndoRecord::read(const std::shared_ptr<FileProvideUndoable>& provider, const std::string& rawPath, Handler done) {
    const std::string path = withoutTrailingSlash(rawPath);
    std::weak_ptr<FileProvideUndoable> weak = provider;
    provider->attributesOfItem(path, [weak, path, done](FileObjectRef file, ErrorRef error) {
        if (!file) return done(std::nullopt, error ? error : platform::CocoaError::make(platform::CocoaError::fileNoSuchFile, path));
        auto walk = std::make_shared<Walk>();
        walk->provider = weak;
        walk->items.push_back(itemOf(path, *file));
        if (walk->items.front().directory) walk->folders.push_back(path);
        walk->done = done;
        walk->next();
    });
}

UndoRecord::UndoRecord(const std::shared_ptr<FileProvideUndoable>& provider, std::string path)
    : state_(std::make_shared<State>()) {
    auto state = state_;
    ++recordsBeingRead;
    read(provider, path, [state](std::optional<Items> items, ErrorRef error) {
        std::vector<Handler> waiting;
        {
            std::lock_guard lock(state->mutex);
            state->read = true;
            state->items = items;
            state->error = error;
            waiting.swap(state->waiting);
        }
        --recordsBeingRead;
        for (auto& handler : waiting) handler(items, error);
    });
}

int UndoRecord::pending() { return recordsBeingRead.load(); }

void UndoRecord::whenRead(Handler handler) {
    std::optional<Items> items;
    ErrorRef error;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->read) {
            state_->waiting.push_back(std::move(handler));
            return;
        }
        items = state_->items;
        error = state_->error;
    }
    handler(std::move(items), error);
}

// --- UndoBox ------------------------------------------------------------------------------------

UndoBox::UndoBox(std::weak_ptr<FileProvideUndoable> provider, FileOperationType operation, FileOperationType undoOperation)
    : provider(std::move(provider)), operation(std::move(operation)), undoOperation(std::move(undoOperation)) {
    if (this->undoOperation.kind() != FileOperationType::Kind::remove) return;
    if (const auto p = this->provider.lock()) record_ = std::make_shared<UndoRecord>(p, this->undoOperation.source());
}

void UndoBox::doSimpleOperation(const std::shared_ptr<void>&) const {
    const auto p = provider.lock();
    if (!p) return;
    switch (undoOperation.kind()) {
    case FileOperationType::Kind::remove: {
        if (!record_) return;
        std::weak_ptr<FileProvideUndoable> weak = p;
        const FileOperationType undo = undoOperation;
        record_->whenRead([weak, undo](std::optional<UndoRecord::Items> made, ErrorRef error) {
            const auto p = weak.lock();
            if (!p) return;
            if (!made || made->empty()) {
                notifyOperationResult(p, undo, error ? error : notUndone(undo.source(), "what it made could not be read"));
                return;
            }
            UndoRecord::read(p, undo.source(), [weak, undo, made](std::optional<UndoRecord::Items> now, ErrorRef error) {
                const auto p = weak.lock();
                if (!p) return;
                if (!now) return notifyOperationResult(p, undo, error);
                removeWhatWasMade(p, undo, *made, *now);
            });
        });
        break;
    }
    case FileOperationType::Kind::move: p->moveItem(undoOperation.source(), *undoOperation.destination(), nullptr); break;
    default: break;
    }
}

} // namespace RiridOzizevud
