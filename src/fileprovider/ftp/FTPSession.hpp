// The FTP session engine: the command exchange, the login dialogue with optional TLS, passive,
// extended-passive and active data connections, and the directory listing exchange. Every step
// runs in a completion of the control connection's stream task and starts the next; each
// completion is called exactly once.
//
// Nothing of a login is kept here: each operation makes its own control connection, logs in, uses
// it and ends it with "QUIT".
#pragma once

#include "fileprovider/core/FileObject.hpp"
#include "fileprovider/core/ServerTrustPolicy.hpp"
#include "fileprovider/ftp/FileProviderStreamTask.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/Stream.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLCredential.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class DispatchQueue;
class URLCache;
class URLSession;
} // namespace platform

namespace RiridOzizevud {

class FTPSession : public std::enable_shared_from_this<FTPSession> {
public:
    enum class Mode { default_, passive, active, extendedPassive };
    static std::string rawValue(Mode mode);
    static std::optional<Mode> modeFromRawValue(const std::string& raw);

    struct Configuration {
        std::optional<platform::URL> baseURL;
        std::optional<platform::URLCredential> credential;
        Mode mode = Mode::default_;
        bool securedDataConnection = true;
        ServerTrustPolicy serverTrustPolicy = ServerTrustPolicy::performDefaultEvaluation(true);
        /// The session the stream tasks are made on; its configuration gives the time-outs and
        /// the trust file.
        std::shared_ptr<platform::URLSession> session;
        /// Failures are reported asynchronously here (a concurrent queue).
        std::shared_ptr<platform::DispatchQueue> dispatch_queue;
        std::string type = "FTP";
        /// Shared with the provider, so a server's "500" to MLSD is remembered past this session.
        std::shared_ptr<std::atomic<bool>> supportsRFC3659;
        /// With useCache, retrieve answers from this cache when it holds the file.
        std::shared_ptr<platform::URLCache> cache;
        bool useCache = false;
    };

    using ReplyHandler = std::function<void(std::optional<std::string> reply, platform::ErrorRef error)>;
    using DataTaskHandler = std::function<void(std::shared_ptr<FileProviderStreamTask> task, platform::ErrorRef error)>;
    using LinesHandler = std::function<void(std::vector<std::string> lines, platform::ErrorRef error)>;

    static std::shared_ptr<FTPSession> make(Configuration configuration);

    const Configuration& configuration() const { return configuration_; }
    bool supportsRFC3659() const { return supportsRFC3659_->load(); }
    void setSupportsRFC3659(bool value) { supportsRFC3659_->store(value); }

    double requestTimeout() const;
    double resourceTimeout() const;
    /// url(of:) on the base URL, without user or password.
    platform::URL url(const std::string& of) const;
    /// The URL of a server path on the base URL's scheme, host and port (the cache's key).
    platform::URL fileURL(const std::string& serverPath) const;
    /// The absolute server path of a provider path: below the base URL's path, no trailing "/".
    std::string serverPath(const std::string& path) const;
    /// A new control connection to the base URL's host and port (21, or 990 for "ftps").
    std::shared_ptr<FileProviderStreamTask> makeControlTask() const;

    /// Writes the command and CR LF, then reads its reply. A command holding CR, LF or NUL is
    /// refused unsent (URLError badURL).
    void sendCommand(const std::string& command, const std::shared_ptr<FileProviderStreamTask>& task, int64_t minLength,
                     std::function<void()> afterSend, ReplyHandler completionHandler);
    /// Reads one whole reply, skipping preliminary ("1xx") replies, after each of which the hook
    /// runs. A reply split over several reads is joined.
    void readReply(platform::ErrorRef writeError, const std::shared_ptr<FileProviderStreamTask>& task, int64_t minLength,
                   std::function<void()> afterSend, ReplyHandler completionHandler);
    /// The login dialogue on a new control task.
    void logIn(const std::shared_ptr<FileProviderStreamTask>& task, std::function<void(platform::ErrorRef)> completionHandler);
    /// A resumed data connection by the configured mode.
    void openDataConnection(const std::shared_ptr<FileProviderStreamTask>& task, DataTaskHandler completionHandler);
    void openActiveDataConnection(const std::shared_ptr<FileProviderStreamTask>& task, DataTaskHandler completionHandler);
    /// "MLSD"/"LIST" of a server path on a logged-in control task: the listing's lines, trimmed.
    void list(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& path, bool useMLSD,
              LinesHandler completionHandler);
    /// Sends "QUIT" and lets the connection go (the reply is not waited for beyond the request time-out).
    void quit(const std::shared_ptr<FileProviderStreamTask>& task);

