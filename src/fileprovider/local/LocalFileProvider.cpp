#include "fileprovider/local/LocalFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/info/LocalFileInformationGenerator.hpp"
#include "fileprovider/local/LocalFileProviderManagerDelegate.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/text/Strings.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace RiridOzizevud {

namespace {

using platform::URL;

platform::URL validatedBase(const URL& baseURL) {
    if (!baseURL.isFileURL())
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::fileReadUnsupportedScheme,
                                                                   LocalFileProvider::remoteURLMessage));
    return URL::fileURLWithPath(baseURL.path(), true);
}

using platform::trimSlashes;

std::string replacingPrefix(const std::string& s, const std::string& prefix, const std::string& with) {
    return s.compare(0, prefix.size(), prefix) == 0 ? with + s.substr(prefix.size()) : s;
}

// Reads a whole file descriptor in pieces; the file may grow or shrink while it is read.
platform::Data readAll(int fd, const std::string& path) {
    platform::Data data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            platform::throwError(platform::cocoaFileError(errno, path, false));
        }
        if (n == 0) return data;
        data.insert(data.end(), buffer.begin(), buffer.begin() + n);
    }
}

// Opens a regular file, or the regular file a link leads to, for reading; its size through `size`.
// Without O_NONBLOCK a named pipe would block in open() until a writer came, holding the item's
// coordination; anything but a regular file is refused at once. Returns -1 with the errno set.
int openRegularFile(const std::string& path, int64_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = e;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    size = st.st_size;
    return fd;
}

} // namespace


// --- Life -----------------------------------------------------------------------------------------

LocalFileProvider::LocalFileProvider(const URL& baseURL, std::string type)
    : type_(std::move(type)), baseURL_(validatedBase(baseURL)), fileManager_(platform::FileManager::make()),
      opFileManager_(platform::FileManager::make()) {
    const std::string label = "FileProvider." + type_;
    settings_.dispatchQueue.set(platform::DispatchQueue::make(label, platform::DispatchQueue::Attributes::concurrent));
    settings_.operationQueue.set(platform::OperationQueue::make(label + ".Operation"));
}

