#include "fileprovider/ftp/FTPFileProvider.hpp"

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/ftp/FTPListParser.hpp"
#include "platform/text/Collation.hpp"
#include "platform/dispatch/DispatchGroup.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/net/Stream.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/data/UUID.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace RiridOzizevud {

using platform::Data;
using platform::ErrorRef;
using platform::URL;
using platform::URLError;

namespace {

using platform::lowercased;

bool hasPrefix(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

std::string trimmedOf(const std::string& s, const std::string& characters) {
    const size_t b = s.find_first_not_of(characters);
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(characters);
    return s.substr(b, e - b + 1);
}

// A provider path as the listing parsers take their directory: "/" and the path, no final "/".
std::string providerDirectory(const std::string& path) {
    std::string p = trimmedOf(path, "/");
    return "/" + p;
}

std::string joinedPath(const std::string& at, const std::string& name) {
    std::string base = at;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/" + trimmedOf(name, "/");
}

} // namespace

struct FTPFileProvider::Operation {
    FileOperationType operation;
    ProgressRef progress;
    std::shared_ptr<FTPSession> engine;
    std::shared_ptr<FileProviderStreamTask> control;
    SimpleCompletionHandler completion;
    std::atomic<bool> done{false};

    explicit Operation(FileOperationType op) : operation(std::move(op)) {}
};

namespace {

// Set while an operation the delegate already allowed starts its own steps (the copy through a local
// file): the steps are part of that operation, not new ones to ask about.
thread_local bool insideAllowedOperation = false;

struct AllowedOperationScope {
    bool previous = insideAllowedOperation;
    AllowedOperationScope() { insideAllowedOperation = true; }
    ~AllowedOperationScope() { insideAllowedOperation = previous; }
    AllowedOperationScope(const AllowedOperationScope&) = delete;
    AllowedOperationScope& operator=(const AllowedOperationScope&) = delete;
};

// Sends commands one after another on one control connection; each reply decides whether the
// next goes out (by calling `next`).
using ChainStep = std::function<void(size_t index, std::optional<std::string> reply, ErrorRef error,
                                     std::function<void()> next)>;

void sendChain(const std::shared_ptr<FTPSession>& engine, const std::shared_ptr<FileProviderStreamTask>& control,
               std::shared_ptr<const std::vector<std::string>> commands, size_t index, std::shared_ptr<const ChainStep> onReply) {
    engine->sendCommand((*commands)[index], control, 4, nullptr,
                        [engine, control, commands, index, onReply](std::optional<std::string> reply, ErrorRef error) {
                            (*onReply)(index, std::move(reply), std::move(error), [engine, control, commands, index, onReply] {
                                sendChain(engine, control, commands, index + 1, onReply);
                            });
                        });
}

} // namespace

// --- Making ---------------------------------------------------------------------------------------

FTPFileProvider::FTPFileProvider(Token, URL baseURL, Mode mode, std::optional<platform::URLCredential> credential,
                                 std::shared_ptr<platform::URLCache> cache)
    : baseURL_(std::move(baseURL)), mode_(mode), cache_(std::move(cache)) {
    settings_.credential.set(std::move(credential));
    const std::string label = "FileProvider." + staticType();
    settings_.dispatchQueue.set(platform::DispatchQueue::make(label, platform::DispatchQueue::Attributes::concurrent));
    settings_.operationQueue.set(platform::OperationQueue::make(label + ".Operation"));
}

std::shared_ptr<FTPFileProvider> FTPFileProvider::make(const URL& baseURL, Mode mode,
                                                       std::optional<platform::URLCredential> credential,
                                                       std::shared_ptr<platform::URLCache> cache) {
    const URL absolute = baseURL.absoluteURL();
    const std::string scheme = lowercased(absolute.scheme().value_or(""));
    if (scheme != "ftp" && scheme != "ftps" && scheme != "ftpes") return nullptr;
    if (!absolute.host() || absolute.host()->empty()) return nullptr;
    auto components = platform::URLComponents::fromURL(absolute);
    // Every entry's and error's URL grows from the base URL: it carries no login. A login written
    // into the address is not lost: without a credential of its own, the provider logs in with it.
    if (!credential && components.user() && !components.user()->empty())
        credential = platform::URLCredential(*components.user(), components.password().value_or(""));
    components.setUser(std::nullopt);
    components.setPassword(std::nullopt);
    if (!components.port) components.port = scheme == "ftps" ? 990 : 21;
    if (components.percentEncodedPath.empty() || components.percentEncodedPath.back() != '/')
        components.percentEncodedPath += '/';
    const auto base = components.url();
    if (!base) return nullptr;
    return std::make_shared<FTPFileProvider>(Token{}, base->absoluteURL(), mode, std::move(credential), std::move(cache));
}

std::shared_ptr<FTPFileProvider> FTPFileProvider::make(const URL& baseURL, bool passive,
                                                       std::optional<platform::URLCredential> credential,
                                                       std::shared_ptr<platform::URLCache> cache) {
    return make(baseURL, passive ? Mode::passive : Mode::active, std::move(credential), std::move(cache));
}

std::shared_ptr<FTPFileProvider> FTPFileProvider::make(const platform::KeyedUnarchiver& coder) {
    const auto baseURL = coder.decodeURL("baseURL");
    if (!baseURL)
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::coderValueNotFound, "Base URL is not set."));
    std::optional<Mode> mode;
    if (auto raw = coder.decodeString("mode")) mode = FTPSession::modeFromRawValue(*raw);
    if (!mode) mode = coder.decodeBool("passiveMode") ? Mode::passive : Mode::active;
    const auto credential = HTTPFileProvider::decodeCredential(coder);
    auto provider = make(*baseURL, *mode, credential, nullptr);
    if (!provider) return nullptr;
    provider->setUseCache(coder.decodeBool("useCache"));
    provider->setValidatingCache(coder.decodeBool("validatingCache"));
    provider->setSupportsRFC3659(coder.decodeBool("supportsRFC3659"));
    provider->setSecuredDataConnection(coder.decodeBool("securedDataConnection"));
    return provider;
}

