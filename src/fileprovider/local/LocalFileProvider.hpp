// RiridOzizevud::LocalFileProvider — the provider interface over a local folder. Listing,
// attributes, search and reads answer on dispatch_queue; every changing operation runs through one
// runner on operation_queue (or under file coordination when isCoorinating is on) and answers on
// dispatch_queue; the delegate hears of results on the main queue.
//
// Paths are relative to the base folder and never reach above it: url(of:) resolves dot segments
// inside the base, and a changing operation whose path climbs above the base is refused.
//
// Subclasses (the iCloud provider) pass their type label to the constructor, call didInitialize()
// from their make(), and reuse the runner through doOperation.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "fileprovider/core/ProviderSettings.hpp"
#include "fileprovider/local/LocalFileMonitor.hpp"
#include "fileprovider/local/LocalFileObject.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/data/KeyedArchive.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

class LocalFileProviderManagerDelegate;

class LocalFileProvider : public FileProvider,
                          public FileProviderMonitor,
                          public FileProvideUndoable,
                          public FileProviderSymbolicLink,
                          public ExtendedFileProvider,
                          public StoredSettings {
public:
    using FileProviderBasic::searchFiles;
    using FileProviderOperations::copyItem;
    using FileProviderOperations::moveItem;
    using FileProviderReadWrite::contents;
    using FileProviderReadWrite::writeContents;
    using FileProvideUndoable::canUndo;
    using ExtendedFileProvider::thumbnailOfFile;

    static std::string staticType() { return "Local"; }
    /// The text of the error a base URL that is not a file URL gives.
    static constexpr const char* remoteURLMessage = "Cannot initialize a Local provider from remote URL.";

    /// init(baseURL:): the base becomes a folder URL of the same path. A URL that is not a file URL
    /// throws platform::Exception (CocoaError fileReadUnsupportedScheme, remoteURLMessage).
    static std::shared_ptr<LocalFileProvider> make(const platform::URL& baseURL);
    /// init(for:in:): the first folder of the search path; throws when there is none.
    static std::shared_ptr<LocalFileProvider> make(platform::SearchPathDirectory directory,
                                                   platform::SearchPathDomainMask domainMask);
    /// init(sharedContainerId:directory:): a folder of the application group's container
    /// (library "Library", documents "Documents", caches "Library/Caches", application support
    /// "Library/Application support"), made when missing, with coordination on. nullptr when there
    /// is no container for the identifier.
    static std::shared_ptr<LocalFileProvider> make(const std::string& sharedContainerId,
                                                   platform::SearchPathDirectory directory);
    /// init(coder:): "baseURL" and "isCoorinating". Without "baseURL" throws platform::Exception
    /// (CocoaError coderValueNotFound, "Base URL is not set.").
    static std::shared_ptr<LocalFileProvider> make(const platform::KeyedUnarchiver& coder);
    /// encode(with:): "baseURL" and "isCoorinating", nothing else.
    virtual void encode(platform::KeyedArchiver& coder) const;
    static bool supportsSecureCoding() { return true; }
    /// copy(with:): always a LocalFileProvider on the same base, sharing the undo manager and both
    /// delegates, with the same isCoorinating; no credential, its own queues and monitors.
    virtual std::shared_ptr<LocalFileProvider> copy() const;

    ~LocalFileProvider() override;

    // --- Stored state ---
    std::string type() const override { return type_; }
    std::optional<platform::URL> baseURL() const override { return baseURL_; }
    void setDispatch_queue(std::shared_ptr<platform::DispatchQueue> queue) override;
    void setOperation_queue(std::shared_ptr<platform::OperationQueue> queue) override;
    std::shared_ptr<platform::FileManager> fileManager() const { return fileManager_; }
    /// The file manager of the changing operations; its delegate asks fileOperationDelegate.
    std::shared_ptr<platform::FileManager> opFileManager() const { return opFileManager_; }
    std::shared_ptr<platform::UndoManager> undoManager() const override;
    void setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) override;
    virtual bool isCoorinating() const { return isCoorinating_.load(); }
    virtual void setIsCoorinating(bool coordinating) { isCoorinating_.store(coordinating); }

    // --- Listing, attributes, search, reachability ---
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    /// No entry and the file error when the item cannot be examined (missing, not accessible).
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    /// The completion is called once, with the matches in walk order (also after cancellation) and
    /// the first error of the walk: a folder that cannot be searched, or one below it that could not
    /// be read (the walk goes on past it).
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;
    /// The decoded path of `url` below the base, without a leading "/"; a URL outside the base
    /// comes back as its absolute string.
    std::string relativePathOf(const platform::URL& url) const override;

    // --- File operations ---
    ProgressRef create(const std::string& folder, const std::string& at, SimpleCompletionHandler completionHandler) override;
    /// Overwrite true replaces an item at `to`; the old one goes only once the new one is in place.
    ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef removeItem(const std::string& path, SimpleCompletionHandler completionHandler) override;
    /// Upload of a local file; a folder is refused with URLError fileIsDirectory, as every provider does.
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    /// An existing file at `toLocalURL` is never replaced (the copy fails).
    ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL,
                         SimpleCompletionHandler completionHandler) override;

    // --- Reading and writing ---
    /// The whole file.
    ProgressRef contents(const std::string& path, DataCompletionHandler completionHandler) override;
    /// Up to `length` bytes from `offset` (a negative length: to the end). An offset outside the
    /// file fails with fileReadTooLarge, a missing file with fileNoSuchFile.
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                         DataCompletionHandler completionHandler) override;
    /// nullptr, with fileWriteFileExists through the completion, when an item is there and
    /// overwrite is false.
    ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically,
                              bool overwrite, SimpleCompletionHandler completionHandler) override;

    // --- Monitoring ---
    void registerNotifcation(const std::string& path, std::function<void()> eventHandler) override;
    /// Paths compare with "/" trimmed from both ends, as isRegisteredForNotification does.
    void unregisterNotifcation(const std::string& path) override;
    bool isRegisteredForNotification(const std::string& path) override;
    std::vector<std::shared_ptr<LocalFileMonitor>> monitors() const;

    // --- Symbolic links ---
    /// The link holds the absolute path of the destination inside the base.
    void createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                            SimpleCompletionHandler completionHandler) override;
    /// The entry the link points to (a relative link resolved from the link's folder); nil when
    /// nothing is there; an error when it points outside the base.
    void destination(const std::string& ofSymbolicLink, FileCompletionHandler completionHandler) override;

    // --- Thumbnails and properties (LocalFileInformationGenerator) ---
    bool propertiesOfFileSupported(const std::string& path) override;
    ProgressRef propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) override;
    bool thumbnailOfFileSupported(const std::string& path) override;
    ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                ThumbnailCompletionHandler completionHandler) override;

