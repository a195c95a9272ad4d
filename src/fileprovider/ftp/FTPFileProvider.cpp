// FTPFileProvider: making, archiving and copying, settings, the session, and paths.
#include "fileprovider/ftp/FTPFileProvider.hpp"

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/data/UUID.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/text/Strings.hpp"

namespace RiridOzizevud {

using platform::URL;

namespace {

using platform::lowercased;

std::string trimmedOf(const std::string& s, const std::string& characters) {
    const size_t b = s.find_first_not_of(characters);
    if (b == std::string::npos) return "";
    const size_t e = s.find_last_not_of(characters);
    return s.substr(b, e - b + 1);
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


} // namespace RiridOzizevud
