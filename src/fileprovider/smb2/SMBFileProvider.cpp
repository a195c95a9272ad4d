#include "fileprovider/smb2/SMBFileProvider.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>

namespace RiridOzizevud {

namespace {

constexpr const char* queueLabel = "FileProvider.SMB";

using platform::lowercased;

// Same form as the other providers' archives: a nested archive of user, password and persistence.
void encodeCredential(platform::KeyedArchiver& coder, const std::optional<platform::URLCredential>& credential) {
    if (!credential) {
        coder.encode(platform::Value(), "credential");
        return;
    }
    platform::KeyedArchiver nested;
    nested.encode(credential->user() ? platform::Value(*credential->user()) : platform::Value(), "user");
    nested.encode(credential->password() ? platform::Value(*credential->password()) : platform::Value(), "password");
    nested.encode(static_cast<int64_t>(credential->persistence()), "persistence");
    coder.encode(nested, "credential");
}

std::optional<platform::URLCredential> decodeCredential(const platform::KeyedUnarchiver& coder) {
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

} // namespace

// --- Life ---------------------------------------------------------------------------------------

std::shared_ptr<SMBFileProvider> SMBFileProvider::make(const platform::URL& url,
                                                       std::optional<platform::URLCredential> credential) {
    const auto scheme = url.scheme();
    if (!scheme || lowercased(*scheme) != "smb") return nullptr;
    return std::make_shared<SMBFileProvider>(Token{}, url.appendingPathComponent("", false), std::move(credential));
}

SMBFileProvider::SMBFileProvider(Token, platform::URL baseURL, std::optional<platform::URLCredential> credential)
    : baseURL_(std::move(baseURL)) {
    settings_.dispatchQueue.set(platform::DispatchQueue::make(queueLabel, platform::DispatchQueue::Attributes::concurrent));
    settings_.operationQueue.set(platform::OperationQueue::make(std::string(queueLabel) + ".Operation"));
    settings_.credential.set(std::move(credential));
}

std::shared_ptr<SMBFileProvider> SMBFileProvider::make(const platform::KeyedUnarchiver& coder) {
    const auto baseURL = coder.decodeURL("baseURL");
    if (!baseURL)
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::coderValueNotFound,
                                                                   "Base URL is not set."));
    return make(*baseURL, decodeCredential(coder));
}

void SMBFileProvider::encode(platform::KeyedArchiver& coder) const {
    coder.encode(platform::Value(baseURL_), "baseURL");
    encodeCredential(coder, credential());
}

std::shared_ptr<SMBFileProvider> SMBFileProvider::copy() const {
    auto copy = make(baseURL_, credential());
    if (!copy) return nullptr;
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    return copy;
}

// --- Fields -------------------------------------------------------------------------------------

std::optional<platform::URL> SMBFileProvider::baseURL() const { return baseURL_; }

// --- Operations ---------------------------------------------------------------------------------

void SMBFileProvider::fail(const std::string& member, std::function<void(ErrorRef)> answer) const {
    ErrorRef error =
        platform::CocoaError::withDescription(platform::CocoaError::featureUnsupported, "Unimplemented operation " + member);
    auto run = [answer = std::move(answer), error = std::move(error)] { answer(error); };
    // The queue keeps itself alive until the item has run, also when the provider goes first.
    if (const auto queue = dispatch_queue()) queue->async(std::move(run));
    else run();
}

void SMBFileProvider::contentsOfDirectory(const std::string&, FilesCompletionHandler completionHandler) {
    if (!completionHandler) return;
    fail("contentsOfDirectory(path:completionHandler:)",
         [completionHandler](ErrorRef error) { completionHandler({}, error); });
}

void SMBFileProvider::attributesOfItem(const std::string&, FileCompletionHandler completionHandler) {
    if (!completionHandler) return;
    fail("attributesOfItem(path:completionHandler:)",
         [completionHandler](ErrorRef error) { completionHandler(nullptr, error); });
}

void SMBFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    if (!completionHandler) return;
    fail("storageProperties(completionHandler:)", [completionHandler](ErrorRef) { completionHandler(nullptr); });
}

ProgressRef SMBFileProvider::searchFiles(const std::string&, bool, const platform::PredicateRef&, FoundItemHandler,
                                         FilesCompletionHandler completionHandler) {
    if (completionHandler)
        fail("searchFiles(path:recursive:query:foundItemHandler:completionHandler:)",
             [completionHandler](ErrorRef error) { completionHandler({}, error); });
    return nullptr;
}

void SMBFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    if (!completionHandler) return;
    fail("isReachable(completionHandler:)", [completionHandler](ErrorRef error) { completionHandler(false, error); });
}

ProgressRef SMBFileProvider::create(const std::string&, const std::string&, SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("create(folder:at:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::moveItem(const std::string&, const std::string&, bool,
                                      SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("moveItem(path:to:overwrite:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::copyItem(const std::string&, const std::string&, bool,
                                      SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("copyItem(path:to:overwrite:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::removeItem(const std::string&, SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("removeItem(path:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::copyItem(const platform::URL&, const std::string&, bool,
                                      SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("copyItem(localFile:to:overwrite:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::copyItem(const std::string&, const platform::URL&,
                                      SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("copyItem(path:toLocalURL:completionHandler:)", completionHandler);
    return nullptr;
}

ProgressRef SMBFileProvider::contents(const std::string&, DataCompletionHandler completionHandler) {
    if (completionHandler)
        fail("contents(path:completionHandler:)",
             [completionHandler](ErrorRef error) { completionHandler(std::nullopt, error); });
    return nullptr;
}

ProgressRef SMBFileProvider::contents(const std::string&, int64_t, int64_t, DataCompletionHandler completionHandler) {
    if (completionHandler)
        fail("contents(path:offset:length:completionHandler:)",
             [completionHandler](ErrorRef error) { completionHandler(std::nullopt, error); });
    return nullptr;
}

ProgressRef SMBFileProvider::writeContents(const std::string&, const std::optional<Data>&, bool, bool,
                                           SimpleCompletionHandler completionHandler) {
    if (completionHandler) fail("writeContents(path:contents:atomically:overwrite:completionHandler:)", completionHandler);
    return nullptr;
}

// --- Monitoring ---------------------------------------------------------------------------------

void SMBFileProvider::registerNotifcation(const std::string&, std::function<void()>) {}

void SMBFileProvider::unregisterNotifcation(const std::string&) {}

bool SMBFileProvider::isRegisteredForNotification(const std::string&) { return false; }

} // namespace RiridOzizevud