protected:
    /// Validates and keeps the base; `type` labels the queues ("FileProvider." + type).
    LocalFileProvider(const platform::URL& baseURL, std::string type);
    /// Installs the file manager's delegate; every make() calls it once the object is shared.
    void didInitialize();

    /// The runner: the operation's paths are provider paths, except a "file://" source of an
    /// upload (forUploading) and a "file://" destination of a copy that is no upload (a download).
    virtual ProgressRef doOperation(const FileOperationType& operation, const std::optional<Data>& data, bool overwrite,
                                    bool atomically, bool forUploading, SimpleCompletionHandler completionHandler);

    struct Target {
        platform::URL source;
        std::optional<platform::URL> destination;
        /// Whether an existing destination item is swapped out (copy, move, new file).
        bool replacing = false;
        /// Whether the operation is recorded for undo (not for downloads out of the base).
        bool undoable = true;
    };
    ProgressRef runOperation(const FileOperationType& operation, const Target& target, const std::optional<Data>& data,
                             bool overwrite, bool atomically, bool forUploading, SimpleCompletionHandler completionHandler);

private:
    std::shared_ptr<LocalFileProvider> self() const;
    void fail(const FileOperationType& operation, const ErrorRef& error, SimpleCompletionHandler completionHandler);
    void work(const FileOperationType& operation, const Target& target, const std::optional<Data>& data, bool atomically,
              const ProgressRef& progress, const ErrorRef& coordinationError, SimpleCompletionHandler completionHandler);
    void runRead(const platform::URL& url, std::function<void(ErrorRef coordinationError)> task);

    const std::string type_;
    const std::optional<platform::URL> baseURL_;
    const std::shared_ptr<platform::FileManager> fileManager_;
    const std::shared_ptr<platform::FileManager> opFileManager_;
    std::atomic<bool> isCoorinating_{false};

    mutable std::mutex mutex_;
    std::shared_ptr<LocalFileProviderManagerDelegate> fileProviderManagerDelegate_;
    std::vector<std::shared_ptr<LocalFileMonitor>> monitors_;
};

} // namespace RiridOzizevud
