#include "fileprovider/cloud/CloudFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/fs/UbiquityContainer.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace RiridOzizevud {

namespace {

using platform::URL;
using platform::Value;

} // namespace

std::string rawValue(UbiquitousScope scope) {
    return scope == UbiquitousScope::documents ? platform::NSMetadataQueryUbiquitousDocumentsScope
                                               : platform::NSMetadataQueryUbiquitousDataScope;
}

std::optional<UbiquitousScope> ubiquitousScopeFromRawValue(std::string_view raw) {
    if (raw == platform::NSMetadataQueryUbiquitousDataScope) return UbiquitousScope::data;
    if (raw == platform::NSMetadataQueryUbiquitousDocumentsScope) return UbiquitousScope::documents;
    return std::nullopt;
}

// --- Life -----------------------------------------------------------------------------------------

CloudFileProvider::CloudFileProvider(const URL& baseURL, std::optional<std::string> containerId, UbiquitousScope scope,
                                     bool madeFromContainer)
    : LocalFileProvider(baseURL, staticType()), containerId_(std::move(containerId)), scope_(scope),
      madeFromContainer_(madeFromContainer) {}

std::shared_ptr<CloudFileProvider> CloudFileProvider::make(const std::optional<std::string>& containerId,
                                                           UbiquitousScope scope) {
    if (!platform::UbiquityContainer::identityToken()) return nullptr;
    const auto container = platform::UbiquityContainer::containerURL(containerId);
    if (!container) return nullptr;
    const URL base = scope == UbiquitousScope::documents ? container->appendingPathComponent("Documents", true) : *container;
    std::shared_ptr<CloudFileProvider> provider(new CloudFileProvider(base, containerId, scope, true));
    provider->didInitialize();
    try {
        provider->fileManager()->createDirectory(base, true);
    } catch (const platform::Exception&) {
        // A base that cannot be made shows itself at the first operation.
    }
    return provider;
}

std::shared_ptr<CloudFileProvider> CloudFileProvider::make(const URL& baseURL) {
    std::shared_ptr<CloudFileProvider> provider(
        new CloudFileProvider(baseURL, std::nullopt, UbiquitousScope::data, false));
    provider->didInitialize();
    return provider;
}

std::shared_ptr<CloudFileProvider> CloudFileProvider::make(const platform::KeyedUnarchiver& coder) {
    if (const auto containerId = coder.decodeString("containerId")) {
        if (const auto scopeText = coder.decodeString("scope")) {
            if (const auto scope = ubiquitousScopeFromRawValue(*scopeText)) return make(containerId, *scope);
        }
    }
    const auto base = coder.decodeURL("baseURL");
    if (!base)
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::coderValueNotFound,
                                                                   "Base URL is not set."));
    return make(*base);
}

void CloudFileProvider::encode(platform::KeyedArchiver& coder) const {
    LocalFileProvider::encode(coder);
    coder.encode(containerId_ ? Value(*containerId_) : Value(), "containerId");
    coder.encode(rawValue(scope_), "scope");
}

std::shared_ptr<LocalFileProvider> CloudFileProvider::copy() const {
    // A provider made on a folder stays on it; one of the default container would otherwise move.
    auto copy = madeFromContainer_ ? make(containerId_, scope_) : make(*baseURL());
    if (!copy) return nullptr;
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    return copy;
}

CloudFileProvider::~CloudFileProvider() {
    std::map<std::string, Monitor> monitors;
    {
        std::lock_guard lock(monitorsMutex_);
        monitors.swap(monitors_);
    }
    for (const auto& [path, monitor] : monitors) stopMonitor(monitor);
}

std::shared_ptr<CloudFileProvider> CloudFileProvider::cloudSelf() const {
    return std::dynamic_pointer_cast<CloudFileProvider>(std::const_pointer_cast<FileProviderBasic>(shared_from_this()));
}

const std::vector<std::string>& CloudFileProvider::valueListAttributes() {
    static const std::vector<std::string> attributes = {
        platform::NSMetadataItemURLKey,           platform::NSMetadataItemFSNameKey,
        platform::NSMetadataItemPathKey,          platform::NSMetadataItemFSSizeKey,
        platform::NSMetadataItemContentTypeTreeKey, platform::NSMetadataItemFSCreationDateKey,
        platform::NSMetadataItemFSContentChangeDateKey};
    return attributes;
}

// --- Paths -----------------------------------------------------------------------------------------

std::string CloudFileProvider::filePath(const std::string& path) const { return url(path).absoluteURL().path(); }

std::string CloudFileProvider::parentPath(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

platform::PredicateRef CloudFileProvider::pathComparison(platform::ComparisonPredicate::Operator op,
                                                         const std::string& path) {
    using platform::ComparisonPredicate;
    using platform::Expression;
    return std::make_shared<ComparisonPredicate>(Expression::keyPath(platform::NSMetadataItemPathKey),
                                                 Expression::constantValue(path), ComparisonPredicate::Modifier::direct,
                                                 op, ComparisonPredicate::none);
}

// --- Reachability -----------------------------------------------------------------------------------

void CloudFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    dispatch_queue()->async([completionHandler = orNothing(std::move(completionHandler))] {
        completionHandler(platform::UbiquityContainer::identityToken().has_value(), nullptr);
    });
}

// --- Sharing and eviction -------------------------------------------------------------------------------

void CloudFileProvider::publicLink(const std::string& to,
                                   std::function<void(std::optional<URL> link, FileObjectRef attribute,
                                                      std::optional<platform::Date> expiration, ErrorRef error)>
                                       completionHandler) {
    dispatch_queue()->async([to, completionHandler = std::move(completionHandler)] {
        if (completionHandler)
            completionHandler(std::nullopt, nullptr, std::nullopt,
                              platform::CocoaError::make(platform::CocoaError::featureUnsupported, to));
    });
}

void CloudFileProvider::evictItem(const std::string& path, SimpleCompletionHandler completionHandler) {
    const std::string itemPath = filePath(path);
    dispatch_queue()->async([path, itemPath, completionHandler = std::move(completionHandler)] {
        struct stat st {};
        const ErrorRef error = ::lstat(itemPath.c_str(), &st) != 0
                                   ? platform::cocoaFileError(errno, path, false)
                                   : platform::CocoaError::make(platform::CocoaError::featureUnsupported, path);
        if (completionHandler) completionHandler(error);
    });
}

} // namespace RiridOzizevud
