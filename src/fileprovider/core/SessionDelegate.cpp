#include "fileprovider/core/SessionDelegate.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"

#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

struct HandlerTables {
    std::mutex mutex;
    std::map<std::string, TaskHandlerTable<TaskCompletionHandler>> completion;
    std::map<std::string, TaskHandlerTable<TaskDownloadHandler>> download;
    std::map<std::string, TaskHandlerTable<TaskDataHandler>> data;
    std::map<std::string, TaskHandlerTable<TaskResponseHandler>> response;
};

// Never destroyed: closures in it may outlive main's return on other threads.
HandlerTables& tables() {
    static HandlerTables* t = new HandlerTables;
    return *t;
}

template <class Handler>
bool setEntry(std::map<std::string, TaskHandlerTable<Handler>>& table, const std::string& session, uint64_t task,
              Handler handler) {
    // The old closure (if any) is destroyed after the lock is released.
    Handler old;
    {
        std::lock_guard lock(tables().mutex);
        auto it = table.find(session);
        if (it == table.end()) return false;
        auto& slot = it->second[task];
        old = std::move(slot);
        slot = std::move(handler);
    }
    return true;
}

template <class Handler>
std::optional<TaskHandlerTable<Handler>> removeSession(std::map<std::string, TaskHandlerTable<Handler>>& table,
                                                       const std::string& session) {
    std::lock_guard lock(tables().mutex);
    auto it = table.find(session);
    if (it == table.end()) return std::nullopt;
    auto out = std::move(it->second);
    table.erase(it);
    return out;
}

template <class Handler>
std::optional<Handler> removeTask(std::map<std::string, TaskHandlerTable<Handler>>& table, const std::string& session,
                                  uint64_t task) {
    std::lock_guard lock(tables().mutex);
    auto it = table.find(session);
    if (it == table.end()) return std::nullopt;
    auto entry = it->second.find(task);
    if (entry == it->second.end()) return std::nullopt;
    auto out = std::move(entry->second);
    it->second.erase(entry);
    return out;
}

template <class Handler>
std::optional<size_t> countOf(const std::map<std::string, TaskHandlerTable<Handler>>& table, const std::string& session) {
    auto it = table.find(session);
    if (it == table.end()) return std::nullopt;
    return it->second.size();
}

