#include "fileprovider/core/HTTPFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/net/URLResourceKey.hpp"
#include "platform/data/UUID.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/net/URLResponse.hpp"

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

using platform::statusOf;

Data readBounded(const std::string& path) {
    Data out;
    std::ifstream in(path, std::ios::binary);
    if (!in) return out;
    out.resize(kErrorBodyLimit);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return out;
}

// Memory sink of a ranged read.
class MemorySink : public platform::OutputStream {
public:
    void open() override {}
    void close() override {}
    std::ptrdiff_t write(const uint8_t* bytes, std::size_t length) override {
        std::lock_guard lock(mutex_);
        data_.insert(data_.end(), bytes, bytes + length);
        return static_cast<std::ptrdiff_t>(length);
    }
    bool hasSpaceAvailable() const override { return true; }
    Data data() const {
        std::lock_guard lock(mutex_);
        return data_;
    }

private:
    mutable std::mutex mutex_;
    Data data_;
};

// The first and last byte a request's "Range: bytes=first-last" asks for; last -1 for "first-".
std::optional<std::pair<int64_t, int64_t>> requestedRange(const platform::URLRequest& request) {
    const auto range = request.value("Range");
    if (!range || range->rfind("bytes=", 0) != 0) return std::nullopt;
    const std::string spec = range->substr(6);
    const auto dash = spec.find('-');
    if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos) return std::nullopt;
    try {
        const int64_t first = std::stoll(spec.substr(0, dash));
        const int64_t last = dash + 1 < spec.size() ? std::stoll(spec.substr(dash + 1)) : -1;
        if (first < 0 || (last >= 0 && last < first)) return std::nullopt;
        return std::make_pair(first, last);
    } catch (...) {
        return std::nullopt;
    }
}

// Where a transfer's answer stands: its status, and the error page collected instead of the body.
struct AnswerState {
    int status = 0;
    bool failed = false;
    Data errorBody;
    bool reported = false;
    // A server that ignored the Range sends the whole file (200): what is skipped and kept of it.
    std::optional<std::pair<int64_t, int64_t>> range;
    int64_t skip = 0;
    int64_t left = -1;
    // The range arrived whole; the rest of the answer is not waited for.
    bool rangeComplete = false;
};

// The answer's status, judged when its response arrives (which is then passed on).
std::shared_ptr<AnswerState> judgedAnswer(const std::string& sessionDescription, uint64_t taskIdentifier,
                                          const platform::URLRequest& request, ResponseHandler responseHandler) {
    auto state = std::make_shared<AnswerState>();
    state->range = requestedRange(request);
    setTaskResponseHandler(sessionDescription, taskIdentifier,
                           [state, responseHandler = std::move(responseHandler)](std::shared_ptr<const platform::URLResponse> response) {
                               state->status = statusOf(response);
                               state->failed = state->status >= 300;
                               if (state->range && state->status == 200) {
                                   state->skip = state->range->first;
                                   state->left = state->range->second >= 0 ? state->range->second - state->range->first + 1 : -1;
                               }
                               call(responseHandler, response);
                           });
    return state;
}

