// RiridOzizevud::FTPFileProvider — the file provider for FTP and FTPS servers ("ftp", "ftps" with
// implicit TLS, "ftpes" with AUTH TLS). Every operation opens a control connection of its own on a
// FileProviderStreamTask, logs in through the session engine (FTPSession), does its work and ends
// with "QUIT"; nothing of a login is kept between operations.
//
// Rules that hold for every operation:
// - A completion is called exactly once, except when the operation delegate refuses an operation
//   (nullptr returned, nothing called). Completions run on dispatch_queue; delegate reports go to
//   the main queue.
// - Commands go out one at a time and every reply is judged; a refused command is an error.
// - A download leaves nothing at its destination unless the whole file arrived.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "fileprovider/core/ProviderSettings.hpp"
#include "platform/dispatch/Guarded.hpp"
#include "fileprovider/core/ServerTrustPolicy.hpp"
#include "fileprovider/core/SessionDelegate.hpp"
#include "fileprovider/ftp/FTPSession.hpp"
#include "platform/data/KeyedArchive.hpp"
#include "platform/dispatch/Progress.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class DispatchQueue;
class OperationQueue;
class UndoManager;
class URLCache;
class URLSession;
} // namespace platform

namespace RiridOzizevud {

class FTPFileProvider : public virtual FileProviderBasicRemote,
                        public FileProvider,
                        public FileProvideUndoable,
                        public FileProviderReadWriteProgressive,
                        public StoredSettings {
public:
    using Mode = FTPSession::Mode;
    using FileProviderBasic::searchFiles;
    using FileProviderOperations::copyItem;
    using FileProviderOperations::moveItem;
    using FileProviderReadWrite::contents;
    using FileProviderReadWrite::writeContents;
    using FileProviderReadWriteProgressive::contents;
    using FileProvideUndoable::canUndo;

    static std::string staticType() { return "FTP"; }

    /// init(baseURL:mode:credential:cache:): nothing for a scheme other than "ftp", "ftps" or
    /// "ftpes" (any letter case) or a URL without host. The base URL gets its default port (990 for
    /// "ftps", else 21) and a final "/".
    static std::shared_ptr<FTPFileProvider> make(const platform::URL& baseURL, Mode mode,
                                                 std::optional<platform::URLCredential> credential,
                                                 std::shared_ptr<platform::URLCache> cache);
    /// init(baseURL:passive:credential:cache:): passive or active mode.
    static std::shared_ptr<FTPFileProvider> make(const platform::URL& baseURL, bool passive,
                                                 std::optional<platform::URLCredential> credential,
                                                 std::shared_ptr<platform::URLCache> cache);
    /// init(coder:): throws "Base URL is not set." (coderValueNotFound) without a base URL.
    static std::shared_ptr<FTPFileProvider> make(const platform::KeyedUnarchiver& coder);
    void encode(platform::KeyedArchiver& coder) const;
    /// copy(with:).
    std::shared_ptr<FTPFileProvider> copy() const;

    ~FTPFileProvider() override;

    // --- FileProviderBasic ---
    std::string type() const override { return staticType(); }
    std::optional<platform::URL> baseURL() const override { return baseURL_; }
    void setCredential(std::optional<platform::URLCredential> credential) override;

    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override;
    virtual void contentsOfDirectory(const std::string& path, bool rfc3659enabled, FilesCompletionHandler completionHandler);
    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override;
    virtual void attributesOfItem(const std::string& path, bool rfc3659enabled, FileCompletionHandler completionHandler);
    /// FTP has no storage figures: always no volume.
    void storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) override;
    ProgressRef searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                            FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) override;
    /// url(of:): the address with the credential's user and password in it, for players that
    /// open FTP URLs themselves. Never logged.
    platform::URL url(const std::string& of) const override;
    std::string relativePathOf(const platform::URL& url) const override;
    void isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) override;

    // --- FileProviderBasicRemote ---
    std::shared_ptr<platform::URLSession> session() override;
    void setSession(std::shared_ptr<platform::URLSession> session);
    std::shared_ptr<platform::URLCache> cache() const override { return cache_; }
    bool useCache() const override { return useCache_.load(); }
    void setUseCache(bool useCache) override { useCache_.store(useCache); }
    bool validatingCache() const override { return validatingCache_.load(); }
    void setValidatingCache(bool validatingCache) override { validatingCache_.store(validatingCache); }

    // --- FTP settings ---
    Mode mode() const { return mode_; }
    bool supportsRFC3659() const { return supportsRFC3659_->load(); }
    void setSupportsRFC3659(bool value) { supportsRFC3659_->store(value); }
    bool uploadByREST() const { return uploadByREST_.load(); }
    void setUploadByREST(bool value) { uploadByREST_.store(value); }
    bool securedDataConnection() const { return securedDataConnection_.load(); }
    void setSecuredDataConnection(bool value) { securedDataConnection_.store(value); }
    ServerTrustPolicy serverTrustPolicy() const;
    void setServerTrustPolicy(ServerTrustPolicy policy);

    // --- FileProviderOperations ---
    ProgressRef create(const std::string& folder, const std::string& at, SimpleCompletionHandler completionHandler) override;
    ProgressRef moveItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef removeItem(const std::string& path, SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                         SimpleCompletionHandler completionHandler) override;
    ProgressRef copyItem(const std::string& path, const platform::URL& toLocalURL,
                         SimpleCompletionHandler completionHandler) override;
    /// create(symbolicLink:withDestinationPath:) with "SITE SYMLINK".
    void createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                            SimpleCompletionHandler completionHandler);

    // --- FileProviderReadWrite / Progressive ---
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length,
                         DataCompletionHandler completionHandler) override;
    ProgressRef writeContents(const std::string& path, const std::optional<Data>& contents, bool atomically, bool overwrite,
                              SimpleCompletionHandler completionHandler) override;
    ProgressRef contents(const std::string& path, int64_t offset, int64_t length, ResponseHandler responseHandler,
                         ProgressDataHandler progressHandler, SimpleCompletionHandler completionHandler) override;

    // --- FileProvideUndoable ---
    std::shared_ptr<platform::UndoManager> undoManager() const override;
    void setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) override;

    /// The absolute server path of a provider path (below the base URL's path, no final "/").
    std::string serverPath(const std::string& path) const;
    /// The session engine for one operation, with the provider's settings as they are now.
    std::shared_ptr<FTPSession> engine();

    /// Lists `path` and every directory below it; each directory's entries go to the handler as
    /// they arrive, then the completion gets them all (or the first error). Runs on a serial queue
    /// labelled type + ".recursiveList".
    ProgressRef recursiveList(const std::string& path, FoundItemHandler foundItemsHandler,
                              FilesCompletionHandler completionHandler);

    struct Token {};
    FTPFileProvider(Token, platform::URL baseURL, Mode mode, std::optional<platform::URLCredential> credential,
                    std::shared_ptr<platform::URLCache> cache);

