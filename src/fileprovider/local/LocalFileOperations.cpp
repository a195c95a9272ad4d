// The changing operations of LocalFileProvider: one runner for create, copy, move, modify and
// remove, the writes that use it, and symbolic links.
#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/local/LocalFileProvider.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"

#include <filesystem>

namespace RiridOzizevud {

namespace {

using platform::URL;
using Kind = FileOperationType::Kind;

// How many folders below the base a provider path ends, after its dot segments; -1 when they reach
// above the base. url(of:) would clamp such a path to the base, and a change must not land on an
// item the caller did not name.
int depthOf(const std::string& path) {
    int depth = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view part(path.data() + start, end - start);
        if (part == "..") {
            if (depth == 0) return -1;
            --depth;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return depth;
}

bool climbsAboveBase(const std::string& path) { return depthOf(path) < 0; }
bool namesBase(const std::string& path) { return depthOf(path) == 0; }

bool reachable(const URL& url) {
    try {
        return platform::FileManager::checkResourceIsReachable(url);
    } catch (...) {
        return false;
    }
}

bool promisedReachable(const URL& url) {
    try {
        return platform::FileManager::checkPromisedItemIsReachable(url);
    } catch (...) {
        return false;
    }
}

std::optional<URL> localFileURL(const std::string& text) {
    if (text.rfind("file://", 0) != 0) return std::nullopt;
    auto url = URL::parse(text);
    if (!url || !url->isFileURL()) return std::nullopt;
    return url;
}

std::string joinFolder(const std::string& at, const std::string& folder) {
    if (at.empty()) return folder + "/";
    return (at.back() == '/' ? at + folder : at + "/" + folder) + "/";
}

} // namespace

void LocalFileProvider::fail(const FileOperationType& operation, const ErrorRef& error,
                             SimpleCompletionHandler completionHandler) {
    dispatch_queue()->async([completionHandler = std::move(completionHandler), error] {
        if (completionHandler) completionHandler(error);
    });
    notifyOperationResult(self(), operation, error);
}

ProgressRef LocalFileProvider::doOperation(const FileOperationType& operation, const std::optional<Data>& data,
                                           bool overwrite, bool atomically, bool forUploading,
                                           SimpleCompletionHandler completionHandler) {
    Target target{url(operation.source()), std::nullopt};
    if (forUploading) {
        if (auto local = localFileURL(operation.source())) target.source = *local;
    }
    if (const auto& destination = operation.destination()) {
        const auto local = operation.kind() == Kind::copy && !forUploading ? localFileURL(*destination) : std::nullopt;
        target.destination = local ? *local : url(*destination);
        target.undoable = !local;
        // A download never replaces a local file; a copy or move inside the base does when asked.
        target.replacing = overwrite && !local;
    } else {
        target.replacing = overwrite;
    }
    return runOperation(operation, target, data, overwrite, atomically, forUploading, std::move(completionHandler));
}

ProgressRef LocalFileProvider::runOperation(const FileOperationType& operation, const Target& target,
                                            const std::optional<Data>& data, bool overwrite, bool atomically,
                                            bool forUploading, SimpleCompletionHandler completionHandler) {
    auto progress = platform::Progress::make(-1);
    progress->setUserInfoObject(progressValue(operation), fileProvderOperationTypeKey);
    progress->setKind(platform::Progress::kindFile);
    progress->setCancellable(false);
    progress->setFileOperationKind(platform::ProgressFileOperationKind::receiving);
    progress->setUserInfoObject(platform::Value(target.source), platform::Progress::fileURLKey);

    const auto bad = [&](const std::string& path) {
        return platform::CocoaError::make(platform::CocoaError::fileWriteInvalidFileName, path);
    };
    const bool sourceIsProviderPath = !(forUploading && localFileURL(operation.source()));
    // The base itself is never removed, moved away or replaced.
    const bool removesBase = (operation.kind() == Kind::remove || operation.kind() == Kind::move) &&
                             namesBase(operation.source());
    if (sourceIsProviderPath && (climbsAboveBase(operation.source()) || removesBase)) {
        fail(operation, bad(operation.source()), std::move(completionHandler));
        return nullptr;
    }
    if (const auto& destination = operation.destination();
        destination && target.undoable && (climbsAboveBase(*destination) || namesBase(*destination))) {
        fail(operation, bad(*destination), std::move(completionHandler));
        return nullptr;
    }

    if (!overwrite && target.destination && (reachable(*target.destination) || promisedReachable(*target.destination))) {
        fail(operation,
             platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, *operation.destination()),
             std::move(completionHandler));
        return nullptr;
    }

    auto provider = self();
    auto run = [provider, operation, target, data, atomically, progress,
                completionHandler = std::move(completionHandler)](ErrorRef coordinationError) {
        provider->work(operation, target, data, atomically, progress, coordinationError, completionHandler);
    };

    if (!isCoorinating()) {
        operation_queue()->addOperation([run = std::move(run)] { run(nullptr); });
        return progress;
    }