void FTPFileProvider::encode(platform::KeyedArchiver& coder) const {
    coder.encode(platform::Value(baseURL_), "baseURL");
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
    coder.encode(FTPSession::rawValue(mode_), "mode");
    coder.encode(supportsRFC3659(), "supportsRFC3659");
    coder.encode(securedDataConnection(), "securedDataConnection");
}

std::shared_ptr<FTPFileProvider> FTPFileProvider::copy() const {
    auto copy = make(baseURL_, mode_, credential(), cache_);
    if (!copy) return nullptr;
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    copy->setUseCache(useCache());
    copy->setValidatingCache(validatingCache());
    copy->setSecuredDataConnection(securedDataConnection());
    copy->setSupportsRFC3659(supportsRFC3659());
    return copy;
}

FTPFileProvider::~FTPFileProvider() {
    std::shared_ptr<platform::URLSession> session;
    {
        std::lock_guard lock(sessionMutex_);
        session = session_;
    }
    if (!session) return;
    if (const auto description = session->sessionDescription(); description && !description->empty()) {
        removeSessionCompletionHandlers(*description);
        removeSessionDownloadHandlers(*description);
        removeSessionDataHandlers(*description);
        removeSessionResponseHandlers(*description);
    }
    if (fileProviderCancelTasksOnInvalidating.load())
        session->invalidateAndCancel();
    else
        session->finishTasksAndInvalidate();
}

std::shared_ptr<FTPFileProvider> FTPFileProvider::self() const {
    return std::dynamic_pointer_cast<FTPFileProvider>(
        std::const_pointer_cast<FileProviderBasic>(shared_from_this()));
}

std::shared_ptr<FileProviderOperations> FTPFileProvider::operations() const {
    return std::dynamic_pointer_cast<FileProviderOperations>(std::const_pointer_cast<FileProviderBasic>(shared_from_this()));
}

// --- Settings -----------------------------------------------------------------------------------

void FTPFileProvider::setCredential(std::optional<platform::URLCredential> credential) {
    // Under the session's lock: the first session() and two setters never leave the delegate with
    // an older credential than the provider's.
    std::lock_guard lock(sessionMutex_);
    settings_.credential.set(credential);
    if (sessionDelegate_) sessionDelegate_->setCredential(std::move(credential));
}
std::shared_ptr<platform::UndoManager> FTPFileProvider::undoManager() const {
    return settings_.undoManager.get();
}
void FTPFileProvider::setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) {
    settings_.undoManager.set(std::move(undoManager));
}
ServerTrustPolicy FTPFileProvider::serverTrustPolicy() const {
    return serverTrustPolicy_.get();
}
void FTPFileProvider::setServerTrustPolicy(ServerTrustPolicy policy) {
    serverTrustPolicy_.set(policy);
}

std::shared_ptr<platform::URLSession> FTPFileProvider::session() {
    std::lock_guard lock(sessionMutex_);
    if (session_) return session_;
    auto delegate = std::make_shared<SessionDelegate>(operations());
    delegate->setCredential(credential());
    auto session = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration(), delegate,
                                              operation_queue());
    const std::string description = platform::newUUIDString();
    session->setSessionDescription(description);
    addSessionHandlerTables(description);
    session_ = session;
    sessionDelegate_ = delegate;
    return session;
}

void FTPFileProvider::setSession(std::shared_ptr<platform::URLSession> session) {
    std::lock_guard lock(sessionMutex_);
    if (!session) {
        session_.reset();
        sessionDelegate_.reset();
        return;
    }
    auto description = session->sessionDescription();
    if (!description || description->empty()) {
        description = platform::newUUIDString();
        session->setSessionDescription(description);
    }
    sessionDelegate_ = std::dynamic_pointer_cast<SessionDelegate>(session->delegate());
    addSessionHandlerTables(*description);
    session_ = std::move(session);
}

