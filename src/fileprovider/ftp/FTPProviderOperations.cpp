// FTPFileProvider: the operations of one or two commands (folders, moves, server copies, removals,
// links), with the copy through a local file and the removal of a whole tree.
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/FTPProviderOperation.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/base/UndoManager.hpp"
#include "platform/data/UUID.hpp"
#include "platform/text/Collation.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <filesystem>

namespace RiridOzizevud {

using platform::ErrorRef;
using platform::URL;
using platform::URLError;

namespace {

std::string joinedPath(const std::string& at, const std::string& name) {
    std::string base = at;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/" + platform::trimSlashes(name);
}

} // namespace

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

// --- Operations ---------------------------------------------------------------------------------

ProgressRef FTPFileProvider::startOperation(const FileOperationType& operation, bool askDelegate,
                                            std::function<void(std::shared_ptr<Operation>, ErrorRef)> loggedIn,
                                            std::optional<std::string> mustBeFree) {
    if (askDelegate && !insideAllowedOperation)
        if (auto d = fileOperationDelegate(); d && !d->fileProviderShouldStart(operations(), operation)) return nullptr;
    auto op = std::make_shared<Operation>(operation);
    op->progress = platform::Progress::make(1);
    op->progress->setUserInfoObject(progressValue(operation), fileProvderOperationTypeKey);
    op->progress->setKind(platform::Progress::kindFile);
    op->progress->setFileOperationKind(platform::ProgressFileOperationKind::downloading);
    op->engine = engine();
    // The connection is made only when it is used: an operation refused before its login leaves none behind.
    auto logIn = [op, loggedIn] {
        if (op->progress->isCancelled()) return loggedIn(op, URLError::make(URLError::cancelled));
        op->control = op->engine->makeControlTask();
        op->control->setTaskDescription(op->operation.jsonString());
        std::weak_ptr<FileProviderStreamTask> weakControl = op->control;
        op->progress->setCancellationHandler([weakControl] {
            if (auto c = weakControl.lock()) c->cancel();
        });
        op->engine->logIn(op->control, [op, loggedIn](ErrorRef error) { loggedIn(op, error); });
    };
    if (!mustBeFree) {
        logIn();
        return op->progress;
    }
    // Asked before the operation's own connection opens: some servers take one connection at a time.
    // An existing item is not replaced unasked, and the caller hears why.
    attributesOfItem(*mustBeFree, [op, loggedIn, logIn, path = *mustBeFree](FileObjectRef file, ErrorRef) {
        if (file) return loggedIn(op, platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, path));
        logIn();
    });
    return op->progress;
}

void FTPFileProvider::finish(const std::shared_ptr<Operation>& op, ErrorRef error, bool notify, bool registerUndo) {
    if (op->done.exchange(true)) return;
    if (op->control) op->engine->quit(op->control);
    if (error) {
        // A reply still awaited on the control connection (a stalled transfer's) must not keep it.
        if (op->control) op->control->cancel();
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
    return doOperation(FileOperationType::create(joinedPath(at, folder) + "/"), false, std::move(completionHandler));
}

ProgressRef FTPFileProvider::moveItem(const std::string& path, const std::string& to, bool overwrite,
                                      SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::move(path, to), overwrite, std::move(completionHandler));
}

ProgressRef FTPFileProvider::copyItem(const std::string& path, const std::string& to, bool overwrite,
                                      SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::copy(path, to), overwrite, std::move(completionHandler));
}

ProgressRef FTPFileProvider::removeItem(const std::string& path, SimpleCompletionHandler completionHandler) {
    return doOperation(FileOperationType::remove(path), false, std::move(completionHandler));
}

void FTPFileProvider::createSymbolicLink(const std::string& symbolicLink, const std::string& withDestinationPath,
                                         SimpleCompletionHandler completionHandler) {
    doOperation(FileOperationType::link(symbolicLink, withDestinationPath), false, std::move(completionHandler));
}

namespace {

// The command lines of an operation; none for an operation no command does.
std::optional<std::vector<std::string>> commandLines(const FileOperationType& operation, const std::string& source,
                                                     const std::string& destination) {
    using Kind = FileOperationType::Kind;
    switch (operation.kind()) {
    case Kind::create: return std::vector<std::string>{"MKD " + source};
    case Kind::copy: return std::vector<std::string>{"SITE CPFR " + source, "SITE CPTO " + destination};
    case Kind::move: return std::vector<std::string>{"RNFR " + source, "RNTO " + destination};
    case Kind::remove: return std::vector<std::string>{"DELE " + source};
    case Kind::link: return std::vector<std::string>{"SITE SYMLINK " + source + " " + destination};
    case Kind::modify:
    case Kind::fetch: break;
    }
    return std::nullopt;
}

// The error of a refused operation that has no other way.
URLError::Code refusalCode(FileOperationType::Kind kind) {
    using Kind = FileOperationType::Kind;
    switch (kind) {
    case Kind::create: return URLError::cannotCreateFile;
    case Kind::move: return URLError::cannotMoveFile;
    default: return URLError::cannotWriteToFile;
    }
}

} // namespace

