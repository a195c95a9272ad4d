#include "fileprovider/core/FileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/UndoBox.hpp"
#include "platform/text/CharacterSet.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/base/UndoManager.hpp"

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <set>
#include <typeinfo>

namespace RiridOzizevud {

namespace {

std::string stripLeadingSlashes(std::string s) {
    const auto first = s.find_first_not_of('/');
    return first == std::string::npos ? std::string() : s.substr(first);
}

// A Swift-style debug form of a string: in double quotes, with escapes.
std::string debugQuoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[12];
                std::snprintf(buf, sizeof buf, "\\u{%x}", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::optional<FileOperationType> inverse(const FileOperationType& op) {
    using K = FileOperationType::Kind;
    switch (op.kind()) {
    case K::create: return FileOperationType::remove(op.source());
    case K::copy: return FileOperationType::remove(*op.destination());
    case K::move: return FileOperationType::move(*op.destination(), op.source());
    case K::link: return FileOperationType::remove(op.source());
    case K::modify:
    case K::remove:
    case K::fetch: return std::nullopt;
    }
    return std::nullopt;
}

// Splits a provider path into its directory, the file name without extension and the extension,
// as a file URL would (the extension follows the last "." that is neither first nor last).
struct PathParts {
    std::string dir;
    std::string base;
    std::string ext;
};

PathParts splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    PathParts parts;
    std::string name = path;
    if (const auto slash = path.rfind('/'); slash != std::string::npos) {
        parts.dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0 && dot + 1 < name.size()) {
        parts.base = name.substr(0, dot);
        parts.ext = name.substr(dot + 1);
    } else {
        parts.base = name;
    }
    if (parts.base.empty())
        parts.base = "noname";
    return parts;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool isBlank(const std::string& s) {
    return s.find_first_not_of(" \t\n\r\v\f") == std::string::npos;
}

// A decimal number as the counter; a number beyond 64 bits is no counter.
std::optional<int64_t> parseCounter(const std::string& word) {
    const char* first = word.data();
    const char* last = first + word.size();
    if (first != last && *first == '+')
        ++first;
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(first, last, n);
    if (ec != std::errc() || end != last || first == last)
        return std::nullopt;
    return n;
}

// The free file name in a listing for `parts`.
std::string uniqueName(const PathParts& parts, const std::vector<FileObjectRef>& files) {
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        const auto space = parts.base.find(' ', start);
        std::string w = parts.base.substr(start, space == std::string::npos ? std::string::npos : space - start);
        if (!isBlank(w))
            words.push_back(std::move(w));
        if (space == std::string::npos)
            break;
        start = space + 1;
    }
    std::string stem = parts.base;
    int64_t counter = 2;
    // A name that is only a number keeps it as its stem: "3" becomes "3 2", never ".txt".
    if (words.size() > 1) {
        if (const auto n = parseCounter(words.back())) {
            counter = *n;
            words.pop_back();
            stem.clear();
            for (const auto& w : words)
                stem += (stem.empty() ? "" : " ") + w;
        }
    }

    std::set<std::string> taken;
    for (const auto& f : files) {
        if (!f)
            continue;
        std::string name = f->url().lastPathComponent();
        if (name.empty())
            name = f->name();
        if (name.compare(0, stem.size(), stem) == 0)
            taken.insert(std::move(name));
    }

    auto withExt = [&](const std::string& n) { return parts.ext.empty() ? n : n + "." + parts.ext; };
    std::string working = stem;
    // Each round tries a new name, so the loop ends within one round per taken name.
    for (size_t rounds = 0; rounds <= taken.size() + 1; ++rounds) {
        const std::string candidate = withExt(working);
        if (!taken.count(candidate))
            return candidate;
        if (counter == std::numeric_limits<int64_t>::max()) {
            // The counter cannot grow: count on from the whole name instead.
            stem = parts.base;
            counter = 2;
        }
        working = stem + " " + std::to_string(counter);
        ++counter;  // below the largest value here, so it cannot overflow
    }
    return withExt(working);
}

} // namespace

const platform::CharacterSet& pathTrimCharacterSet() {
    static const platform::CharacterSet set = platform::CharacterSet::charactersIn(" /");
    return set;
}

// --- FileProviderBasic --------------------------------------------------------------------------

ProgressRef FileProviderBasic::searchFiles(const std::string& path, bool recursive, const std::string& query,
                                           FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    const auto predicate = platform::Predicate::format("name BEGINSWITH[c] %@", {platform::Value(query)});
    return searchFiles(path, recursive, predicate, std::move(foundItemHandler), std::move(completionHandler));
}

platform::URL FileProviderBasic::url(const std::string& of) const {
    const std::string encoded = percentEncodedPath(of);
    const auto base = baseURL();
    if (!base) {
        if (auto u = platform::URL::parse(encoded))
            return *u;
        return *platform::URL::parse("/");
    }
    const platform::URL absoluteBase = base->absoluteURL();
    // Every leading "/" and every dot segment goes, so the result stays under the base URL
    // ("///host/x" is no network path, "../x" no way out).
    std::string relative = stripLeadingSlashes(platform::URL::removeDotSegments("/" + stripLeadingSlashes(encoded)));
    if (auto u = platform::URL::parse(relative, absoluteBase))
        return *u;
    return absoluteBase;
}

std::string FileProviderBasic::relativePathOf(const platform::URL& url) const {
    // relativePath is decoded already; it is not decoded a second time.
    const std::string rel = url.relativePath();
    const auto base = baseURL();
    if (!rel.empty() && url.baseURL() == base)
        return stripLeadingSlashes(rel);
    if (!base)
        return url.absoluteString();

    const std::string absolute = url.absoluteString();
    const std::string baseString = base->absoluteString();
    std::string result;
    if (absolute.compare(0, baseString.size(), baseString) == 0)
        result = absolute.substr(baseString.size());
    else if (absolute + "/" == baseString)
        result.clear();
    else
        result = absolute;
    result = stripLeadingSlashes(result);

    if (const auto components = platform::URLComponents::parse(result);
        components && components->host() && !components->host()->empty())
        return stripLeadingSlashes(rel);
    return platform::removingPercentEncoding(result).value_or(result);
}

std::string FileProviderBasic::debugDescription() const {
    std::string out = type() + " provider";
    if (const auto base = baseURL())
        out += " - " + base->absoluteString();
    if (const auto cred = credential(); cred && cred->user())
        out += " - " + debugQuoted(*cred->user());
    return out;
}

int FileProviderBasic::maximumOperationTasks() const {
    const auto queue = operation_queue();
    return queue ? queue->maxConcurrentOperationCount() : platform::OperationQueue::defaultMaxConcurrentOperationCount;
}

void FileProviderBasic::setMaximumOperationTasks(int count) {
    if (const auto queue = operation_queue())
        queue->setMaxConcurrentOperationCount(count);
}

std::string FileProviderBasic::fileByUniqueName(const std::string& filePath, double timeout) {
    const PathParts parts = splitPath(filePath);

    // Shared with a listing that may finish after this call has given up and returned.
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<std::string> name;
    };
    auto state = std::make_shared<State>();