// --- Paths --------------------------------------------------------------------------------------

URL FTPFileProvider::url(const std::string& of) const {
    const std::string encoded = percentEncodedPath(trimmedOf(of, " /"));
    // Dot segments go inside the path, so the result stays below the base URL.
    std::string relative = URL::removeDotSegments("/" + encoded);
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    // The user says whose address it is; the password stays out of every URL handed out.
    auto components = platform::URLComponents::fromURL(baseURL_);
    const auto c = credential();
    components.setUser(c ? c->user() : std::nullopt);
    components.setPassword(std::nullopt);
    const URL base = components.url().value_or(baseURL_);
    if (auto u = URL::parse(relative, base)) return *u;
    return base;
}

std::string FTPFileProvider::relativePathOf(const URL& url) const {
    // A provider path is the decoded text, whatever login the URL's base carries (url(of:) puts the
    // user in) and whether the URL is relative or absolute.
    std::string p = url.relativePath();
    if (!p.empty() && p.front() == '/') p.erase(0, 1);
    return p;
}

std::string FTPFileProvider::serverPath(const std::string& path) const {
    FTPSession::Configuration c;
    c.baseURL = baseURL_;
    return FTPSession::make(c)->serverPath(path);
}

std::shared_ptr<FTPSession> FTPFileProvider::engine() {
    FTPSession::Configuration c;
    c.baseURL = baseURL_;
    c.credential = credential();
    c.mode = mode_;
    c.securedDataConnection = securedDataConnection();
    c.serverTrustPolicy = serverTrustPolicy();
    c.session = session();
    c.dispatch_queue = dispatch_queue();
    c.type = type();
    c.supportsRFC3659 = supportsRFC3659_;
    c.cache = cache();
    c.useCache = useCache();
    return FTPSession::make(c);
}

void FTPFileProvider::async(std::function<void()> work) const {
    if (auto q = dispatch_queue())
        q->async(std::move(work));
    else
        work();
}

// --- Queries ------------------------------------------------------------------------------------

void FTPFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    contentsOfDirectory(path, supportsRFC3659(), std::move(completionHandler));
}

void FTPFileProvider::contentsOfDirectory(const std::string& path, bool rfc3659enabled, FilesCompletionHandler completionHandler) {
    auto me = self();
    auto e = engine();
    const std::string server = e->serverPath(path);
    auto control = e->makeControlTask();
    control->setTaskDescription(FileOperationType::fetch(server).jsonString());
    auto handler = std::make_shared<FilesCompletionHandler>(std::move(completionHandler));
    auto answer = [me, handler](std::vector<FileObjectRef> files, ErrorRef error) {
        me->async([handler, files = std::move(files), error] {
            if (*handler) (*handler)(files, error);
        });
    };
    e->logIn(control, [me, e, control, path, server, rfc3659enabled, handler, answer](ErrorRef error) {
        if (error) return answer({}, error);
        e->list(control, server, rfc3659enabled, [me, e, control, path, rfc3659enabled, handler, answer](std::vector<std::string> lines, ErrorRef error) {
            e->quit(control);
            if (error && rfc3659enabled && error->is(platform::NSURLErrorDomain, URLError::unsupportedURL))
                return me->contentsOfDirectory(path, false, *handler);
            if (error) return answer({}, error);
            answer(parseFTPListLines(lines, rfc3659enabled, providerDirectory(path), me->baseURL_), nullptr);
        });
    });
}

void FTPFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    attributesOfItem(path, supportsRFC3659(), std::move(completionHandler));
}

