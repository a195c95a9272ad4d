#include "fileprovider/core/HTTPFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/URLResourceKey.hpp"
#include "platform/UUID.hpp"
#include "platform/UndoManager.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace RiridOzizevud {

std::atomic<bool> fileProviderCancelTasksOnInvalidating{true};

namespace {

// Error bodies are read for the server's description only; a page larger than this is cut.
constexpr size_t kErrorBodyLimit = 1 << 20;

template <class F, class... A>
void call(const F& f, A&&... args) {
    if (f) f(std::forward<A>(args)...);
}

std::optional<std::string> bodyText(const std::optional<Data>& data) {
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

int statusOf(const std::shared_ptr<const platform::URLResponse>& response) {
    const auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
    return http ? http->statusCode() : -1;
}

Data readBounded(const std::string& path) {
    Data out;
    std::ifstream in(path, std::ios::binary);
    if (!in) return out;
    out.resize(kErrorBodyLimit);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return out;
}

// Copies `source` into a new file beside `destination`, then links it into place; never replaces.
int copyIntoPlace(const std::string& source, const std::string& destination) {
    const std::filesystem::path dest(destination);
    std::string pattern = (dest.parent_path() / ".ostrane-download-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int out = ::mkstemp(name.data());
    if (out < 0) return errno;
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    int err = in < 0 ? errno : 0;
    std::vector<char> buffer(1 << 20);
    while (!err) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        if (n == 0) break;
        for (ssize_t done = 0; done < n && !err;) {
            const ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno != EINTR) err = errno;
            else if (w > 0) done += w;
        }
    }
    if (in >= 0) ::close(in);
    if (::close(out) != 0 && !err) err = errno;
    if (!err && ::link(name.data(), destination.c_str()) != 0) err = errno;
    ::unlink(name.data());
    if (!err) ::unlink(source.c_str());
    return err;
}

// Moves the downloaded file into place; an existing destination is never replaced.
ErrorRef moveWithoutReplacing(const platform::URL& from, const platform::URL& to) {
    if (!to.isFileURL()) return platform::URLError::make(platform::URLError::cannotWriteToFile, to);
    const std::string source = from.path();
    const std::string destination = to.path();
    int err = 0;
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return nullptr;
    err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without the flag: a hard link refuses an existing name just as well.
        if (::link(source.c_str(), destination.c_str()) == 0) {
            ::unlink(source.c_str());
            return nullptr;
        }
        err = errno;
    }
    if (err == EXDEV) {
        err = copyIntoPlace(source, destination);
        if (!err) return nullptr;
    }
    return platform::cocoaFileError(err, destination, true);
}

// Memory sink of a ranged read: skips what a server sent before the range, keeps at most the range.
class RangeSink : public platform::OutputStream {
public:
    void open() override {}
    void close() override {}
    std::ptrdiff_t write(const uint8_t* bytes, std::size_t length) override {
        std::lock_guard lock(mutex_);
        std::size_t start = 0;
        if (skip_ > 0) {
            start = static_cast<std::size_t>(std::min<int64_t>(skip_, static_cast<int64_t>(length)));
            skip_ -= static_cast<int64_t>(start);
        }
        std::size_t take = length - start;
        if (limit_ >= 0) take = std::min<std::size_t>(take, static_cast<std::size_t>(limit_ - static_cast<int64_t>(data_.size())));
        data_.insert(data_.end(), bytes + start, bytes + start + take);
        return static_cast<std::ptrdiff_t>(length);
    }
    bool hasSpaceAvailable() const override { return true; }
    void cut(int64_t skip, int64_t limit) {
        std::lock_guard lock(mutex_);
        skip_ = skip;
        limit_ = limit;
    }
    Data data() const {
        std::lock_guard lock(mutex_);
        return data_;
    }

private:
    mutable std::mutex mutex_;
    Data data_;
    int64_t skip_ = 0;
    int64_t limit_ = -1;
};

// Where a transfer's answer stands: its status, and the error page collected instead of the body.
struct AnswerState {
    int status = 0;
    bool failed = false;
    Data errorBody;
    bool reported = false;
};

// The answer's status, judged when its response arrives (which is then passed on).
std::shared_ptr<AnswerState> judgedAnswer(const std::string& sessionDescription, uint64_t taskIdentifier,
                                          ResponseHandler responseHandler) {
    auto state = std::make_shared<AnswerState>();
    setTaskResponseHandler(sessionDescription, taskIdentifier,
                           [state, responseHandler = std::move(responseHandler)](std::shared_ptr<const platform::URLResponse> response) {
                               state->status = statusOf(response);
                               state->failed = state->status >= 300;
                               call(responseHandler, response);
                           });
    return state;
}

