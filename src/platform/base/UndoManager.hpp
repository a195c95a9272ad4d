// platform::UndoManager — the platform's undo manager: undo groups with action names, a level
// limit, undo and redo. Thread-safe: each thread nests its own groups, so providers can record
// from their completion threads while the host undoes on its own. Actions run outside the lock.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

class UndoManager {
public:
    /// An action of a group: its target is kept alive until the action runs or is dropped.
    using Action = std::function<void(const std::shared_ptr<void>& target)>;

    UndoManager() = default;
    UndoManager(const UndoManager&) = delete;
    UndoManager& operator=(const UndoManager&) = delete;

    /// Opens a group on the calling thread (groups nest; only the outermost one becomes an undo step).
    void beginUndoGrouping();
    /// Closes the calling thread's innermost group. Closing the outermost one records it; an empty
    /// group records nothing. Returns false (and changes nothing) when the thread has no open group.
    bool endUndoGrouping();
    /// Open groups of the calling thread.
    int groupingLevel() const;

    /// registerUndo(withTarget:selector:object:): records `action` to run with `target`. Outside a
    /// group of the calling thread the action becomes a step of its own. A registration made while
    /// this thread undoes goes to the redo stack; a plain one clears the redo stack.
    void registerUndo(std::shared_ptr<void> target, Action action);

    /// Names the calling thread's open group, else the step last recorded on the calling thread.
    void setActionName(const std::string& name);
    std::string undoActionName() const;
    std::string redoActionName() const;
    /// "Undo" or "Undo " followed by the action name; likewise "Redo".
    std::string undoMenuItemTitle() const;
    std::string redoMenuItemTitle() const;

    /// The most undo steps kept (0: no limit); the oldest steps are dropped beyond it.
    std::size_t levelsOfUndo() const;
    void setLevelsOfUndo(std::size_t levels);

    bool canUndo() const;
    bool canRedo() const;
    bool isUndoing() const;
    bool isRedoing() const;

    /// Runs the newest undo step's actions, newest first; what they register forms the redo step.
    /// Returns false when there is nothing to undo or the calling thread has an open group.
    bool undo();
    /// Runs the newest redo step; what it registers becomes an undo step (the redo stack is kept).
    bool redo();

    void removeAllActions();
    /// Drops every action whose target is `target`; steps left empty go away.
    void removeAllActions(const std::shared_ptr<void>& target);

private:
    struct Entry {
        std::shared_ptr<void> target;
        Action action;
    };
    struct Group {
        std::vector<Entry> entries;
        std::string actionName;
    };
    struct OpenGroups {
        std::thread::id thread;
        std::vector<Group> stack;
    };
    enum class Mode { none, undoing, redoing };

    OpenGroups* openGroupsLocked(std::thread::id id);
    void pushUndoLocked(Group group, bool clearRedo, std::vector<Group>& dropped);
    void recordLocked(Group group, std::vector<Group>& dropped);
    bool run(bool undoing);

    mutable std::mutex mutex_;
    std::vector<OpenGroups> open_;
    std::vector<Group> undoStack_;
    std::vector<Group> redoStack_;
    std::size_t levels_ = 0;
    Mode mode_ = Mode::none;
    std::thread::id runner_;
    std::optional<Group> running_;  // what the running undo/redo has registered so far
};

} // namespace platform