    contentsOfDirectory(parts.dir, [state, parts](std::vector<FileObjectRef> files, ErrorRef) {
        std::string name = uniqueName(parts, files);
        {
            std::lock_guard lock(state->mutex);
            state->name = std::move(name);
        }
        state->done.notify_all();
    });

    std::string fileName = parts.ext.empty() ? parts.base : parts.base + "." + parts.ext;
    {
        std::unique_lock lock(state->mutex);
        const auto limit = std::chrono::duration<double>(timeout > 0 ? timeout : 0);
        if (state->done.wait_for(lock, limit, [&] { return state->name.has_value(); }))
            fileName = *state->name;
    }
    return joinPath(parts.dir, fileName);
}

bool operator==(const FileProviderBasic& lhs, const FileProviderBasic& rhs) {
    if (&lhs == &rhs)
        return true;
    if (typeid(lhs) != typeid(rhs))
        return false;
    if (lhs.type() != rhs.type())
        return false;
    if (lhs.baseURL() != rhs.baseURL())
        return false;
    return lhs.credential() == rhs.credential();
}

// --- FileProviderOperations ---------------------------------------------------------------------

ProgressRef FileProviderOperations::moveItem(const std::string& path, const std::string& to,
                                             SimpleCompletionHandler completionHandler) {
    return moveItem(path, to, false, std::move(completionHandler));
}

ProgressRef FileProviderOperations::copyItem(const std::string& path, const std::string& to,
                                             SimpleCompletionHandler completionHandler) {
    return copyItem(path, to, false, std::move(completionHandler));
}

ProgressRef FileProviderOperations::copyItem(const platform::URL& localFile, const std::string& to,
                                             SimpleCompletionHandler completionHandler) {
    return copyItem(localFile, to, false, std::move(completionHandler));
}

// --- FileProviderReadWrite ----------------------------------------------------------------------

ProgressRef FileProviderReadWrite::contents(const std::string& path, DataCompletionHandler completionHandler) {
    return contents(path, 0, -1, std::move(completionHandler));
}

ProgressRef FileProviderReadWrite::writeContents(const std::string& path, const std::optional<Data>& contents,
                                                 SimpleCompletionHandler completionHandler) {
    return writeContents(path, contents, false, false, std::move(completionHandler));
}