void FTPFileProvider::attributesOfItem(const std::string& path, bool rfc3659enabled, FileCompletionHandler completionHandler) {
    auto me = self();
    auto handler = std::make_shared<FileCompletionHandler>(std::move(completionHandler));
    auto answer = [me, handler](FileObjectRef file, ErrorRef error) {
        me->async([handler, file, error] {
            if (*handler) (*handler)(file, error);
        });
    };
    const std::string item = providerDirectory(path);
    if (!rfc3659enabled) {
        // LIST names a directory's contents, not the directory: the item is found in its parent's
        // listing.
        // The base directory itself has no parent to ask: it exists when the server lists it.
        if (item == "/") {
            contentsOfDirectory("/", false, [me, answer](std::vector<FileObjectRef>, ErrorRef error) {
                if (error) return answer(nullptr, error);
                auto root = std::make_shared<FileObject>(ftpURL("/", me->baseURL_), "", "/");
                root->setType(platform::URLFileResourceType::directory);
                answer(root, nullptr);
            });
            return;
        }
        const std::string parent = item.substr(0, item.find_last_of('/'));
        const std::string name = item.substr(item.find_last_of('/') + 1);
        contentsOfDirectory(parent.empty() ? "/" : parent, false, [answer, name, me, item](std::vector<FileObjectRef> files, ErrorRef error) {
            if (error) return answer(nullptr, error);
            for (auto& f : files)
                if (f->name() == name) return answer(f, nullptr);
            answer(nullptr, URLError::make(URLError::fileDoesNotExist, ftpURL(item, me->baseURL_)));
        });
        return;
    }
    auto e = engine();
    const std::string server = e->serverPath(path);
    auto control = e->makeControlTask();
    control->setTaskDescription(FileOperationType::fetch(server).jsonString());
    e->logIn(control, [me, e, control, path, item, server, handler, answer](ErrorRef error) {
        if (error) return answer(nullptr, error);
        e->sendCommand("MLST " + server, control, 4, nullptr, [me, e, control, path, item, server, handler, answer](std::optional<std::string> reply, ErrorRef error) {
            e->quit(control);
            if (error) return answer(nullptr, error);
            const ErrorRef bad = URLError::make(URLError::badServerResponse, ftpURL(server, me->baseURL_));
            if (!reply) return answer(nullptr, bad);
            if (hasPrefix(*reply, "500")) {
                me->setSupportsRFC3659(false);
                return me->attributesOfItem(path, false, *handler);
            }
            if (!hasPrefix(*reply, "250")) return answer(nullptr, bad);
            std::vector<std::string> lines;
            size_t start = 0;
            for (;;) {
                const size_t nl = reply->find('\n', start);
                std::string piece = reply->substr(start, nl == std::string::npos ? std::string::npos : nl - start);
                if (!piece.empty() && piece.back() == '\r') piece.pop_back();
                // Spaces at the end may belong to the name.
                if (!piece.empty()) lines.push_back(piece.substr(std::min(piece.find_first_not_of(" \t"), piece.size())));
                if (nl == std::string::npos) break;
                start = nl + 1;
            }
            if (lines.size() <= 2) return answer(nullptr, bad);
            const std::string directory = item.substr(0, item.find_last_of('/'));
            answer(parseMLSTLine(lines[1], directory.empty() ? "/" : directory, me->baseURL_), nullptr);
        });
    });
}

void FTPFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    async([completionHandler] {
        if (completionHandler) completionHandler(nullptr);
    });
}

ProgressRef FTPFileProvider::searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                         FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    auto matches = [query](const FileObjectRef& f) { return !query || query->evaluate(f->predicateAttributes()); };
    if (!recursive) {
        auto progress = platform::Progress::make(-1);
        contentsOfDirectory(path, [matches, foundItemHandler, completionHandler](std::vector<FileObjectRef> files, ErrorRef error) {
            if (error) {
                if (completionHandler) completionHandler({}, error);
                return;
            }
            std::vector<FileObjectRef> found;
            for (auto& f : files)
                if (matches(f)) {
                    if (foundItemHandler) foundItemHandler(f);
                    found.push_back(f);
                }
            if (completionHandler) completionHandler(found, nullptr);
        });
        return progress;
    }
    return recursiveList(
        path,
        [matches, foundItemHandler](FileObjectRef f) {
            if (foundItemHandler && matches(f)) foundItemHandler(f);
        },
        [matches, completionHandler](std::vector<FileObjectRef> files, ErrorRef error) {
            if (!completionHandler) return;
            if (error) return completionHandler({}, error);
            std::vector<FileObjectRef> found;
            for (auto& f : files)
                if (matches(f)) found.push_back(f);
            completionHandler(found, nullptr);
        });
}

void FTPFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    attributesOfItem("/", [completionHandler](FileObjectRef file, ErrorRef error) {
        if (completionHandler) completionHandler(file != nullptr, error);
    });
}

namespace {

// The walk of a recursive listing: one directory at a time, depth first, on a serial queue.
struct RecursiveWalk : std::enable_shared_from_this<RecursiveWalk> {
    std::shared_ptr<FTPFileProvider> provider;
    std::shared_ptr<platform::DispatchQueue> queue;
    ProgressRef progress;
    FoundItemHandler found;
    FilesCompletionHandler completion;
    std::vector<std::string> pending;
    std::vector<FileObjectRef> all;
    // A server that lists a directory inside itself (a link loop) must not keep the walk going.
    static constexpr size_t maximumDirectories = 100000;
    size_t listed = 0;

    void next() {
        if (progress->isCancelled()) return finish({}, URLError::make(URLError::cancelled));
        if (pending.empty()) return finish(std::move(all), nullptr);
        if (++listed > maximumDirectories) return finish({}, URLError::make(URLError::dataLengthExceedsMaximum));
        const std::string path = pending.back();
        pending.pop_back();
        auto self = shared_from_this();
        provider->contentsOfDirectory(path, [self](std::vector<FileObjectRef> files, ErrorRef error) {
            self->queue->async([self, files = std::move(files), error] {
                if (error) return self->finish({}, error);
                self->progress->setCompletedUnitCount(static_cast<int64_t>(files.size()));
                for (auto it = files.rbegin(); it != files.rend(); ++it)
                    if ((*it)->isDirectory()) self->pending.push_back((*it)->path());
                for (auto& f : files) {
                    if (self->found) self->found(f);
                    self->all.push_back(f);
                }
                self->next();
            });
        });
    }