    using TaskHook = std::function<void(const std::shared_ptr<FileProviderStreamTask>& dataTask)>;
    /// A received piece, the bytes received so far (the piece included) and the expected total (-1:
    /// unknown). False stops the transfer with an error (the receiver could not keep the bytes).
    using ChunkHandler = std::function<bool(const platform::Data& chunk, int64_t received, int64_t expected)>;
    using ProgressHook = std::function<void(int64_t sent, int64_t expected)>;

    /// "TYPE I", "SIZE", a data connection, "REST" (for an offset above 0) and "RETR" of a server
    /// path; the bytes from `offset` on, at most `length` of them (-1: to the end), go to `onData` as
    /// they arrive. The completion follows the last byte and the server's final reply.
    /// With useCache and a non-empty answer in the cache for the file's URL (fileURL), obtained with
    /// the session's credential, that answer's bytes of the range are handed over instead, on
    /// dispatch_queue, and no data connection is made.
    void retrieve(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath, int64_t offset,
                  int64_t length, TaskHook onTask, ChunkHandler onData, std::function<void(platform::ErrorRef)> completionHandler);
    /// "TYPE I", a data connection, "REST" (for an offset of 0 or more) and "STOR" of a server path;
    /// `size` bytes of the stream are sent once the server is ready (-1: to the stream's end).
    void store(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath,
               std::shared_ptr<platform::InputStream> stream, int64_t size, int64_t restOffset, TaskHook onTask,
               ProgressHook onProgress, std::function<void(platform::ErrorRef)> completionHandler);

    /// store(...) from the stream's start, without "REST".
    void storePlain(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath,
                    std::shared_ptr<platform::InputStream> stream, int64_t size, TaskHook onTask, ProgressHook onProgress,
                    std::function<void(platform::ErrorRef)> completionHandler) {
        store(task, serverPath, std::move(stream), size, -1, std::move(onTask), std::move(onProgress),
              std::move(completionHandler));
    }
    /// The restartable upload: the stream in chunks (32 KiB for small files, larger for large ones,
    /// at most 4 MiB), each stored with "REST" at its offset and "STOR", so a broken upload can go
    /// on from the last whole chunk.
    void storeByREST(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& serverPath,
                     std::shared_ptr<platform::InputStream> stream, int64_t size, TaskHook onTask, ProgressHook onProgress,
                     std::function<void(platform::ErrorRef)> completionHandler);
    static int64_t restChunkSize(int64_t fileSize);

    /// Whether a secure session was asked for: scheme "ftps" or "ftpes", or port 990.
    bool isSecureSession() const;

private:
    explicit FTPSession(Configuration configuration);
    void handlePassiveReply(const std::shared_ptr<FileProviderStreamTask>& control, std::optional<std::string> reply,
                            platform::ErrorRef error, bool extended, DataTaskHandler completionHandler);
    std::shared_ptr<FileProviderStreamTask> makeDataTask(const std::shared_ptr<FileProviderStreamTask>& control,
                                                         std::shared_ptr<FileProviderStreamTask> task);
    void fail(std::function<void()> report) const;
    /// The kept bytes of a file, when retrieve may answer from the cache.
    std::optional<platform::Data> cachedFile(const std::string& serverPath) const;

    const Configuration configuration_;
    std::shared_ptr<std::atomic<bool>> supportsRFC3659_;
};

} // namespace RiridOzizevud