// The part of a piece that belongs to the asked range (all of it for a 206 or an unranged answer).
Data partInRange(AnswerState& state, const Data& piece) {
    std::size_t begin = 0;
    if (state.skip > 0) {
        begin = static_cast<std::size_t>(std::min<int64_t>(state.skip, static_cast<int64_t>(piece.size())));
        state.skip -= static_cast<int64_t>(begin);
    }
    std::size_t end = piece.size();
    if (state.left >= 0) {
        end = begin + static_cast<std::size_t>(std::min<int64_t>(state.left, static_cast<int64_t>(end - begin)));
        state.left -= static_cast<int64_t>(end - begin);
        state.rangeComplete = state.left == 0;
    }
    if (begin == 0 && end == piece.size()) return piece;
    return Data(piece.begin() + static_cast<std::ptrdiff_t>(begin), piece.begin() + static_cast<std::ptrdiff_t>(end));
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
    const bool cancelTasks = fileProviderCancelTasksOnInvalidating.load();
    if (session) {
        // Tasks left to finish keep their handlers, so their callers hear how they really ended;
        // the session delegate lets the tables go when the session has become invalid.
        if (const auto description = session->sessionDescription();
            cancelTasks && description && !description->empty()) {
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
        if (cancelTasks) session->invalidateAndCancel();
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
    return downloadTo(path, request, operation, nullptr, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::downloadTo(const std::string& path, const platform::URLRequest& request,
                                         const FileOperationType& operation, std::shared_ptr<platform::PlacementFile> into,
                                         std::function<void(std::optional<platform::URL>, ErrorRef)> completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = into ? session()->downloadTask(request, std::move(into)) : session()->downloadTask(request);
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
    auto state = judgedAnswer(description, id, request, std::move(responseHandler));
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, operation, progressHandler](const Data& piece) {
        if (state->rangeComplete || keptAsErrorPage(*state, piece)) return;
        auto task = weakTask.lock();
        reportReceived(self, task, operation);
        const Data part = partInRange(*state, piece);
        if (!part.empty()) call(progressHandler, part);
        if (state->rangeComplete && task) task->cancel();
    });
    setTaskCompletionHandler(description, id, [self, state, path, progress, operation, completionHandler](ErrorRef error) {
        ErrorRef failure = state->rangeComplete ? nullptr : error;
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
    auto state = judgedAnswer(description, id, request, std::move(responseHandler));
    if (stream) stream->open();
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, stream, operation, completionHandler](const Data& piece) {
        if (piece.empty() || state->reported || state->rangeComplete || keptAsErrorPage(*state, piece)) return;
        auto task = weakTask.lock();
        reportReceived(self, task, operation);
        const Data part = partInRange(*state, piece);
        ErrorRef failure;
        if (!stream) failure = platform::POSIXError::make(EBADF);
        else if (!part.empty()) {
            try {
                RiridOzizevud::write(*stream, std::span<const uint8_t>(part.data(), part.size()));
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
            return;
        }
        if (state->rangeComplete && task) task->cancel();
    });
    setTaskCompletionHandler(description, id, [self, state, stream, path, progress, operation, completionHandler](ErrorRef error) {
        if (stream) stream->close();
        ErrorRef failure = state->rangeComplete ? nullptr : error;
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
    auto self = selfOperations();
    const auto refuse = [&](const ErrorRef& error) {
        later([self, operation, completionHandler, error] {
            call(completionHandler, error);
            notifyOperationResult(self, operation, error);
        });
        return nullptr;
    };
    if (!toLocalURL.isFileURL()) return refuse(platform::URLError::make(platform::URLError::cannotWriteToFile, toLocalURL));
    const std::string destination = toLocalURL.path();
    // What is there stays: nothing is fetched for a place that is taken.
    if (platform::FileManager::itemExists(destination))
        return refuse(platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, destination));
    // The file is written beside its destination and put into place whole, or not at all.
    std::shared_ptr<platform::PlacementFile> placement;
    try {
        placement = std::make_shared<platform::PlacementFile>(destination);
    } catch (...) {
        return refuse(platform::errorFromException(std::current_exception()));
    }
    ErrorRef requestError;
    const auto request = makeRequest(operation, false, {}, requestError);
    if (!request) return refuse(requestError);
    const ErrorRef fallback = platform::URLError::make(platform::URLError::cannotLoadFromNetwork, url(path));
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    auto queue = operation_queue();
    // Let go as soon as the download ends: a failed one's file is gone before anyone hears of it.
    auto held = std::make_shared<std::shared_ptr<platform::PlacementFile>>(placement);
    return downloadTo(path, *request, operation, std::move(placement),
                      [weak, queue, operation, held, completionHandler, fallback](std::optional<platform::URL> location,
                                                                                             ErrorRef error) {
                          auto self = weak.lock();
                          auto placement = std::move(*held);
                          if (!location) placement.reset();
                          // The download told the delegate of its own failure already.
                          if (error) {
                              call(completionHandler, error);
                              return;
                          }
                          if (!location) {
                              call(completionHandler, fallback);
                              if (self) notifyOperationResult(self->selfOperations(), operation, fallback);
                              return;
                          }
                          // Put into place under the coordination the local provider uses.
                          auto selfOperations = self ? self->selfOperations() : nullptr;
                          platform::placeCoordinated(placement, queue,
                                                     [selfOperations, operation, completionHandler](ErrorRef failure) {
                                                         call(completionHandler, failure);
                                                         if (selfOperations)
                                                             notifyOperationResult(selfOperations, operation, failure);
                                                     });
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
    auto sink = std::make_shared<MemorySink>();
    return download(path, *request, operation, nullptr, sink, [sink, completionHandler](ErrorRef error) {
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
    // Length 0 reads to the end: from the offset, so that every position handed on is true.
    setRangeHeader(*request, offset, length == 0 ? -1 : length);
    // Touched on the operation queue only: where the next piece starts (download_progressive
    // hands on only what lies in the range).
    auto position = std::make_shared<int64_t>(offset);
    auto onPiece = [position, progressHandler](const Data& piece) {
        call(progressHandler, *position, piece);
        *position += static_cast<int64_t>(piece.size());
    };
    return download_progressive(path, *request, operation, std::move(responseHandler), onPiece, [completionHandler](ErrorRef error) {
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