// A piece of an answer whose status failed is kept (up to a bound) for the error, never passed on.
bool keptAsErrorPage(AnswerState& state, const Data& piece) {
    if (!state.failed) return false;
    if (state.errorBody.size() < kErrorBodyLimit) state.errorBody.insert(state.errorBody.end(), piece.begin(), piece.end());
    return true;
}

// The fraction received so far, when the answer said how much is coming.
void reportReceived(const std::shared_ptr<HTTPFileProvider>& provider, const std::shared_ptr<platform::URLSessionTask>& task,
                    const FileOperationType& operation) {
    if (!task) return;
    const int64_t expected = task->countOfBytesExpectedToReceive();
    if (expected > 0)
        dispatchToMainQueue(provider, operation, static_cast<double>(task->countOfBytesReceived()) / static_cast<double>(expected));
}

} // namespace

void applyServerTrustPolicy(const ServerTrustPolicy& policy, platform::URLSessionConfiguration& configuration) {
    if (policy.kind() == ServerTrustPolicy::Case::disableEvaluation) {
        configuration.tlsVerifyPeer = false;
        configuration.tlsVerifyHost = false;
    } else {
        configuration.tlsVerifyPeer = true;
        configuration.tlsVerifyHost = policy.validateHost();
    }
}

ErrorRef abstractMemberError(const std::string& member) {
    return platform::CocoaError::withDescription(
        platform::CocoaError::featureUnsupported,
        "HTTPFileProvider is an abstract class. Please implement " + member + " in subclass.");
}

// --- Life ---------------------------------------------------------------------------------------

namespace {
std::optional<platform::URL> normalisedBase(const std::optional<platform::URL>& baseURL) {
    if (!baseURL) return std::nullopt;
    const std::string absolute = baseURL->absoluteString();
    if (!absolute.empty() && absolute.back() == '/') return platform::URL::parse(absolute);
    return platform::URL::parse(absolute + "/");
}
} // namespace

HTTPFileProvider::HTTPFileProvider(std::string type, std::optional<platform::URL> baseURL,
                                   std::optional<platform::URLCredential> credential,
                                   std::shared_ptr<platform::URLCache> cache)
    : type_(std::move(type)), baseURL_(normalisedBase(baseURL)), cache_(std::move(cache)) {
    settings_.credential.set(std::move(credential));
    const std::string label = "FileProvider." + type_;
    settings_.dispatchQueue.set(platform::DispatchQueue::make(label, platform::DispatchQueue::Attributes::concurrent));
    settings_.operationQueue.set(platform::OperationQueue::make(label + ".Operation"));
}

HTTPFileProvider::~HTTPFileProvider() {
    std::shared_ptr<platform::URLSession> session, longpoll;
    std::shared_ptr<platform::OperationQueue> queue;
    {
        std::lock_guard lock(mutex_);
        session = session_;
        longpoll = longpollSession_;
        queue = settings_.operationQueue.get();
    }
    if (session) {
        if (const auto description = session->sessionDescription(); description && !description->empty()) {
            auto completions = removeSessionCompletionHandlers(*description);
            removeSessionDownloadHandlers(*description);
            removeSessionDataHandlers(*description);
            removeSessionResponseHandlers(*description);
            // Waiting operations learn that they end here instead of never hearing back.
            if (completions && !completions->empty()) {
                auto handlers = std::make_shared<TaskHandlerTable<TaskCompletionHandler>>(std::move(*completions));
                auto fail = [handlers] {
                    const ErrorRef cancelled = platform::URLError::make(platform::URLError::cancelled);
                    for (auto& [id, handler] : *handlers) call(handler, cancelled);
                };
                if (queue) queue->addOperation(fail);
                else fail();
            }
        }
        if (fileProviderCancelTasksOnInvalidating.load()) session->invalidateAndCancel();
        else session->finishTasksAndInvalidate();
    }
    if (longpoll) longpoll->invalidateAndCancel();
}

std::shared_ptr<FileProviderOperations> HTTPFileProvider::selfOperations() {
    return std::dynamic_pointer_cast<FileProviderOperations>(FileProviderBasic::shared_from_this());
}

std::weak_ptr<HTTPFileProvider> HTTPFileProvider::weakSelf() {
    return std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
}

// --- Settings -----------------------------------------------------------------------------------

