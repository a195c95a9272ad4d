// HTTPFileProvider's downloads into a local file, put into place whole under the file coordinator.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/HTTPFileProviderHelpers.hpp"

#include "platform/fs/FileManager.hpp"
#include "platform/fs/FilePlacement.hpp"

namespace RiridOzizevud {

namespace {

using httpprovider::call;

} // namespace

ProgressRef HTTPFileProvider::copyItem(const std::string& path, const platform::URL& toLocalURL,
                                       SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::copy(path, toLocalURL.absoluteString());
    const auto refuse = [&](const ErrorRef& error) {
        failLater(operation, error, completionHandler);
        return nullptr;
    };
    if (!toLocalURL.isFileURL()) return refuse(platform::URLError::make(platform::URLError::cannotWriteToFile, toLocalURL));
    const std::string destination = toLocalURL.path();
    // What is there stays: nothing is fetched for a place that is taken.
    if (platform::FileManager::itemExists(destination))
        return refuse(platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, destination));
    // The file is written beside its destination and put into place whole, or not at all.
    std::shared_ptr<platform::PlacementFile> placement;
    try {
        placement = std::make_shared<platform::PlacementFile>(destination);
    } catch (...) {
        return refuse(platform::errorFromException(std::current_exception()));
    }
    ErrorRef requestError;
    const auto request = makeRequest(operation, false, {}, requestError);
    if (!request) return refuse(requestError);
    const ErrorRef fallback = platform::URLError::make(platform::URLError::cannotLoadFromNetwork, url(path));
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    auto queue = operation_queue();
    // Let go as soon as the download ends: a failed one's file is gone before anyone hears of it.
    auto held = std::make_shared<std::shared_ptr<platform::PlacementFile>>(placement);
    return downloadTo(path, *request, operation, std::move(placement),
                      [weak, queue, operation, held, completionHandler, fallback](std::optional<platform::URL> location,
                                                                                             ErrorRef error) {
                          auto self = weak.lock();
                          auto placement = std::move(*held);
                          if (!location) placement.reset();
                          // The download told the delegate of its own failure already.
                          if (error) {
                              call(completionHandler, error);
                              return;
                          }
                          if (!location) {
                              call(completionHandler, fallback);
                              if (self) notifyOperationResult(self->selfOperations(), operation, fallback);
                              return;
                          }
                          // Put into place under the coordination the local provider uses.
                          auto selfOperations = self ? self->selfOperations() : nullptr;
                          platform::placeCoordinated(placement, queue,
                                                     [selfOperations, operation, completionHandler](ErrorRef failure) {
                                                         call(completionHandler, failure);
                                                         if (selfOperations)
                                                             notifyOperationResult(selfOperations, operation, failure);
                                                     });
                      });
}

} // namespace RiridOzizevud