    void finish(std::vector<FileObjectRef> files, ErrorRef error) {
        auto c = std::move(completion);
        completion = nullptr;
        if (!c) return;
        if (error) return c({}, error);
        if (auto q = provider->dispatch_queue())
            q->async([c, files = std::move(files)] { c(files, nullptr); });
        else
            c(files, nullptr);
    }
};

} // namespace

ProgressRef FTPFileProvider::recursiveList(const std::string& path, FoundItemHandler foundItemsHandler,
                                           FilesCompletionHandler completionHandler) {
    auto walk = std::make_shared<RecursiveWalk>();
    walk->provider = self();
    walk->queue = platform::DispatchQueue::make(type() + ".recursiveList");
    walk->progress = platform::Progress::make(-1);
    walk->found = std::move(foundItemsHandler);
    walk->completion = std::move(completionHandler);
    walk->pending.push_back(path);
    walk->queue->async([walk] { walk->next(); });
    return walk->progress;
}

// --- Operations ---------------------------------------------------------------------------------

ProgressRef FTPFileProvider::startOperation(const FileOperationType& operation, bool askDelegate,
                                            std::function<void(std::shared_ptr<Operation>, ErrorRef)> loggedIn) {
    if (askDelegate && !insideAllowedOperation)
        if (auto d = fileOperationDelegate(); d && !d->fileProviderShouldStart(operations(), operation)) return nullptr;
    auto op = std::make_shared<Operation>(operation);
    op->progress = platform::Progress::make(1);
    op->progress->setUserInfoObject(progressValue(operation), fileProvderOperationTypeKey);
    op->progress->setKind(platform::Progress::kindFile);
    op->progress->setFileOperationKind(platform::ProgressFileOperationKind::downloading);
    op->engine = engine();
    op->control = op->engine->makeControlTask();
    op->control->setTaskDescription(operation.jsonString());
    std::weak_ptr<FileProviderStreamTask> weakControl = op->control;
    op->progress->setCancellationHandler([weakControl] {
        if (auto c = weakControl.lock()) c->cancel();
    });
    op->engine->logIn(op->control, [op, loggedIn](ErrorRef error) { loggedIn(op, error); });
    return op->progress;
}

void FTPFileProvider::finish(const std::shared_ptr<Operation>& op, ErrorRef error, bool notify, bool registerUndo) {
    if (op->done.exchange(true)) return;
    op->engine->quit(op->control);
    if (error) {
        // A reply still awaited on the control connection (a stalled transfer's) must not keep it.
        op->control->cancel();
        op->progress->cancel();
    } else {
        if (registerUndo) _registerUndo(op->operation);
        op->progress->setCompletedUnitCount(op->progress->totalUnitCount());
    }
    auto me = self();
    async([me, op, error, notify] {
        if (op->completion) op->completion(error);
        if (notify) notifyOperationResult(me->operations(), op->operation, error);
    });
}

ProgressRef FTPFileProvider::create(const std::string& folder, const std::string& at, SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::create(joinedPath(at, folder) + "/"), std::move(completionHandler));
}

ProgressRef FTPFileProvider::moveItem(const std::string& path, const std::string& to, bool,
                                      SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::move(path, to), std::move(completionHandler));
}

ProgressRef FTPFileProvider::copyItem(const std::string& path, const std::string& to, bool,
                                      SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::copy(path, to), std::move(completionHandler));
}

ProgressRef FTPFileProvider::removeItem(const std::string& path, SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::remove(path), std::move(completionHandler));
}

void FTPFileProvider::createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                                         SimpleCompletionHandler completionHandler) {
    doOperation(FileOperationType::link(symbolicLink, withDestinationPath), std::move(completionHandler));
}