void HTTPFileProvider::setCredential(std::optional<platform::URLCredential> credential) {
    // Both under one lock: two setters, or a setter and the first session(), never leave the
    // delegate with an older credential than the provider's.
    std::lock_guard lock(mutex_);
    settings_.credential.set(credential);
    if (sessionDelegate_) sessionDelegate_->setCredential(std::move(credential));
}
std::shared_ptr<platform::URLCache> HTTPFileProvider::cache() const {
    return cache_.get();
}
void HTTPFileProvider::setCache(std::shared_ptr<platform::URLCache> cache) {
    cache_.set(std::move(cache));
}
bool HTTPFileProvider::useCache() const {
    return useCache_.get();
}
void HTTPFileProvider::setUseCache(bool useCache) {
    useCache_.set(useCache);
}
bool HTTPFileProvider::validatingCache() const {
    return validatingCache_.get();
}
void HTTPFileProvider::setValidatingCache(bool validatingCache) {
    validatingCache_.set(validatingCache);
}
std::shared_ptr<platform::UndoManager> HTTPFileProvider::undoManager() const {
    return settings_.undoManager.get();
}
void HTTPFileProvider::setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) {
    settings_.undoManager.set(std::move(undoManager));
}
std::shared_ptr<SessionDelegate> HTTPFileProvider::sessionDelegate() const {
    std::lock_guard lock(mutex_);
    return sessionDelegate_;
}

// --- Sessions -----------------------------------------------------------------------------------

std::shared_ptr<platform::URLSession> HTTPFileProvider::session() {
    std::lock_guard make(sessionMutex_);
    {
        std::lock_guard lock(mutex_);
        if (session_) return session_;
    }
    auto delegate = std::make_shared<SessionDelegate>(selfOperations());
    auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
    configuration.urlCache = cache();
    configuration.requestCachePolicy = platform::URLRequest::CachePolicy::returnCacheDataElseLoad;
    auto session = platform::URLSession::make(configuration, delegate, operation_queue());
    const std::string description = platform::newUUIDString();
    session->setSessionDescription(description);
    addSessionHandlerTables(description);
    std::lock_guard lock(mutex_);
    // A credential set while the session was being made is the one to answer with.
    delegate->setCredential(settings_.credential.get());
    session_ = session;
    sessionDelegate_ = delegate;
    return session;
}

void HTTPFileProvider::setSession(std::shared_ptr<platform::URLSession> session) {
    std::lock_guard make(sessionMutex_);
    if (!session) {
        std::lock_guard lock(mutex_);
        session_.reset();
        sessionDelegate_.reset();
        return;
    }
    auto description = session->sessionDescription();
    if (!description || description->empty()) {
        description = platform::newUUIDString();
        session->setSessionDescription(description);
    }
    auto delegate = std::dynamic_pointer_cast<SessionDelegate>(session->delegate());
    {
        std::lock_guard lock(mutex_);
        session_ = session;
        sessionDelegate_ = delegate;
    }
    addSessionHandlerTables(*description);
}

std::shared_ptr<platform::URLSession> HTTPFileProvider::longpollSession() {
    std::lock_guard make(sessionMutex_);
    std::lock_guard lock(mutex_);
    if (!longpollSession_) {
        auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
        configuration.timeoutIntervalForRequest = 600;
        longpollSession_ = platform::URLSession::make(configuration);
    }
    return longpollSession_;
}

// --- Archiving ----------------------------------------------------------------------------------

void HTTPFileProvider::encode(platform::KeyedArchiver& coder) const {
    coder.encode(baseURL_ ? platform::Value(*baseURL_) : platform::Value(), "baseURL");
    if (const auto c = credential()) {
        platform::KeyedArchiver nested;
        nested.encode(c->user() ? platform::Value(*c->user()) : platform::Value(), "user");
        nested.encode(c->password() ? platform::Value(*c->password()) : platform::Value(), "password");
        nested.encode(static_cast<int64_t>(c->persistence()), "persistence");
        coder.encode(nested, "credential");
    } else {
        coder.encode(platform::Value(), "credential");
    }
    coder.encode(useCache(), "useCache");
    coder.encode(validatingCache(), "validatingCache");
}

std::optional<platform::URLCredential> HTTPFileProvider::decodeCredential(const platform::KeyedUnarchiver& coder) {
    const auto nested = coder.decodeNested("credential");
    if (!nested) return std::nullopt;
    const auto user = nested->decodeString("user");
    if (!user) return std::nullopt;
    const int64_t persistence = nested->decodeInt64("persistence");
    return platform::URLCredential(*user, nested->decodeString("password").value_or(""),
                                   persistence >= 0 && persistence <= 3
                                       ? static_cast<platform::URLCredential::Persistence>(persistence)
                                       : platform::URLCredential::Persistence::forSession);
}

// --- Abstract members ---------------------------------------------------------------------------

void HTTPFileProvider::later(std::function<void()> completion) {
    if (auto queue = dispatch_queue()) queue->async(std::move(completion));
    else completion();
}

void HTTPFileProvider::contentsOfDirectory(const std::string&, FilesCompletionHandler completionHandler) {
    later([completionHandler] { call(completionHandler, std::vector<FileObjectRef>{}, abstractMemberError("contentsOfDirectory(path:completionHandler:)")); });
}

