// How every download of the library reaches its destination: written into a temporary file in the
// destination's own folder, synced, then moved into place in one step under the caller's overwrite
// rule. A folder is never replaced, a failure never touches what was at the destination, no hard
// links are needed (FAT and exFAT media have none), and nothing lands in $TMPDIR first.
//
// The temporary file is unnamed (O_TMPFILE) where the file system allows it, so no way of ending the
// process leaves it behind. Elsewhere it is a hidden sibling ".<name>.<pid>-<n>.ostrane-part",
// removed when the process exits and, after a kill -9, by the next placement of the same name.
#pragma once

#include "platform/base/Error.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class OperationQueue;

class PlacementFile {
public:
    /// Opens the temporary file for `destination`, mode 0666 less the umask. Throws a Cocoa file
    /// error (POSIX error underneath) when the folder is missing or cannot be written.
    explicit PlacementFile(std::string destination);
    ~PlacementFile();
    PlacementFile(PlacementFile&& other) noexcept;
    PlacementFile& operator=(PlacementFile&&) = delete;
    PlacementFile(const PlacementFile&) = delete;
    PlacementFile& operator=(const PlacementFile&) = delete;

    /// The descriptor to write through, for writers that want it; -1 once placed.
    int fd() const { return fd_; }
    /// Writes all of `data` or throws (a full disk is fileWriteOutOfSpace).
    void write(const void* data, std::size_t size);
    /// Bytes written through write().
    std::int64_t size() const { return size_; }
    const std::string& destination() const { return destination_; }

    /// Syncs the file and moves it to the destination in one step. Without `overwrite` anything at
    /// the destination refuses (fileWriteFileExists); with it a file or link there is replaced, a
    /// folder never is. Throws on failure, leaving the destination as it was; called once.
    void place(bool overwrite);

private:
    void placeUnnamed(bool overwrite);
    void placeNamed(bool overwrite);
    void discard() noexcept;

    std::string destination_;
    std::string folder_;
    std::string temporary_; // the named sibling; empty for an unnamed file
    int fd_ = -1;
    std::int64_t size_ = 0;
};

/// Puts the finished local file `from` at `to` under the same rule: renamed when both are on one
/// file system, else copied through a PlacementFile. `from` is gone on success and untouched on
/// failure.
void placeFile(const std::string& from, const std::string& to, bool overwrite);

/// Places `file` without replacing anything once the file coordinator lets this process write its
/// destination (as the local provider coordinates its writes), then calls `done` once on `queue`
/// with nullptr or the error.
void placeCoordinated(std::shared_ptr<PlacementFile> file, const std::shared_ptr<OperationQueue>& queue,
                      std::function<void(ErrorRef error)> done);

namespace detail {
/// Makes new placement files take the named form, as on file systems without unnamed files
/// (the test machines cannot always mount one).
void useNamedTemporaries(bool named);
} // namespace detail

} // namespace platform