ProgressRef FTPFileProvider::doOperation(const FileOperationType& operation, SimpleCompletionHandler completionHandler) {
    using Kind = FileOperationType::Kind;
    const std::string s = serverPath(operation.source());
    const std::string d = operation.destination() ? serverPath(*operation.destination()) : "";
    std::vector<std::string> commands;
    switch (operation.kind()) {
    case Kind::create: commands = {"MKD " + s}; break;
    case Kind::copy: commands = {"SITE CPFR " + s, "SITE CPTO " + d}; break;
    case Kind::move: commands = {"RNFR " + s, "RNTO " + d}; break;
    case Kind::remove: commands = {"DELE " + s}; break;
    case Kind::link: commands = {"SITE SYMLINK " + s + " " + d}; break;
    case Kind::modify:
    case Kind::fetch:
        // No command does these; the caller still hears back.
        async([completionHandler] {
            if (completionHandler) completionHandler(URLError::make(URLError::unsupportedURL));
        });
        return nullptr;
    }
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(operation, true, [me, commands, handler](std::shared_ptr<Operation> op, ErrorRef error) {
        op->completion = *handler;
        if (error) return me->finish(op, error);
        const URL itemURL = op->engine->url(op->operation.source());
        auto refused = [me, op, itemURL] {
            switch (op->operation.kind()) {
            case Kind::copy: {
                // The server cannot copy: through a local file instead.
                op->engine->quit(op->control);
                const auto temporary = std::filesystem::temp_directory_path() / (platform::newUUIDString() + ".tmp");
                const URL local = URL::fileURLWithPath(temporary.string());
                const std::string destination = *op->operation.destination();
                op->progress->becomeCurrent(1);
                AllowedOperationScope allowed;
                me->copyItem(op->operation.source(), local, [me, op, local, temporary, destination](ErrorRef error) {
                    if (error) {
                        std::error_code ignored;
                        std::filesystem::remove(temporary, ignored);
                        return me->finish(op, error);
                    }
                    op->progress->becomeCurrent(1);
                    AllowedOperationScope allowed;
                    me->copyItem(local, destination, false, [me, op, temporary](ErrorRef error) {
                        std::error_code ignored;
                        std::filesystem::remove(temporary, ignored);
                        me->finish(op, error);
                    });
                    op->progress->resignCurrent();
                });
                op->progress->resignCurrent();
                return;
            }
            case Kind::remove:
                // The item may be a directory.
                op->engine->sendCommand("SITE RMDIR " + me->serverPath(op->operation.source()), op->control, 4, nullptr,
                                        [me, op, itemURL](std::optional<std::string> reply, ErrorRef error) {
                                            if (error) return me->finish(op, error);
                                            if (!reply) return me->finish(op, URLError::make(URLError::badServerResponse, itemURL));
                                            if (hasPrefix(*reply, "50")) return me->removeTree(op, op->operation.source());
                                            if (hasPrefix(*reply, "2")) return me->finish(op, nullptr);
                                            me->finish(op, URLError::make(URLError::cannotRemoveFile, itemURL));
                                        });
                return;
            case Kind::create: return me->finish(op, URLError::make(URLError::cannotCreateFile, itemURL));
            case Kind::move: return me->finish(op, URLError::make(URLError::cannotMoveFile, itemURL));
            default: return me->finish(op, URLError::make(URLError::cannotWriteToFile, itemURL));
            }
        };
        // Commands go one at a time: every reply is judged, a line break never joins two.
        auto list = std::make_shared<const std::vector<std::string>>(commands);
        auto onReply = std::make_shared<const ChainStep>(
            [me, op, itemURL, refused, count = commands.size()](size_t i, std::optional<std::string> reply, ErrorRef error,
                                                                 std::function<void()> next) {
                if (error) return me->finish(op, error);
                if (!reply) return me->finish(op, URLError::make(URLError::badServerResponse, itemURL));
                const bool last = i + 1 == count;
                // "350" asks for the second half of a pair; "2xx" ends well.
                if (!hasPrefix(*reply, last ? "2" : "3")) return refused();
                if (last) return me->finish(op, nullptr, true, true);
                next();
            });
        sendChain(op->engine, op->control, list, 0, onReply);
    });
    if (progress) progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
    return progress;
}

void FTPFileProvider::removeTree(const std::shared_ptr<Operation>& op, const std::string& path) {
    auto me = self();
    recursiveList(path, nullptr, [me, op, path](std::vector<FileObjectRef> files, ErrorRef error) {
        if (error) return me->finish(op, error);
        op->progress->becomeCurrent(1);
        auto child = platform::Progress::make(static_cast<int64_t>(files.size()));
        op->progress->resignCurrent();
        // Deepest first: everything comes before the directory that holds it.
        std::stable_sort(files.begin(), files.end(), [](const FileObjectRef& a, const FileObjectRef& b) {
            return platform::localizedStandardCompare(a->path(), b->path()) == platform::ComparisonResult::orderedDescending;
        });
        auto commands = std::make_shared<std::vector<std::string>>();
        for (auto& f : files) commands->push_back((f->isDirectory() ? "RMD " : "DELE ") + me->serverPath(f->path()));
        commands->push_back("RMD " + me->serverPath(path));
        auto onReply = std::make_shared<const ChainStep>(
            [me, op, child, count = commands->size()](size_t i, std::optional<std::string> reply, ErrorRef error,
                                                      std::function<void()> next) {
                if (!error && (!reply || !hasPrefix(*reply, "2")))
                    error = URLError::make(URLError::cannotRemoveFile, op->engine->url(op->operation.source()));
                if (error) return me->finish(op, error);
                child->setCompletedUnitCount(static_cast<int64_t>(i + 1));
                if (i + 1 == count) return me->finish(op, nullptr);
                next();
            });
        sendChain(op->engine, op->control, commands, 0, onReply);
    });
}

