// RiridOzizevud::HTTPFileProvider — the base of every provider that talks HTTP (WebDAV, Dropbox,
// OneDrive). It owns the normalised base URL, the provider's queues, credential and cache settings,
// one lazily made URL session whose delegate is a SessionDelegate, a long-poll session, the undo
// manager and the two delegates; it runs one-request operations, paged listings, uploads, downloads
// and ranged reads on top of the two members every subclass writes: request(for:overwrite:attributes:)
// and serverError(with:path:data:).
//
// Rules that hold for every operation here:
// - Every final HTTP status of 300 or more is an error (the subclass's error value; statuses without
//   a case in FileProviderHTTPErrorCode keep their number), except a 207 that multiStatusError lets pass.
// - A completion is called exactly once, except when the operation delegate refuses an operation
//   (nullptr returned, nothing called). Completions and table handlers run on operation_queue.
// - Releasing the provider fails the completions still waiting in the handler tables with URLError
//   cancelled (on operation_queue) and ends the session as fileProviderCancelTasksOnInvalidating says.
// - A member a subclass forgot answers an error naming it (through the completion) instead of
//   stopping the process.
// - A file never takes a folder's place: writes, uploads, copies and moves with overwrite read
//   their target first (afterOverwriteCheck) and are refused, nothing sent, when it is a folder.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "fileprovider/core/ProviderSettings.hpp"
#include "platform/dispatch/Guarded.hpp"
#include "fileprovider/core/FileProviderHTTPError.hpp"
#include "fileprovider/core/ServerTrustPolicy.hpp"
#include "fileprovider/core/SessionDelegate.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/data/KeyedArchive.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/net/Stream.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLSession.hpp"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace platform {
class PlacementFile;
class UndoManager;
}

namespace RiridOzizevud {

/// How a released provider ends its URL session: true (the default) cancels its running tasks,
/// false lets them finish.
extern std::atomic<bool> fileProviderCancelTasksOnInvalidating;

/// A session configuration that judges TLS servers as `policy` says: disableEvaluation accepts any
/// chain; performDefaultEvaluation verifies the chain, and the host name when validateHost. For a
/// session made with it and installed with HTTPFileProvider::setSession.
void applyServerTrustPolicy(const ServerTrustPolicy& policy, platform::URLSessionConfiguration& configuration);

/// The completion of the cache check's HEAD: with an HTTP answer, `matched` becomes whether its
/// "ETag" equals `eTag` or its "Last-Modified" equals `lastModified` (each compared only when
/// present); without one `matched` stays. Leaves `group` always.
void responseHeaderMatches(const std::shared_ptr<const platform::URLResponse>& response,
                           const std::optional<std::string>& eTag, const std::optional<std::string>& lastModified,
                           std::atomic<bool>& matched, platform::DispatchGroup& group);

/// The error of a member a subclass must write: "HTTPFileProvider is an abstract class. Please
/// implement <member> in subclass." (CocoaError featureUnsupported with that description).
ErrorRef abstractMemberError(const std::string& member);

class HTTPFileProvider : public virtual FileProviderBasicRemote,
                         public FileProvider,
                         public FileProvideUndoable,
                         public FileProviderReadWriteProgressive,
                         public StoredSettings {
public:
    using FileProviderBasic::searchFiles;
    using FileProviderOperations::copyItem;
    using FileProviderOperations::moveItem;
    using FileProviderReadWrite::contents;
    using FileProviderReadWrite::writeContents;
    using FileProviderReadWriteProgressive::contents;
    using FileProvideUndoable::canUndo;

    ~HTTPFileProvider() override;

    // --- FileProviderBasic ---
    std::string type() const override { return type_; }
    std::optional<platform::URL> baseURL() const override { return baseURL_; }
    /// Also the credential the session delegate answers later challenges with.
    void setCredential(std::optional<platform::URLCredential> credential) override;

    // Written by the subclass; the base answers the abstract-member error through the completion.
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;

    /// (true, nil) when the storage query yields a volume or the root listing succeeds; else false
    /// with the listing's error.
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    // --- FileProviderBasicRemote ---
    /// Made on first use (thread-safe): a SessionDelegate, operation_queue as delegate queue, the
    /// cache, a UUID description with empty entries in the four handler tables.
    std::shared_ptr<platform::URLSession> session() override;
    /// Installs a session made elsewhere (a description is given when it has none).
    void setSession(std::shared_ptr<platform::URLSession> session);
    /// A second session (request time-out 600 s, no delegate) for answers that take long.
    std::shared_ptr<platform::URLSession> longpollSession();
    std::shared_ptr<SessionDelegate> sessionDelegate() const;
    std::shared_ptr<platform::URLCache> cache() const override;
    void setCache(std::shared_ptr<platform::URLCache> cache);
    bool useCache() const override;
    void setUseCache(bool useCache) override;
    bool validatingCache() const override;
    void setValidatingCache(bool validatingCache) override;

    // --- FileProviderOperations ---
    /// A create of `at`/`folder` + "/".
    ProgressRef create(const std::string& folder, const std::string& at, SimpleCompletionHandler completionHandler) override;
    ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef removeItem(const std::string& path, SimpleCompletionHandler completionHandler) override;
    /// Upload of a regular local file (another kind: URLError fileIsDirectory, later, on dispatch_queue).
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    /// Download into `toLocalURL`; an existing file there is never replaced (the copy fails).
    ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL,
                         SimpleCompletionHandler completionHandler) override;

