// RiridOzizevud provider interfaces: the capability family every file provider implements, the
// two host delegates, and the shared reports to the main queue.
//
// Shape: each interface is an abstract class; members with default behaviour are virtuals that
// carry it. Interfaces that refine FileProviderBasic inherit it virtually, so a provider that
// offers several capabilities has one FileProviderBasic. A class that offers both ReadWrite and
// ReadWriteProgressive brings both `contents` families into scope with using-declarations, and
// one that overrides a member of an overload set re-exposes the rest the same way, e.g.
//     using FileProviderOperations::copyItem; using FileProviderOperations::moveItem;
//
// Asynchronous members return the operation's Progress (nullptr: not started, for example because
// the operation delegate refused it) and call their completion exactly once, on a provider thread.
// An empty std::function stands for an absent closure.
#pragma once

#include "fileprovider/core/FileObject.hpp"
#include "fileprovider/core/FileOperationType.hpp"
#include "platform/text/CharacterSet.hpp"
#include "platform/base/Error.hpp"
#include "platform/media/Geometry.hpp"
#include "platform/data/Predicate.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class DispatchQueue;
class OperationQueue;
class Progress;
class UndoManager;
class URLSession;
class URLCache;
class URLResponse;
class Image;
} // namespace platform

namespace RiridOzizevud {

using platform::Data;
using platform::ErrorRef;
using ProgressRef = std::shared_ptr<platform::Progress>;

/// An absent completion stands for one that does nothing.
template <class... A>
std::function<void(A...)> orNothing(std::function<void(A...)> f) {
    if (!f) f = [](A...) {};
    return f;
}

/// A simple completion: the operation's error, or nullptr on success.
using SimpleCompletionHandler = std::function<void(ErrorRef)>;
using FilesCompletionHandler = std::function<void(std::vector<FileObjectRef> files, ErrorRef error)>;
using FileCompletionHandler = std::function<void(FileObjectRef file, ErrorRef error)>;
using FoundItemHandler = std::function<void(FileObjectRef file)>;
using DataCompletionHandler = std::function<void(std::optional<Data> contents, ErrorRef error)>;
using ResponseHandler = std::function<void(std::shared_ptr<const platform::URLResponse> response)>;
/// One received piece of a streamed read and the file position it starts at.
using ProgressDataHandler = std::function<void(int64_t position, const Data& data)>;

/// Space and "/": what path trimming removes from both ends.
const platform::CharacterSet& pathTrimCharacterSet();

class FileProviderOperations;
class FileProviderDelegate;
class FileOperationDelegate;

class FileProviderBasic : public std::enable_shared_from_this<FileProviderBasic> {
public:
    virtual ~FileProviderBasic() = default;

    /// The provider kind's name. Each provider class also offers it class-wide as a static
    /// `staticType()`, and answers that here.
    virtual std::string type() const = 0;
    virtual std::optional<platform::URL> baseURL() const = 0;
    virtual std::shared_ptr<platform::DispatchQueue> dispatch_queue() const = 0;
    virtual void setDispatch_queue(std::shared_ptr<platform::DispatchQueue> queue) = 0;
    virtual std::shared_ptr<platform::OperationQueue> operation_queue() const = 0;
    virtual void setOperation_queue(std::shared_ptr<platform::OperationQueue> queue) = 0;
    /// Held weakly: a released host object receives nothing.
    virtual std::shared_ptr<FileProviderDelegate> delegate() const = 0;
    virtual void setDelegate(const std::shared_ptr<FileProviderDelegate>& delegate) = 0;
    virtual std::optional<platform::URLCredential> credential() const = 0;
    virtual void setCredential(std::optional<platform::URLCredential> credential) = 0;

    virtual void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) = 0;
    virtual void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) = 0;
    virtual void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) = 0;

    /// Entries whose name begins with `query`, letter case ignored ("name BEGINSWITH[c] %@").
    virtual ProgressRef searchFiles(const std::string& path, bool recursive, const std::string& query,
                                    FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler);
    /// The search itself: `query` is evaluated against each candidate's predicateAttributes().
    virtual ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                    FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) = 0;

    /// url(of:): the path percent-encoded (path characters less ":"), every leading "/" and every
    /// dot segment removed, relative to the base URL; it never leaves the base. Without a base,
    /// the encoded path as a URL (leading "/" kept), else "/".
    virtual platform::URL url(const std::string& of) const;
    /// The path of `url` relative to the base URL, decoded once, without a leading "/".
    virtual std::string relativePathOf(const platform::URL& url) const;
    virtual void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) = 0;

    /// "<type> provider[ - <base URL>][ - \"<user>\"]".
    virtual std::string debugDescription() const;

    /// maxConcurrentOperationCount of operation_queue.
    int maximumOperationTasks() const;
    void setMaximumOperationTasks(int count);

    /// A path in the directory of `filePath` whose file name no entry there has yet ("report 2.txt").
    /// Lists the directory and waits at most `timeout` seconds (5 by default) for the listing; must
    /// not be called on a queue that the listing's completion needs.
    std::string fileByUniqueName(const std::string& filePath, double timeout = 5.0);
};