void HTTPFileProvider::attributesOfItem(const std::string&, FileCompletionHandler completionHandler) {
    later([completionHandler] { call(completionHandler, nullptr, abstractMemberError("attributesOfItem(path:completionHandler:)")); });
}

void HTTPFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    later([completionHandler] { call(completionHandler, nullptr); });
}

ProgressRef HTTPFileProvider::searchFiles(const std::string&, bool, const platform::PredicateRef&, FoundItemHandler,
                                          FilesCompletionHandler completionHandler) {
    later([completionHandler] {
        call(completionHandler, std::vector<FileObjectRef>{},
             abstractMemberError("searchFiles(path:recursive:query:foundItemHandler:completionHandler:)"));
    });
    return nullptr;
}

platform::URLRequest HTTPFileProvider::request(const FileOperationType&, bool, const platform::ValueDictionary&) {
    platform::throwError(abstractMemberError("request(for:overwrite:attributes:)"));
}

std::shared_ptr<const FileProviderHTTPError> HTTPFileProvider::serverError(FileProviderHTTPErrorCode code,
                                                                           const std::optional<std::string>& path,
                                                                           const std::optional<Data>& data) {
    return std::make_shared<FileProviderHTTPError>(type_, code, path.value_or(""), bodyText(data));
}

std::shared_ptr<const FileProviderHTTPError> HTTPFileProvider::serverError(int statusCode, const std::optional<std::string>& path,
                                                                           const std::optional<Data>& data) {
    if (const auto code = fromRawValue<FileProviderHTTPErrorCode>(statusCode)) return serverError(*code, path, data);
    return std::make_shared<FileProviderHTTPError>(type_, statusCode, path.value_or(""), bodyText(data));
}

std::shared_ptr<const FileProviderHTTPError> HTTPFileProvider::multiStatusError(const FileOperationType&, const Data&) {
    return nullptr;
}

std::optional<platform::URLRequest> HTTPFileProvider::makeRequest(const FileOperationType& operation, bool overwrite,
                                                                  const platform::ValueDictionary& attributes, ErrorRef& error) {
    try {
        return request(operation, overwrite, attributes);
    } catch (...) {
        error = platform::errorFromException(std::current_exception());
        return std::nullopt;
    }
}

ErrorRef HTTPFileProvider::guardedServerError(int statusCode, const std::optional<std::string>& path,
                                              const std::optional<Data>& data) {
    try {
        return serverError(statusCode, path, data);
    } catch (...) {
        return platform::errorFromException(std::current_exception());
    }
}

ErrorRef HTTPFileProvider::guardedMultiStatusError(const FileOperationType& operation, const Data& data) {
    try {
        return multiStatusError(operation, data);
    } catch (...) {
        return platform::errorFromException(std::current_exception());
    }
}

void HTTPFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    storageProperties([weak, completionHandler](VolumeObjectRef volume) {
        if (volume) {
            call(completionHandler, true, nullptr);
            return;
        }
        auto self = weak.lock();
        if (!self) {
            call(completionHandler, false, platform::URLError::make(platform::URLError::cancelled));
            return;
        }
        self->contentsOfDirectory("", [completionHandler](std::vector<FileObjectRef>, ErrorRef error) {
            call(completionHandler, error == nullptr, error);
        });
    });
}

// --- Progress helpers ---------------------------------------------------------------------------

void HTTPFileProvider::label(const ProgressRef& progress, const FileOperationType& operation) {
    progress->setUserInfoObject(progressValue(operation), fileProvderOperationTypeKey);
    progress->setKind(std::string(platform::Progress::kindFile));
    progress->setFileOperationKind(platform::ProgressFileOperationKind::downloading);
}

void HTTPFileProvider::start(const ProgressRef& progress, const std::shared_ptr<platform::URLSessionTask>& task) {
    std::weak_ptr<platform::URLSessionTask> weak = task;
    progress->setCancellationHandler([weak] {
        if (auto t = weak.lock()) t->cancel();
    });
    progress->setUserInfoObject(platform::Value(platform::Date()), startingTimeKey);
    task->resume();
}

void HTTPFileProvider::startObserved(const ProgressRef& progress, const std::shared_ptr<platform::URLSessionTask>& task,
                                     const FileOperationType& operation, SessionDelegate::ObserveKind kind) {
    task->setTaskDescription(operation.jsonString());
    if (auto delegate = sessionDelegate()) delegate->observerProgress(task, progress, kind);
    start(progress, task);
}

// --- One-request operations ---------------------------------------------------------------------