ProgressRef FileProviderReadWrite::writeContents(const std::string& path, const std::optional<Data>& contents,
                                                 bool atomically, SimpleCompletionHandler completionHandler) {
    return writeContents(path, contents, atomically, false, std::move(completionHandler));
}

ProgressRef FileProviderReadWrite::writeContentsOverwrite(const std::string& path, const std::optional<Data>& contents,
                                                          bool overwrite, SimpleCompletionHandler completionHandler) {
    return writeContents(path, contents, false, overwrite, std::move(completionHandler));
}

// --- FileProviderReadWriteProgressive -----------------------------------------------------------

ProgressRef FileProviderReadWriteProgressive::contents(const std::string& path, ProgressDataHandler progressHandler,
                                                       SimpleCompletionHandler completionHandler) {
    return contents(path, 0, -1, nullptr, std::move(progressHandler), std::move(completionHandler));
}

ProgressRef FileProviderReadWriteProgressive::contents(const std::string& path, ResponseHandler responseHandler,
                                                       ProgressDataHandler progressHandler,
                                                       SimpleCompletionHandler completionHandler) {
    return contents(path, 0, -1, std::move(responseHandler), std::move(progressHandler), std::move(completionHandler));
}

// --- ExtendedFileProvider -----------------------------------------------------------------------

ProgressRef ExtendedFileProvider::thumbnailOfFile(const std::string& path, ThumbnailCompletionHandler completionHandler) {
    return thumbnailOfFile(path, std::nullopt, std::move(completionHandler));
}

// --- Undo ---------------------------------------------------------------------------------------

bool FileProvideUndoable::canUndo(const ProgressRef& handle) const {
    if (!handle)
        return false;
    const auto stored = handle->userInfoObject(fileProvderOperationTypeKey);
    if (!stored)
        return false;
    const auto op = operationFromProgressValue(*stored);
    return op && canUndo(*op);
}

bool FileProvideUndoable::canUndo(const FileOperationType& operation) const {
    return inverse(operation).has_value();
}

void FileProvideUndoable::_registerUndo(const FileOperationType& operation) {
    const auto manager = undoManager();
    if (!manager)
        return;
    const auto undo = inverse(operation);
    if (!undo)
        return;
    auto self = std::dynamic_pointer_cast<FileProvideUndoable>(weak_from_this().lock());
    if (!self)
        return;  // not owned by a shared_ptr: nothing could run the undo later
    auto box = std::make_shared<UndoBox>(self, operation, *undo);
    self.reset();

    manager->beginUndoGrouping();
    manager->registerUndo(box, [](const std::shared_ptr<void>& target) {
        static_cast<const UndoBox*>(target.get())->doSimpleOperation(target);
    });
    manager->setActionName(operation.actionDescription());
    manager->endUndoGrouping();
}

void FileProvideUndoable::setupUndoManager() {
    if (undoManager())
        return;
    auto manager = std::make_shared<platform::UndoManager>();
    manager->setLevelsOfUndo(10);
    setUndoManager(std::move(manager));
}

// --- Main-queue reports -------------------------------------------------------------------------

void notifyOperationResult(const std::shared_ptr<FileProviderOperations>& fileProvider,
                           const FileOperationType& operation, const ErrorRef& error) {
    if (!fileProvider)
        return;
    platform::DispatchQueue::main()->async([fileProvider, operation, error] {
        const auto delegate = fileProvider->delegate();
        if (!delegate)
            return;
        if (error)
            delegate->fileProviderDidFail(fileProvider, operation, error);
        else
            delegate->fileProviderDidSucceed(fileProvider, operation);
    });
}

void notifyOperationProgress(const std::shared_ptr<FileProviderOperations>& fileProvider,
                             const FileOperationType& operation, double progress) {
    if (!fileProvider)
        return;
    platform::DispatchQueue::main()->async([fileProvider, operation, progress] {
        if (const auto delegate = fileProvider->delegate())
            delegate->fileProviderProgress(fileProvider, operation, static_cast<float>(progress));
    });
}

platform::Value progressValue(const FileOperationType& operation) {
    platform::ValueDictionary d;
    d["type"] = operation.description();
    d["source"] = operation.source();
    if (operation.destination())
        d["dest"] = *operation.destination();
    return platform::Value(std::move(d));
}

std::optional<FileOperationType> operationFromProgressValue(const platform::Value& value) {
    if (const auto* text = value.asString())
        return FileOperationType::fromJSONString(*text);
    const auto* d = value.asDictionary();
    if (!d)
        return std::nullopt;
    nlohmann::json j = nlohmann::json::object();
    for (const char* key : {"type", "source", "dest"})
        if (const platform::Value* v = platform::find(*d, key); v && v->asString())
            j[key] = *v->asString();
    return FileOperationType::fromJSON(j);
}

} // namespace RiridOzizevud