// --- Transfers ----------------------------------------------------------------------------------

void FTPFileProvider::storeUnlessTaken(const std::shared_ptr<Operation>& op, const std::string& path, bool overwrite,
                                      std::function<void()> store) {
    if (overwrite) return store();
    auto me = self();
    attributesOfItem(path, [me, op, path, store](FileObjectRef file, ErrorRef) {
        // An existing item is not replaced unasked, and the caller hears why.
        if (file) return me->finish(op, platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, path));
        store();
    });
}

ProgressRef FTPFileProvider::copyItem(const URL& localFile, const std::string& to, bool overwrite,
                                      SimpleCompletionHandler completionHandler) {
    std::error_code ec;
    const std::filesystem::path local = localFile.path();
    const auto status = std::filesystem::status(local, ec);
    if (!localFile.isFileURL() || ec || !std::filesystem::exists(status)) {
        async([completionHandler, localFile] {
            if (completionHandler) completionHandler(URLError::make(URLError::fileDoesNotExist, localFile));
        });
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(status)) {
        async([completionHandler, localFile] {
            if (completionHandler) completionHandler(URLError::make(URLError::fileIsDirectory, localFile));
        });
        return nullptr;
    }
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(FileOperationType::copy(localFile.absoluteString(), to), true,
                                   [me, localFile, to, overwrite, handler](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = *handler;
                                       if (error) return me->finish(op, error);
                                       me->storeUnlessTaken(op, to, overwrite, [me, op, localFile, to] {
                                           auto stream = platform::InputStream::make(localFile);
                                           if (!stream) return me->finish(op, URLError::make(URLError::cannotOpenFile, localFile));
                                           const int64_t size = fileSize(localFile);
                                           auto transfer = me->uploadByREST() ? &FTPSession::storeByREST : &FTPSession::storePlain;
                                           ((*op->engine).*transfer)(
                                               op->control, me->serverPath(to), stream, size,
                                               [op](const std::shared_ptr<FileProviderStreamTask>& data) {
                                                   std::weak_ptr<FileProviderStreamTask> weak = data;
                                                   op->progress->setCancellationHandler([weak] {
                                                       if (auto d = weak.lock()) d->cancel();
                                                   });
                                                   op->progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                                               },
                                               [me, op](int64_t sent, int64_t expected) {
                                                   op->progress->setTotalUnitCount(expected);
                                                   op->progress->setCompletedUnitCount(sent);
                                                   notifyOperationProgress(me->operations(), op->operation, op->progress->fractionCompleted());
                                               },
                                               [me, op](ErrorRef error) { me->finish(op, error); });
                                       });
                                   });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::copyItem(const std::string& path, const URL& toLocalURL, SimpleCompletionHandler completionHandler) {
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(
        FileOperationType::copy(path, toLocalURL.absoluteString()), true,
        [me, path, toLocalURL, handler](std::shared_ptr<Operation> op, ErrorRef error) {
            op->completion = *handler;
            if (error) return me->finish(op, error, false);
            // A download replaces nothing; it is written beside its destination and put into
            // place whole, so a failure leaves the destination as it was.
            const std::string destination = toLocalURL.path();
            if (!toLocalURL.isFileURL()) return me->finish(op, URLError::make(URLError::cannotWriteToFile, toLocalURL));
            if (platform::FileManager::itemExists(destination))
                return me->finish(op, platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, destination));
            auto placement = std::make_shared<std::shared_ptr<platform::PlacementFile>>();
            try {
                *placement = std::make_shared<platform::PlacementFile>(destination);
            } catch (...) {
                return me->finish(op, platform::errorFromException(std::current_exception()));
            }
            op->engine->retrieve(
                op->control, me->serverPath(path), 0, -1,
                [op](const std::shared_ptr<FileProviderStreamTask>& data) {
                    std::weak_ptr<FileProviderStreamTask> weak = data;
                    op->progress->setCancellationHandler([weak] {
                        if (auto d = weak.lock()) d->cancel();
                    });
                    op->progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                },
                [me, op, placement](const Data& chunk, int64_t received, int64_t expected) {
                    try {
                        if (!*placement) return false;
                        (*placement)->write(chunk.data(), chunk.size());
                    } catch (...) {
                        return false;
                    }
                    op->progress->setTotalUnitCount(expected);
                    op->progress->setCompletedUnitCount(received);
                    notifyOperationProgress(me->operations(), op->operation, op->progress->fractionCompleted());
                    return true;
                },
                [me, op, held = placement](ErrorRef error) {
                    // Let go at once: a failed download's file is gone before anyone hears of it.
                    auto placement = std::move(*held);
                    if (error) {
                        placement.reset();
                        return me->finish(op, error);
                    }
                    // Put into place under the coordination the local provider uses.
                    platform::placeCoordinated(placement, me->operation_queue(),
                                               [me, op](ErrorRef failure) { me->finish(op, failure); });
                });
        });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                      DataCompletionHandler completionHandler) {
    auto me = self();
    if (length == 0 || offset < 0) {
        async([me, path, completionHandler] {
            if (completionHandler) completionHandler(Data{}, nullptr);
            notifyOperationResult(me->operations(), FileOperationType::fetch(path), nullptr);
        });
        return nullptr;
    }
    auto handler = std::make_shared<DataCompletionHandler>(std::move(completionHandler));
    auto buffer = std::make_shared<Data>();
    auto progress = startOperation(FileOperationType::fetch(path), false,
                                   [me, path, offset, length, handler, buffer](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = [handler, buffer](ErrorRef error) {
                                           if (!*handler) return;
                                           if (error) return (*handler)(std::nullopt, error);
                                           (*handler)(std::move(*buffer), nullptr);
                                       };
                                       if (error) return me->finish(op, error, false);
                                       op->engine->retrieve(
                                           op->control, me->serverPath(path), offset, length,
                                           [op](const std::shared_ptr<FileProviderStreamTask>& data) {
                                               std::weak_ptr<FileProviderStreamTask> weak = data;
                                               op->progress->setCancellationHandler([weak] {
                                                   if (auto d = weak.lock()) d->cancel();
                                               });
                                               op->progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                                           },
                                           [me, op, buffer](const Data& chunk, int64_t received, int64_t expected) {
                                               buffer->insert(buffer->end(), chunk.begin(), chunk.end());
                                               op->progress->setTotalUnitCount(expected);
                                               op->progress->setCompletedUnitCount(received);
                                               notifyOperationProgress(me->operations(), op->operation,
                                                                       op->progress->fractionCompleted());
                                               return true;
                                           },
                                           [me, op](ErrorRef error) { me->finish(op, error); });
                                   });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents, bool, bool overwrite,
                                           SimpleCompletionHandler completionHandler) {
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto data = std::make_shared<Data>(contents.value_or(Data{}));
    const int64_t total = contents ? static_cast<int64_t>(contents->size()) : -1;
    auto progress = startOperation(FileOperationType::modify(path), true,
                                   [me, path, overwrite, handler, data, total](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = *handler;
                                       if (error) return me->finish(op, error);
                                       auto store = [me, op, path, data, total] {
                                           auto transfer = me->uploadByREST() ? &FTPSession::storeByREST : &FTPSession::storePlain;
                                           ((*op->engine).*transfer)(
                                               op->control, me->serverPath(path), platform::InputStream::make(*data),
                                               static_cast<int64_t>(data->size()),
                                               [op](const std::shared_ptr<FileProviderStreamTask>& task) {
                                                   std::weak_ptr<FileProviderStreamTask> weak = task;
                                                   op->progress->setCancellationHandler([weak] {
                                                       if (auto d = weak.lock()) d->cancel();
                                                   });
                                                   op->progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                                               },
                                               [me, op, total](int64_t sent, int64_t) {
                                                   op->progress->setCompletedUnitCount(sent);
                                                   notifyOperationProgress(me->operations(), op->operation,
                                                                           total > 0 ? op->progress->fractionCompleted() : 0);
                                               },
                                               [me, op](ErrorRef error) { me->finish(op, error); });
                                       };
                                       me->storeUnlessTaken(op, path, overwrite, store);
                                   });
    if (progress) progress->setTotalUnitCount(total);
    return progress;
}