    // --- FileProviderReadWrite / Progressive ---
    /// The bytes of the range: a 206 answer, or a 200 when no Range was sent (a 200 to a ranged
    /// request is cut to the range). Length 0 or a negative offset: empty data, no request.
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                         DataCompletionHandler completionHandler) override;
    ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically, bool overwrite,
                              SimpleCompletionHandler completionHandler) override;
    /// Each piece with its file position; an error status fails the read instead of passing its page
    /// off as the file. Length 0 reads the whole file; a negative offset fails (EINVAL).
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length, ResponseHandler responseHandler,
                         ProgressDataHandler progressHandler, SimpleCompletionHandler completionHandler) override;

    // --- FileProvideUndoable ---
    std::shared_ptr<platform::UndoManager> undoManager() const override;
    void setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) override;

    // --- Archiving ---
    /// "baseURL", "credential" (a nested archive: "user", "password", "persistence"), "useCache",
    /// "validatingCache". Subclasses add their own keys.
    virtual void encode(platform::KeyedArchiver& coder) const;
    /// The credential written by encode.
    static std::optional<platform::URLCredential> decodeCredential(const platform::KeyedUnarchiver& coder);

    // --- What subclasses write ---
    /// The complete request for an operation. The base throws platform::Exception with the
    /// abstract-member error; callers turn it into the operation's error.
    virtual platform::URLRequest request(const FileOperationType& operation, bool overwrite,
                                         const platform::ValueDictionary& attributes);
    /// The subclass's error for a status case, the item's path and the answer's body. The base
    /// answers a plain FileProviderHTTPError of the provider's type.
    virtual std::shared_ptr<const FileProviderHTTPError> serverError(FileProviderHTTPErrorCode code,
                                                                     const std::optional<std::string>& path,
                                                                     const std::optional<Data>& data);
    /// Any status number, cased or not: the cased ones go to the form above; the others get a
    /// FileProviderHTTPError that keeps the number.
    virtual std::shared_ptr<const FileProviderHTTPError> serverError(int statusCode, const std::optional<std::string>& path,
                                                                     const std::optional<Data>& data);
    /// Per-item errors of a 207 answer; the base answers none.
    virtual std::shared_ptr<const FileProviderHTTPError> multiStatusError(const FileOperationType& operation, const Data& data);

    /// The largest body one upload request may carry.
    virtual int64_t maxUploadSimpleSupported() const { return std::numeric_limits<int64_t>::max(); }

    // --- Request engine ---
    /// One operation as one data task; nullptr only when the operation delegate refuses it.
    virtual ProgressRef doOperation(const FileOperationType& operation, bool overwrite, ProgressRef progress,
                                    SimpleCompletionHandler completionHandler);

    /// A page: its files, an error, and the token of the next page (none: the last page).
    using Page = std::tuple<std::vector<FileObjectRef>, ErrorRef, std::optional<std::string>>;
    using PageRequestHandler = std::function<std::optional<platform::URLRequest>(const std::optional<std::string>& token)>;
    using PageHandler = std::function<Page(const std::optional<Data>& data, const ProgressRef& progress)>;
    /// Sends `request` as a data task of the session (described by the operation's JSON), from
    /// dispatch_queue. With useCache (read at the call) the cache answers instead when
    /// answerFromCache says so; the completion then runs on dispatch_queue, else on operation_queue.
    virtual void runDataTask(const platform::URLRequest& request, const std::optional<FileOperationType>& operation,
                             platform::URLSession::DataCompletionHandler completionHandler);
    /// Answers `request` from the cache (calling the completion at once, returning true) when the
    /// cache holds an answer and either validatingCache is false and the answer is not stale, or a
    /// HEAD of the same request, awaited up to the session's request time-out, carries the cached
    /// "ETag" or "Last-Modified". Blocks the calling thread meanwhile.
    bool answerFromCache(const platform::URLRequest& request, bool validatingCache,
                         const platform::URLSession::DataCompletionHandler& completionHandler);
    /// The credential that keys this provider's answers in the cache: its own, unless the request
    /// carries an "Authorization" of its own.
    std::optional<platform::URLCredential> cacheCredential(const platform::URLRequest& request) const;

    /// Lists page by page until a page has no token. Ends with an error (and the entries so far) on
    /// a failed page, a missing request, a repeated token or cancellation.
    virtual ProgressRef paginated(const std::string& path, PageRequestHandler requestHandler, PageHandler pageHandler,
                                  FilesCompletionHandler completionHandler);

    // --- Transfer primitives ---
    virtual ProgressRef upload(const std::string& targetPath, const platform::URLRequest& request,
                               std::shared_ptr<platform::InputStream> stream, int64_t size,
                               const FileOperationType& operation, SimpleCompletionHandler completionHandler);
    /// Reads the file under a reading coordination held until its task has ended: a coordinated
    /// writer never changes it while it is being sent. The coordination's failure reaches the
    /// completion later, not before the call returns.
    virtual ProgressRef upload_file(const std::string& targetPath, const platform::URLRequest& request,
                                    const platform::URL& localFile, const FileOperationType& operation,
                                    SimpleCompletionHandler completionHandler);
    virtual void upload_task(const std::string& targetPath, const ProgressRef& progress,
                             const std::shared_ptr<platform::URLSessionTask>& task, const FileOperationType& operation,
                             SimpleCompletionHandler completionHandler);
    /// Download into a temporary file, which the completion may move away (it is removed after).
    virtual ProgressRef download_file(const std::string& path, const platform::URLRequest& request,
                                      const FileOperationType& operation,
                                      std::function<void(std::optional<platform::URL> tempURL, ErrorRef error)> completionHandler);
    virtual ProgressRef download_progressive(const std::string& path, const platform::URLRequest& request,
                                             const FileOperationType& operation, ResponseHandler responseHandler,
                                             std::function<void(const Data& data)> progressHandler,
                                             SimpleCompletionHandler completionHandler);
    virtual ProgressRef download(const std::string& path, const platform::URLRequest& request,
                                 const FileOperationType& operation, ResponseHandler responseHandler,
                                 std::shared_ptr<platform::OutputStream> stream, SimpleCompletionHandler completionHandler);

