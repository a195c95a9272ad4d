#include "platform/dispatch/Progress.hpp"

#include <algorithm>
#include <stdexcept>

namespace platform {

namespace {

struct CurrentEntry {
    std::shared_ptr<Progress> progress;
    std::int64_t pendingUnitCount;
    bool childMade;
};
thread_local std::vector<CurrentEntry> t_current;

}  // namespace

std::string rawValue(ProgressFileOperationKind kind) {
    switch (kind) {
    case ProgressFileOperationKind::downloading:
        return "NSProgressFileOperationKindDownloading";
    case ProgressFileOperationKind::receiving:
        return "NSProgressFileOperationKindReceiving";
    case ProgressFileOperationKind::copying:
        return "NSProgressFileOperationKindCopying";
    case ProgressFileOperationKind::uploading:
        return "NSProgressFileOperationKindUploading";
    }
    return {};
}

std::optional<ProgressFileOperationKind> progressFileOperationKindFromRawValue(std::string_view raw) {
    for (auto kind : {ProgressFileOperationKind::downloading, ProgressFileOperationKind::receiving,
                      ProgressFileOperationKind::copying, ProgressFileOperationKind::uploading}) {
        if (rawValue(kind) == raw) return kind;
    }
    return std::nullopt;
}

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
    std::shared_ptr<Progress> progress(new Progress(totalUnitCount));
    if (!t_current.empty() && !t_current.back().childMade) {
        auto& entry = t_current.back();
        entry.childMade = true;
        entry.progress->addChild(progress, entry.pendingUnitCount);
    }
    return progress;
}

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount, const std::shared_ptr<Progress>& parent,
                                         std::int64_t pendingUnitCount) {
    std::shared_ptr<Progress> progress(new Progress(totalUnitCount));
    if (parent) parent->addChild(progress, pendingUnitCount);
    return progress;
}

Progress::~Progress() = default;

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard guard(mutex_);
    return total_;
}

void Progress::setTotalUnitCount(std::int64_t count) {
    std::unique_lock lock(mutex_);
    if (total_ == count) return;
    total_ = count;
    const bool finished = isFinishedLocked();
    lock.unlock();
    changed({Property::totalUnitCount, Property::fractionCompleted}, finished);
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard guard(mutex_);
    return completed_;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    std::unique_lock lock(mutex_);
    if (completed_ == count) return;
    completed_ = count;
    const bool finished = isFinishedLocked();
    lock.unlock();
    changed({Property::completedUnitCount, Property::fractionCompleted}, finished);
}

// A total of 0 finishes once something was completed: an empty listing's progress that
// is told it is done still hands its units to the parent.
bool Progress::isFinishedLocked() const { return total_ >= 0 && completed_ >= total_ && completed_ > 0; }

double Progress::fractionCompleted() const {
    std::unique_lock lock(mutex_);
    const std::int64_t total = total_;
    const std::int64_t completed = completed_;
    const auto children = children_;
    lock.unlock();
    if (total == 0) return completed > 0 ? 1.0 : 0.0;
    if (total < 0) return 0.0;
    // Children are asked one at a time, never under our lock, so no two locks are held.
    double units = static_cast<double>(std::max<std::int64_t>(completed, 0));
    for (const auto& child : children) {
        units += child.progress->fractionCompleted() * static_cast<double>(std::max<std::int64_t>(child.pendingUnitCount, 0));
    }
    return std::clamp(units / static_cast<double>(total), 0.0, 1.0);
}

bool Progress::isIndeterminate() const {
    std::lock_guard guard(mutex_);
    return total_ < 0 || completed_ < 0;
}

bool Progress::isFinished() const {
    std::lock_guard guard(mutex_);
    return isFinishedLocked();
}

std::optional<std::string> Progress::kind() const {
    std::lock_guard guard(mutex_);
    return kind_;
}

void Progress::setKind(std::optional<std::string> kind) {
    std::lock_guard guard(mutex_);
    kind_ = std::move(kind);
}

std::optional<ProgressFileOperationKind> Progress::fileOperationKind() const {
    const auto value = userInfoObject(fileOperationKindKey);
    const std::string* raw = value ? value->asString() : nullptr;
    return raw ? progressFileOperationKindFromRawValue(*raw) : std::nullopt;
}

void Progress::setFileOperationKind(std::optional<ProgressFileOperationKind> kind) {
    setUserInfoObject(kind ? std::optional<Value>(Value(rawValue(*kind))) : std::nullopt, fileOperationKindKey);
}

ValueDictionary Progress::userInfo() const {
    std::lock_guard guard(mutex_);
    return userInfo_;
}

std::optional<Value> Progress::userInfoObject(const std::string& key) const {
    std::lock_guard guard(mutex_);
    auto it = userInfo_.find(key);
    if (it == userInfo_.end()) return std::nullopt;
    return it->second;
}

void Progress::setUserInfoObject(std::optional<Value> value, const std::string& key) {
    std::lock_guard guard(mutex_);
    if (value) {
        userInfo_.insert_or_assign(key, std::move(*value));
    } else {
        userInfo_.erase(key);
    }
}

bool Progress::isCancellable() const {
    std::lock_guard guard(mutex_);
    return cancellable_;
}

