// FTPFileProvider: directory listings, attributes, search, reachability and the recursive listing.
#include "fileprovider/ftp/FTPFileProvider.hpp"

#include "fileprovider/ftp/FTPListParser.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>

namespace RiridOzizevud {

using platform::ErrorRef;
using platform::URLError;

namespace {

// A provider path as the listing parsers take their directory: "/" and the path, no final "/".
std::string providerDirectory(const std::string& path) {
    return "/" + platform::trimSlashes(path);
}

} // namespace

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
            if (platform::startsWith(*reply, "500")) {
                me->setSupportsRFC3659(false);
                return me->attributesOfItem(path, false, *handler);
            }
            if (!platform::startsWith(*reply, "250")) return answer(nullptr, bad);
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


} // namespace RiridOzizevud