ProgressRef HTTPFileProvider::doOperation(const FileOperationType& operation, bool overwrite, ProgressRef progress,
                                          SimpleCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    ProgressRef p = progress ? progress : platform::Progress::make(1);
    label(p, operation);

    ErrorRef requestError;
    const auto request = makeRequest(operation, overwrite, {}, requestError);
    if (!request) {
        later([self, operation, completionHandler, requestError] {
            call(completionHandler, requestError);
            notifyOperationResult(self, operation, requestError);
        });
        return p;
    }
    // The task holds the provider until it answers.
    auto task = session()->dataTask(*request, [self, operation, p, completionHandler](std::optional<Data> data,
                                                                                      std::shared_ptr<const platform::URLResponse> response,
                                                                                      ErrorRef error) {
        if (error) {
            call(completionHandler, error);
            notifyOperationResult(self, operation, error);
            return;
        }
        ErrorRef failure;
        const int status = statusOf(response);
        if (status >= 300) failure = self->guardedServerError(status, operation.source(), data);
        else if (status == 207 && data) failure = self->guardedMultiStatusError(operation, *data);
        if (failure) {
            call(completionHandler, failure);
            notifyOperationResult(self, operation, failure);
            return;
        }
        self->_registerUndo(operation);
        p->setCompletedUnitCount(1);
        call(completionHandler, nullptr);
        notifyOperationResult(self, operation, nullptr);
    });
    task->setTaskDescription(operation.jsonString());
    start(p, task);
    return p;
}