void Progress::setCancellable(bool cancellable) {
    std::lock_guard guard(mutex_);
    cancellable_ = cancellable;
}

bool Progress::isCancelled() const {
    std::lock_guard guard(mutex_);
    return cancelled_;
}

void Progress::cancel() {
    std::unique_lock lock(mutex_);
    if (cancelled_) return;
    cancelled_ = true;
    auto handler = std::move(cancellationHandler_);
    cancellationHandler_ = nullptr;
    std::vector<std::shared_ptr<Progress>> children;
    for (const auto& child : children_) children.push_back(child.progress);
    lock.unlock();
    for (const auto& child : children) child->cancel();
    if (handler) handler();
    changed({Property::cancelled}, false);
}

void Progress::setCancellationHandler(std::function<void()> handler) {
    std::unique_lock lock(mutex_);
    if (cancelled_) {
        lock.unlock();
        if (handler) handler();
        return;
    }
    std::swap(cancellationHandler_, handler);
    lock.unlock();
    // The replaced handler (now in `handler`) is destroyed here, outside the lock.
}

void Progress::addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount) {
    if (!child) throw std::invalid_argument("Progress.addChild: no child");
    // A child that is this progress or one of its ancestors would make a loop.
    for (std::shared_ptr<Progress> ancestor = shared_from_this(); ancestor;) {
        if (ancestor == child) throw std::invalid_argument("Progress.addChild: the child is this progress or an ancestor of it");
        std::shared_ptr<Progress> next;
        {
            std::lock_guard guard(ancestor->mutex_);
            next = ancestor->parent_.lock();
        }
        ancestor = std::move(next);
    }
    bool childFinished;
    {
        std::lock_guard guard(child->mutex_);
        if (child->hasParent_) throw std::invalid_argument("Progress.addChild: the child already has a parent");
        child->hasParent_ = true;
        child->parent_ = weak_from_this();
        childFinished = child->isFinishedLocked();
    }
    std::unique_lock lock(mutex_);
    if (childFinished) {
        completed_ += pendingUnitCount;
    } else {
        children_.push_back(Child{child, pendingUnitCount});
    }
    const bool cancelled = cancelled_;
    const bool finished = isFinishedLocked();
    lock.unlock();
    if (childFinished) {
        changed({Property::completedUnitCount, Property::fractionCompleted}, finished);
    } else {
        changed({Property::fractionCompleted}, false);
    }
    if (cancelled) child->cancel();
}

void Progress::childChanged(const Progress* child, bool childFinished) {
    std::unique_lock lock(mutex_);
    auto it = std::find_if(children_.begin(), children_.end(), [child](const Child& c) { return c.progress.get() == child; });
    if (it == children_.end()) return;  // already let go
    if (!childFinished) {
        lock.unlock();
        changed({Property::fractionCompleted}, false);
        return;
    }
    Child finishedChild = std::move(*it);
    children_.erase(it);
    completed_ += finishedChild.pendingUnitCount;
    const bool finished = isFinishedLocked();
    lock.unlock();
    finishedChild.progress.reset();
    changed({Property::completedUnitCount, Property::fractionCompleted}, finished);
}

void Progress::changed(const std::vector<Property>& properties, bool finishedNow) {
    std::vector<std::shared_ptr<Observer>> observers;
    std::shared_ptr<Progress> parent;
    {
        std::lock_guard guard(mutex_);
        observers.reserve(observers_.size());
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
        parent = parent_.lock();
    }
    for (const auto& observer : observers) {
        for (Property property : properties) (*observer)(*this, property);
    }
    if (parent && properties != std::vector<Property>{Property::cancelled}) parent->childChanged(this, finishedNow);
}

void Progress::becomeCurrent(std::int64_t pendingUnitCount) {
    t_current.push_back(CurrentEntry{shared_from_this(), pendingUnitCount, false});
}

void Progress::resignCurrent() {
    if (t_current.empty() || t_current.back().progress.get() != this) {
        throw std::logic_error("Progress.resignCurrent: this progress is not current on this thread");
    }
    const CurrentEntry entry = std::move(t_current.back());
    t_current.pop_back();
    if (entry.childMade) return;
    std::unique_lock lock(mutex_);
    completed_ += entry.pendingUnitCount;
    const bool finished = isFinishedLocked();
    lock.unlock();
    changed({Property::completedUnitCount, Property::fractionCompleted}, finished);
}

std::shared_ptr<Progress> Progress::current() { return t_current.empty() ? nullptr : t_current.back().progress; }

Progress::ObserverToken Progress::addObserver(Observer observer) {
    if (!observer) throw std::invalid_argument("Progress.addObserver: no observer");
    std::lock_guard guard(mutex_);
    const ObserverToken token = nextToken_++;
    observers_.emplace(token, std::make_shared<Observer>(std::move(observer)));
    return token;
}

void Progress::removeObserver(ObserverToken token) {
    std::shared_ptr<Observer> removed;
    std::lock_guard guard(mutex_);
    auto it = observers_.find(token);
    if (it == observers_.end()) return;
    removed = std::move(it->second);
    observers_.erase(it);
}

}  // namespace platform