ProgressRef FTPFileProvider::doOperation(const FileOperationType& operation, bool overwrite,
                                         SimpleCompletionHandler completionHandler) {
    auto commands = commandLines(operation, serverPath(operation.source()),
                                 operation.destination() ? serverPath(*operation.destination()) : "");
    if (!commands) {
        // No command does these; the caller still hears back.
        async([completionHandler] {
            if (completionHandler) completionHandler(URLError::make(URLError::unsupportedURL));
        });
        return nullptr;
    }
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    // A server's rename or copy replaces what is there: without overwrite, nothing may be there.
    const bool replaces = operation.kind() == FileOperationType::Kind::copy || operation.kind() == FileOperationType::Kind::move;
    const auto mustBeFree = replaces && !overwrite ? operation.destination() : std::nullopt;
    auto progress = startOperation(
        operation, true,
        [me, commands = std::move(*commands), overwrite, handler](std::shared_ptr<Operation> op, ErrorRef error) {
            op->completion = *handler;
            op->overwrite = overwrite;
            if (error) return me->finish(op, error);
            me->sendCommands(op, commands);
        },
        mustBeFree);
    if (progress) progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
    return progress;
}

void FTPFileProvider::sendCommands(const std::shared_ptr<Operation>& op, std::vector<std::string> commands) {
    auto me = self();
    const URL itemURL = op->engine->url(op->operation.source());
    const size_t count = commands.size();
    // Commands go one at a time: every reply is judged, a line break never joins two.
    auto list = std::make_shared<const std::vector<std::string>>(std::move(commands));
    auto onReply = std::make_shared<const ChainStep>(
        [me, op, itemURL, count](size_t i, std::optional<std::string> reply, ErrorRef error, std::function<void()> next) {
            if (error) return me->finish(op, error);
            if (!reply) return me->finish(op, URLError::make(URLError::badServerResponse, itemURL));
            const bool last = i + 1 == count;
            // "350" asks for the second half of a pair; "2xx" ends well.
            if (!platform::startsWith(*reply, last ? "2" : "3")) return me->whenRefused(op);
            if (last) return me->finish(op, nullptr, true, true);
            next();
        });
    sendChain(op->engine, op->control, list, 0, onReply);
}

void FTPFileProvider::whenRefused(const std::shared_ptr<Operation>& op) {
    switch (op->operation.kind()) {
    case FileOperationType::Kind::copy: return copyThroughLocalFiles(op);
    // The item may be a directory.
    case FileOperationType::Kind::remove: return removeDirectory(op);
    default:
        return finish(op, URLError::make(refusalCode(op->operation.kind()), op->engine->url(op->operation.source())));
    }
}

void FTPFileProvider::copyThroughLocalFiles(const std::shared_ptr<Operation>& op) {
    auto me = self();
    // Every step from here runs on a connection of its own.
    op->engine->quit(op->control);
    attributesOfItem(op->operation.source(), [me, op](FileObjectRef item, ErrorRef error) {
        if (!item) return me->finish(op, error ? error : URLError::make(URLError::fileDoesNotExist, op->engine->url(op->operation.source())));
        if (item->isDirectory()) return me->copyFolderThroughLocalFiles(op);
        me->copyThroughLocalFile(op->operation.source(), *op->operation.destination(), op->overwrite, op->progress,
                                 [me, op](ErrorRef error) { me->finish(op, error, true, true); });
    });
}

void FTPFileProvider::copyThroughLocalFile(const std::string& path, const std::string& to, bool overwrite,
                                           ProgressRef parent, std::function<void(ErrorRef)> completionHandler) {
    auto me = self();
    const auto temporary = std::filesystem::temp_directory_path() / (platform::newUUIDString() + ".tmp");
    const URL local = URL::fileURLWithPath(temporary.string());
    auto removeTemporary = [temporary] {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    };
    // The download and the upload are steps of the copy: their progress is part of its progress.
    auto asChildOf = [parent](const std::function<void()>& start) {
        if (parent) parent->becomeCurrent(1);
        AllowedOperationScope allowed;
        start();
        if (parent) parent->resignCurrent();
    };
    asChildOf([&] {
        copyItem(path, local, [me, local, to, overwrite, removeTemporary, asChildOf, completionHandler](ErrorRef error) {
            if (error) {
                removeTemporary();
                return completionHandler(error);
            }
            asChildOf([&] {
                me->copyItem(local, to, overwrite, [removeTemporary, completionHandler](ErrorRef error) {
                    removeTemporary();
                    completionHandler(error);
                });
            });
        });
    });
}