/// Same object; else same dynamic class, type, base URL and credential.
bool operator==(const FileProviderBasic& lhs, const FileProviderBasic& rhs);

class FileProviderBasicRemote : public virtual FileProviderBasic {
public:
    virtual std::shared_ptr<platform::URLSession> session() = 0;
    virtual std::shared_ptr<platform::URLCache> cache() const = 0;
    virtual bool useCache() const = 0;
    virtual void setUseCache(bool useCache) = 0;
    virtual bool validatingCache() const = 0;
    virtual void setValidatingCache(bool validatingCache) = 0;
};

class FileProviderOperations : public virtual FileProviderBasic {
public:
    /// Held weakly; asked before every operation starts.
    virtual std::shared_ptr<FileOperationDelegate> fileOperationDelegate() const = 0;
    virtual void setFileOperationDelegate(const std::shared_ptr<FileOperationDelegate>& delegate) = 0;

    /// Makes the folder `folder` inside the directory `at`.
    virtual ProgressRef create(const std::string& folder, const std::string& at,
                               SimpleCompletionHandler completionHandler) = 0;
    /// Overwrite false.
    virtual ProgressRef moveItem(const std::string& path, const std::string& to,
                                 SimpleCompletionHandler completionHandler);
    virtual ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite,
                                 SimpleCompletionHandler completionHandler) = 0;
    /// Overwrite false.
    virtual ProgressRef copyItem(const std::string& path, const std::string& to,
                                 SimpleCompletionHandler completionHandler);
    virtual ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite,
                                 SimpleCompletionHandler completionHandler) = 0;
    virtual ProgressRef removeItem(const std::string& path, SimpleCompletionHandler completionHandler) = 0;
    /// Upload, overwrite false.
    virtual ProgressRef copyItem(const platform::URL& localFile, const std::string& to,
                                 SimpleCompletionHandler completionHandler);
    virtual ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                                 SimpleCompletionHandler completionHandler) = 0;
    /// Download to a local file URL.
    virtual ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL,
                                 SimpleCompletionHandler completionHandler) = 0;
};

class FileProviderReadWrite : public virtual FileProviderBasic {
public:
    /// The whole file (offset 0, length -1).
    virtual ProgressRef contents(const std::string& path, DataCompletionHandler completionHandler);
    /// `length` -1 reads to the end of the file.
    virtual ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                                 DataCompletionHandler completionHandler) = 0;
    /// Not atomically, no overwrite.
    virtual ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents,
                                      SimpleCompletionHandler completionHandler);
    /// No overwrite.
    virtual ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically,
                                      SimpleCompletionHandler completionHandler);
    /// writeContents(path:contents:overwrite:completionHandler:), not atomically (named apart: its
    /// arguments are those of the atomically form).
    virtual ProgressRef writeContentsOverwrite(const std::string& path, const std::optional<Data>& contents,
                                               bool overwrite, SimpleCompletionHandler completionHandler);
    virtual ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically,
                                      bool overwrite, SimpleCompletionHandler completionHandler) = 0;
};

class FileProviderReadWriteProgressive {
public:
    virtual ~FileProviderReadWriteProgressive() = default;
    /// Offset 0, length -1, no response closure.
    virtual ProgressRef contents(const std::string& path, ProgressDataHandler progressHandler,
                                 SimpleCompletionHandler completionHandler);
    /// Offset 0, length -1.
    virtual ProgressRef contents(const std::string& path, ResponseHandler responseHandler,
                                 ProgressDataHandler progressHandler, SimpleCompletionHandler completionHandler);
    /// Streamed ranged read: the response once, then each received piece with its position.
    virtual ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                                 ResponseHandler responseHandler, ProgressDataHandler progressHandler,
                                 SimpleCompletionHandler completionHandler) = 0;
};

