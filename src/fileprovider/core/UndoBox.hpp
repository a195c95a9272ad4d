// RiridOzizevud::UndoBox — what an undo manager keeps for one recorded operation: the provider
// (weakly, so a released provider makes the undo a no-op), the operation and its inverse, and for
// an inverse that removes, the record of what the operation left behind.
#pragma once

#include "fileprovider/core/FileOperationType.hpp"
#include "platform/base/Error.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

class FileProvideUndoable;

/// One item an operation made, as it stood: a folder by its kind alone, anything else also by its
/// size and modification time. `path` is the provider path.
struct UndoItem {
    std::string path;
    bool directory = false;
    int64_t size = -1;
    std::optional<double> modified;

    bool sameAs(const UndoItem& other) const {
        return directory == other.directory && (directory || (size == other.size && modified == other.modified));
    }
};

/// What an operation left at a path (the item and everything below a folder), read through the
/// provider's own listing, once, when it is first asked for.
class UndoRecord {
public:
    using Items = std::vector<UndoItem>;
    using Handler = std::function<void(std::optional<Items>, platform::ErrorRef)>;

    /// Reads what is at `path` now through the provider.
    static void read(const std::shared_ptr<FileProvideUndoable>& provider, const std::string& path, Handler done);

    /// Starts reading; `whenRead` waits for the answer.
    UndoRecord(const std::shared_ptr<FileProvideUndoable>& provider, std::string path);
    void whenRead(Handler handler);

    /// Records of this process still being read (a test waits for 0 before changing a result).
    static int pending();

private:
    struct State;
    std::shared_ptr<State> state_;
};

class UndoBox {
public:
    /// For an inverse that removes, the record of what the operation made is taken at once.
    UndoBox(std::weak_ptr<FileProvideUndoable> provider, FileOperationType operation, FileOperationType undoOperation);

    /// Starts the inverse and returns at once. A move goes back without overwriting. A removal
    /// takes only what the operation made, and only while it is as the operation left it: a file
    /// of the same size and modification time; of a folder only the items the operation made,
    /// unchanged, and a folder itself only when that leaves it empty. When an item changed,
    /// nothing is removed. Whatever stays is reported to the provider's delegate as a failure of
    /// the inverse; what is removed is reported by the removal itself.
    void doSimpleOperation(const std::shared_ptr<void>& sender) const;

    const std::weak_ptr<FileProvideUndoable> provider;
    const FileOperationType operation;
    const FileOperationType undoOperation;

private:
    std::shared_ptr<UndoRecord> record_;
};

} // namespace RiridOzizevud