    using Intent = platform::FileAccessIntent;
    std::vector<Intent> intents;
    switch (operation.kind()) {
    case Kind::create:
    case Kind::modify: intents.push_back(Intent::writingIntent(target.source, Intent::forReplacing)); break;
    case Kind::copy:
        if (!target.destination) break;
        intents.push_back(Intent::readingIntent(target.source, forUploading ? Intent::forUploading : Intent::withoutChanges));
        intents.push_back(Intent::writingIntent(*target.destination, Intent::forReplacing));
        break;
    case Kind::move:
        if (!target.destination) break;
        intents.push_back(Intent::writingIntent(target.source, Intent::forMoving));
        intents.push_back(Intent::writingIntent(*target.destination, Intent::forReplacing));
        break;
    case Kind::remove: intents.push_back(Intent::writingIntent(target.source, Intent::forDeleting)); break;
    case Kind::link:
    case Kind::fetch: break;
    }
    if (intents.empty()) {
        // Nothing this runner can do; the caller still hears of it once.
        run(platform::CocoaError::make(platform::CocoaError::featureUnsupported, operation.source()));
        return nullptr;
    }
    platform::FileCoordinator::coordinate(intents, operation_queue(), std::move(run));
    return progress;
}

void LocalFileProvider::work(const FileOperationType& operation, const Target& target, const std::optional<Data>& data,
                             bool atomically, const ProgressRef& progress, const ErrorRef& coordinationError,
                             SimpleCompletionHandler completionHandler) {
    ErrorRef error = coordinationError;
    bool existedBefore = false;
    int64_t total = -1;
    if (!error) {
        progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
        try {
            bool done = true;
            const auto& fm = opFileManager();
            switch (operation.kind()) {
            case Kind::create:
                existedBefore = platform::FileManager::itemExists(target.source.path());
                if (!operation.source().empty() && operation.source().back() == '/') {
                    total = 1;
                    fm->createDirectory(target.source, true);
                } else {
                    // A new file without contents is an empty file, not nothing.
                    const Data bytes = data.value_or(Data{});
                    total = static_cast<int64_t>(bytes.size());
                    platform::FileManager::write(bytes, target.source, true, target.replacing);
                }
                break;
            case Kind::copy:
            case Kind::move:
                progress->setFileOperationKind(platform::ProgressFileOperationKind::copying);
                total = fileSize(target.source);
                existedBefore = platform::FileManager::itemExists(target.destination->path());
                done = operation.kind() == Kind::copy ? fm->copyItem(target.source, *target.destination, target.replacing)
                                                      : fm->moveItem(target.source, *target.destination, target.replacing);
                break;
            case Kind::modify:
                if (data) {
                    total = static_cast<int64_t>(data->size());
                    platform::FileManager::write(*data, target.source, atomically, true);
                }
                break;
            case Kind::remove:
                total = fileSize(target.source);
                done = fm->removeItem(target.source);
                break;
            case Kind::link:
            case Kind::fetch:
                platform::throwError(platform::CocoaError::make(platform::CocoaError::featureUnsupported, operation.source()));
            }
            if (!done) error = platform::CocoaError::make(platform::CocoaError::userCancelled, operation.source());
        } catch (...) {
            error = platform::errorFromException(std::current_exception());
        }
    }

    if (error) {
        progress->cancel();
    } else {
        progress->setTotalUnitCount(total);
        progress->setCompletedUnitCount(total);
        // Undoing a copy or create removes its result: only when nothing was there before.
        if (target.undoable && (operation.kind() == Kind::move || !existedBefore)) _registerUndo(operation);
    }
    dispatch_queue()->async([completionHandler = std::move(completionHandler), error] {
        if (completionHandler) completionHandler(error);
    });
    notifyOperationResult(self(), operation, error);
}

// --- Entry points -------------------------------------------------------------------------------------

ProgressRef LocalFileProvider::create(const std::string& folder, const std::string& at,
                                      SimpleCompletionHandler completionHandler) {
    const std::string path = joinFolder(at, folder);
    return runOperation(FileOperationType::create(path), Target{url(path), std::nullopt, true, true}, std::nullopt, true,
                        false, false, std::move(completionHandler));
}

ProgressRef LocalFileProvider::moveItem(const std::string& path, const std::string& to, bool overwrite,
                                        SimpleCompletionHandler completionHandler) {
    return runOperation(FileOperationType::move(path, to), Target{url(path), url(to), overwrite, true}, std::nullopt,
                        overwrite, false, false, std::move(completionHandler));
}

ProgressRef LocalFileProvider::copyItem(const std::string& path, const std::string& to, bool overwrite,
                                        SimpleCompletionHandler completionHandler) {
    return runOperation(FileOperationType::copy(path, to), Target{url(path), url(to), overwrite, true}, std::nullopt,
                        overwrite, false, false, std::move(completionHandler));
}

ProgressRef LocalFileProvider::removeItem(const std::string& path, SimpleCompletionHandler completionHandler) {
    return runOperation(FileOperationType::remove(path), Target{url(path), std::nullopt, false, false}, std::nullopt,
                        true, false, false, std::move(completionHandler));
}

ProgressRef LocalFileProvider::copyItem(const URL& localFile, const std::string& to, bool overwrite,
                                        SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::copy(localFile.absoluteString(), to);
    if (isDirectory(localFile)) {
        fail(operation, platform::URLError::make(platform::URLError::fileIsDirectory, localFile),
             std::move(completionHandler));
        return nullptr;
    }
    return runOperation(operation,
                        Target{localFile.absoluteURL(), url(to), overwrite, true}, std::nullopt, overwrite, false, true,
                        std::move(completionHandler));
}

ProgressRef LocalFileProvider::copyItem(const std::string& path, const URL& toLocalURL,
                                        SimpleCompletionHandler completionHandler) {
    return runOperation(FileOperationType::copy(path, toLocalURL.absoluteString()),
                        Target{url(path), toLocalURL.absoluteURL(), false, false}, std::nullopt, true, false, false,
                        std::move(completionHandler));
}

ProgressRef LocalFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents,
                                             bool atomically, bool overwrite, SimpleCompletionHandler completionHandler) {
    const URL fileURL = url(path);
    std::optional<FileOperationType> operation;
    if (reachable(fileURL)) {
        if (overwrite) operation = FileOperationType::modify(path);
    } else if (!promisedReachable(fileURL)) {
        operation = FileOperationType::create(path);
    } else if (overwrite) {
        operation = FileOperationType::modify(path);
    }
    if (!operation) {
        dispatch_queue()->async([completionHandler = std::move(completionHandler), path] {
            if (completionHandler)
                completionHandler(platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, path));
        });
        return nullptr;
    }
    // A new file is put in place without replacing one that appeared meanwhile, unless overwriting.
    return runOperation(*operation, Target{fileURL, std::nullopt, overwrite, true}, contents, true, atomically, false,
                        std::move(completionHandler));
}