class FileProviderMonitor : public virtual FileProviderBasic {
public:
    virtual void registerNotifcation(const std::string& path, std::function<void()> eventHandler) = 0;
    virtual void unregisterNotifcation(const std::string& path) = 0;
    virtual bool isRegisteredForNotification(const std::string& path) = 0;
};

class FileProvideUndoable : public virtual FileProviderOperations {
public:
    /// nullptr disables recording.
    virtual std::shared_ptr<platform::UndoManager> undoManager() const = 0;
    virtual void setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) = 0;
    /// The operation under "KelOperationTypeKey" of the progress's user information, when undoable.
    virtual bool canUndo(const ProgressRef& handle) const;
    /// True for create, copy, move and link.
    virtual bool canUndo(const FileOperationType& operation) const;

    /// Records the inverse of a succeeded operation as one undo group named by the operation's
    /// actionDescription. Nothing without an undo manager or for modify, remove and fetch.
    void _registerUndo(const FileOperationType& operation);
    /// Makes an undo manager with 10 levels when none is set.
    void setupUndoManager();
};

class FileProviderSharing {
public:
    virtual ~FileProviderSharing() = default;
    virtual void publicLink(const std::string& to,
                            std::function<void(std::optional<platform::URL> link, FileObjectRef attribute,
                                               std::optional<platform::Date> expiration, ErrorRef error)>
                                completionHandler) = 0;
};

class FileProviderSymbolicLink {
public:
    virtual ~FileProviderSymbolicLink() = default;
    /// create(symbolicLink:withDestinationPath:) (named apart from the folder form of the same shape).
    virtual void createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                                    SimpleCompletionHandler completionHandler) = 0;
    virtual void destination(const std::string& ofSymbolicLink, FileCompletionHandler completionHandler) = 0;
};

class ExtendedFileProvider : public virtual FileProviderBasic {
public:
    using PropertiesCompletionHandler =
        std::function<void(platform::ValueDictionary propertiesDictionary, std::vector<std::string> keys, ErrorRef error)>;
    using ThumbnailCompletionHandler = std::function<void(std::shared_ptr<platform::Image> image, ErrorRef error)>;

    virtual bool propertiesOfFileSupported(const std::string& path) = 0;
    virtual ProgressRef propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) = 0;
    virtual bool thumbnailOfFileSupported(const std::string& path) = 0;
    /// The provider's default dimension.
    virtual ProgressRef thumbnailOfFile(const std::string& path, ThumbnailCompletionHandler completionHandler);
    /// No dimension: the provider's default size.
    virtual ProgressRef thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                        ThumbnailCompletionHandler completionHandler) = 0;
};

/// The composition that reads, writes and operates.
class FileProvider : public virtual FileProviderOperations, public virtual FileProviderReadWrite {};

/// Implemented by the host; every call arrives on the main queue.
class FileProviderDelegate {
public:
    virtual ~FileProviderDelegate() = default;
    virtual void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                        const FileOperationType& operation) = 0;
    virtual void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                     const FileOperationType& operation, const ErrorRef& error) = 0;
    /// The fraction done (0 to 1) of a running transfer.
    virtual void fileProviderProgress(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                      const FileOperationType& operation, float progress) = 0;
};

/// Implemented by the host; asked synchronously on the caller's thread.
class FileOperationDelegate {
public:
    virtual ~FileOperationDelegate() = default;
    /// False: the operation does not start and its call returns nullptr.
    virtual bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                         const FileOperationType& operation) = 0;
    /// One item of a multi-item operation failed; true goes on with the next item.
    virtual bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                           const ErrorRef& afterError, const FileOperationType& operation) = 0;
};

/// Posts one block to the main queue that tells the provider's delegate (read when the block
/// runs) of the operation's success, or of its failure with `error`. Returns at once.
void notifyOperationResult(const std::shared_ptr<FileProviderOperations>& fileProvider,
                           const FileOperationType& operation, const ErrorRef& error);
/// Posts one block to the main queue that reports the fraction done to the provider's delegate
/// (read when the block runs). Never calls the delegate on the calling thread.
void notifyOperationProgress(const std::shared_ptr<FileProviderOperations>& fileProvider,
                             const FileOperationType& operation, double progress);

/// Progress user-information form of an operation (it is stored under "KelOperationTypeKey"):
/// a dictionary with "type", "source" and, for two-path operations, "dest".
platform::Value progressValue(const FileOperationType& operation);
/// The operation back from that form (or from its JSON text); no value for anything else.
std::optional<FileOperationType> operationFromProgressValue(const platform::Value& value);

} // namespace RiridOzizevud