ProgressRef FTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length, ResponseHandler,
                                      ProgressDataHandler progressHandler, SimpleCompletionHandler completionHandler) {
    auto me = self();
    if (length == 0 || offset < 0) {
        async([me, path, completionHandler] {
            if (completionHandler) completionHandler(nullptr);
            notifyOperationResult(me->operations(), FileOperationType::fetch(path), nullptr);
        });
        return nullptr;
    }
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(FileOperationType::fetch(path), false,
                                   [me, path, offset, length, handler, progressHandler](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = *handler;
                                       if (error) return me->finish(op, error, false);
                                       op->engine->retrieve(
                                           op->control, me->serverPath(path), offset, length,
                                           [op](const std::shared_ptr<FileProviderStreamTask>& data) {
                                               std::weak_ptr<FileProviderStreamTask> weak = data;
                                               op->progress->setCancellationHandler([weak] {
                                                   if (auto d = weak.lock()) d->cancel();
                                               });
                                               op->progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                                           },
                                           [me, op, progressHandler](const Data& chunk, int64_t received, int64_t expected) {
                                               if (progressHandler) progressHandler(received - static_cast<int64_t>(chunk.size()), chunk);
                                               op->progress->setTotalUnitCount(expected);
                                               op->progress->setCompletedUnitCount(received);
                                               notifyOperationProgress(me->operations(), op->operation,
                                                                       op->progress->fractionCompleted());
                                               return true;
                                           },
                                           [me, op](ErrorRef error) { me->finish(op, error); });
                                   });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

} // namespace RiridOzizevud