void LocalFileProvider::didInitialize() {
    auto managerDelegate = std::make_shared<LocalFileProviderManagerDelegate>(self());
    opFileManager_->setDelegate(managerDelegate);
    std::lock_guard lock(mutex_);
    fileProviderManagerDelegate_ = std::move(managerDelegate);
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::make(const URL& baseURL) {
    std::shared_ptr<LocalFileProvider> provider(new LocalFileProvider(baseURL, staticType()));
    provider->didInitialize();
    return provider;
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::make(platform::SearchPathDirectory directory,
                                                           platform::SearchPathDomainMask domainMask) {
    const auto urls = platform::FileManager::urls(directory, domainMask);
    if (urls.empty())
        platform::throwError(platform::CocoaError::make(platform::CocoaError::fileNoSuchFile));
    return make(urls.front());
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::make(const std::string& sharedContainerId,
                                                           platform::SearchPathDirectory directory) {
    const auto container = platform::FileManager::containerURL(sharedContainerId);
    if (!container) return nullptr;
    URL url = container->absoluteURL();
    switch (directory) {
    case platform::SearchPathDirectory::library: url = url.appendingPathComponent("Library", true); break;
    case platform::SearchPathDirectory::documents: url = url.appendingPathComponent("Documents", true); break;
    case platform::SearchPathDirectory::caches: url = url.appendingPathComponent("Library/Caches", true); break;
    case platform::SearchPathDirectory::applicationSupport:
        url = url.appendingPathComponent("Library/Application support", true);
        break;
    }
    auto provider = make(url);
    provider->setIsCoorinating(true);
    try {
        provider->fileManager()->createDirectory(url, true);
    } catch (const platform::Exception&) {
        // A folder that cannot be made shows itself at the first operation.
    }
    return provider;
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::make(const platform::KeyedUnarchiver& coder) {
    const auto base = coder.decodeURL("baseURL");
    if (!base)
        platform::throwError(platform::CocoaError::withDescription(platform::CocoaError::coderValueNotFound,
                                                                   "Base URL is not set."));
    auto provider = make(*base);
    provider->setIsCoorinating(coder.decodeBool("isCoorinating"));
    return provider;
}

void LocalFileProvider::encode(platform::KeyedArchiver& coder) const {
    coder.encode(baseURL_ ? platform::Value(*baseURL_) : platform::Value(), "baseURL");
    coder.encode(isCoorinating(), "isCoorinating");
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::copy() const {
    auto copy = LocalFileProvider::make(*baseURL_);
    copy->setUndoManager(undoManager());
    copy->setIsCoorinating(isCoorinating());
    copy->setDelegate(delegate());
    copy->setFileOperationDelegate(fileOperationDelegate());
    return copy;
}

LocalFileProvider::~LocalFileProvider() {
    std::vector<std::shared_ptr<LocalFileMonitor>> monitors;
    {
        std::lock_guard lock(mutex_);
        monitors.swap(monitors_);
    }
    for (const auto& monitor : monitors) monitor->stop();
}

std::shared_ptr<LocalFileProvider> LocalFileProvider::self() const {
    return std::dynamic_pointer_cast<LocalFileProvider>(
        std::const_pointer_cast<FileProviderBasic>(shared_from_this()));
}

// --- Stored state ---------------------------------------------------------------------------------

void LocalFileProvider::setDispatch_queue(std::shared_ptr<platform::DispatchQueue> queue) {
    if (queue) settings_.dispatchQueue.set(std::move(queue));
}

void LocalFileProvider::setOperation_queue(std::shared_ptr<platform::OperationQueue> queue) {
    if (queue) settings_.operationQueue.set(std::move(queue));
}

std::shared_ptr<platform::UndoManager> LocalFileProvider::undoManager() const {
    return settings_.undoManager.get();
}

void LocalFileProvider::setUndoManager(std::shared_ptr<platform::UndoManager> undoManager) {
    settings_.undoManager.set(std::move(undoManager));
}

// --- Paths ------------------------------------------------------------------------------------------

std::string LocalFileProvider::relativePathOf(const URL& url) const {
    const auto base = baseURL();
    // relativePath is decoded already; decoding it again would misread a name holding "%41".
    const std::string rel = url.relativePath();
    const auto urlBase = url.baseURL();
    if (!rel.empty() && ((!urlBase && !base) || (urlBase && base && *urlBase == *base)))
        return rel[0] == '/' ? rel.substr(1) : rel;
    if (!base) return url.absoluteString();

    static const std::string privateVar = "file:///private/var/";
    static const std::string var = "file:///var/";
    const std::string a = replacingPrefix(url.absoluteString(), privateVar, var);
    const std::string b = replacingPrefix(base->standardizedFileURL().absoluteString(), privateVar, var);
    // Only a leading base is cut: the same text further on is part of a name.
    std::string c;
    if (a.compare(0, b.size(), b) == 0)
        c = "/" + a.substr(b.size());
    else if (a + "/" == b)
        c = "/";
    else
        c = a;
    const std::string d = !c.empty() && c[0] == '/' ? c.substr(1) : c;
    return platform::removingPercentEncoding(d).value_or(d);
}

// --- Listing, attributes, search, reachability -----------------------------------------------------

void LocalFileProvider::contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) {
    auto provider = self();
    dispatch_queue()->async([provider, path, completionHandler = orNothing(std::move(completionHandler))] {
        std::vector<URL> urls;
        try {
            urls = provider->fileManager()->contentsOfDirectory(provider->url(path));
        } catch (...) {
            completionHandler({}, platform::errorFromException(std::current_exception()));
            return;
        }
        std::vector<FileObjectRef> files;
        for (const auto& u : urls) {
            // An item that vanished since it was listed is left out.
            if (auto entry = LocalFileObject::make(provider->relativePathOf(u), provider->baseURL()))
                files.push_back(std::move(entry));
        }
        completionHandler(std::move(files), nullptr);
    });
}

void LocalFileProvider::attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) {
    auto provider = self();
    dispatch_queue()->async([provider, path, completionHandler = orNothing(std::move(completionHandler))] {
        auto entry = LocalFileObject::make(path, provider->baseURL());
        if (entry) {
            completionHandler(std::move(entry), nullptr);
            return;
        }
        // No entry is no answer: say why, so a missing item is never taken for one without attributes.
        struct stat st {};
        const std::string filePath = provider->url(path).absoluteURL().path();
        const int e = ::lstat(filePath.c_str(), &st) != 0 ? errno : EIO;
        completionHandler(nullptr, platform::cocoaFileError(e, path, false));
    });
}

void LocalFileProvider::storageProperties(std::function<void(VolumeObjectRef volume)> completionHandler) {
    auto provider = self();
    dispatch_queue()->async([provider, completionHandler = orNothing(std::move(completionHandler))] {
        const auto base = provider->baseURL();
        if (!base) {
            completionHandler(nullptr);
            return;
        }
        using K = platform::URLResourceKey;
        static const std::vector<std::string> keys = {
            K::volumeTotalCapacityKey, K::volumeAvailableCapacityKey, K::volumeURLKey,    K::volumeNameKey,
            K::volumeIsReadOnlyKey,    K::volumeCreationDateKey,      isEncryptedKey};
        VolumeObjectRef volume;
        try {
            volume = std::make_shared<VolumeObject>(platform::FileManager::volumeResourceValues(*base, keys));
        } catch (const platform::Exception&) {
        }
        completionHandler(std::move(volume));
    });
}

ProgressRef LocalFileProvider::searchFiles(const std::string& path, bool recursive, const platform::PredicateRef& query,
                                           FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    auto provider = self();
    const URL searched = url(path);
    auto progress = platform::Progress::make(-1);
    progress->setUserInfoObject(platform::Value(searched), platform::Progress::fileURLKey);
    dispatch_queue()->async([provider, searched, recursive, query, progress,
                             foundItemHandler = std::move(foundItemHandler),
                             completionHandler = orNothing(std::move(completionHandler))] {
        progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
        if (!query) {
            completionHandler({}, platform::POSIXError::make(EINVAL));
            return;
        }
        ErrorRef firstError;
        platform::FileManager::EnumerationOptions options;
        options.skipsSubdirectoryDescendants = !recursive;
        options.skipsPackageDescendants = !recursive;
        try {
            // Fails here when the folder itself cannot be read: that is no empty result.
            (void)provider->fileManager()->contentsOfDirectory(searched);
        } catch (...) {
            completionHandler({}, platform::errorFromException(std::current_exception()));
            return;
        }
        auto enumerator = provider->fileManager()->enumerator(searched, options, [&firstError](const URL&, const ErrorRef& e) {
            if (!firstError) firstError = e;
            return true;
        });
        std::vector<FileObjectRef> found;
        while (enumerator) {
            const auto next = enumerator->nextObject();
            if (!next || progress->isCancelled()) break;
            auto entry = LocalFileObject::make(provider->relativePathOf(*next), provider->baseURL());
            if (!entry || !query->evaluate(entry->predicateAttributes())) continue;
            found.push_back(entry);
            progress->setCompletedUnitCount(static_cast<int64_t>(found.size()));
            if (foundItemHandler) foundItemHandler(entry);
        }
        completionHandler(std::move(found), firstError);
    });
    return progress;
}

void LocalFileProvider::isReachable(std::function<void(bool reachable, ErrorRef error)> completionHandler) {
    auto provider = self();
    dispatch_queue()->async([provider, completionHandler = orNothing(std::move(completionHandler))] {
        try {
            completionHandler(platform::FileManager::checkResourceIsReachable(*provider->baseURL()), nullptr);
        } catch (...) {
            completionHandler(false, platform::errorFromException(std::current_exception()));
        }
    });
}

// --- Reading ------------------------------------------------------------------------------------------

void LocalFileProvider::runRead(const URL& url, std::function<void(ErrorRef coordinationError)> task) {
    if (isCoorinating()) {
        platform::FileCoordinator::coordinate(
            {platform::FileAccessIntent::readingIntent(url, platform::FileAccessIntent::withoutChanges)},
            operation_queue(), std::move(task));
    } else {
        dispatch_queue()->async([task = std::move(task)] { task(nullptr); });
    }
}

namespace {

ProgressRef readProgress(const std::string& path, const URL& url) {
    auto progress = platform::Progress::make(fileSize(url));
    progress->setUserInfoObject(progressValue(FileOperationType::fetch(path)), fileProvderOperationTypeKey);
    progress->setKind(platform::Progress::kindFile);
    progress->setCancellable(false);
    progress->setFileOperationKind(platform::ProgressFileOperationKind::receiving);
    progress->setUserInfoObject(platform::Value(url), platform::Progress::fileURLKey);
    return progress;
}

} // namespace

ProgressRef LocalFileProvider::contents(const std::string& path, DataCompletionHandler completionHandler) {
    auto provider = self();
    const URL fileURL = url(path);
    auto progress = readProgress(path, fileURL);
    runRead(fileURL, [provider, fileURL, progress, completionHandler = orNothing(std::move(completionHandler))](ErrorRef error) {
        std::optional<Data> data;
        if (!error) {
            progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
            const std::string filePath = fileURL.path();
            int64_t size = -1;
            const int fd = openRegularFile(filePath, size);
            try {
                if (fd < 0) platform::throwError(platform::cocoaFileError(errno, filePath, false));
                data = readAll(fd, filePath);
            } catch (...) {
                error = platform::errorFromException(std::current_exception());
            }
            if (fd >= 0) ::close(fd);
        }
        if (error) {
            progress->cancel();
            data.reset();
        } else {
            progress->setCompletedUnitCount(progress->totalUnitCount());
        }
        provider->dispatch_queue()->async(
            [completionHandler, data = std::move(data), error]() mutable { completionHandler(std::move(data), error); });
    });
    return progress;
}

ProgressRef LocalFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                        DataCompletionHandler completionHandler) {
    auto provider = self();
    const URL fileURL = url(path);
    auto progress = readProgress(path, fileURL);
    runRead(fileURL, [provider, path, fileURL, offset, length, progress,
                      completionHandler = orNothing(std::move(completionHandler))](ErrorRef error) {
        std::optional<Data> data;
        int fd = -1;
        // The size of what was opened: a link's own size is not its file's.
        int64_t size = -1;
        if (!error) {
            fd = openRegularFile(fileURL.path(), size);
            const int e = errno;
            if (fd < 0 && e == ENOENT) error = platform::CocoaError::make(platform::CocoaError::fileNoSuchFile, path);
            // Anything but a regular file has no size to read a range of.
            else if (fd < 0 && (e == EISDIR || e == EINVAL)) {
                progress->cancel();
                error = platform::CocoaError::make(platform::CocoaError::fileReadTooLarge, path);
            } else if (fd < 0) error = platform::cocoaFileError(e, path, false);
        }
        if (!error) {
            progress->setTotalUnitCount(size);
            if (offset < 0 || offset >= size) {
                progress->cancel();
                error = platform::CocoaError::make(platform::CocoaError::fileReadTooLarge, path);
            } else {
                progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
                if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) {
                    progress->cancel();
                    error = platform::CocoaError::make(platform::CocoaError::fileReadTooLarge, path);
                } else {
                    const int64_t available = size - offset;
                    const int64_t wanted = length < 0 ? available : std::min(length, available);
                    Data bytes(static_cast<size_t>(wanted));
                    size_t got = 0;
                    while (got < bytes.size()) {
                        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
                        if (n < 0 && errno == EINTR) continue;
                        if (n < 0) {
                            error = platform::cocoaFileError(errno, path, false);
                            break;
                        }
                        if (n == 0) break;
                        got += static_cast<size_t>(n);
                    }
                    if (error) {
                        progress->cancel();
                    } else {
                        bytes.resize(got);
                        data = std::move(bytes);
                        progress->setCompletedUnitCount(progress->totalUnitCount());
                    }
                }
            }
        }
        if (fd >= 0) ::close(fd);
        provider->dispatch_queue()->async(
            [completionHandler, data = std::move(data), error]() mutable { completionHandler(std::move(data), error); });
    });
    return progress;
}

// --- Monitoring ---------------------------------------------------------------------------------------

void LocalFileProvider::registerNotifcation(const std::string& path, std::function<void()> eventHandler) {
    unregisterNotifcation(path);
    auto monitor = LocalFileMonitor::make(url(path), std::move(eventHandler));
    if (!monitor) return;
    monitor->start();
    std::lock_guard lock(mutex_);
    monitors_.push_back(std::move(monitor));
}

void LocalFileProvider::unregisterNotifcation(const std::string& path) {
    const std::string wanted = trimSlashes(path);
    std::shared_ptr<LocalFileMonitor> removed;
    {
        std::lock_guard lock(mutex_);
        for (auto it = monitors_.begin(); it != monitors_.end(); ++it) {
            if (relativePathOf((*it)->url()) == wanted) {
                removed = *it;
                monitors_.erase(it);
                break;
            }
        }
    }
    if (removed) removed->stop();
}

bool LocalFileProvider::isRegisteredForNotification(const std::string& path) {
    const std::string wanted = trimSlashes(path);
    for (const auto& monitor : monitors())
        if (relativePathOf(monitor->url()) == wanted) return true;
    return false;
}

std::vector<std::shared_ptr<LocalFileMonitor>> LocalFileProvider::monitors() const {
    std::lock_guard lock(mutex_);
    return monitors_;
}

// --- Thumbnails and properties ------------------------------------------------------------------------

bool LocalFileProvider::propertiesOfFileSupported(const std::string& path) {
    return LocalFileInformationGenerator::propertiesOfFileSupported(path);
}

ProgressRef LocalFileProvider::propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) {
    return LocalFileInformationGenerator::propertiesOfFile(*this, path, std::move(completionHandler));
}

bool LocalFileProvider::thumbnailOfFileSupported(const std::string& path) {
    return LocalFileInformationGenerator::thumbnailOfFileSupported(path);
}

ProgressRef LocalFileProvider::thumbnailOfFile(const std::string& path, const std::optional<platform::Size>& dimension,
                                               ThumbnailCompletionHandler completionHandler) {
    return LocalFileInformationGenerator::thumbnailOfFile(*this, path, dimension, std::move(completionHandler));
}

} // namespace RiridOzizevud