namespace {

// Steps that run one after another until one fails.
using Step = std::function<void(std::function<void(ErrorRef)> done)>;

void runSteps(std::shared_ptr<const std::vector<Step>> steps, size_t index, const ProgressRef& progress,
              std::function<void(ErrorRef)> done) {
    if (index == steps->size()) return done(nullptr);
    if (progress->isCancelled()) return done(URLError::make(URLError::cancelled));
    (*steps)[index]([steps, index, progress, done](ErrorRef error) {
        if (error) return done(error);
        runSteps(steps, index + 1, progress, done);
    });
}

} // namespace

void FTPFileProvider::copyFolderThroughLocalFiles(const std::shared_ptr<Operation>& op) {
    auto me = self();
    const std::string source = "/" + platform::trimSlashes(op->operation.source());
    const std::string destination = "/" + platform::trimSlashes(*op->operation.destination());
    recursiveList(source, nullptr, [me, op, source, destination](std::vector<FileObjectRef> files, ErrorRef error) {
        if (error) return me->finish(op, error);
        // A folder comes before what it holds.
        std::sort(files.begin(), files.end(), [](const FileObjectRef& a, const FileObjectRef& b) { return a->path() < b->path(); });
        auto makeFolder = [me, op](const std::string& path) -> Step {
            return [me, op, path](std::function<void(ErrorRef)> done) {
                const URL folderURL = op->engine->url(path);
                auto engine = me->engine();
                auto control = engine->makeControlTask();
                control->setTaskDescription(FileOperationType::create(path).jsonString());
                engine->logIn(control, [engine, control, command = "MKD " + me->serverPath(path), folderURL, done](ErrorRef error) {
                    if (error) return done(error);
                    engine->sendCommand(command, control, 4, nullptr,
                                        [engine, control, folderURL, done](std::optional<std::string> reply, ErrorRef error) {
                                            engine->quit(control);
                                            if (error) return done(error);
                                            if (!reply || !platform::startsWith(*reply, "2"))
                                                return done(URLError::make(URLError::cannotCreateFile, folderURL));
                                            done(nullptr);
                                        });
                });
            };
        };
        auto steps = std::make_shared<std::vector<Step>>();
        steps->push_back(makeFolder(destination));
        for (const auto& f : files) {
            const std::string path = "/" + platform::trimSlashes(f->path());
            // Only what the listing placed below the folder is copied.
            if (path.size() <= source.size() + 1 || path.compare(0, source.size() + 1, source + "/") != 0) continue;
            const std::string target = destination + path.substr(source.size());
            if (f->isDirectory()) {
                steps->push_back(makeFolder(target));
                continue;
            }
            steps->push_back([me, path, target](std::function<void(ErrorRef)> done) {
                me->copyThroughLocalFile(path, target, false, nullptr, std::move(done));
            });
        }
        runSteps(steps, 0, op->progress, [me, op](ErrorRef error) { me->finish(op, error, true, true); });
    });
}

void FTPFileProvider::removeDirectory(const std::shared_ptr<Operation>& op) {
    auto me = self();
    const URL itemURL = op->engine->url(op->operation.source());
    op->engine->sendCommand("SITE RMDIR " + serverPath(op->operation.source()), op->control, 4, nullptr,
                            [me, op, itemURL](std::optional<std::string> reply, ErrorRef error) {
                                if (error) return me->finish(op, error);
                                if (!reply) return me->finish(op, URLError::make(URLError::badServerResponse, itemURL));
                                if (platform::startsWith(*reply, "50")) return me->removeTree(op, op->operation.source());
                                if (platform::startsWith(*reply, "2")) return me->finish(op, nullptr);
                                me->finish(op, URLError::make(URLError::cannotRemoveFile, itemURL));
                            });
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
                if (!error && (!reply || !platform::startsWith(*reply, "2")))
                    error = URLError::make(URLError::cannotRemoveFile, op->engine->url(op->operation.source()));
                if (error) return me->finish(op, error);
                child->setCompletedUnitCount(static_cast<int64_t>(i + 1));
                if (i + 1 == count) return me->finish(op, nullptr);
                next();
            });
        sendChain(op->engine, op->control, commands, 0, onReply);
    });
}


} // namespace RiridOzizevud
