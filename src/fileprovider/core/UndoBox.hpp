// RiridOzizevud::UndoBox — what an undo manager keeps for one recorded operation: the provider
// (weakly, so a released provider makes the undo a no-op), the operation and its inverse.
#pragma once

#include "fileprovider/core/FileOperationType.hpp"

#include <memory>

namespace RiridOzizevud {

class FileProvideUndoable;

class UndoBox {
public:
    UndoBox(std::weak_ptr<FileProvideUndoable> provider, FileOperationType operation, FileOperationType undoOperation)
        : provider(std::move(provider)), operation(std::move(operation)), undoOperation(std::move(undoOperation)) {}

    /// Starts the inverse (a remove, or a move back without overwriting) with no completion and
    /// returns at once; its result reaches the provider's delegate like any operation's. A created
    /// folder is removed only while it is still empty.
    void doSimpleOperation(const std::shared_ptr<void>& sender) const;

    const std::weak_ptr<FileProvideUndoable> provider;
    const FileOperationType operation;
    const FileOperationType undoOperation;
};

} // namespace RiridOzizevud
