// The defaults of the provider interfaces: convenience forms, text search, description, equality
// and the size of the operation queue.
#include "fileprovider/core/FileProvider.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <cstdio>
#include <typeinfo>

namespace RiridOzizevud {

namespace {

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

} // namespace

// --- FileProviderBasic --------------------------------------------------------------------------

ProgressRef FileProviderBasic::searchFiles(const std::string& path, bool recursive, const std::string& query,
                                           FoundItemHandler foundItemHandler, FilesCompletionHandler completionHandler) {
    const auto predicate = platform::Predicate::format("name BEGINSWITH[c] %@", {platform::Value(query)});
    return searchFiles(path, recursive, predicate, std::move(foundItemHandler), std::move(completionHandler));
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

} // namespace RiridOzizevud
