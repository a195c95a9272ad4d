#pragma once

#include "platform/data/Value.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// What a file progress does; the raw values are the platform's user-information strings.
enum class ProgressFileOperationKind { downloading, receiving, copying, uploading };
std::string rawValue(ProgressFileOperationKind kind);
std::optional<ProgressFileOperationKind> progressFileOperationKindFromRawValue(std::string_view raw);

/// Progress of one job, shared between the code doing it and its observers; every
/// member is safe to call from any thread. Children report into a parent by the unit counts
/// they were given, and cancelling a parent cancels its children.
class Progress : public std::enable_shared_from_this<Progress> {
public:
    // User-information keys and the file kind, with the platform's strings.
    static constexpr const char* kindFile = "NSProgressKindFile";
    static constexpr const char* fileOperationKindKey = "NSProgressFileOperationKindKey";
    static constexpr const char* fileURLKey = "NSProgressFileURLKey";
    static constexpr const char* throughputKey = "NSProgressThroughputKey";
    static constexpr const char* estimatedTimeRemainingKey = "NSProgressEstimatedTimeRemainingKey";

    /// What changed, for observers. A count change is followed by its fractionCompleted change;
    /// a child's change reaches its parent as fractionCompleted.
    enum class Property { totalUnitCount, completedUnitCount, fractionCompleted, cancelled };
    using Observer = std::function<void(Progress& progress, Property changed)>;
    using ObserverToken = std::uint64_t;

    /// A progress of `totalUnitCount` (-1: not yet known). When a progress is current on this
    /// thread and has not yet got its child, the new one becomes that child.
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = -1);
    /// A progress that reports `pendingUnitCount` of `parent`'s units (no parent: stands alone).
    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount, const std::shared_ptr<Progress>& parent,
                                          std::int64_t pendingUnitCount);

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    /// Own completed units plus the children's shares, over the total, kept within 0...1;
    /// 0 while the total is unknown.
    double fractionCompleted() const;
    bool isIndeterminate() const;
    /// The total is known and reached by at least one completed unit (so 0 of 0 is not
    /// finished, 1 of 0 is).
    bool isFinished() const;

    std::optional<std::string> kind() const;
    void setKind(std::optional<std::string> kind);
    /// Stored in the user information under fileOperationKindKey.
    std::optional<ProgressFileOperationKind> fileOperationKind() const;
    void setFileOperationKind(std::optional<ProgressFileOperationKind> kind);

    ValueDictionary userInfo() const;
    std::optional<Value> userInfoObject(const std::string& key) const;
    /// No value removes the entry.
    void setUserInfoObject(std::optional<Value> value, const std::string& key);

    /// Only a hint for whoever shows the progress; cancel() works either way.
    bool isCancellable() const;
    void setCancellable(bool cancellable);
    bool isCancelled() const;
    /// Marks this progress and its children cancelled and runs the cancellation handler, once,
    /// on the calling thread. Later calls do nothing.
    void cancel();
    /// Replaces the handler. Set after cancellation, it runs at once on the calling thread.
    void setCancellationHandler(std::function<void()> handler);

    /// Adopts `child` for `pendingUnitCount` of this progress's units. A finished child adds
    /// them to completedUnitCount and is let go. A child that already has a parent, or this
    /// progress or one of its ancestors, is refused with std::invalid_argument.
    void addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount);

    /// Makes this the calling thread's current progress: the next progress made on this thread
    /// with make(totalUnitCount) becomes its child for `pendingUnitCount` units.
    void becomeCurrent(std::int64_t pendingUnitCount);
    /// Ends the latest becomeCurrent of this thread; when no child was made meanwhile, the
    /// pending units count as completed. Throws std::logic_error when this is not current.
    void resignCurrent();
    static std::shared_ptr<Progress> current();

    /// Observers are called on the thread that made the change, never under a lock of ours.
    /// One already under way may still run after removeObserver returns.
    ObserverToken addObserver(Observer observer);
    void removeObserver(ObserverToken token);

private:
    explicit Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };

    void changed(const std::vector<Property>& properties, bool finishedNow);
    void childChanged(const Progress* child, bool childFinished);
    bool isFinishedLocked() const;
    double ownFractionLocked(const std::vector<Child>& children) const;

    mutable std::mutex mutex_;
    std::int64_t total_;
    std::int64_t completed_ = 0;
    std::optional<std::string> kind_;
    ValueDictionary userInfo_;
    bool cancellable_ = true;
    bool cancelled_ = false;
    std::function<void()> cancellationHandler_;
    std::weak_ptr<Progress> parent_;
    bool hasParent_ = false;
    std::vector<Child> children_;
    ObserverToken nextToken_ = 1;
    std::map<ObserverToken, std::shared_ptr<Observer>> observers_;
};

}  // namespace platform