// The task description's JSON object; no value when absent or not an object.
std::optional<nlohmann::json> descriptionObject(const platform::URLSessionTask& task) {
    const auto text = task.taskDescription();
    if (!text) return std::nullopt;
    try {
        auto j = nlohmann::json::parse(*text);
        if (j.is_object()) return j;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

std::optional<int64_t> integerMember(const std::optional<nlohmann::json>& object, const char* key) {
    if (!object) return std::nullopt;
    auto it = object->find(key);
    if (it == object->end() || !it->is_number_integer()) return std::nullopt;
    return it->get<int64_t>();
}

std::optional<platform::Date> startDate(const platform::Progress& progress) {
    const auto value = progress.userInfoObject(startingTimeKey);
    if (!value) return std::nullopt;
    return value->dateValue();
}

// Throughput and time remaining from the bytes done since the operation started.
void storeRates(platform::Progress& progress, const platform::Date& start, int64_t done, int64_t remaining,
                bool remainingKnown) {
    const double elapsed = platform::Date().timeIntervalSince(start);
    if (!(elapsed > 0)) return;
    const double throughput = static_cast<double>(done) / elapsed;
    progress.setUserInfoObject(platform::Value(throughput), platform::Progress::throughputKey);
    if (remainingKnown && throughput > 0)
        progress.setUserInfoObject(platform::Value(static_cast<double>(remaining) / throughput),
                                   platform::Progress::estimatedTimeRemainingKey);
}

} // namespace

void addSessionHandlerTables(const std::string& sessionDescription) {
    // Replaced tables are destroyed outside the lock: their closures may hold providers.
    TaskHandlerTable<TaskCompletionHandler> c;
    TaskHandlerTable<TaskDownloadHandler> d;
    TaskHandlerTable<TaskDataHandler> da;
    TaskHandlerTable<TaskResponseHandler> r;
    std::lock_guard lock(tables().mutex);
    c.swap(tables().completion[sessionDescription]);
    d.swap(tables().download[sessionDescription]);
    da.swap(tables().data[sessionDescription]);
    r.swap(tables().response[sessionDescription]);
}

bool setTaskCompletionHandler(const std::string& s, uint64_t t, TaskCompletionHandler h) { return setEntry(tables().completion, s, t, std::move(h)); }
bool setTaskDownloadHandler(const std::string& s, uint64_t t, TaskDownloadHandler h) { return setEntry(tables().download, s, t, std::move(h)); }
bool setTaskDataHandler(const std::string& s, uint64_t t, TaskDataHandler h) { return setEntry(tables().data, s, t, std::move(h)); }
bool setTaskResponseHandler(const std::string& s, uint64_t t, TaskResponseHandler h) { return setEntry(tables().response, s, t, std::move(h)); }

std::optional<TaskHandlerTable<TaskCompletionHandler>> removeSessionCompletionHandlers(const std::string& s) { return removeSession(tables().completion, s); }
std::optional<TaskHandlerTable<TaskDownloadHandler>> removeSessionDownloadHandlers(const std::string& s) { return removeSession(tables().download, s); }
std::optional<TaskHandlerTable<TaskDataHandler>> removeSessionDataHandlers(const std::string& s) { return removeSession(tables().data, s); }
std::optional<TaskHandlerTable<TaskResponseHandler>> removeSessionResponseHandlers(const std::string& s) { return removeSession(tables().response, s); }

std::optional<TaskCompletionHandler> removeTaskCompletionHandler(const std::string& s, uint64_t t) { return removeTask(tables().completion, s, t); }
std::optional<TaskDataHandler> removeTaskDataHandler(const std::string& s, uint64_t t) { return removeTask(tables().data, s, t); }
std::optional<TaskDownloadHandler> removeTaskDownloadHandler(const std::string& s, uint64_t t) { return removeTask(tables().download, s, t); }
std::optional<TaskResponseHandler> removeTaskResponseHandler(const std::string& s, uint64_t t) { return removeTask(tables().response, s, t); }

std::optional<TaskDataHandler> taskDataHandler(const std::string& s, uint64_t t) {
    std::lock_guard lock(tables().mutex);
    auto it = tables().data.find(s);
    if (it == tables().data.end()) return std::nullopt;
    auto entry = it->second.find(t);
    if (entry == it->second.end()) return std::nullopt;
    return entry->second;
}

SessionHandlerCounts sessionHandlerCounts(const std::string& s) {
    std::lock_guard lock(tables().mutex);
    return {countOf(tables().completion, s), countOf(tables().download, s), countOf(tables().data, s),
            countOf(tables().response, s)};
}

// --- SessionDelegate ------------------------------------------------------------------------------

SessionDelegate::SessionDelegate(const std::shared_ptr<FileProviderOperations>& fileProvider)
    : fileProvider_(fileProvider), credential_(fileProvider ? fileProvider->credential() : std::nullopt) {}

std::optional<platform::URLCredential> SessionDelegate::credential() const {
    std::lock_guard lock(credentialLock_);
    return credential_;
}

void SessionDelegate::setCredential(std::optional<platform::URLCredential> credential) {
    std::lock_guard lock(credentialLock_);
    credential_ = std::move(credential);
}

void SessionDelegate::observerProgress(const std::shared_ptr<platform::URLSessionTask>& task,
                                       const std::shared_ptr<platform::Progress>& progress, ObserveKind kind) {
    if (!task || !progress) return;
    std::weak_ptr<SessionDelegate> weakSelf = weak_from_this();
    std::weak_ptr<platform::Progress> weakProgress = progress;
    auto observer = [weakSelf, weakProgress](const std::shared_ptr<platform::URLSessionTask>& object,
                                             const std::string& keyPath, int64_t value) {
        auto self = weakSelf.lock();
        auto context = weakProgress.lock();
        if (self && context) self->observeValue(keyPath, object, value, context);
    };
    Observation o{task, progress, kind, {}};
    if (kind == ObserveKind::upload) {
        o.tokens.push_back(task->addObserver("countOfBytesSent", observer));
    } else {
        o.tokens.push_back(task->addObserver("countOfBytesReceived", observer));
        o.tokens.push_back(task->addObserver("countOfBytesExpectedToReceive", observer));
    }
    std::lock_guard lock(observeProgressesLock_);
    observeProgresses_.push_back(std::move(o));
}

size_t SessionDelegate::observedTaskCount() const {
    std::lock_guard lock(observeProgressesLock_);
    return observeProgresses_.size();
}

void SessionDelegate::observeValue(const std::string& keyPath, const std::shared_ptr<platform::URLSessionTask>& object,
                                   int64_t newValue, const std::shared_ptr<platform::Progress>& context) {
    if (!context || keyPath.find("countOfBytes") == std::string::npos) return;
    if (keyPath == "countOfBytesReceived") {
        context->setCompletedUnitCount(newValue);
        const auto start = startDate(*context);
        if (start && object) {
            const int64_t expected = object->countOfBytesExpectedToReceive();
            storeRates(*context, *start, newValue, expected - object->countOfBytesReceived(), expected > 0);
        }
    } else if (keyPath == "countOfBytesSent") {
        const auto start = startDate(*context);
        if (start && object) {
            const auto description = descriptionObject(*object);
            const int64_t completed = newValue + integerMember(description, "uploadedBytes").value_or(0);
            const int64_t total = integerMember(description, "totalBytes").value_or(object->countOfBytesExpectedToSend());
            // Throughput counts this request's bytes; the remaining time the whole file's.
            const double elapsed = platform::Date().timeIntervalSince(*start);
            if (elapsed > 0) {
                const double throughput = static_cast<double>(newValue) / elapsed;
                context->setUserInfoObject(platform::Value(throughput), platform::Progress::throughputKey);
                context->setCompletedUnitCount(completed);
                if (total > 0 && throughput > 0)
                    context->setUserInfoObject(platform::Value(static_cast<double>(total - completed) / throughput),
                                               platform::Progress::estimatedTimeRemainingKey);
            } else {
                context->setCompletedUnitCount(completed);
            }
        } else {
            context->setCompletedUnitCount(newValue);
        }
    } else if (keyPath == "countOfBytesExpectedToReceive" || keyPath == "countOfBytesExpectedToSend") {
        context->setTotalUnitCount(newValue);
    }
}

void SessionDelegate::didCompleteWithError(const SessionRef& session, const TaskRef& task, const ErrorRef& error) {
    std::vector<Observation> ended;
    {
        std::lock_guard lock(observeProgressesLock_);
        for (auto it = observeProgresses_.begin(); it != observeProgresses_.end();) {
            if (it->task == task) {
                ended.push_back(std::move(*it));
                it = observeProgresses_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& o : ended)
        for (auto token : o.tokens) o.task->removeObserver(token);

    const auto description = session ? session->sessionDescription() : std::nullopt;
    if (!description || description->empty() || !task) return;
    const uint64_t id = task->taskIdentifier();
    // Every entry of a finished task leaves the tables, so nothing it captured stays alive.
    removeTaskDataHandler(*description, id);
    removeTaskResponseHandler(*description, id);
    removeTaskDownloadHandler(*description, id);
    auto completion = removeTaskCompletionHandler(*description, id);
    if (!error && task->kind() == platform::URLSessionTask::Kind::download) return;
    if (completion && *completion) (*completion)(error);
}

void SessionDelegate::didBecomeInvalidWithError(const SessionRef& session, const ErrorRef&) {
    const auto description = session ? session->sessionDescription() : std::nullopt;
    if (!description || description->empty()) return;
    removeSessionCompletionHandlers(*description);
    removeSessionDownloadHandlers(*description);
    removeSessionDataHandlers(*description);
    removeSessionResponseHandlers(*description);
}

void SessionDelegate::didFinishDownloadingTo(const SessionRef& session, const DownloadTaskRef& downloadTask,
                                             const platform::URL& location) {
    const auto description = session ? session->sessionDescription() : std::nullopt;
    if (!description || description->empty() || !downloadTask) return;
    const uint64_t id = downloadTask->taskIdentifier();
    auto handler = removeTaskDownloadHandler(*description, id);
    removeTaskCompletionHandler(*description, id);
    if (handler && *handler) (*handler)(location);
}

void SessionDelegate::didReceiveResponse(const SessionRef& session, const DataTaskRef& dataTask,
                                         const std::shared_ptr<const platform::URLResponse>& response,
                                         std::function<void(platform::URLSessionResponseDisposition)> completionHandler) {
    const auto description = session ? session->sessionDescription() : std::nullopt;
    std::optional<TaskResponseHandler> handler;
    if (description && !description->empty() && dataTask)
        handler = removeTaskResponseHandler(*description, dataTask->taskIdentifier());
    if (handler && *handler) (*handler)(response);
    if (completionHandler) completionHandler(platform::URLSessionResponseDisposition::allow);
}

void SessionDelegate::didReceiveData(const SessionRef& session, const DataTaskRef& dataTask, const Data& data) {
    const auto description = session ? session->sessionDescription() : std::nullopt;
    if (!description || description->empty() || !dataTask) return;
    auto handler = taskDataHandler(*description, dataTask->taskIdentifier());
    if (handler && *handler) (*handler)(data);
}

void SessionDelegate::didSendBodyData(const SessionRef&, const TaskRef& task, int64_t, int64_t totalBytesSent,
                                      int64_t totalBytesExpectedToSend) {
    if (!task) return;
    const auto description = descriptionObject(*task);
    if (!description) return;
    const auto operation = FileOperationType::fromJSON(*description);
    if (!operation) return;
    const auto provider = fileProvider_.lock();
    if (!provider) return;
    switch (operation->kind()) {
    case FileOperationType::Kind::create:
        if (!operation->source().empty() && operation->source().back() == '/') return;
        break;
    case FileOperationType::Kind::copy:
        if (operation->source().rfind("file://", 0) != 0) return;
        break;
    case FileOperationType::Kind::modify: break;
    default: return;
    }
    const int64_t uploaded = integerMember(description, "uploadedBytes").value_or(0);
    const int64_t total = integerMember(description, "totalBytes").value_or(totalBytesExpectedToSend);
    // An unknown or empty total gives no fraction at all.
    if (total <= 0) return;
    const double fraction = static_cast<double>(uploaded + totalBytesSent) / static_cast<double>(total);
    dispatchToMainQueue(provider, *operation, fraction);
}

void SessionDelegate::didWriteData(const SessionRef&, const DownloadTaskRef& downloadTask, int64_t,
                                   int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (totalBytesExpectedToWrite == platform::NSURLSessionTransferSizeUnknown || totalBytesExpectedToWrite <= 0) return;
    if (!downloadTask) return;
    const auto description = descriptionObject(*downloadTask);
    if (!description) return;
    const auto operation = FileOperationType::fromJSON(*description);
    if (!operation) return;
    const auto provider = fileProvider_.lock();
    if (!provider) return;
    dispatchToMainQueue(provider, *operation,
                        static_cast<double>(totalBytesWritten) / static_cast<double>(totalBytesExpectedToWrite));
}

void SessionDelegate::answerChallenge(const platform::URLAuthenticationChallenge& challenge,
                                      const platform::ChallengeCompletionHandler& completionHandler) const {
    if (!completionHandler) return;
    const auto held = credential();
    const int n = challenge.previousFailureCount;
    // A wrong password is offered twice, then the answer is left to the session (the 401 stands).
    if (held && (n == 0 || n == 1)) {
        completionHandler(platform::URLSessionAuthChallengeDisposition::useCredential, held);
    } else if (!held && n == 0) {
        completionHandler(platform::URLSessionAuthChallengeDisposition::useCredential, challenge.proposedCredential);
    } else {
        completionHandler(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
}

void SessionDelegate::didReceiveChallenge(const SessionRef&, const TaskRef&, const platform::URLAuthenticationChallenge& challenge,
                                          platform::ChallengeCompletionHandler completionHandler) {
    answerChallenge(challenge, completionHandler);
}

void SessionDelegate::didReceiveChallenge(const SessionRef&, const platform::URLAuthenticationChallenge& challenge,
                                          platform::ChallengeCompletionHandler completionHandler) {
    answerChallenge(challenge, completionHandler);
}

} // namespace RiridOzizevud
