// FTPFileProvider: uploads, downloads, ranged and streamed reads and writes.
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/FTPProviderOperation.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/net/Stream.hpp"

#include <filesystem>

namespace RiridOzizevud {

using platform::Data;
using platform::ErrorRef;
using platform::URL;
using platform::URLError;

// --- Transfers ----------------------------------------------------------------------------------

void FTPFileProvider::store(const std::shared_ptr<Operation>& op, const std::string& path,
                            std::shared_ptr<platform::InputStream> stream, int64_t size, FTPSession::ProgressHook onProgress) {
    auto me = self();
    auto done = [me, op](ErrorRef error) { me->finish(op, error); };
    if (uploadByREST())
        op->engine->storeByREST(op->control, serverPath(path), std::move(stream), size, op->dataTaskHook(),
                                std::move(onProgress), std::move(done));
    else
        op->engine->storePlain(op->control, serverPath(path), std::move(stream), size, op->dataTaskHook(),
                               std::move(onProgress), std::move(done));
}

void FTPFileProvider::retrieve(const std::shared_ptr<Operation>& op, const std::string& path, int64_t offset,
                               int64_t length, FTPSession::ChunkHandler onData,
                               std::function<void(ErrorRef)> completionHandler) {
    auto me = self();
    op->engine->retrieve(op->control, serverPath(path), offset, length, op->dataTaskHook(),
                         [me, op, onData = std::move(onData)](const Data& chunk, int64_t received, int64_t expected) {
                             if (onData && !onData(chunk, received, expected)) return false;
                             op->progress->setTotalUnitCount(expected);
                             op->progress->setCompletedUnitCount(received);
                             notifyOperationProgress(me->operations(), op->operation, op->progress->fractionCompleted());
                             return true;
                         },
                         std::move(completionHandler));
}

ProgressRef FTPFileProvider::copyItem(const URL& localFile, const std::string& to, bool overwrite,
                                      SimpleCompletionHandler completionHandler) {
    std::error_code ec;
    const std::filesystem::path local = localFile.path();
    const auto status = std::filesystem::status(local, ec);
    if (!localFile.isFileURL() || ec || !std::filesystem::exists(status)) {
        async([completionHandler, localFile] {
            if (completionHandler) completionHandler(URLError::make(URLError::fileDoesNotExist, localFile));
        });
        return nullptr;
    }
    if (!std::filesystem::is_regular_file(status)) {
        async([completionHandler, localFile] {
            if (completionHandler) completionHandler(URLError::make(URLError::fileIsDirectory, localFile));
        });
        return nullptr;
    }
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(
        FileOperationType::copy(localFile.absoluteString(), to), true,
        [me, localFile, to, handler](std::shared_ptr<Operation> op, ErrorRef error) {
            op->completion = *handler;
            if (error) return me->finish(op, error);
            auto stream = platform::InputStream::make(localFile);
            if (!stream) return me->finish(op, URLError::make(URLError::cannotOpenFile, localFile));
            me->store(op, to, stream, fileSize(localFile), [me, op](int64_t sent, int64_t expected) {
                op->progress->setTotalUnitCount(expected);
                op->progress->setCompletedUnitCount(sent);
                notifyOperationProgress(me->operations(), op->operation, op->progress->fractionCompleted());
            });
        },
        overwrite ? std::nullopt : std::optional<std::string>(to));
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::copyItem(const std::string& path, const URL& toLocalURL, SimpleCompletionHandler completionHandler) {
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(
        FileOperationType::copy(path, toLocalURL.absoluteString()), true,
        [me, path, toLocalURL, handler](std::shared_ptr<Operation> op, ErrorRef error) {
            op->completion = *handler;
            if (error) return me->finish(op, error, false);
            // A download replaces nothing; it is written beside its destination and put into
            // place whole, so a failure leaves the destination as it was.
            const std::string destination = toLocalURL.path();
            if (!toLocalURL.isFileURL()) return me->finish(op, URLError::make(URLError::cannotWriteToFile, toLocalURL));
            if (platform::FileManager::itemExists(destination))
                return me->finish(op, platform::CocoaError::make(platform::CocoaError::fileWriteFileExists, destination));
            auto placement = std::make_shared<std::shared_ptr<platform::PlacementFile>>();
            try {
                *placement = std::make_shared<platform::PlacementFile>(destination);
            } catch (...) {
                return me->finish(op, platform::errorFromException(std::current_exception()));
            }
            me->retrieve(
                op, path, 0, -1,
                [placement](const Data& chunk, int64_t, int64_t) {
                    try {
                        if (!*placement) return false;
                        (*placement)->write(chunk.data(), chunk.size());
                    } catch (...) {
                        return false;
                    }
                    return true;
                },
                [me, op, held = placement](ErrorRef error) {
                    // Let go at once: a failed download's file is gone before anyone hears of it.
                    auto placement = std::move(*held);
                    if (error) {
                        placement.reset();
                        return me->finish(op, error);
                    }
                    // Put into place under the coordination the local provider uses.
                    platform::placeCoordinated(placement, me->operation_queue(),
                                               [me, op](ErrorRef failure) { me->finish(op, failure); });
                });
        });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                      DataCompletionHandler completionHandler) {
    auto me = self();
    if (length == 0 || offset < 0) {
        async([me, path, completionHandler] {
            if (completionHandler) completionHandler(Data{}, nullptr);
            notifyOperationResult(me->operations(), FileOperationType::fetch(path), nullptr);
        });
        return nullptr;
    }
    auto handler = std::make_shared<DataCompletionHandler>(std::move(completionHandler));
    auto buffer = std::make_shared<Data>();
    auto progress = startOperation(FileOperationType::fetch(path), false,
                                   [me, path, offset, length, handler, buffer](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = [handler, buffer](ErrorRef error) {
                                           if (!*handler) return;
                                           if (error) return (*handler)(std::nullopt, error);
                                           (*handler)(std::move(*buffer), nullptr);
                                       };
                                       if (error) return me->finish(op, error, false);
                                       me->retrieve(
                                           op, path, offset, length,
                                           [buffer](const Data& chunk, int64_t, int64_t) {
                                               buffer->insert(buffer->end(), chunk.begin(), chunk.end());
                                               return true;
                                           },
                                           [me, op](ErrorRef error) { me->finish(op, error); });
                                   });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

ProgressRef FTPFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents, bool, bool overwrite,
                                           SimpleCompletionHandler completionHandler) {
    auto me = self();
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto data = std::make_shared<Data>(contents.value_or(Data{}));
    const int64_t total = contents ? static_cast<int64_t>(contents->size()) : -1;
    auto progress = startOperation(
        FileOperationType::modify(path), true,
        [me, path, handler, data, total](std::shared_ptr<Operation> op, ErrorRef error) {
            op->completion = *handler;
            if (error) return me->finish(op, error);
            me->store(op, path, platform::InputStream::make(*data), static_cast<int64_t>(data->size()),
                      [me, op, total](int64_t sent, int64_t) {
                          op->progress->setCompletedUnitCount(sent);
                          notifyOperationProgress(me->operations(), op->operation,
                                                  total > 0 ? op->progress->fractionCompleted() : 0);
                      });
        },
        overwrite ? std::nullopt : std::optional<std::string>(path));
    if (progress) progress->setTotalUnitCount(total);
    return progress;
}

ProgressRef FTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length, ResponseHandler,
                                      ProgressDataHandler progressHandler, SimpleCompletionHandler completionHandler) {
    auto me = self();
    if (length == 0 || offset < 0) {
        async([me, path, completionHandler] {
            if (completionHandler) completionHandler(nullptr);
            notifyOperationResult(me->operations(), FileOperationType::fetch(path), nullptr);
        });
        return nullptr;
    }
    auto handler = std::make_shared<SimpleCompletionHandler>(std::move(completionHandler));
    auto progress = startOperation(FileOperationType::fetch(path), false,
                                   [me, path, offset, length, handler, progressHandler](std::shared_ptr<Operation> op, ErrorRef error) {
                                       op->completion = *handler;
                                       if (error) return me->finish(op, error, false);
                                       me->retrieve(
                                           op, path, offset, length,
                                           [progressHandler, offset](const Data& chunk, int64_t received, int64_t) {
                                               // A piece's position is its place in the file, as with every
                                               // other provider, so a caller can put it where it belongs.
                                               if (progressHandler)
                                                   progressHandler(offset + received - static_cast<int64_t>(chunk.size()), chunk);
                                               return true;
                                           },
                                           [me, op](ErrorRef error) { me->finish(op, error); });
                                   });
    if (progress) progress->setTotalUnitCount(-1);
    return progress;
}

} // namespace RiridOzizevud