ProgressRef HTTPFileProvider::create(const std::string& folder, const std::string& at, SimpleCompletionHandler completionHandler) {
    // at/folder as a path component is appended, then "/" ("/" and "new" give "/new/").
    std::string path = at;
    if (!path.empty() && path.back() != '/') path += "/";
    path += folder;
    if (path.empty() || path.back() != '/') path += "/";
    return doOperation(FileOperationType::create(path), false, nullptr, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::moveItem(const std::string& path, const std::string& to, bool overwrite,
                                       SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::move(path, to), overwrite, nullptr, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::copyItem(const std::string& path, const std::string& to, bool overwrite,
                                       SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::copy(path, to), overwrite, nullptr, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::removeItem(const std::string& path, SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::remove(path), false, nullptr, std::move(completionHandler));
}

// --- Paging -------------------------------------------------------------------------------------

ProgressRef HTTPFileProvider::paginated(const std::string& path, PageRequestHandler requestHandler, PageHandler pageHandler,
                                        FilesCompletionHandler completionHandler) {
    auto progress = platform::Progress::make(-1);
    paginatedPass(path, std::nullopt, progress, {}, std::make_shared<std::vector<std::string>>(), std::move(requestHandler),
                  std::move(pageHandler), std::move(completionHandler));
    return progress;
}

void HTTPFileProvider::paginatedPass(const std::string& path, std::optional<std::string> token, ProgressRef progress,
                                     std::vector<FileObjectRef> previousResult,
                                     std::shared_ptr<std::vector<std::string>> seenTokens, PageRequestHandler requestHandler,
                                     PageHandler pageHandler, FilesCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    if (progress->isCancelled()) {
        later([completionHandler, previousResult] {
            call(completionHandler, previousResult, platform::URLError::make(platform::URLError::cancelled));
        });
        return;
    }
    std::optional<platform::URLRequest> request;
    ErrorRef requestError = platform::URLError::make(platform::URLError::badURL);
    try {
        if (requestHandler) request = requestHandler(token);
    } catch (...) {
        requestError = platform::errorFromException(std::current_exception());
    }
    if (!request) {
        later([completionHandler, previousResult, requestError] { call(completionHandler, previousResult, requestError); });
        return;
    }
    if (token) seenTokens->push_back(*token);
    auto task = session()->dataTask(*request, [self, path, progress, previousResult, seenTokens, requestHandler, pageHandler,
                                               completionHandler](std::optional<Data> data,
                                                                  std::shared_ptr<const platform::URLResponse> response,
                                                                  ErrorRef error) {
        if (error) {
            call(completionHandler, previousResult, error);
            return;
        }
        if (const int status = statusOf(response); status >= 300) {
            call(completionHandler, previousResult, self->guardedServerError(status, path, data));
            return;
        }
        Page page{{}, nullptr, std::nullopt};
        if (pageHandler) {
            // The session's callback loop would swallow the exception, and the completion with it.
            try {
                page = pageHandler(data, progress);
            } catch (...) {
                page = Page{{}, platform::errorFromException(std::current_exception()), std::nullopt};
            }
        }
        auto& [files, pageError, newToken] = page;
        if (pageError) {
            call(completionHandler, previousResult, pageError);
            return;
        }
        std::vector<FileObjectRef> grown = previousResult;
        grown.insert(grown.end(), files.begin(), files.end());
        if (!newToken) {
            call(completionHandler, grown, nullptr);
            return;
        }
        if (progress->isCancelled()) {
            call(completionHandler, grown, platform::URLError::make(platform::URLError::cancelled));
            return;
        }
        // A server that hands out a token again would keep the loop going for ever.
        if (std::find(seenTokens->begin(), seenTokens->end(), *newToken) != seenTokens->end()) {
            call(completionHandler, grown, platform::URLError::make(platform::URLError::badServerResponse));
            return;
        }
        self->paginatedPass(path, newToken, progress, std::move(grown), seenTokens, requestHandler, pageHandler,
                            completionHandler);
    });
    start(progress, task);
}

// --- Uploads ------------------------------------------------------------------------------------

ProgressRef HTTPFileProvider::refuseSize(const std::string& targetPath, int64_t, const FileOperationType& operation,
                                         const SimpleCompletionHandler& completionHandler) {
    const ErrorRef error = serverError(FileProviderHTTPErrorCode::payloadTooLarge, targetPath, std::nullopt);
    call(completionHandler, error);
    notifyOperationResult(selfOperations(), operation, error);
    return nullptr;
}

ProgressRef HTTPFileProvider::upload(const std::string& targetPath, const platform::URLRequest& request,
                                     std::shared_ptr<platform::InputStream> stream, int64_t size,
                                     const FileOperationType& operation, SimpleCompletionHandler completionHandler) {
    if (maxUploadSimpleSupported() < size) return refuseSize(targetPath, size, operation, completionHandler);
    auto progress = platform::Progress::make(size);
    label(progress, operation);
    auto task = session()->uploadTask(request, std::move(stream));
    upload_task(targetPath, progress, task, operation, std::move(completionHandler));
    return progress;
}

ProgressRef HTTPFileProvider::upload_file(const std::string& targetPath, const platform::URLRequest& request,
                                          const platform::URL& localFile, const FileOperationType& operation,
                                          SimpleCompletionHandler completionHandler) {
    const int64_t size = fileSize(localFile);
    if (maxUploadSimpleSupported() < size) return refuseSize(targetPath, size, operation, completionHandler);
    auto progress = platform::Progress::make(size);
    label(progress, operation);
    auto task = session()->uploadTask(request, localFile);
    upload_task(targetPath, progress, task, operation, std::move(completionHandler));
    return progress;
}

void HTTPFileProvider::upload_task(const std::string& targetPath, const ProgressRef& progress,
                                   const std::shared_ptr<platform::URLSessionTask>& task, const FileOperationType& operation,
                                   SimpleCompletionHandler completionHandler) {
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    // Touched only on the operation queue, one callback at a time.
    auto body = std::make_shared<Data>();
    setTaskDataHandler(description, id, [body](const Data& piece) {
        if (body->size() < kErrorBodyLimit) body->insert(body->end(), piece.begin(), piece.end());
    });
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    const std::string domain = type_;
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskCompletionHandler(description, id, [weak, weakTask, body, targetPath, progress, operation, completionHandler,
                                               domain](ErrorRef error) {
        auto self = weak.lock();
        auto task = weakTask.lock();
        ErrorRef failure = error;
        const int status = task ? statusOf(task->response()) : -1;
        if (!error && status >= 300) {
            failure = self ? self->guardedServerError(status, targetPath, *body)
                           : std::make_shared<FileProviderHTTPError>(domain, status, targetPath, bodyText(*body));
        }
        if (failure) progress->cancel();
        call(completionHandler, failure);
        if (self) notifyOperationResult(self->selfOperations(), operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::upload);
}

// --- Downloads ----------------------------------------------------------------------------------

ProgressRef HTTPFileProvider::download_file(const std::string& path, const platform::URLRequest& request,
                                            const FileOperationType& operation,
                                            std::function<void(std::optional<platform::URL>, ErrorRef)> completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = session()->downloadTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    setTaskCompletionHandler(description, id, [self, progress, operation, completionHandler](ErrorRef error) {
        if (!error) return;  // a finished download has its own handler
        progress->cancel();
        call(completionHandler, std::nullopt, error);
        notifyOperationResult(self, operation, error);
    });
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDownloadHandler(description, id, [self, weakTask, path, progress, operation, completionHandler](const platform::URL& location) {
        auto task = weakTask.lock();
        const int status = task ? statusOf(task->response()) : -1;
        if (status >= 200 && status <= 299) {
            call(completionHandler, location, nullptr);
            return;
        }
        // Every other answer fails, so an error page never becomes the downloaded file.
        ErrorRef error = status >= 300 ? self->guardedServerError(status, path, readBounded(location.path()))
                                       : platform::URLError::make(platform::URLError::badServerResponse, self->url(path));
        progress->cancel();
        call(completionHandler, std::nullopt, error);
        notifyOperationResult(self, operation, error);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

ProgressRef HTTPFileProvider::download_progressive(const std::string& path, const platform::URLRequest& request,
                                                   const FileOperationType& operation, ResponseHandler responseHandler,
                                                   std::function<void(const Data&)> progressHandler,
                                                   SimpleCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = session()->dataTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    auto state = judgedAnswer(description, id, std::move(responseHandler));
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, operation, progressHandler](const Data& piece) {
        if (keptAsErrorPage(*state, piece)) return;
        reportReceived(self, weakTask.lock(), operation);
        call(progressHandler, piece);
    });
    setTaskCompletionHandler(description, id, [self, state, path, progress, operation, completionHandler](ErrorRef error) {
        ErrorRef failure = error;
        if (!failure && state->failed) failure = self->guardedServerError(state->status, path, state->errorBody);
        if (failure) progress->cancel();
        call(completionHandler, failure);
        notifyOperationResult(self, operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

ProgressRef HTTPFileProvider::download(const std::string& path, const platform::URLRequest& request,
                                       const FileOperationType& operation, ResponseHandler responseHandler,
                                       std::shared_ptr<platform::OutputStream> stream, SimpleCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = session()->dataTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    auto state = judgedAnswer(description, id, std::move(responseHandler));
    if (stream) stream->open();
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, stream, operation, completionHandler](const Data& piece) {
        if (piece.empty() || state->reported || keptAsErrorPage(*state, piece)) return;
        auto task = weakTask.lock();
        reportReceived(self, task, operation);
        ErrorRef failure;
        if (!stream) failure = platform::POSIXError::make(EBADF);
        else {
            try {
                RiridOzizevud::write(*stream, std::span<const uint8_t>(piece.data(), piece.size()));
            } catch (...) {
                failure = stream->streamError();
                if (!failure) failure = platform::errorFromException(std::current_exception());
            }
        }
        if (failure) {
            // Reported here, once; the cancellation that follows says nothing more.
            state->reported = true;
            call(completionHandler, failure);
            notifyOperationResult(self, operation, failure);
            if (task) task->cancel();
        }
    });
    setTaskCompletionHandler(description, id, [self, state, stream, path, progress, operation, completionHandler](ErrorRef error) {
        if (stream) stream->close();
        ErrorRef failure = error;
        if (!failure && state->failed) failure = self->guardedServerError(state->status, path, state->errorBody);
        if (failure) progress->cancel();
        if (state->reported) return;
        state->reported = true;
        call(completionHandler, failure);
        notifyOperationResult(self, operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

// --- Transfer operations ------------------------------------------------------------------------

ProgressRef HTTPFileProvider::copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                                       SimpleCompletionHandler completionHandler) {
    std::error_code ec;
    const auto status = localFile.isFileURL() ? std::filesystem::status(localFile.path(), ec)
                                              : std::filesystem::file_status(std::filesystem::file_type::not_found);
    if (ec || !std::filesystem::is_regular_file(status)) {
        const auto code = (ec || !std::filesystem::exists(status)) ? platform::URLError::fileDoesNotExist
                                                                   : platform::URLError::fileIsDirectory;
        later([completionHandler, code, localFile] { call(completionHandler, platform::URLError::make(code, localFile)); });
        return nullptr;
    }
    const auto operation = FileOperationType::copy(localFile.absoluteString(), to);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    ErrorRef requestError;
    const auto request = makeRequest(operation, overwrite, {}, requestError);
    if (!request) {
        auto self = selfOperations();
        later([self, operation, completionHandler, requestError] {
            call(completionHandler, requestError);
            notifyOperationResult(self, operation, requestError);
        });
        return nullptr;
    }
    return upload_file(to, *request, localFile, operation, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::copyItem(const std::string& path, const platform::URL& toLocalURL,
                                       SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::copy(path, toLocalURL.absoluteString());
    ErrorRef requestError;
    const auto request = makeRequest(operation, false, {}, requestError);
    if (!request) {
        auto self = selfOperations();
        later([self, operation, completionHandler, requestError] {
            call(completionHandler, requestError);
            notifyOperationResult(self, operation, requestError);
        });
        return nullptr;
    }
    const ErrorRef fallback = platform::URLError::make(platform::URLError::cannotLoadFromNetwork, url(path));
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    return download_file(path, *request, operation,
                         [weak, operation, toLocalURL, completionHandler, fallback](std::optional<platform::URL> tempURL, ErrorRef error) {
                             auto self = weak.lock();
                             // The download told the delegate of its own failure already.
                             if (error) {
                                 call(completionHandler, error);
                                 return;
                             }
                             if (!tempURL) {
                                 call(completionHandler, fallback);
                                 if (self) notifyOperationResult(self->selfOperations(), operation, fallback);
                                 return;
                             }
                             const ErrorRef moved = moveWithoutReplacing(*tempURL, toLocalURL);
                             call(completionHandler, moved);
                             if (self) notifyOperationResult(self->selfOperations(), operation, moved);
                         });
}

ProgressRef HTTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                       DataCompletionHandler completionHandler) {
    if (length == 0 || offset < 0) {
        later([completionHandler] { call(completionHandler, Data{}, nullptr); });
        return nullptr;
    }
    const auto operation = FileOperationType::fetch(path);
    ErrorRef requestError;
    auto request = makeRequest(operation, false, {}, requestError);
    if (!request) {
        later([completionHandler, requestError] { call(completionHandler, std::nullopt, requestError); });
        return nullptr;
    }
    setRangeHeader(*request, offset, length);
    const bool ranged = request->value("Range").has_value();
    auto sink = std::make_shared<RangeSink>();
    auto response = [sink, ranged, offset, length](std::shared_ptr<const platform::URLResponse> r) {
        // A server that ignored the Range sends the whole file: cut the range out of it.
        if (ranged && statusOf(r) == 200) sink->cut(offset, length);
    };
    return download(path, *request, operation, response, sink, [sink, completionHandler](ErrorRef error) {
        if (error) call(completionHandler, std::nullopt, error);
        else call(completionHandler, sink->data(), nullptr);
    });
}

ProgressRef HTTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                       ResponseHandler responseHandler, ProgressDataHandler progressHandler,
                                       SimpleCompletionHandler completionHandler) {
    if (offset < 0) {
        later([completionHandler] { call(completionHandler, platform::POSIXError::make(EINVAL)); });
        return nullptr;
    }
    const auto operation = FileOperationType::fetch(path);
    ErrorRef requestError;
    auto request = makeRequest(operation, false, {}, requestError);
    if (!request) {
        later([completionHandler, requestError] { call(completionHandler, requestError); });
        return nullptr;
    }
    setRangeHeader(*request, offset, length);
    const bool ranged = request->value("Range").has_value();
    // Touched on the operation queue only: where the next piece starts, and what to skip or keep.
    struct Cursor {
        int64_t position;
        int64_t skip = 0;
        int64_t left = -1;
    };
    auto cursor = std::make_shared<Cursor>(Cursor{offset});
    auto onResponse = [cursor, ranged, offset, length, responseHandler](std::shared_ptr<const platform::URLResponse> r) {
        if (ranged && statusOf(r) == 200) {
            cursor->skip = offset;
            cursor->left = length > 0 ? length : -1;
        }
        call(responseHandler, r);
    };
    auto onPiece = [cursor, progressHandler](const Data& piece) {
        size_t begin = 0;
        if (cursor->skip > 0) {
            begin = static_cast<size_t>(std::min<int64_t>(cursor->skip, static_cast<int64_t>(piece.size())));
            cursor->skip -= static_cast<int64_t>(begin);
        }
        size_t end = piece.size();
        if (cursor->left >= 0) end = begin + static_cast<size_t>(std::min<int64_t>(cursor->left, static_cast<int64_t>(end - begin)));
        if (end <= begin) return;
        const Data part = (begin == 0 && end == piece.size()) ? piece : Data(piece.begin() + static_cast<std::ptrdiff_t>(begin),
                                                                             piece.begin() + static_cast<std::ptrdiff_t>(end));
        if (cursor->left >= 0) cursor->left -= static_cast<int64_t>(part.size());
        call(progressHandler, cursor->position, part);
        cursor->position += static_cast<int64_t>(part.size());
    };
    return download_progressive(path, *request, operation, onResponse, onPiece, [completionHandler](ErrorRef error) {
        call(completionHandler, error);
    });
}

ProgressRef HTTPFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents, bool,
                                            bool overwrite, SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::modify(path);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    Data data = contents.value_or(Data{});
    platform::ValueDictionary attributes;
    attributes[platform::URLResourceKey::contentModificationDateKey] = platform::Value(platform::Date());
    ErrorRef requestError;
    const auto request = makeRequest(operation, overwrite, attributes, requestError);
    if (!request) {
        auto self = selfOperations();
        later([self, operation, completionHandler, requestError] {
            call(completionHandler, requestError);
            notifyOperationResult(self, operation, requestError);
        });
        return nullptr;
    }
    const auto size = static_cast<int64_t>(data.size());
    return upload(path, *request, platform::InputStream::make(std::move(data)), size, operation, std::move(completionHandler));
}

} // namespace RiridOzizevud