protected:
    /// `type` names the queues ("FileProvider." + type, and + ".Operation"). The base URL gets a
    /// final "/" when it lacks one.
    HTTPFileProvider(std::string type, std::optional<platform::URL> baseURL,
                     std::optional<platform::URLCredential> credential, std::shared_ptr<platform::URLCache> cache);

    std::shared_ptr<FileProviderOperations> selfOperations();
    std::weak_ptr<HTTPFileProvider> weakSelf();
    /// Labels a progress as every operation's (operation, file kind, downloading).
    static void label(const ProgressRef& progress, const FileOperationType& operation);
    /// Cancellation handler (task held weakly), start time, resume.
    static void start(const ProgressRef& progress, const std::shared_ptr<platform::URLSessionTask>& task);
    /// `start` for a transfer: the task described by its operation, its bytes observed into `progress`.
    void startObserved(const ProgressRef& progress, const std::shared_ptr<platform::URLSessionTask>& task,
                       const FileOperationType& operation, SessionDelegate::ObserveKind kind);
    /// Calls `completion` later on dispatch_queue.
    void later(std::function<void()> completion);
    /// True, with URLError fileDoesNotExist or fileIsDirectory for the completion later on
    /// dispatch_queue (the delegate not told), when `localFile` is no regular file to upload.
    bool refusedAsUploadSource(const platform::URL& localFile, const SimpleCompletionHandler& completionHandler);
    /// Fails an operation later on dispatch_queue: its completion, then the delegate.
    void failLater(const FileOperationType& operation, ErrorRef error, SimpleCompletionHandler completionHandler);
    /// The request for an operation, or the error that making it threw.
    std::optional<platform::URLRequest> makeRequest(const FileOperationType& operation, bool overwrite,
                                                    const platform::ValueDictionary& attributes, ErrorRef& error);
    /// serverError(...) and multiStatusError(...) as called from the session's callbacks: a hook
    /// that throws still gives the operation its error, the exception's.
    ErrorRef guardedServerError(int statusCode, const std::optional<std::string>& path, const std::optional<Data>& data);
    ErrorRef guardedMultiStatusError(const FileOperationType& operation, const Data& data);

    /// What an overwriting operation found at its target before it went.
    struct OverwriteTarget {
        bool absent = false;                   // the server said nothing is there (404)
        std::optional<std::string> entryTag;   // the file's entity tag, quoted (weak ones with "W/")
    };
    /// Reads what is at `target` through attributesOfItem and answers: an error when it is a
    /// folder (cocoaFileError of EISDIR, as the local provider refuses it), cancelled when
    /// `progress` was cancelled meanwhile, else nullptr with what was found.
    void checkOverwriteTarget(const std::string& target, const ProgressRef& progress,
                              std::function<void(ErrorRef refused, OverwriteTarget found)> decided);
    /// The request to send after the check: with nothing there, the subclass's request without
    /// overwrite (what appeared meanwhile is refused by the server); with a file there, a PUT
    /// bound to its strong entity tag ("If-Match"); else `request` as it is. A subclass whose
    /// protocol can bind other requests to their target adds that.
    virtual std::optional<platform::URLRequest> requestAfterCheck(const platform::URLRequest& request, const FileOperationType& operation,
                                                          const platform::ValueDictionary& attributes,
                                                          const OverwriteTarget& found, ErrorRef& error);
    /// Sends an operation that may replace what is at `target`: without `overwrite` at once, else
    /// after checkOverwriteTarget, with requestAfterCheck's request. A refusal cancels `progress`,
    /// goes to the completion and to the delegate; nothing is sent then.
    void afterOverwriteCheck(const std::string& target, bool overwrite, const platform::URLRequest& request,
                             const FileOperationType& operation, const platform::ValueDictionary& attributes,
                             const ProgressRef& progress, const SimpleCompletionHandler& completionHandler,
                             std::function<void(HTTPFileProvider& self, const platform::URLRequest& request)> send);