// --- Symbolic links -------------------------------------------------------------------------------------

void LocalFileProvider::createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                                           SimpleCompletionHandler completionHandler) {
    auto provider = self();
    operation_queue()->addOperation([provider, symbolicLink, withDestinationPath,
                                     completionHandler = std::move(completionHandler)] {
        const auto operation = FileOperationType::link(symbolicLink, withDestinationPath);
        ErrorRef error;
        if (climbsAboveBase(symbolicLink) || namesBase(symbolicLink))
            error = platform::CocoaError::make(platform::CocoaError::fileWriteInvalidFileName, symbolicLink);
        else if (climbsAboveBase(withDestinationPath))
            error = platform::CocoaError::make(platform::CocoaError::fileWriteInvalidFileName, withDestinationPath);
        if (!error) {
            try {
                // The absolute path: a "~" in a link is never expanded by the system, so other
                // programs would find the link broken.
                provider->opFileManager()->createSymbolicLink(provider->url(symbolicLink).absoluteURL().path(),
                                                              provider->url(withDestinationPath).absoluteURL().path());
            } catch (...) {
                error = platform::errorFromException(std::current_exception());
            }
        }
        if (!error) provider->_registerUndo(operation);
        if (completionHandler) completionHandler(error);
        notifyOperationResult(provider, operation, error);
    });
}

void LocalFileProvider::destination(const std::string& ofSymbolicLink, FileCompletionHandler completionHandler) {
    auto provider = self();
    dispatch_queue()->async([provider, ofSymbolicLink, completionHandler = completionHandler ? std::move(completionHandler)
                                                                                  : FileCompletionHandler([](FileObjectRef, ErrorRef) {})] {
        const std::string linkPath = provider->url(ofSymbolicLink).absoluteURL().path();
        std::string target;
        try {
            target = provider->opFileManager()->destinationOfSymbolicLink(linkPath);
        } catch (...) {
            completionHandler(nullptr, platform::errorFromException(std::current_exception()));
            return;
        }
        // Links written elsewhere in home-relative form.
        if (target == "~" || target.rfind("~/", 0) == 0)
            target = platform::FileManager::homeDirectoryPath() + target.substr(1);
        std::filesystem::path resolved(target);
        if (resolved.is_relative()) resolved = std::filesystem::path(linkPath).parent_path() / resolved;
        resolved = resolved.lexically_normal();

        std::string basePath = provider->baseURL()->path();
        const std::string full = resolved.string();
        const bool inside = full == basePath || basePath == "/" ||
                            (full.compare(0, basePath.size(), basePath) == 0 && full.size() > basePath.size() &&
                             full[basePath.size()] == '/');
        if (!inside) {
            completionHandler(nullptr, platform::CocoaError::make(platform::CocoaError::fileReadNoPermission, full));
            return;
        }
        completionHandler(LocalFileObject::make(full, provider->baseURL()), nullptr);
    });
}

} // namespace RiridOzizevud