private:
    struct Operation;
    std::shared_ptr<FTPFileProvider> self() const;
    std::shared_ptr<FileProviderOperations> operations() const;
    /// Asks the operation delegate; makes the progress; logs in on a new control task. With
    /// `mustBeFree`, an item at that path ends the operation with fileWriteFileExists before the login.
    ProgressRef startOperation(const FileOperationType& operation, bool askDelegate,
                               std::function<void(std::shared_ptr<Operation>, ErrorRef)> loggedIn,
                               std::optional<std::string> mustBeFree = std::nullopt);
    /// The operations of one or two commands: log in, send them, judge the replies.
    /// A copy or move without `overwrite` first makes sure nothing is at its destination.
    ProgressRef doOperation(const FileOperationType& operation, bool overwrite, SimpleCompletionHandler completionHandler);
    /// Sends the commands one at a time; "3xx" asks for the next of a pair, "2xx" to the last ends well.
    void sendCommands(const std::shared_ptr<Operation>& op, std::vector<std::string> commands);
    /// What a refused command leads to: another way for a copy or a removal, else the error.
    void whenRefused(const std::shared_ptr<Operation>& op);
    /// The copy the server cannot do: each file downloaded to a temporary file and uploaded from
    /// it; a folder's own folders made first, parents before what they hold.
    void copyThroughLocalFiles(const std::shared_ptr<Operation>& op);
    void copyThroughLocalFile(const std::string& path, const std::string& to, bool overwrite, ProgressRef parent,
                              std::function<void(ErrorRef)> completionHandler);
    void copyFolderThroughLocalFiles(const std::shared_ptr<Operation>& op);
    /// The removal of what may be a directory: "SITE RMDIR", else the whole tree.
    void removeDirectory(const std::shared_ptr<Operation>& op);
    void removeTree(const std::shared_ptr<Operation>& op, const std::string& path);
    void finish(const std::shared_ptr<Operation>& op, ErrorRef error, bool notify = true, bool registerUndo = false);
    void async(std::function<void()> work) const;
    /// Stores the stream at `path` on the operation's connection (by REST chunks when
    /// uploadByREST) and finishes the operation with the result.
    void store(const std::shared_ptr<Operation>& op, const std::string& path, std::shared_ptr<platform::InputStream> stream,
               int64_t size, FTPSession::ProgressHook onProgress);
    /// Retrieves a range of `path` on the operation's connection; each chunk goes to `onData`
    /// (false stops the transfer), then the progress and the delegate hear of it.
    void retrieve(const std::shared_ptr<Operation>& op, const std::string& path, int64_t offset, int64_t length,
                  FTPSession::ChunkHandler onData, std::function<void(ErrorRef)> completionHandler);

    const platform::URL baseURL_;
    const Mode mode_;
    const std::shared_ptr<platform::URLCache> cache_;

    platform::Guarded<ServerTrustPolicy> serverTrustPolicy_{ServerTrustPolicy::performDefaultEvaluation(true)};
    std::mutex sessionMutex_;
    std::shared_ptr<platform::URLSession> session_;
    std::shared_ptr<SessionDelegate> sessionDelegate_;

    std::atomic<bool> useCache_{false};
    std::atomic<bool> validatingCache_{true};
    std::atomic<bool> uploadByREST_{false};
    std::atomic<bool> securedDataConnection_{true};
    const std::shared_ptr<std::atomic<bool>> supportsRFC3659_ = std::make_shared<std::atomic<bool>>(true);
};

} // namespace RiridOzizevud