private:
    void paginatedPass(const std::string& path, std::optional<std::string> token, ProgressRef progress,
                       std::vector<FileObjectRef> previousResult, std::shared_ptr<std::vector<std::string>> seenTokens,
                       PageRequestHandler requestHandler, PageHandler pageHandler, FilesCompletionHandler completionHandler);
    /// upload_file's task, made and run while a reading coordination (the one the local provider
    /// takes) holds the file, until the task has ended. The coordination's failure goes to the
    /// completion alone, as do a provider released or a progress cancelled meanwhile.
    void sendFile(const std::string& targetPath, const platform::URLRequest& request, const platform::URL& localFile,
                  const ProgressRef& progress, const FileOperationType& operation, SimpleCompletionHandler completionHandler);
    /// An upload's progress (its size as total, labelled), or nullptr when the size is refused.
    ProgressRef uploadProgress(const std::string& targetPath, int64_t size, const FileOperationType& operation,
                               const SimpleCompletionHandler& completionHandler);
    ProgressRef refuseSize(const std::string& targetPath, int64_t size, const FileOperationType& operation,
                           const SimpleCompletionHandler& completionHandler);
    /// download_file, written into `into` when given (its location then reads that file).
    ProgressRef downloadTo(const std::string& path, const platform::URLRequest& request, const FileOperationType& operation,
                           std::shared_ptr<platform::PlacementFile> into,
                           std::function<void(std::optional<platform::URL> location, ErrorRef error)> completionHandler);

    const std::string type_;
    const std::optional<platform::URL> baseURL_;

    std::mutex sessionMutex_;  // held while the lazy sessions are made
    platform::Guarded<std::shared_ptr<platform::URLCache>> cache_;
    platform::Guarded<bool> useCache_{false};
    platform::Guarded<bool> validatingCache_{true};
    mutable std::mutex mutex_;  // the sessions below
    std::shared_ptr<platform::URLSession> session_;
    std::shared_ptr<SessionDelegate> sessionDelegate_;
    std::shared_ptr<platform::URLSession> longpollSession_;
};

} // namespace RiridOzizevud
