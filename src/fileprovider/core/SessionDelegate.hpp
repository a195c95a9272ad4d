// RiridOzizevud::SessionDelegate — the URL-session delegate of the remote providers, and the four
// module-wide handler tables through which it reaches each task's closures.
//
// The tables are keyed by a session's description and a task's identifier. They are shared by every
// session of the process and guarded by one lock: a handler is taken out (or copied) under it and
// called after it is released, so a handler may touch the tables itself. When a task completes its
// entries leave all four tables, so no finished task keeps a provider alive.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/net/URLSession.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {

using TaskCompletionHandler = std::function<void(ErrorRef error)>;
using TaskDownloadHandler = std::function<void(const platform::URL& location)>;
using TaskDataHandler = std::function<void(const Data& data)>;
using TaskResponseHandler = std::function<void(std::shared_ptr<const platform::URLResponse> response)>;

template <class Handler>
using TaskHandlerTable = std::map<uint64_t, Handler>;

// --- The four tables --------------------------------------------------------------------------

/// Puts an empty per-task table under `sessionDescription` into each of the four tables (replacing
/// what was there).
void addSessionHandlerTables(const std::string& sessionDescription);

/// Stores a task's closure; only when the table holds an entry for the session (false otherwise).
bool setTaskCompletionHandler(const std::string& sessionDescription, uint64_t taskIdentifier, TaskCompletionHandler handler);
bool setTaskDownloadHandler(const std::string& sessionDescription, uint64_t taskIdentifier, TaskDownloadHandler handler);
bool setTaskDataHandler(const std::string& sessionDescription, uint64_t taskIdentifier, TaskDataHandler handler);
bool setTaskResponseHandler(const std::string& sessionDescription, uint64_t taskIdentifier, TaskResponseHandler handler);

/// removeSession…Handlers: removes the session's entry from its table and returns the removed
/// per-task table; nothing when there was none.
std::optional<TaskHandlerTable<TaskCompletionHandler>> removeSessionCompletionHandlers(const std::string& sessionDescription);
std::optional<TaskHandlerTable<TaskDownloadHandler>> removeSessionDownloadHandlers(const std::string& sessionDescription);
std::optional<TaskHandlerTable<TaskDataHandler>> removeSessionDataHandlers(const std::string& sessionDescription);
std::optional<TaskHandlerTable<TaskResponseHandler>> removeSessionResponseHandlers(const std::string& sessionDescription);

/// removeTask…Handler: removes one task's entry from the session's per-task table and returns it;
/// nothing when absent. (The per-task table is reached by its session description, under the lock.)
std::optional<TaskCompletionHandler> removeTaskCompletionHandler(const std::string& sessionDescription, uint64_t taskIdentifier);
std::optional<TaskDataHandler> removeTaskDataHandler(const std::string& sessionDescription, uint64_t taskIdentifier);
std::optional<TaskDownloadHandler> removeTaskDownloadHandler(const std::string& sessionDescription, uint64_t taskIdentifier);
std::optional<TaskResponseHandler> removeTaskResponseHandler(const std::string& sessionDescription, uint64_t taskIdentifier);

/// A copy of a task's data closure, which stays in its table for the following pieces.
std::optional<TaskDataHandler> taskDataHandler(const std::string& sessionDescription, uint64_t taskIdentifier);

/// How many entries a session has in each table; no value for a table without the session.
struct SessionHandlerCounts {
    std::optional<size_t> completion, download, data, response;
};
SessionHandlerCounts sessionHandlerCounts(const std::string& sessionDescription);

// --- The delegate -----------------------------------------------------------------------------

class SessionDelegate : public platform::URLSessionDelegate, public std::enable_shared_from_this<SessionDelegate> {
public:
    enum class ObserveKind { upload, download };

    /// init(fileProvider:): holds the provider weakly and copies its credential.
    explicit SessionDelegate(const std::shared_ptr<FileProviderOperations>& fileProvider);

    std::shared_ptr<FileProviderOperations> fileProvider() const { return fileProvider_.lock(); }
    std::optional<platform::URLCredential> credential() const;
    void setCredential(std::optional<platform::URLCredential> credential);

    /// observerProgress(of:using:kind:): keeps `progress` in step with the task's byte counters until
    /// the task completes.
    void observerProgress(const std::shared_ptr<platform::URLSessionTask>& task,
                          const std::shared_ptr<platform::Progress>& progress, ObserveKind kind);
    /// The observation handler: `context` is the progress the observation was registered with.
    void observeValue(const std::string& keyPath, const std::shared_ptr<platform::URLSessionTask>& object,
                      int64_t newValue, const std::shared_ptr<platform::Progress>& context);
    /// Tasks observed now (for tests and diagnostics).
    size_t observedTaskCount() const;

    void didCompleteWithError(const SessionRef& session, const TaskRef& task, const ErrorRef& error) override;
    /// The session's handler tables go with it.
    void didBecomeInvalidWithError(const SessionRef& session, const ErrorRef& error) override;
    void didFinishDownloadingTo(const SessionRef& session, const DownloadTaskRef& downloadTask,
                                const platform::URL& location) override;
    void didReceiveResponse(const SessionRef& session, const DataTaskRef& dataTask,
                            const std::shared_ptr<const platform::URLResponse>& response,
                            std::function<void(platform::URLSessionResponseDisposition)> completionHandler) override;
    void didReceiveData(const SessionRef& session, const DataTaskRef& dataTask, const Data& data) override;
    void didSendBodyData(const SessionRef& session, const TaskRef& task, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend) override;
    void didWriteData(const SessionRef& session, const DownloadTaskRef& downloadTask, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didReceiveChallenge(const SessionRef& session, const TaskRef& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletionHandler completionHandler) override;
    void didReceiveChallenge(const SessionRef& session, const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletionHandler completionHandler) override;

private:
    struct Observation {
        std::shared_ptr<platform::URLSessionTask> task;
        std::shared_ptr<platform::Progress> progress;
        ObserveKind kind;
        std::vector<platform::URLSessionTask::ObserverToken> tokens;
    };

    void answerChallenge(const platform::URLAuthenticationChallenge& challenge,
                         const platform::ChallengeCompletionHandler& completionHandler) const;

    std::weak_ptr<FileProviderOperations> fileProvider_;
    mutable std::mutex credentialLock_;
    std::optional<platform::URLCredential> credential_;
    mutable std::mutex observeProgressesLock_;
    std::vector<Observation> observeProgresses_;
};

} // namespace RiridOzizevud
