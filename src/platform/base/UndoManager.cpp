#include "platform/base/UndoManager.hpp"

#include <algorithm>
#include <utility>

namespace platform {

UndoManager::OpenGroups* UndoManager::openGroupsLocked(std::thread::id id) {
    for (auto& o : open_)
        if (o.thread == id)
            return &o;
    return nullptr;
}

void UndoManager::pushUndoLocked(Group group, bool clearRedo, std::vector<Group>& dropped) {
    if (group.entries.empty())
        return;
    undoStack_.push_back(std::move(group));
    if (clearRedo) {
        for (auto& g : redoStack_)
            dropped.push_back(std::move(g));
        redoStack_.clear();
    }
    if (levels_ > 0 && undoStack_.size() > levels_) {
        const auto excess = static_cast<std::ptrdiff_t>(undoStack_.size() - levels_);
        for (auto it = undoStack_.begin(); it != undoStack_.begin() + excess; ++it)
            dropped.push_back(std::move(*it));
        undoStack_.erase(undoStack_.begin(), undoStack_.begin() + excess);
    }
}

void UndoManager::recordLocked(Group group, std::vector<Group>& dropped) {
    if (mode_ != Mode::none && runner_ == std::this_thread::get_id()) {
        // Registered by the running undo or redo: it forms the opposite step.
        for (auto& e : group.entries)
            running_->entries.push_back(std::move(e));
        if (running_->actionName.empty())
            running_->actionName = group.actionName;
        return;
    }
    pushUndoLocked(std::move(group), true, dropped);
}

void UndoManager::beginUndoGrouping() {
    std::lock_guard lock(mutex_);
    const auto id = std::this_thread::get_id();
    OpenGroups* o = openGroupsLocked(id);
    if (!o) {
        open_.push_back(OpenGroups{id, {}});
        o = &open_.back();
    }
    o->stack.emplace_back();
}

bool UndoManager::endUndoGrouping() {
    std::vector<Group> dropped;
    std::lock_guard lock(mutex_);
    const auto id = std::this_thread::get_id();
    OpenGroups* o = openGroupsLocked(id);
    if (!o || o->stack.empty())
        return false;
    Group g = std::move(o->stack.back());
    o->stack.pop_back();
    if (!o->stack.empty()) {
        Group& parent = o->stack.back();
        for (auto& e : g.entries)
            parent.entries.push_back(std::move(e));
        if (parent.actionName.empty())
            parent.actionName = std::move(g.actionName);
        return true;
    }
    open_.erase(open_.begin() + (o - open_.data()));
    recordLocked(std::move(g), dropped);
    return true;
}

int UndoManager::groupingLevel() const {
    std::lock_guard lock(mutex_);
    for (const auto& o : open_)
        if (o.thread == std::this_thread::get_id())
            return static_cast<int>(o.stack.size());
    return 0;
}

void UndoManager::registerUndo(std::shared_ptr<void> target, Action action) {
    if (!action)
        return;
    std::vector<Group> dropped;
    std::lock_guard lock(mutex_);
    if (OpenGroups* o = openGroupsLocked(std::this_thread::get_id()); o && !o->stack.empty()) {
        o->stack.back().entries.push_back(Entry{std::move(target), std::move(action)});
        return;
    }
    Group g;
    g.entries.push_back(Entry{std::move(target), std::move(action)});
    recordLocked(std::move(g), dropped);
}

void UndoManager::setActionName(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto id = std::this_thread::get_id();
    if (OpenGroups* o = openGroupsLocked(id); o && !o->stack.empty()) {
        o->stack.front().actionName = name;
    } else if (mode_ != Mode::none && runner_ == id) {
        running_->actionName = name;
    } else if (!undoStack_.empty()) {
        undoStack_.back().actionName = name;
    }
}

std::string UndoManager::undoActionName() const {
    std::lock_guard lock(mutex_);
    return undoStack_.empty() ? std::string() : undoStack_.back().actionName;
}

std::string UndoManager::redoActionName() const {
    std::lock_guard lock(mutex_);
    return redoStack_.empty() ? std::string() : redoStack_.back().actionName;
}

std::string UndoManager::undoMenuItemTitle() const {
    const std::string name = undoActionName();
    return name.empty() ? "Undo" : "Undo " + name;
}

std::string UndoManager::redoMenuItemTitle() const {
    const std::string name = redoActionName();
    return name.empty() ? "Redo" : "Redo " + name;
}

std::size_t UndoManager::levelsOfUndo() const {
    std::lock_guard lock(mutex_);
    return levels_;
}

void UndoManager::setLevelsOfUndo(std::size_t levels) {
    std::vector<Group> dropped;
    std::lock_guard lock(mutex_);
    levels_ = levels;
    if (levels_ > 0 && undoStack_.size() > levels_) {
        const auto excess = static_cast<std::ptrdiff_t>(undoStack_.size() - levels_);
        for (auto it = undoStack_.begin(); it != undoStack_.begin() + excess; ++it)
            dropped.push_back(std::move(*it));
        undoStack_.erase(undoStack_.begin(), undoStack_.begin() + excess);
    }
}

bool UndoManager::canUndo() const {
    std::lock_guard lock(mutex_);
    return !undoStack_.empty();
}

bool UndoManager::canRedo() const {
    std::lock_guard lock(mutex_);
    return !redoStack_.empty();
}

bool UndoManager::isUndoing() const {
    std::lock_guard lock(mutex_);
    return mode_ == Mode::undoing;
}

bool UndoManager::isRedoing() const {
    std::lock_guard lock(mutex_);
    return mode_ == Mode::redoing;
}

bool UndoManager::undo() { return run(true); }
bool UndoManager::redo() { return run(false); }

bool UndoManager::run(bool undoing) {
    Group step;
    {
        std::lock_guard lock(mutex_);
        const auto id = std::this_thread::get_id();
        if (mode_ != Mode::none)
            return false;
        if (OpenGroups* o = openGroupsLocked(id); o && !o->stack.empty())
            return false;
        auto& from = undoing ? undoStack_ : redoStack_;
        if (from.empty())
            return false;
        step = std::move(from.back());
        from.pop_back();
        mode_ = undoing ? Mode::undoing : Mode::redoing;
        runner_ = id;
        running_ = Group{{}, step.actionName};
    }

    // Whatever the actions do (even throw), the manager leaves the running state.
    struct Finish {
        UndoManager& m;
        bool undoing;
        ~Finish() {
            std::vector<Group> dropped;
            std::optional<Group> done;
            std::lock_guard lock(m.mutex_);
            done = std::move(m.running_);
            m.running_.reset();
            m.mode_ = Mode::none;
            m.runner_ = std::thread::id();
            if (done && !done->entries.empty()) {
                if (undoing)
                    m.redoStack_.push_back(std::move(*done));
                else
                    m.pushUndoLocked(std::move(*done), false, dropped);
            }
        }
    } finish{*this, undoing};

    for (auto it = step.entries.rbegin(); it != step.entries.rend(); ++it)
        it->action(it->target);
    return true;
}

void UndoManager::removeAllActions() {
    std::vector<Group> undo, redo;
    std::lock_guard lock(mutex_);
    undo.swap(undoStack_);
    redo.swap(redoStack_);
}

void UndoManager::removeAllActions(const std::shared_ptr<void>& target) {
    std::vector<Entry> dropped;
    std::lock_guard lock(mutex_);
    auto prune = [&](std::vector<Group>& stack) {
        for (auto& g : stack) {
            auto keep = std::stable_partition(g.entries.begin(), g.entries.end(),
                                              [&](const Entry& e) { return e.target != target; });
            for (auto it = keep; it != g.entries.end(); ++it)
                dropped.push_back(std::move(*it));
            g.entries.erase(keep, g.entries.end());
        }
        stack.erase(std::remove_if(stack.begin(), stack.end(), [](const Group& g) { return g.entries.empty(); }),
                    stack.end());
    };
    prune(undoStack_);
    prune(redoStack_);
}

} // namespace platform
