// The undo table: which operations can be undone, by which inverse, and how one is recorded.
#include "fileprovider/core/FileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/UndoBox.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/dispatch/Progress.hpp"

namespace RiridOzizevud {

namespace {

std::optional<FileOperationType> inverse(const FileOperationType& op) {
    using K = FileOperationType::Kind;
    switch (op.kind()) {
    case K::create: return FileOperationType::remove(op.source());
    case K::copy: return FileOperationType::remove(*op.destination());
    case K::move: return FileOperationType::move(*op.destination(), op.source());
    case K::link: return FileOperationType::remove(op.source());
    case K::modify:
    case K::remove:
    case K::fetch: return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

// --- Undo ---------------------------------------------------------------------------------------

bool FileProvideUndoable::canUndo(const ProgressRef& handle) const {
    if (!handle)
        return false;
    const auto stored = handle->userInfoObject(fileProvderOperationTypeKey);
    if (!stored)
        return false;
    const auto op = operationFromProgressValue(*stored);
    return op && canUndo(*op);
}

bool FileProvideUndoable::canUndo(const FileOperationType& operation) const {
    return inverse(operation).has_value();
}

void FileProvideUndoable::_registerUndo(const FileOperationType& operation) {
    const auto manager = undoManager();
    if (!manager)
        return;
    const auto undo = inverse(operation);
    if (!undo)
        return;
    auto self = std::dynamic_pointer_cast<FileProvideUndoable>(weak_from_this().lock());
    if (!self)
        return;  // not owned by a shared_ptr: nothing could run the undo later
    auto box = std::make_shared<UndoBox>(self, operation, *undo);
    self.reset();

    manager->beginUndoGrouping();
    manager->registerUndo(box, [](const std::shared_ptr<void>& target) {
        static_cast<const UndoBox*>(target.get())->doSimpleOperation(target);
    });
    manager->setActionName(operation.actionDescription());
    manager->endUndoGrouping();
}

void FileProvideUndoable::setupUndoManager() {
    if (undoManager())
        return;
    auto manager = std::make_shared<platform::UndoManager>();
    manager->setLevelsOfUndo(10);
    setUndoManager(std::move(manager));
}

} // namespace RiridOzizevud
