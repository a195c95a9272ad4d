// RiridOzizevud::HTTPFileProvider's request engine: life, settings, sessions, archiving, the
// members subclasses write, answers and their errors, one-request operations and paging.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/HTTPFileProviderHelpers.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/data/UUID.hpp"
#include "platform/net/URLResponse.hpp"

#include <algorithm>

namespace RiridOzizevud {

std::atomic<bool> fileProviderCancelTasksOnInvalidating{true};

namespace {

using httpprovider::bodyText;
using httpprovider::call;
using platform::statusOf;

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

void HTTPFileProvider::failLater(const FileOperationType& operation, ErrorRef error, SimpleCompletionHandler completionHandler) {
    auto self = selfOperations();
    later([self, operation, error, completionHandler = std::move(completionHandler)] {
        call(completionHandler, error);
        notifyOperationResult(self, operation, error);
    });
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
        failLater(operation, requestError, completionHandler);
        return p;
    }
    // A copy or move that may replace its destination first makes sure no folder is there.
    const auto kind = operation.kind();
    const auto target = operation.destination();
    const bool replaces = overwrite && target && (kind == FileOperationType::Kind::copy || kind == FileOperationType::Kind::move);
    afterOverwriteCheck(replaces ? *target : operation.source(), replaces, *request, operation, {}, p, completionHandler,
                        [self, operation, p, completionHandler](HTTPFileProvider&, const platform::URLRequest& request) {
        // The task holds the provider until it answers.
        auto task = self->session()->dataTask(request, [self, operation, p, completionHandler](
                                                           std::optional<Data> data,
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
    });
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

} // namespace RiridOzizevud
