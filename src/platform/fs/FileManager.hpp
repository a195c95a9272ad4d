// platform::FileManager — the file-manager calls the local provider makes, over POSIX: listings,
// an enumerator, folder creation, copy/move/remove that ask a delegate item by item, symbolic
// links, resource values of an item and of its volume, and whole-file writes.
//
// Failures throw platform::Exception carrying the Cocoa file error of the errno (cocoaFileError).
// Nothing here follows the final symbolic link of an item it is asked about, except where said:
// a link is listed, copied, moved and removed as a link.
#pragma once

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class FileManager;

/// The questions a file manager asks before each item of a copy, move, removal or link, and after
/// each failed item. Defaults: go ahead; do not go on after an error.
class FileManagerDelegate {
public:
    virtual ~FileManagerDelegate() = default;
    virtual bool shouldCopyItemAtURL(FileManager&, const URL& /*src*/, const URL& /*dst*/) { return true; }
    virtual bool shouldMoveItemAtURL(FileManager&, const URL& /*src*/, const URL& /*dst*/) { return true; }
    virtual bool shouldRemoveItemAtURL(FileManager&, const URL& /*url*/) { return true; }
    virtual bool shouldLinkItemAtURL(FileManager&, const URL& /*src*/, const URL& /*dst*/) { return true; }
    virtual bool shouldProceedAfterErrorCopyingItemAtURL(FileManager&, const ErrorRef&, const URL&, const URL&) {
        return false;
    }
    virtual bool shouldProceedAfterErrorMovingItemAtURL(FileManager&, const ErrorRef&, const URL&, const URL&) {
        return false;
    }
    virtual bool shouldProceedAfterErrorRemovingItemAtURL(FileManager&, const ErrorRef&, const URL&) { return false; }
    virtual bool shouldProceedAfterErrorLinkingItemAtURL(FileManager&, const ErrorRef&, const URL&, const URL&) {
        return false;
    }
};

/// The platform's search-path directories, with their raw values.
enum class SearchPathDirectory : int { library = 5, documents = 9, caches = 13, applicationSupport = 14 };
enum class SearchPathDomainMask : unsigned { userDomainMask = 1 };

class FileManager : public std::enable_shared_from_this<FileManager> {
public:
    static std::shared_ptr<FileManager> make();
    /// The process-wide manager (FileManager.default).
    static std::shared_ptr<FileManager> defaultManager();

    /// Held weakly.
    std::shared_ptr<FileManagerDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<FileManagerDelegate>& delegate);

    // --- Listing --------------------------------------------------------------------------------
    /// One level, hidden names included, unsorted: each entry as the directory's absolute URL with
    /// the name appended.
    std::vector<URL> contentsOfDirectory(const URL& url) const;
    /// The names in the directory at `path`, one level, hidden ones included.
    std::vector<std::string> contentsOfDirectory(const std::string& atPath) const;

    struct EnumerationOptions {
        bool skipsSubdirectoryDescendants = false;
        /// Linux has no packages; kept so callers say what they mean.
        bool skipsPackageDescendants = false;
        bool skipsHiddenFiles = false;
    };
    /// A depth-first walk below a directory. Folders are entered, links to folders are not.
    class DirectoryEnumerator {
    public:
        /// The next item, no value at the end. A folder that cannot be read is reported to the
        /// error handler; its answer true goes on with the rest, false ends the walk.
        std::optional<URL> nextObject();
        /// Do not enter the folder nextObject() gave last.
        void skipDescendants();

    private:
        friend class FileManager;
        struct Frame {
            URL directory;
            std::vector<std::string> names;
            std::size_t next = 0;
        };
        bool enter(const URL& directory);

        EnumerationOptions options_;
        std::function<bool(const URL&, const ErrorRef&)> errorHandler_;
        std::vector<Frame> stack_;
        std::optional<URL> pendingDirectory_;
        bool ended_ = false;
    };
    /// No enumerator when `url` is not a readable folder.
    std::unique_ptr<DirectoryEnumerator> enumerator(
        const URL& url, EnumerationOptions options,
        std::function<bool(const URL& url, const ErrorRef& error)> errorHandler) const;

    // --- Changes ----------------------------------------------------------------------------------
    /// An existing folder is no failure.
    void createDirectory(const URL& url, bool withIntermediateDirectories) const;
    /// Copies an item (a folder with everything below it) into a hidden sibling of `dst` first and
    /// moves it into place only when complete. `replacing` false fails with fileWriteFileExists when
    /// `dst` exists; true swaps the finished copy in for it. The delegate is asked before each item
    /// (a refused folder is skipped whole) and after each failed one below the top. Returns false
    /// when the delegate refused the top item (nothing was done).
    bool copyItem(const URL& src, const URL& dst, bool replacing = false);
    /// A rename, or a copy and removal across file systems; `replacing` as for copyItem. Returns
    /// false when the delegate refused.
    bool moveItem(const URL& src, const URL& dst, bool replacing = false);
    /// Removes an item and everything below it; the delegate is asked before each item. Returns
    /// false when the delegate refused the top item.
    bool removeItem(const URL& url);
    void createSymbolicLink(const std::string& atPath, const std::string& withDestinationPath) const;
    void createSymbolicLink(const URL& at, const URL& withDestinationURL) const;
    std::string destinationOfSymbolicLink(const std::string& atPath) const;

    /// Writes `data` to a file. `atomically`: through a temporary file renamed into place, so
    /// readers see the old or the new bytes, never a part. `replacing` false refuses an existing
    /// file (fileWriteFileExists).
    static void write(const Data& data, const URL& url, bool atomically, bool replacing = true);

    // --- Questions ------------------------------------------------------------------------------
    /// Whether an item (a link counts, also a dangling one) is at the file URL; throws
    /// fileReadNoSuchFile otherwise, fileReadUnsupportedScheme for a URL that is not a file URL.
    static bool checkResourceIsReachable(const URL& url);
    /// Linux has no promised (not yet downloaded) items: the item itself is its promise.
    static bool checkPromisedItemIsReachable(const URL& url);
    /// True when an item is at the path, without following a final link.
    static bool itemExists(const std::string& path);

    /// The resource values of `keys` (URLResourceKey names) that the file system can tell for the
    /// item; a key it cannot tell is left out. Throws when the item cannot be examined.
    static ValueDictionary resourceValues(const URL& url, const std::vector<std::string>& keys);
    /// The volume values (NSURLVolume…Key) of the file system holding the item.
    static ValueDictionary volumeResourceValues(const URL& url, const std::vector<std::string>& keys);

    /// The user's home folder ($HOME, else the password database).
    static std::string homeDirectoryPath();
    /// The folder for a search-path directory under the XDG base folders; empty for another domain.
    static std::vector<URL> urls(SearchPathDirectory directory, SearchPathDomainMask domainMask);
    /// A per-user folder shared by the programs of an application group: $XDG_DATA_HOME/<identifier>.
    /// No value for an identifier that is not one plain file name.
    static std::optional<URL> containerURL(const std::string& forSecurityApplicationGroupIdentifier);

private:
    FileManager() = default;
    void copyTree(const std::string& src, const std::string& dst, const URL& srcURL, const URL& logicalDst,
                  bool top);
    void removeTree(const std::string& path, const URL& url);

    mutable std::mutex mutex_;
    std::weak_ptr<FileManagerDelegate> delegate_;
};

} // namespace platform
