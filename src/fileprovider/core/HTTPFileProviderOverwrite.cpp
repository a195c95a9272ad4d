// What HTTPFileProvider's overwriting operations check before they go: a file never takes a
// folder's place, since the server would delete the folder's whole tree to make room.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/HTTPFileProviderHelpers.hpp"

#include "platform/text/Strings.hpp"

#include <cerrno>

namespace RiridOzizevud {

namespace {

using httpprovider::call;

// The entity tag as conditional requests name it: quoted, a weak one with its "W/".
std::optional<std::string> entityTag(const FileObject& file) {
    const platform::Value* value = platform::find(file.allValues(), entryTagKey);
    const std::string* tag = value ? value->asString() : nullptr;
    if (!tag || tag->empty()) return std::nullopt;
    return tag->front() == '"' || platform::startsWith(*tag, "W/") ? *tag : "\"" + *tag + "\"";
}

} // namespace

void HTTPFileProvider::checkOverwriteTarget(const std::string& target, const ProgressRef& progress,
                                            std::function<void(ErrorRef refused, OverwriteTarget found)> decided) {
    attributesOfItem(target, [target, progress, decided = std::move(decided)](FileObjectRef file, ErrorRef error) {
        if (progress && progress->isCancelled()) {
            decided(platform::URLError::make(platform::URLError::cancelled), {});
            return;
        }
        OverwriteTarget found;
        if (file) {
            // As the local provider refuses it.
            if (file->isDirectory()) {
                decided(platform::cocoaFileError(EISDIR, target, true), found);
                return;
            }
            found.entryTag = entityTag(*file);
        } else {
            // Only a "not found" tells that nothing is there; any other failure tells nothing, and
            // the operation goes as asked (the server then answers it as before).
            const auto http = std::dynamic_pointer_cast<const FileProviderHTTPError>(error);
            found.absent = http && http->statusCode() == 404;
        }
        decided(nullptr, found);
    });
}

std::optional<platform::URLRequest> HTTPFileProvider::requestAfterCheck(const platform::URLRequest& request,
                                                                        const FileOperationType& operation,
                                                                        const platform::ValueDictionary& attributes,
                                                                        const OverwriteTarget& found, ErrorRef& error) {
    // Nothing was there: the request that replaces nothing, so the server refuses whatever came
    // meanwhile instead of deleting it.
    if (found.absent) return makeRequest(operation, false, attributes, error);
    // A file was there: a PUT replaces only that very file, never what took its place meanwhile
    // (a weak tag never matches an If-Match).
    if (found.entryTag && !platform::startsWith(*found.entryTag, "W/") && request.httpMethod == "PUT") {
        platform::URLRequest bound = request;
        bound.setValue(*found.entryTag, "If-Match");
        return bound;
    }
    return request;
}

void HTTPFileProvider::afterOverwriteCheck(const std::string& target, bool overwrite, const platform::URLRequest& request,
                                           const FileOperationType& operation, const platform::ValueDictionary& attributes,
                                           const ProgressRef& progress, const SimpleCompletionHandler& completionHandler,
                                           std::function<void(HTTPFileProvider& self, const platform::URLRequest& request)> send) {
    if (!overwrite) {
        send(*this, request);
        return;
    }
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    checkOverwriteTarget(target, progress, [weak, request, operation, attributes, progress, completionHandler,
                                            send = std::move(send)](ErrorRef refused, const OverwriteTarget& found) {
        auto self = weak.lock();
        if (!refused && !self) refused = platform::URLError::make(platform::URLError::cancelled);
        std::optional<platform::URLRequest> checked;
        if (!refused) {
            try {
                checked = self->requestAfterCheck(request, operation, attributes, found, refused);
            } catch (...) {
                refused = platform::errorFromException(std::current_exception());
            }
        }
        if (refused) {
            progress->cancel();
            call(completionHandler, refused);
            if (self) notifyOperationResult(self->selfOperations(), operation, refused);
            return;
        }
        send(*self, *checked);
    });
}

} // namespace RiridOzizevud
